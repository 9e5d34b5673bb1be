// Status events of a flash run: each publishing function sends one empty event on the
// process-wide bus. Nobody in the flasher listens; with no listener a publish does nothing.
#include "flasher/status_events.h"

#include "events/event_bus.h"

namespace {

template <typename T>
void FLASH__vPublish() {
    eventBus.notify(T{});
}

}  // namespace

void FLASH_NotifyOpeningODXFile() { FLASH__vPublish<OpeningODXFile>(); }
void FLASH_NotifyFlashingStarted() { FLASH__vPublish<FlashingStarted>(); }
void FLASH_NotifyFlashingFinished() { FLASH__vPublish<FlashingFinished>(); }
void FLASH_NotifyFlashingFailed() { FLASH__vPublish<FlashingFailed>(); }
void UDS_NotifyCommandTransmitted() { FLASH__vPublish<UdsCommandTransmitted>(); }
void FLASH_NotifyInitialized() { FLASH__vPublish<Initialized>(); }
void FLASH_NotifyConfigurationFailed() { FLASH__vPublish<ConfigurationFailed>(); }
void FLASH_NotifyCommandConnectCluster() { FLASH__vPublish<ConnectCluster>(); }
void FLASH_NotifyClusterConnected() { FLASH__vPublish<ClusterConnected>(); }
void FLASH_NotifyClusterDisconnected() { FLASH__vPublish<ClusterDisconnected>(); }
