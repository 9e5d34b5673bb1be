// Interim: the status events become bus publications once the event bus is in the tree.
#include "flasher/status_events.h"

void FLASH_NotifyOpeningODXFile() {}
void FLASH_NotifyFlashingStarted() {}
void FLASH_NotifyFlashingFinished() {}
void FLASH_NotifyFlashingFailed() {}
void UDS_NotifyCommandTransmitted() {}
void FLASH_NotifyInitialized() {}
void FLASH_NotifyConfigurationFailed() {}
void FLASH_NotifyCommandConnectCluster() {}
void FLASH_NotifyClusterConnected() {}
void FLASH_NotifyClusterDisconnected() {}
