// Worker threads of the flasher's DoIP transport: the read thread, the diagnostic-message
// router, the alive handler and the tester-present worker.
#include <atomic>
#include <chrono>
#include <thread>

#include "doip/doip_internal.h"
#include "events/event_bus.h"
#include "events/signal.h"
#include "events/subscription.h"
#include "events/timer.h"
#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds.h"

namespace {

// Messages read since program start.
std::atomic<int32_t> cnt{0};

// Follows DoIPConnected / DoIPDisconnected while listening.
class ConnectionFlag {
public:
    void listen() {
        int token = eventBus.newToken();
        eventBus.listen<DoIPConnected>(token, [this](const DoIPConnected&) {
            connected = true;
            return true;
        });
        onConnected.subscribe(token);
        token = eventBus.newToken();
        eventBus.listen<DoIPDisconnected>(token, [this](const DoIPDisconnected&) {
            connected = false;
            return true;
        });
        onDisconnected.subscribe(token);
    }
    void unlisten() {
        onConnected.unsubscribe();
        onDisconnected.unsubscribe();
        connected = false;
    }
    bool isSet() const { return connected; }

private:
    std::atomic<bool> connected{false};
    Subscription onConnected;
    Subscription onDisconnected;
};

class DoIPReadThread {
public:
    ~DoIPReadThread() { stop(); }

    void start() {
        if (running) return;
        connected.listen();
        running = true;
        worker = std::thread(&DoIPReadThread::routine, this);
    }

    void stop() {
        if (running) {
            running = false;
            if (worker.joinable()) worker.join();
        }
        connected.unlisten();
    }

    // Reads and publishes one message; false when the connection has to be restored.
    static bool process() {
        try {
            DoipMessage message = doip::DoipChannel_ReceiveDoip(10);
            const int32_t number = cnt.load();
            DoIPMessageReadEvent event{message.payloadType, std::move(message.payload), number};
            if (!eventBus.notify(event))
                LOG_vError("DoIP: Message not handled: Type 0x%04x Number %d", event.payloadType, number);
            ++cnt;
            return true;
        } catch (const TcpTimeout&) {
            return true;
        } catch (const TcpReadFailed& error) {
            LOG_vError("DoIP: %s", error.what());
            eventBus.notify(ConnectionLost{});
            return false;
        } catch (const TcpConnectionBroken& error) {
            LOG_vError("DoIP: %s", error.what());
            eventBus.notify(ConnectionLost{});
            return false;
        } catch (const std::runtime_error& error) {
            LOG_vError("DoIP: %s", error.what());
            return false;
        }
    }

private:
    void routine() {
        do {
            if (connected.isSet()) {
                if (!process()) eventBus.notify(DoIPRestoreConnection{});
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } while (running);
    }

    std::atomic<bool> running{false};
    std::thread worker;
    ConnectionFlag connected;
};

// Base of the two listener-owning workers: a thread that holds its registration until stopped.
class ListenerWorker {
public:
    virtual ~ListenerWorker() = default;

    void start() {
        if (running) return;
        running = true;
        // The listener is registered before start returns, so no message read after
        // DOIP_StartReadThread can miss it.
        const int token = eventBus.newToken();
        registerListener(token);
        subscription.subscribe(token);
        worker = std::thread([this] { routine(); });
    }

    void stop() {
        if (!running) return;
        running = false;
        wakeup.notify();
        if (worker.joinable()) worker.join();
        subscription.unsubscribe();
    }

protected:
    virtual void registerListener(int token) = 0;
    virtual void routine() {
        while (running) wakeup.wait();
    }

    std::atomic<bool> running{false};
    std::thread worker;
    Signal wakeup;
    Subscription subscription;
};

// Turns diagnostic messages addressed to the tester into UdsMessage events.
class DoIPToUdsRouter : public ListenerWorker {
public:
    ~DoIPToUdsRouter() override { stop(); }

private:
    void registerListener(int token) override {
        eventBus.listen<DoIPMessageReadEvent>(token, [](const DoIPMessageReadEvent& event) {
            if (event.payloadType != doip::kDiagnosticMessage) return false;
            if (event.payload.size() < 4) {
                LOG_vError("DOIP: invalid diagnostic message length");
                return false;
            }
            const uint16_t target = doip::GetU16(event.payload.data() + 2);
            if (target != CFG_u16GetDoIPSrcAddress()) {
                LOG_vError("DOIP: wrong target address 0x%04X", target);
                return false;
            }
            eventBus.notify(UdsMessage{std::vector<uint8_t>(event.payload.begin() + 4, event.payload.end()),
                                       doip::GetU16(event.payload.data())});
            return true;
        });
    }
};

// Answers alive check requests from its own thread.
class DoIPAliveHandler : public ListenerWorker {
public:
    ~DoIPAliveHandler() override { stop(); }

private:
    void registerListener(int token) override {
        aliveRequested = false;
        eventBus.listen<DoIPMessageReadEvent>(token, [this](const DoIPMessageReadEvent& event) {
            if (event.payloadType != doip::kAliveCheckRequest) return false;
            aliveRequested = true;
            wakeup.notify();
            return true;
        });
    }
    void routine() override {
        while (running) {
            if (aliveRequested.exchange(false)) doip::DoipChannel_SendAlive();
            wakeup.wait();
        }
    }

    std::atomic<bool> aliveRequested{false};
};

// Sends a functional TesterPresent once per cycle while the channel is connected.
class DoIPTesterPresent {
public:
    ~DoIPTesterPresent() { shutdown(); }

    void init(unsigned cycleMs) {
        timer.stop();
        timer.setup(std::chrono::milliseconds(cycleMs), [this] {
            expired = true;
            wakeup.notify();
        });
        connected.listen();
        initialised = true;
    }

    void start() {
        if (!initialised || running) return;
        running = true;
        worker = std::thread(&DoIPTesterPresent::routine, this);
    }

    void stop() {
        if (!running) return;
        running = false;
        wakeup.notify();
        if (worker.joinable()) worker.join();
    }

    void shutdown() {
        stop();
        timer.stop();
        connected.unlisten();
        expired = false;
        initialised = false;
    }

    static void send() { UDS_enTesterPresentFunc(UDS_SUPPRESS_POS_RESP_ON); }

private:
    void routine() {
        timer.start();
        while (running) {
            if (expired.exchange(false)) {
                timer.start();
                if (connected.isSet()) send();
            }
            wakeup.wait();
        }
    }

    Timer timer;
    std::atomic<bool> running{false};
    std::atomic<bool> expired{false};
    ConnectionFlag connected;
    std::atomic<bool> initialised{false};
    std::thread worker;
    Signal wakeup;
};

// Never destroyed: their listeners live on the process-wide bus, whose destruction order
// relative to these objects is not fixed. DOIPIF_vDeinit stops every thread.
DoIPReadThread& readThread() {
    static DoIPReadThread* worker = new DoIPReadThread;
    return *worker;
}
DoIPToUdsRouter& doipToUdsRouter() {
    static DoIPToUdsRouter* worker = new DoIPToUdsRouter;
    return *worker;
}
DoIPAliveHandler& doipAliveHandler() {
    static DoIPAliveHandler* worker = new DoIPAliveHandler;
    return *worker;
}
DoIPTesterPresent& testerPresent() {
    static DoIPTesterPresent* worker = new DoIPTesterPresent;
    return *worker;
}

}  // namespace

void DOIP_StartReadThread() {
    doipToUdsRouter().start();
    doipAliveHandler().start();
    readThread().start();
}

void DOIP_StopReadThread() {
    doipToUdsRouter().stop();
    doipAliveHandler().stop();
    readThread().stop();
}

void DoIPTesterPresent_Init(unsigned cycleMs) { testerPresent().init(cycleMs); }
void DoIPTesterPresent_Start() { testerPresent().start(); }
void DoIPTesterPresent_Stop() { testerPresent().stop(); }
void DoIPTesterPresent_Shutdown() { testerPresent().shutdown(); }

void DOIP__vResetWorkersForTests() {
    DOIP_StopReadThread();
    DoIPTesterPresent_Shutdown();
    cnt = 0;
}
