// A small DoIP entity for tests: listens on a free loopback port, accepts one tester
// connection at a time and answers with the shared wire code. Behaviour is set by fields
// before use or by a custom handler; everything received is recorded.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "doip/wire/doip_wire.h"
#include "sockets/tcp_socket.h"

class DoipPeer {
public:
    using Bytes = std::vector<uint8_t>;
    // Custom answer to a diagnostic message: called instead of the default (positive ACK with
    // the whole request echoed, then `answer(request)` if set).
    using DiagHandler = std::function<void(DoipPeer&, uint16_t source, uint16_t target, const Bytes& uds)>;

    explicit DoipPeer(const std::string& ip = "127.0.0.1") {
        listening = listener.open(ip, 0);
        worker = std::thread([this] { run(); });
    }
    ~DoipPeer() {
        stop = true;
        worker.join();
    }
    DoipPeer(const DoipPeer&) = delete;
    DoipPeer& operator=(const DoipPeer&) = delete;

    uint16_t port() const { return listener.port(); }

    // Routing activation answer.
    uint8_t routingCode = 0x10;
    int routingPayloadLength = 9;   // 8: one byte short
    int routingAddressDelta = 0;    // added to the echoed tester address
    uint16_t routingType = doip::kRoutingActivationResponse;
    uint16_t entityAddress = 0x1014;
    // Default diagnostic answer after the positive ACK; empty result: none.
    std::function<Bytes(const Bytes&)> answer;
    DiagHandler onDiag;

    // Sends raw bytes to the connected tester (false when none is connected).
    bool send(const Bytes& bytes) {
        std::shared_ptr<TCPSocket> c = current();
        if (!c) return false;
        try {
            c->write(static_cast<int>(bytes.size()), bytes.data());
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }
    void sendDiag(uint16_t source, uint16_t target, const Bytes& uds) {
        send(doip::BuildDiagnosticMessage(source, target, uds.data(), uds.size(), 0x02));
    }
    void sendAck(bool positive, uint16_t source, uint16_t target, uint8_t code, const Bytes& echo) {
        send(doip::BuildDiagnosticAck(positive, source, target, code, echo));
    }
    // Ends the current connection at once (its serving thread closes the descriptor).
    void drop() {
        std::lock_guard<std::mutex> g(lock);
        if (!connection) return;
        ::shutdown(connection->fd(), SHUT_RDWR);
        open.erase(std::remove(open.begin(), open.end(), connection), open.end());
        connection = open.empty() ? nullptr : open.back();
    }

    // Messages received so far, in order, and the count of accepted connections.
    std::vector<DoipMessage> received() {
        std::lock_guard<std::mutex> g(lock);
        return messages;
    }
    int connections() {
        std::lock_guard<std::mutex> g(lock);
        return accepted;
    }
    // Waits (bounded) until `count` messages of `type` have arrived.
    bool waitFor(uint16_t type, size_t count, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(type) >= count; });
    }
    size_t count(uint16_t type) {
        std::lock_guard<std::mutex> g(lock);
        return countLocked(type);
    }
    bool waitForConnections(int n, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return accepted >= n; });
    }

    bool listening = false;

private:
    static const sockets::Flavor& quiet() {
        static const sockets::Flavor f{nullptr, nullptr, true};  // silent, closes at once
        return f;
    }
    std::shared_ptr<TCPSocket> current() {
        std::lock_guard<std::mutex> g(lock);
        return connection;
    }
    size_t countLocked(uint16_t type) const {
        size_t n = 0;
        for (const auto& m : messages) n += m.payloadType == type;
        return n;
    }

    void handle(const DoipMessage& m) {
        if (m.payloadType == doip::kRoutingActivationRequest && m.payload.size() >= 2) {
            uint16_t tester = static_cast<uint16_t>(doip::GetU16(m.payload.data()) + routingAddressDelta);
            Bytes payload;
            doip::PutU16(payload, tester);
            doip::PutU16(payload, entityAddress);
            payload.push_back(routingCode);
            doip::PutU32(payload, 0);
            payload.resize(static_cast<size_t>(routingPayloadLength));
            send(doip::BuildMessage(routingType, payload, 0x02));
        } else if (m.payloadType == doip::kDiagnosticMessage && m.payload.size() >= 4) {
            const uint16_t source = doip::GetU16(m.payload.data());
            const uint16_t target = doip::GetU16(m.payload.data() + 2);
            const Bytes uds(m.payload.begin() + 4, m.payload.end());
            if (onDiag) {
                onDiag(*this, source, target, uds);
                return;
            }
            sendAck(true, target, source, 0x00, uds);
            if (answer) {
                const Bytes reply = answer(uds);
                if (!reply.empty()) sendDiag(target, source, reply);
            }
        }
    }

    // Accepts connections; each is served by its own thread. The newest open one is current.
    void run() {
        std::vector<std::thread> servers;
        while (!stop) {
            int fd = listener.accept(20);
            if (fd < 0) continue;
            auto c = std::make_shared<TCPSocket>(fd, quiet());
            {
                std::lock_guard<std::mutex> g(lock);
                open.push_back(c);
                connection = c;
                ++accepted;
            }
            changed.notify_all();
            servers.emplace_back([this, c] { serve(c); });
        }
        for (auto& t : servers) t.join();
    }

    void serve(std::shared_ptr<TCPSocket> c) {
        while (!stop) {
            {
                std::lock_guard<std::mutex> g(lock);
                if (std::find(open.begin(), open.end(), c) == open.end()) break;  // dropped
            }
            try {
                DoipMessage m = doip::ReadMessage(*c, 20, false, quiet());
                {
                    std::lock_guard<std::mutex> g(lock);
                    messages.push_back(m);
                }
                changed.notify_all();
                handle(m);
            } catch (const TcpTimeout&) {
            } catch (const std::runtime_error&) {
                break;
            }
        }
        std::lock_guard<std::mutex> g(lock);
        open.erase(std::remove(open.begin(), open.end(), c), open.end());
        if (connection == c) connection = open.empty() ? nullptr : open.back();
    }

    sockets::TcpListener listener;
    std::mutex lock;
    std::condition_variable changed;
    std::shared_ptr<TCPSocket> connection;
    std::vector<std::shared_ptr<TCPSocket>> open;
    std::vector<DoipMessage> messages;
    int accepted = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
};
