#include "sim/doip_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "doip/wire/doip_wire.h"
#include "sim/sim_log.h"
#include "sockets/tcp_socket.h"
#include "sockets/udp_socket.h"

namespace ecusim {
namespace {

void flavorError(const char* text) { logLine(0, "%s", text); }
void flavorDebug(int level, const char* text) { logLine(level + 1, "%s", text); }
const sockets::Flavor kSimFlavor{flavorError, flavorDebug, false};

using Clock = std::chrono::steady_clock;

}  // namespace

struct DoipServer::Impl {
    sockets::TcpListener listener;
    UdpSocket udp{kSimFlavor};
    std::unique_ptr<TCPSocket> conn;
    bool routed = false;
    uint16_t tester = 0;
    int diagCount = 0;
    int ackFaultCount = 0;           // messages counted for the acknowledgement faults
    std::vector<Answer> held;        // answers waiting for the tester's next connection
    int transferCount = 0;
    bool dropDone = false;
    int refuseLeft = 0;
    int announceLeft = 0;
    Clock::time_point nextAnnounce;
    Clock::time_point nextAlive;
    Clock::time_point nextPeriodicAnnounce;
};

DoipServer::DoipServer(EcuModel& model, DoipServerConfig config)
    : model_(model), cfg_(std::move(config)), impl_(std::make_unique<Impl>()) {}

DoipServer::~DoipServer() { stop(); }

void DoipServer::start() {
    if (cfg_.vin.size() != 17) throw std::runtime_error("DoIP server: the VIN must have 17 characters");
    if (!impl_->listener.open(cfg_.ip, cfg_.port, kSimFlavor))
        throw std::runtime_error("DoIP server: cannot listen on TCP " + cfg_.ip + " port " + std::to_string(cfg_.port));
    tcpPort_ = impl_->listener.port();
    sockets::SocketOptions u;
    u.targetIp = cfg_.announceIp.empty() ? cfg_.ip : cfg_.announceIp;
    u.targetPort = cfg_.announcePort;
    u.sourceIp = cfg_.ip;
    u.sourcePort = cfg_.udpPort >= 0 ? static_cast<uint16_t>(cfg_.udpPort) : cfg_.port;
    u.bindSource = true;
    if (!impl_->udp.open(u))
        throw std::runtime_error("DoIP server: cannot bind UDP " + cfg_.ip + " port " + std::to_string(u.sourcePort));
    udpPort_ = impl_->udp.localPort();
    impl_->refuseLeft = cfg_.faults.refuseRouting;
    if (!cfg_.announceIp.empty()) {
        impl_->announceLeft = cfg_.announceCount;
        impl_->nextAnnounce = Clock::now();
    }
    logLine(0, "DoIP server on %s TCP port %u UDP port %u, logical address 0x%04X", cfg_.ip.c_str(), tcpPort_, udpPort_,
            cfg_.logicalAddress);
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void DoipServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (impl_->conn) {
        ::shutdown(impl_->conn->fd(), SHUT_RDWR);
        impl_->conn.reset();
        model_.connectionLost();
    }
    impl_->listener.close();
    impl_->udp.close();
}

void DoipServer::run() {
    Impl& s = *impl_;
    std::vector<uint8_t> announcement;
    {
        uint8_t vin[17];
        for (int i = 0; i < 17; ++i) vin[i] = static_cast<uint8_t>(cfg_.vin[static_cast<size_t>(i)]);
        announcement = doip::BuildVehicleAnnouncement(vin, cfg_.logicalAddress, cfg_.eid, cfg_.gid);
    }
    auto send = [&](const std::vector<uint8_t>& msg) {
        if (!s.conn) return;
        s.conn->write(static_cast<int>(msg.size()), msg.data());
    };
    auto closeConn = [&](bool abortive, const char* why) {
        if (!s.conn) return;
        logLine(1, "DoIP connection closed: %s", why);
        if (abortive) ::shutdown(s.conn->fd(), SHUT_RDWR);
        s.conn.reset();
        s.routed = false;
        model_.connectionLost();
        if (!cfg_.announceIp.empty()) {
            s.announceLeft = cfg_.announceCount;
            s.nextAnnounce = Clock::now() + std::chrono::milliseconds(cfg_.announceIntervalMs);
        }
    };
    auto sleepMs = [&](int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
    };
    // UDS answers go to the routed tester as diagnostic messages, each after its delay.
    auto sendAnswers = [&](const std::vector<Answer>& answers) {
        for (const Answer& a : answers) {
            if (a.delayMs > 0) sleepMs(a.delayMs);
            send(doip::BuildDiagnosticMessage(cfg_.logicalAddress, s.tester, a.bytes.data(), a.bytes.size(), doip::kDefaultVersion));
        }
    };
    auto announce = [&] { s.udp.write(static_cast<int>(announcement.size()), announcement.data()); };
    auto handleDiagnostic = [&](const std::vector<uint8_t>& p) {
        if (p.size() < 5) {
            send(doip::BuildMessage(doip::kGenericNack, {0x04}, doip::kDefaultVersion));
            return;
        }
        const uint16_t sa = doip::GetU16(p.data()), ta = doip::GetU16(p.data() + 2);
        const std::vector<uint8_t> uds(p.begin() + 4, p.end());
        ++s.diagCount;
        if (!s.routed || sa != s.tester) {
            send(doip::BuildDiagnosticAck(false, cfg_.logicalAddress, sa, 0x02, {}));
            model_.note("diagnostic message from an unrouted source address refused");
            return;
        }
        if (ta != cfg_.logicalAddress && ta != cfg_.functionalAddress) {
            send(doip::BuildDiagnosticAck(false, ta, sa, 0x03, {}));
            model_.note("diagnostic message to an unknown target address refused");
            return;
        }
        const bool counted = cfg_.faults.ackFaultSid < 0 || uds[0] == cfg_.faults.ackFaultSid;
        if (counted) ++s.ackFaultCount;
        if (counted && s.ackFaultCount == cfg_.faults.missingAckAt) {
            model_.note("diagnostic message " + std::to_string(s.diagCount) + " lost: no acknowledgement (injected fault)");
            return;
        }
        if (counted && s.ackFaultCount == cfg_.faults.negativeAckAt) {
            send(doip::BuildDiagnosticAck(false, ta, sa, cfg_.faults.negativeAckCode, {}));
            model_.note("diagnostic message " + std::to_string(s.diagCount) + " negatively acknowledged (injected fault)");
            return;
        }
        const size_t echo = std::min(cfg_.ackEchoBytes, uds.size());
        send(doip::BuildDiagnosticAck(true, ta, sa, 0x00, std::vector<uint8_t>(uds.begin(), uds.begin() + static_cast<long>(echo))));
        std::vector<Answer> answers = model_.handle(uds, ta == cfg_.functionalAddress);
        bool drop = false;
        if (uds[0] == 0x36 && ++s.transferCount == cfg_.faults.dropAfterTransferData && !s.dropDone) {
            drop = true;
            s.dropDone = true;
        }
        if (drop && cfg_.faults.dropBeforeAnswer) {
            model_.note("connection dropped after TransferData " + std::to_string(s.transferCount) + ", before its answer (injected fault)");
            closeConn(true, "injected fault");
            return;
        }
        if (drop && cfg_.faults.dropWhilePending) {
            sendAnswers({Answer{{0x7F, uds[0], 0x78}}});
            model_.note("connection dropped after TransferData " + std::to_string(s.transferCount) +
                        " while its answer is pending (injected fault)");
            closeConn(true, "injected fault");
            s.held = std::move(answers);
            return;
        }
        sendAnswers(answers);
        if (drop) {
            model_.note("connection dropped after TransferData " + std::to_string(s.transferCount) + ", after its answer (injected fault)");
            closeConn(true, "injected fault");
        }
    };
    auto handleTcp = [&]() {
        DoipMessage m = doip::ReadMessage(*s.conn, 2000, false, kSimFlavor);
        switch (m.payloadType) {
            case doip::kRoutingActivationRequest: {
                if (m.payload.size() < 7) {
                    send(doip::BuildMessage(doip::kGenericNack, {0x04}, doip::kDefaultVersion));
                    closeConn(false, "short routing activation request");
                    return;
                }
                const uint16_t sa = doip::GetU16(m.payload.data());
                uint8_t code = doip::kRoutingSuccess;
                if (s.refuseLeft > 0) {
                    --s.refuseLeft;
                    code = cfg_.faults.refuseRoutingCode;
                    model_.note("routing activation refused (injected fault)");
                } else if (cfg_.testerAddress >= 0 && sa != cfg_.testerAddress) {
                    code = 0x00;
                    model_.note("routing activation for an unknown tester address refused");
                }
                send(doip::BuildRoutingActivationResponse(sa, cfg_.logicalAddress, code));
                if (code != doip::kRoutingSuccess) {
                    closeConn(false, "routing activation refused");
                    return;
                }
                s.routed = true;
                s.tester = sa;
                logLine(1, "DoIP routing activated for tester 0x%04X", sa);
                if (!s.held.empty()) {
                    // Answers the ECU finished while the tester was away go to its new connection.
                    model_.note("held answer delivered on the new connection");
                    sendAnswers(s.held);
                    s.held.clear();
                }
                return;
            }
            case doip::kDiagnosticMessage:
                handleDiagnostic(m.payload);
                return;
            case doip::kAliveCheckResponse: {
                const int sa = m.payload.size() >= 2 ? doip::GetU16(m.payload.data()) : -1;
                logLine(1, "DoIP alive check answered by 0x%04X", sa);
                if (s.routed && sa == s.tester) {
                    model_.aliveCheckAnswered();
                } else {
                    char text[96];
                    snprintf(text, sizeof text, "alive check answered with source address 0x%04X, not the tester's", sa);
                    model_.note(text);
                }
                return;
            }
            default:
                send(doip::BuildMessage(doip::kGenericNack, {0x01}, doip::kDefaultVersion));
                return;
        }
    };
    auto handleUdp = [&]() {
        uint8_t buf[512];
        sockets::SocketAddress from;
        const int n = s.udp.readFrom(sizeof buf, buf, 0, from);
        if (n < doip::kHeaderSize) return;
        const doip::Header h = doip::ParseHeader(buf);
        if (!doip::IsHeaderValid(h)) return;
        if (h.payloadType == doip::kVehicleIdentificationRequest || h.payloadType == 0x0002 || h.payloadType == 0x0003) {
            s.udp.writeTo(static_cast<int>(announcement.size()), announcement.data(), from);
            logLine(1, "DoIP vehicle identification answered");
        }
    };

    s.nextAlive = Clock::now() + std::chrono::milliseconds(cfg_.aliveCheckEveryMs);
    while (!stop_) {
        pollfd fds[3] = {{s.listener.fd(), POLLIN, 0}, {s.udp.fd(), POLLIN, 0}, {s.conn ? s.conn->fd() : -1, POLLIN, 0}};
        ::poll(fds, 3, 20);
        try {
            if (fds[0].revents & POLLIN) {
                const int fd = s.listener.accept(0);
                if (fd >= 0) {
                    closeConn(false, "a new tester connected");
                    // Acknowledgement and answer go out as separate small writes; without
                    // this the answer waits for the tester's delayed ACK of the first.
                    const int one = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    s.conn = std::make_unique<TCPSocket>(fd, kSimFlavor);
                    s.routed = false;
                    ++connections_;
                    logLine(1, "DoIP tester connected");
                }
            }
            if (fds[1].revents & POLLIN) handleUdp();
            if (s.conn && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) handleTcp();
            const auto now = Clock::now();
            if (s.announceLeft > 0 && now >= s.nextAnnounce) {
                announce();
                --s.announceLeft;
                s.nextAnnounce = now + std::chrono::milliseconds(cfg_.announceIntervalMs);
            }
            if (cfg_.announceEveryMs > 0 && !cfg_.announceIp.empty() && now >= s.nextPeriodicAnnounce) {
                announce();
                s.nextPeriodicAnnounce = now + std::chrono::milliseconds(cfg_.announceEveryMs);
            }
            bool alive = aliveCheckWanted_.exchange(false);
            if (cfg_.aliveCheckEveryMs > 0 && now >= s.nextAlive) {
                alive = true;
                s.nextAlive = now + std::chrono::milliseconds(cfg_.aliveCheckEveryMs);
            }
            if (alive && s.conn) {
                send(doip::BuildAliveCheckRequest());
                model_.aliveCheckSent();
            }
        } catch (const std::exception& e) {
            closeConn(false, e.what());
        }
    }
}

}  // namespace ecusim
