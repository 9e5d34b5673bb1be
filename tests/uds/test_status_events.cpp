// Status events: each publishing function reaches a listener of its type once; the engine
// publishes one UdsCommandTransmitted per request handed to the transport.
#include "events/event_bus.h"
#include "flasher/status_events.h"
#include "uds_fixture.h"

using namespace udstest;

namespace {

// Counts the events of type T while it lives.
template <typename T>
struct Counter {
    int token = eventBus.newToken();
    int calls = 0;
    Counter() {
        eventBus.listen<T>(token, [this](const T&) {
            ++calls;
            return true;
        });
    }
    ~Counter() { eventBus.unlistenAll(token); }
};

template <typename T>
void ExpectOnePerPublish(void (*publish)(), const char* name) {
    Counter<T> c;
    publish();
    publish();
    EXPECT_EQ(c.calls, 2) << name;
}

}  // namespace

TEST(StatusEvents, EachFunctionPublishesItsOwnType) {
    // Publishing without any listener is harmless.
    FLASH_NotifyFlashingFailed();
    ExpectOnePerPublish<OpeningODXFile>(FLASH_NotifyOpeningODXFile, "OpeningODXFile");
    ExpectOnePerPublish<FlashingStarted>(FLASH_NotifyFlashingStarted, "FlashingStarted");
    ExpectOnePerPublish<FlashingFinished>(FLASH_NotifyFlashingFinished, "FlashingFinished");
    ExpectOnePerPublish<FlashingFailed>(FLASH_NotifyFlashingFailed, "FlashingFailed");
    ExpectOnePerPublish<UdsCommandTransmitted>(UDS_NotifyCommandTransmitted, "UdsCommandTransmitted");
    ExpectOnePerPublish<Initialized>(FLASH_NotifyInitialized, "Initialized");
    ExpectOnePerPublish<ConfigurationFailed>(FLASH_NotifyConfigurationFailed, "ConfigurationFailed");
    ExpectOnePerPublish<ConnectCluster>(FLASH_NotifyCommandConnectCluster, "ConnectCluster");
    ExpectOnePerPublish<ClusterConnected>(FLASH_NotifyClusterConnected, "ClusterConnected");
    ExpectOnePerPublish<ClusterDisconnected>(FLASH_NotifyClusterDisconnected, "ClusterDisconnected");
    // Types do not leak into each other.
    Counter<FlashingFinished> finished;
    FLASH_NotifyFlashingFailed();
    EXPECT_EQ(finished.calls, 0);
}

TEST_F(UdsTest, CommandTransmittedOncePerSendIncludingRepeats) {
    Counter<UdsCommandTransmitted> c;
    tr.ExpectPhy(H("11 01"), {{H("7F 11 21")}});
    tr.ExpectPhy(H("11 01"), {{H("7F 11 21")}});
    tr.ExpectPhy(H("11 01"), {{H("51 01")}});
    EXPECT_EQ(UDS_enECUReset(UDS_RESET_HARD), UDS_RES_OK);
    EXPECT_EQ(c.calls, 3);
    // A refused send is not a transmitted command.
    tr.sendOk = false;
    EXPECT_EQ(UDS_enECUReset(UDS_RESET_HARD), UDS_RES_SEND_FAILED);
    EXPECT_EQ(c.calls, 3);
}
