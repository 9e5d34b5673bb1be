// The flasher's DoIP interface: the eight transport operations over the DoIP channel, the
// acknowledgement wait, the per-sender answer queues and the connection restore.
#include "doip/doipif.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <new>
#include <thread>
#include <unordered_map>

#include "doip/doip_internal.h"
#include "events/event_bus.h"
#include "events/subscription.h"
#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds.h"

uint16_t DOIPIF_PhysicalTargetAddress = 0x1014;
uint16_t DOIPIF_FunctionalTargetAddress = 0xE400;

void DOIP__vResetWorkersForTests();

namespace {

constexpr int kAckWaitMs = 3000;

// Wakes readers when an answer has been queued. Cleared by the reader before it looks.
struct Event {
    std::condition_variable condition;
    std::mutex lock;
    std::atomic<bool> signaled{false};
};
Event s_cv;

// Fixed ring of N messages; all operations run under mtxServices.
template <typename T, size_t N>
class Fifo {
public:
    // false when the ring is full (the message is dropped).
    bool put(const T& message) {
        if (++count > static_cast<int32_t>(N)) {
            --count;
            return false;
        }
        Slot& slot = slots[writeIndex++ % N];
        try {
            slot.message = message;
        } catch (const std::bad_alloc&) {
            slot.state = 2;
            throw;
        }
        slot.state = 1;
        return true;
    }
    // Takes the oldest message; invalid slots are skipped. false when empty.
    bool take(T& out) {
        for (;;) {
            Slot& slot = slots[readIndex % N];
            const int32_t state = slot.state;
            if (state == 0) return false;
            slot.state = 0;
            ++readIndex;
            --count;
            if (state == 1) {
                out = std::move(slot.message);
                slot.message = T();
                return true;
            }
        }
    }

private:
    struct Slot {
        std::atomic<int32_t> state{0};
        T message;
    };
    std::array<Slot, N> slots;
    std::atomic<int32_t> count{0};
    std::atomic<uint32_t> writeIndex{0};
    std::atomic<uint32_t> readIndex{0};
};

using AnswerQueue = Fifo<UdsMessage, 256>;

std::mutex mtxServices;
std::unordered_map<uint8_t, uint16_t> activeServices;
std::unordered_map<uint16_t, std::unique_ptr<AnswerQueue>> queues;

Subscription onUdsReceived;
Subscription onRestoreConnection;

std::atomic<bool> restoring{false};

AnswerQueue& QueueFor(uint16_t address) {
    auto& queue = queues[address];
    if (!queue) queue.reset(new AnswerQueue);
    return *queue;
}

// One request's wait for its acknowledgement; shared with the handler on the read thread.
struct AckRecord {
    uint16_t source;
    uint16_t target;
    uint8_t sid;
    std::vector<uint8_t> request;
    bool acknowledged = false;
    uint8_t code = 0;
    bool done = false;
    std::mutex lock;
    std::condition_variable condition;
};

bool OnAcknowledgement(AckRecord& record, const DoIPMessageReadEvent& event) {
    std::lock_guard<std::mutex> guard(record.lock);
    if (record.done) return false;
    bool matched = false;
    if (event.payloadType == doip::kDiagnosticMessagePositiveAck ||
        event.payloadType == doip::kDiagnosticMessageNegativeAck) {
        const std::vector<uint8_t>& p = event.payload;
        if (p.size() < 5) {
            // Too short to carry addresses and a code: not an answer to anything.
            LOG_vDebug_3("DOIP: SID 0x%02X: acknowledgment too short (%d bytes)", record.sid, static_cast<int>(p.size()));
        } else if (doip::GetU16(p.data()) != record.target) {
            LOG_vDebug_3("DOIP: SID 0x%02X: unexpected source address in acknowledgment 0x%04X", record.sid,
                         doip::GetU16(p.data()));
        } else if (doip::GetU16(p.data() + 2) != record.source) {
            LOG_vError("DOIP: unexpected target address in acknowledgment 0x%04X", doip::GetU16(p.data() + 2));
        } else if (p.size() > 5 && !DOIP__boCheckDiagnosticMessageResponse(p.size() - 5, p.data() + 5,
                                                                           record.request.size(), record.request.data())) {
            LOG_vError("DOIP: received acknowledgment for unknown request");
        } else {
            matched = true;
            record.acknowledged = true;
            record.code = p[4];
        }
    }
    record.done = matched;
    if (matched) record.condition.notify_all();
    return matched;
}

}  // namespace

bool DOIP_boSendUDS(uint16_t target, const uint8_t* request, uint32_t length) {
    if (length == 0 || request == nullptr) {
        LOG_vError("DOIP_boSendUDS: incorrect size %d", static_cast<int>(length));
        return false;
    }
    const uint8_t sid = request[0];
    {
        std::lock_guard<std::mutex> guard(mtxServices);
        activeServices[sid] = target;
        auto it = queues.find(target);
        if (it != queues.end()) {
            UdsMessage discarded;
            bool removed = false;
            while (it->second->take(discarded)) removed = true;
            if (removed) LOG_vWarning("DOIP_boSendUDS: removed unhandled messages for target 0x%04x", target);
        }
    }
    auto record = std::make_shared<AckRecord>();
    record->source = CFG_u16GetDoIPSrcAddress();
    record->target = target;
    record->sid = sid;
    record->request.assign(request, request + length);

    Subscription ackHandler;
    const int token = eventBus.newToken();
    eventBus.listen<DoIPMessageReadEvent>(
        token, [record](const DoIPMessageReadEvent& event) { return OnAcknowledgement(*record, event); });
    ackHandler.subscribe(token);

    try {
        std::lock_guard<std::mutex> guard(g_doipWrite);
        if (!doipChannel) throw std::runtime_error("DoipChannel: no channel");
        doipChannel->SendDiagMessage2(record->request, target);
    } catch (const std::runtime_error& error) {
        ackHandler.unsubscribe();
        LOG_vDebug_3("DOIP_boSendUDS: start restore on exception: %s", error.what());
        eventBus.notify(DoIPRestoreConnection{});
        LOG_vDebug_3("DOIP: finish restore");
        return false;
    }
    LOG_vDebug_3("DOIP_boSendUDS: Wait %dms for ACK for SID 0x%02X", kAckWaitMs, sid);
    bool acknowledged;
    uint8_t code;
    {
        std::unique_lock<std::mutex> guard(record->lock);
        record->condition.wait_for(guard, std::chrono::milliseconds(kAckWaitMs), [&] { return record->done; });
        record->done = true;  // a late acknowledgement is ignored
        acknowledged = record->acknowledged;
        code = record->code;
    }
    ackHandler.unsubscribe();
    if (acknowledged && code == 0) {
        LOG_vDebug_3("DOIP: SID 0x%02X: Positive ACK", sid);
        return true;
    }
    if (acknowledged) {
        LOG_vWarning("DOIP: SID 0x%02X: Negative ACK \"%s\"", sid, DOIP__vLogDiagnosticMessageACKCode(code).c_str());
        return false;
    }
    LOG_vWarning("DOIP_boSendUDS: No ACK: start restore");
    eventBus.notify(DoIPRestoreConnection{});
    LOG_vDebug_3("DOIP: finish restore");
    return false;
}

bool DOIP_OnUdsReceived(const UdsMessage& message) {
    const UDS_tstResponseHeader header =
        UDS_GetResponseHeader(message.data.data(), static_cast<long>(message.data.size()));
    const uint8_t sid = header.u8ServiceId;
    bool filed = false;
    {
        std::lock_guard<std::mutex> guard(mtxServices);
        auto it = activeServices.find(sid);
        if (it == activeServices.end()) {
            LOG_vWarning("DOIP_UDS: ignored unexpected service 0x%02x from sender 0x%04x", sid, message.sourceAddress);
            return true;
        }
        const uint16_t expected = it->second;
        if (expected != message.sourceAddress) {
            if (expected != DOIPIF_FunctionalTargetAddress) {
                LOG_vError("DOIP_UDS: ignored service 0x%02x from incorrect sender 0x%04x (Expected:0x%04x)", sid,
                           message.sourceAddress, expected);
                return true;
            }
            LOG_vInfo("DOIP_UDS: Response to functional request for service 0x%02x received", sid);
        }
        filed = QueueFor(message.sourceAddress).put(message);
        if (!filed) {
            LOG_vError("DOIP_UDS: Message lost because full fifo, service 0x%02x from sender 0x%04x", sid,
                       message.sourceAddress);
        } else {
            std::lock_guard<std::mutex> wake(s_cv.lock);
            s_cv.signaled = true;
            s_cv.condition.notify_all();
        }
    }
    return true;
}

int DOIP_ReceiveUDS(uint8_t sid, uint32_t capacity, uint8_t* buffer, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (Clock::now() >= deadline) return -1;
        {
            std::lock_guard<std::mutex> guard(s_cv.lock);
            s_cv.signaled = false;
        }
        UdsMessage answer;
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(mtxServices);
            auto it = activeServices.find(sid);
            if (it != activeServices.end()) found = QueueFor(it->second).take(answer);
        }
        if (found) {
            const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(answer.data.size()), capacity);
            if (n > 0) std::memcpy(buffer, answer.data.data(), n);
            return static_cast<int>(n);
        }
        std::unique_lock<std::mutex> guard(s_cv.lock);
        s_cv.condition.wait_until(guard, deadline, [] { return s_cv.signaled.load(); });
    }
}

bool DOIP_OnRestoreConnection(const DoIPRestoreConnection&) {
    bool expected = false;
    if (!restoring.compare_exchange_strong(expected, true)) {
        LOG_vInfo("DOIP: Try to restore connection is already locked");
        for (;;) {
            expected = false;
            if (restoring.compare_exchange_weak(expected, true)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a restore takes seconds
        }
        restoring = false;
        return true;
    }
    LOG_vInfo("DOIP: Try to restore connection");
    eventBus.notify(DoIPDisconnected{});
    DOIP_RunDisconnectHook();
    try {
        std::scoped_lock both(g_doipRead, g_doipWrite);
        if (!doipChannel) throw std::runtime_error("DoipChannel: no channel");
        doipChannel->Restore();
        eventBus.notify(DoIPConnected{});
    } catch (const std::runtime_error& error) {
        LOG_vError("DOIP: error.what() %s", error.what());
        restoring = false;
        return false;
    }
    restoring = false;
    return true;
}

bool DOIPIF_boInit() {
    DOIPIF__u8ProtocolVersion = CFG_u8GetDoIPVersion();
    DOIPIF_FunctionalTargetAddress = CFG_u16GetDoIPFuncTgtAddress();
    DOIPIF_PhysicalTargetAddress = CFG_u16GetDoIPPhyTgtAddress();
    const bool ok = DOIP__boTestDatagram();
    if (ok) {
        if (CFG_boTesterPresentEnabled())
            DoIPTesterPresent_Init(static_cast<unsigned>(CFG_i32GetTesterPresentCycleTimeMSec()));
        LOG_vDebug_1("DOIP: Init .. Ok");
    } else {
        LOG_vError("DOIPIF: TestDatagram failed");
    }
    return ok;
}

bool DOIPIF_boStartStream() {
    LOG_vDebug_2("DOIPIF: StartStream entered");
    DOIPIF__boStopping = false;
    if (!DoipChannel__Reopen()) {
        LOG_vDebug_2("DOIPIF: StartStream finished NOk");
        return false;
    }
    int token = eventBus.newToken();
    eventBus.listen<DoIPRestoreConnection>(token, &DOIP_OnRestoreConnection);
    onRestoreConnection.subscribe(token);
    token = eventBus.newToken();
    eventBus.listen<UdsMessage>(token, &DOIP_OnUdsReceived);
    onUdsReceived.subscribe(token);
    DOIP_StartReadThread();
    eventBus.notify(DoIPConnected{});
    LOG_vDebug_2("DOIPIF: StartStream finished Ok");
    return true;
}

void DOIPIF_vDeinit() {
    LOG_vDebug_2("DOIPIF: deinit started");
    DOIPIF__boStopping = true;  // a restore in progress ends at its next attempt
    // Tester present goes first: it sends through the channel that is about to go away.
    DoIPTesterPresent_Shutdown();
    {
        std::scoped_lock both(g_doipRead, g_doipWrite);
        onUdsReceived.unsubscribe();
        onRestoreConnection.unsubscribe();
    }
    DOIP_StopReadThread();
    eventBus.notify(DoIPDisconnected{});
    std::unique_ptr<doip::DoipChannel> closing;
    {
        std::scoped_lock both(g_doipRead, g_doipWrite);
        if (doipChannel) {
            doipChannel->Close();
            closing = std::move(doipChannel);
        }
        LOG_vDebug_2("DOIPIF: deinit finished");
    }
}

bool DOIPIF_boSendUDS(IF_tenSocketType addressing, uint8_t* data, uint32_t length) {
    return DOIP_boSendUDS(addressing == IF_SOCKET_FUNC ? DOIPIF_FunctionalTargetAddress : DOIPIF_PhysicalTargetAddress,
                          data, length);
}

int DOIPIF_iReceive(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms) {
    return DOIP_ReceiveUDS(sid, capacity, buffer, timeout_ms);
}

void DOIPIF_vClearRxBuffer() {}

bool DOIPIF_boStartTesterPresentCyclicFunc(uint8_t*, uint32_t) {
    DoIPTesterPresent_Start();
    return true;
}

bool DOIPIF_boStopTesterPresentCyclicFunc() {
    DoIPTesterPresent_Stop();
    return true;
}

bool DOIPIF_isClusterConnected() {
    const char* hook = CFG_pcGetConnectHook();
    if (hook != nullptr && hook[0] != '\0') return DOIP_RunConnectHook();
    return DOIPIF__boTryCluster();
}

void DOIPIF__vResetForTests() {
    DOIPIF_vDeinit();
    DOIP__vResetWorkersForTests();
    std::lock_guard<std::mutex> guard(mtxServices);
    activeServices.clear();
    queues.clear();
    restoring = false;
    s_cv.signaled = false;
    DOIPIF__boStopping = false;
}
