// Internals of the flasher's DoIP transport, shared by its files and used by tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "doip/doip_events.h"
#include "doip/wire/doip_channel.h"

// The flasher's one channel; replaced, closed and restored only under both locks.
extern std::unique_ptr<doip::DoipChannel> doipChannel;
extern std::mutex g_doipRead;   // held while a message is read from the channel
extern std::mutex g_doipWrite;  // held while something is written to the channel
// Set while the interface shuts down: a running restore gives up at its next attempt.
extern std::atomic<bool> DOIPIF__boStopping;

extern uint16_t DOIPIF_PhysicalTargetAddress;
extern uint16_t DOIPIF_FunctionalTargetAddress;

namespace doip {
// ReceiveDoip of doipChannel under g_doipRead; its exceptions pass through.
DoipMessage DoipChannel_ReceiveDoip(int timeoutMs);
// SendAlive of doipChannel under g_doipWrite; errors are logged.
void DoipChannel_SendAlive();
}  // namespace doip

// Opens a new channel from the configuration and puts it in place of the old one.
bool DoipChannel__Reopen();
// Trial connection: a temporary channel, opened and dropped.
bool DOIPIF__boTryCluster();
// Trial UDP socket with the configured addresses and port.
bool DOIP__boTestDatagram();
// Hook scripts: true when the script exits with 0 (disconnect hook: also when none is set).
bool DOIP_RunConnectHook();
bool DOIP_RunDisconnectHook();

bool DOIP_boSendUDS(uint16_t target, const uint8_t* request, uint32_t length);
int DOIP_ReceiveUDS(uint8_t sid, uint32_t capacity, uint8_t* buffer, int timeoutMs);
bool DOIP_OnUdsReceived(const UdsMessage& message);
bool DOIP_OnRestoreConnection(const DoIPRestoreConnection& event);

// Workers: read thread with the diagnostic-message router and the alive handler.
void DOIP_StartReadThread();
void DOIP_StopReadThread();
// Tester-present worker.
void DoIPTesterPresent_Init(unsigned cycleMs);
void DoIPTesterPresent_Start();
void DoIPTesterPresent_Stop();
// Stops the tester-present worker and its timer and removes its listeners (program end).
void DoIPTesterPresent_Shutdown();

// Back to the state at program start: workers stopped, listeners removed, channel deleted,
// queues emptied. Tests only.
void DOIPIF__vResetForTests();
