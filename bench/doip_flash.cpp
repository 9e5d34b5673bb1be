// Throughput of a 64 MiB file download over DoIP on loopback: the flasher's whole path (UDS
// transfer routine, DoIP interface with acknowledgement wait, read thread, answer queues)
// beside its floor, a minimal loop on one socket that reads the file and does
// send / read acknowledgement / read answer per block against the same DoIP entity.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <malloc.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "doip/doipif.h"
#include "doip/wire/doip_wire.h"
#include "flasher/cfg.h"
#include "logging/log.h"
#include "sockets/tcp_socket.h"
#include "uds/uds.h"

namespace {

constexpr uint16_t kTester = 0x0E80;
constexpr uint16_t kEcu = 0x1014;
constexpr uint32_t kBytes = 64u << 20;

const sockets::Flavor& Quiet() {
    static const sockets::Flavor f{nullptr, nullptr, false};
    return f;
}

// A DoIP entity that activates routing, acknowledges every diagnostic message (echoing up to
// 16 request bytes) and answers RequestDownload, TransferData and TransferExit at once.
class Entity {
public:
    Entity() {
        listener.open("127.0.0.1", 0, Quiet());
        worker = std::thread([this] { run(); });
    }
    ~Entity() {
        stop = true;
        worker.join();
    }
    uint16_t port() const { return listener.port(); }

private:
    void run() {
        while (!stop) {
            const int fd = listener.accept(20);
            if (fd < 0) continue;
            TCPSocket s(fd, Quiet());
            for (;;) {
                DoipMessage m;
                try {
                    m = doip::ReadMessage(s, 50, true, Quiet());
                } catch (const TcpTimeout&) {
                    if (stop) break;
                    continue;
                } catch (const std::runtime_error&) {
                    break;
                }
                try {
                    answer(s, m);
                } catch (const std::runtime_error&) {
                    break;
                }
            }
        }
    }
    static void answer(TCPSocket& s, const DoipMessage& m) {
        std::vector<uint8_t> out;
        if (m.payloadType == doip::kRoutingActivationRequest) {
            out = doip::BuildRoutingActivationResponse(kTester, kEcu, doip::kRoutingSuccess);
        } else if (m.payloadType == doip::kDiagnosticMessage && m.payload.size() > 4) {
            const size_t echo = std::min<size_t>(m.payload.size() - 4, 16);
            out = doip::BuildDiagnosticAck(true, kEcu, kTester, 0,
                                           std::vector<uint8_t>(m.payload.begin() + 4, m.payload.begin() + 4 + echo));
            std::vector<uint8_t> uds;
            switch (m.payload[4]) {
                case 0x34: uds = {0x74, 0x20, 0xFF, 0xFF}; break;
                case 0x36: uds = {0x76, m.payload.size() > 5 ? m.payload[5] : uint8_t(0)}; break;
                default: uds = {static_cast<uint8_t>(m.payload[4] | 0x40)}; break;
            }
            const auto reply = doip::BuildDiagnosticMessage(kEcu, kTester, uds.data(), uds.size(), 2);
            out.insert(out.end(), reply.begin(), reply.end());
        } else {
            return;
        }
        s.write(static_cast<int>(out.size()), out.data());
    }

    sockets::TcpListener listener;
    std::atomic<bool> stop{false};
    std::thread worker;
};

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The floor: one socket, file read per block, send, read the acknowledgement and the answer.
bool MinimalLoop(uint16_t port, const std::string& path) {
    TCPSocket s(Quiet());
    sockets::SocketOptions o;
    o.targetIp = "127.0.0.1";
    o.targetPort = port;
    if (!s.open(o)) return false;
    auto ra = doip::BuildRoutingActivationRequest(kTester, 2);
    s.write(static_cast<int>(ra.size()), ra.data());
    doip::ReadMessage(s, 3000);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const uint32_t block = 65533;
    std::vector<uint8_t> uds(block + 2);
    uint8_t counter = 1;
    for (uint32_t off = 0; off < kBytes; off += block, ++counter) {
        const uint32_t n = kBytes - off < block ? kBytes - off : block;
        uds[0] = 0x36;
        uds[1] = counter;
        if (read(fd, uds.data() + 2, n) != static_cast<ssize_t>(n)) break;
        auto msg = doip::BuildDiagnosticMessage(kTester, kEcu, uds.data(), n + 2, 2);
        s.write(static_cast<int>(msg.size()), msg.data());
        if (doip::ReadMessage(s, 3000).payloadType != doip::kDiagnosticMessagePositiveAck) return false;
        if (doip::ReadMessage(s, 3000).payload.at(4) != 0x76) return false;
    }
    close(fd);
    return true;
}

}  // namespace

int main() {
    char name[] = "/tmp/kestrum_bench_doipXXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return 1;
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7);
    for (uint32_t i = 0; i < kBytes / chunk.size(); ++i)
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
    close(fd);
    const std::string path = name;

    Entity entity;
    std::vector<std::string> args = {"bench_doip_flash", "--use_eth", "--target_ip", "127.0.0.1", "--target_port",
                                     std::to_string(entity.port()), "--tester_present_cycletime_msec", "0",
                                     "--logfile", "/dev/null"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    if (CFG_enInit(static_cast<int>(argv.size()), argv.data(), "bench") != 0) return 1;
    LOG_SetVerbosity(6);
    if (!UDS_boInit() || !DOIPIF_boStartStream()) {
        std::fprintf(stderr, "DoIP stream did not start\n");
        return 1;
    }
    const uint8_t* file = reinterpret_cast<const uint8_t*>(path.c_str());
    auto t0 = std::chrono::steady_clock::now();
    const bool ok = UDS_boDoTransferDataBlock(0x44, 0x00, 0, kBytes, true, file, kBytes);
    const double flasher = Seconds(t0);
    // The same with the allocator's heap trimming off: shows what allocations per block cost.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    t0 = std::chrono::steady_clock::now();
    const bool okNoTrim = UDS_boDoTransferDataBlock(0x44, 0x00, 0, kBytes, true, file, kBytes);
    const double flasherNoTrim = Seconds(t0);
    UDS_vDeinit();

    t0 = std::chrono::steady_clock::now();
    const bool floorOk = MinimalLoop(entity.port(), path);
    const double floor = Seconds(t0);
    std::remove(path.c_str());

    std::printf("DoIP download of a 64 MiB file on loopback, blocks of 65533 bytes\n");
    std::printf("  flasher (UDS transfer + DoIP interface): %s, %7.1f MiB/s, %6.2f s\n", ok ? "ok" : "FAILED",
                64.0 / flasher, flasher);
    std::printf("  the same, heap trimming off            : %s, %7.1f MiB/s, %6.2f s\n", okNoTrim ? "ok" : "FAILED",
                64.0 / flasherNoTrim, flasherNoTrim);
    std::printf("  floor (one socket, send/ack/answer)    : %s, %7.1f MiB/s, %6.2f s\n", floorOk ? "ok" : "FAILED",
                64.0 / floor, floor);
    LOG_vClose();
    return ok && okNoTrim && floorOk ? 0 : 1;
}
