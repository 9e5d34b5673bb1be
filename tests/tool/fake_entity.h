// A scripted DoIP entity on loopback for the tool's channel tests: each accepted TCP
// connection runs the next session function on the server thread; connections beyond the
// script are accepted and closed at once.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "doip/wire/doip_wire.h"
#include "sockets/tcp_socket.h"
#include "sockets/udp_socket.h"

class FakeEntity {
public:
    using Bytes = std::vector<uint8_t>;
    using Session = std::function<void(FakeEntity&, TCPSocket&)>;

    static constexpr uint16_t kEntityAddress = 0x1014;

    explicit FakeEntity(std::vector<Session> script) : sessions(std::move(script)) {
        if (!listener.open("127.0.0.1", 0)) throw std::runtime_error("fake entity: cannot listen");
        server = std::thread([this] { Serve(); });
    }
    ~FakeEntity() {
        stopping = true;
        server.join();
    }
    uint16_t port() const { return listener.port(); }
    int connections() const { return accepted.load(); }
    bool stopRequested() const { return stopping.load(); }
    // Diagnostic messages received by the sessions, as UDS bytes.
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> guard(lock);
        return received;
    }
    std::string failure() {
        std::lock_guard<std::mutex> guard(lock);
        return error;
    }

    // Session steps.
    static DoipMessage Read(TCPSocket& peer) { return doip::ReadMessage(peer, 5000, false); }
    static void Write(TCPSocket& peer, const Bytes& message) {
        peer.write(static_cast<int>(message.size()), message.data());
    }
    // Answers the routing activation request with `code`.
    static void Activate(TCPSocket& peer, uint8_t code = 0x10) {
        DoipMessage request = Read(peer);
        uint16_t tester = doip::GetU16(request.payload.data());
        Write(peer, doip::BuildRoutingActivationResponse(tester, kEntityAddress, code));
    }
    // Reads one diagnostic message, records it and acknowledges it positively.
    void ReceiveAndAck(TCPSocket& peer) {
        DoipMessage request = Read(peer);
        uint16_t tester = doip::GetU16(request.payload.data());
        Bytes uds(request.payload.begin() + 4, request.payload.end());
        {
            std::lock_guard<std::mutex> guard(lock);
            received.push_back(uds);
        }
        Write(peer, doip::BuildDiagnosticAck(true, kEntityAddress, tester, 0x00, {}));
    }
    static void Answer(TCPSocket& peer, const Bytes& uds, uint16_t tester = 0x0E80) {
        Write(peer, doip::BuildDiagnosticMessage(kEntityAddress, tester, uds.data(), uds.size(), 0x02));
    }
    // Keeps the connection open and silent until the client closes it or the test ends.
    void HoldSilent(TCPSocket& peer) {
        uint8_t byte = 0;
        while (!stopping) {
            try {
                peer.read(1, &byte, 50);
            } catch (const TcpTimeout&) {
                continue;
            } catch (const std::exception&) {
                return;
            }
        }
    }

private:
    void Serve() {
        size_t next = 0;
        while (!stopping) {
            int fd = listener.accept(50);
            if (fd < 0) continue;
            ++accepted;
            TCPSocket peer(fd);
            if (next >= sessions.size()) continue;
            try {
                sessions[next++](*this, peer);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> guard(lock);
                error = e.what();
            }
        }
    }

    std::vector<Session> sessions;
    sockets::TcpListener listener;
    std::thread server;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::mutex lock;
    std::vector<Bytes> received;
    std::string error;
};

// Answers every vehicle identification request with an announcement of 0x1014.
class IdentificationResponder {
public:
    IdentificationResponder() {
        sockets::SocketOptions options;
        options.targetIp = "127.0.0.1";
        options.targetPort = 9;
        options.bindSource = true;
        if (!udp.open(options)) throw std::runtime_error("responder: cannot open");
        thread = std::thread([this] {
            uint8_t buffer[64];
            while (!stopping) {
                sockets::SocketAddress sender;
                if (udp.readFrom(sizeof buffer, buffer, 50, sender) > 0) {
                    auto answer = Announcement();
                    udp.writeTo(static_cast<int>(answer.size()), answer.data(), sender);
                }
            }
        });
    }
    ~IdentificationResponder() {
        stopping = true;
        thread.join();
    }
    uint16_t port() const { return udp.localPort(); }

    using Bytes = std::vector<uint8_t>;
    static Bytes Announcement() {
        const uint8_t vin[17] = {'W', 'V', 'W', 'Z', 'Z', 'Z', '1', 'K', 'Z', 'A', 'W', '0', '0', '0', '0', '0', '1'};
        const uint8_t eid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        const uint8_t gid[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
        return doip::BuildVehicleAnnouncement(vin, 0x1014, eid, gid);
    }

private:
    UdpSocket udp;
    std::thread thread;
    std::atomic<bool> stopping{false};
};
