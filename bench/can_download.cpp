// Download speed of a 1 MiB block over ISO-TP on a virtual CAN interface, classic CAN and CAN
// FD: through the flasher's UDS client and CAN transport into the simulated ECU's CAN front-end,
// next to the kernel's floor (the same TransferData-sized messages with 2-byte answers between
// two bare ISO-TP sockets in one process). Needs SocketCAN and an up vcan0 with mtu 72, so it
// runs inside the benchmark VM (bench/can_vm_bench.sh); elsewhere it says so and exits.
#include <linux/can.h>
#include <linux/can/isotp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "sim/can_server.h"
#include "sim/ecu_model.h"
#include "sim/sa2.h"
#include "uds/uds.h"

namespace {

constexpr uint32_t kBlock = 1024 * 1024;
constexpr uint32_t kRam = 0x20000000;  // the simulated ECU's RAM: no erase needed
const char* const kIf = "vcan0";

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int isotp_socket(canid_t rx, canid_t tx, bool fd) {
    const int s = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    if (s < 0) return -1;
    can_isotp_options opts;
    std::memset(&opts, 0, sizeof opts);
    opts.flags = CAN_ISOTP_TX_PADDING | CAN_ISOTP_RX_PADDING;
    opts.txpad_content = opts.rxpad_content = 0xAA;
    ::setsockopt(s, SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts);
    if (fd) {
        can_isotp_ll_options ll{72, 64, 1};
        ::setsockopt(s, SOL_CAN_ISOTP, CAN_ISOTP_LL_OPTS, &ll, sizeof ll);
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, kIf, IFNAMSIZ - 1);
    ::ioctl(s, SIOCGIFINDEX, &ifr);
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    addr.can_addr.tp.rx_id = rx;
    addr.can_addr.tp.tx_id = tx;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// The kernel's floor: 1 MiB in messages of `pdu` bytes, each answered with 2 bytes.
double kernel_floor(bool fd, uint32_t pdu) {
    const int tester = isotp_socket(0x77E, 0x714, fd);
    const int ecu = isotp_socket(0x714, 0x77E, fd);
    if (tester < 0 || ecu < 0) return -1;
    const uint32_t payload = pdu - 2;
    const uint32_t count = (kBlock + payload - 1) / payload;
    std::thread peer([&] {
        std::vector<uint8_t> buf(8200);
        for (uint32_t i = 0; i < count; ++i) {
            if (::read(ecu, buf.data(), buf.size()) <= 0) return;
            const uint8_t answer[2] = {0x76, buf[1]};
            if (::write(ecu, answer, 2) != 2) return;
        }
    });
    std::vector<uint8_t> msg(pdu, 0x5A);
    uint8_t answer[16];
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (uint32_t i = 0; i < count && ok; ++i) {
        msg[0] = 0x36;
        msg[1] = static_cast<uint8_t>(i + 1);
        ok = ::write(tester, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size()) &&
             ::read(tester, answer, sizeof answer) == 2;
    }
    const double t = seconds_since(start);
    peer.join();
    ::close(tester);
    ::close(ecu);
    return ok ? t : -1;
}

// The flasher's path: CANIF and the UDS client into the simulated ECU, after the session
// changes and security access a download needs.
double flasher_download(bool fd) {
    ecusim::EcuModel model{ecusim::EcuConfig{}};
    ecusim::CanServerConfig sc;
    sc.interface = kIf;
    sc.canfd = fd;
    ecusim::CanServer server(model, sc);
    server.start();
    std::vector<std::string> args = {"bench_can_download", "--can_channel", kIf, "--tester_present_cycletime_msec", "0",
                                     "--logfile", "/tmp/bench_can_download.log"};
    if (fd) {
        args.push_back("--use_canfd");
        args.push_back("72:64:1");
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    if (CFG_enInit(static_cast<int>(argv.size()), argv.data(), "bench") != 0 || !UDS_boInit()) return -1;
    const auto& sa2 = ecusim::defaultSa2Program();
    std::vector<uint8_t> data(kBlock);
    for (uint32_t i = 0; i < kBlock; ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    double t = -1;
    if (UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_EXTENDED, UDS_SUPPRESS_POS_RESP_OFF) == UDS_RES_OK &&
        UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_OFF) == UDS_RES_OK &&
        UDS_boDoSA2Access(sa2.data(), static_cast<uint32_t>(sa2.size()))) {
        const auto start = std::chrono::steady_clock::now();
        if (UDS_boDoTransferDataBlock(0x44, 0x00, kRam, kBlock, false, data.data(), kBlock)) t = seconds_since(start);
    }
    UDS_vDeinit();
    server.stop();
    LOG_vFlush();
    return t;
}

void row(const char* what, double t) {
    if (t < 0) {
        std::printf("  %-46s failed\n", what);
    } else {
        std::printf("  %-46s %7.2f s  %8.1f KiB/s\n", what, t, kBlock / 1024.0 / t);
    }
}

}  // namespace

int main() {
    const int probe = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    if (probe < 0 || if_nametoindex(kIf) == 0) {
        std::printf("bench_can_download: needs SocketCAN ISO-TP and %s (run bench/can_vm_bench.sh)\n", kIf);
        return 0;
    }
    ::close(probe);
    std::printf("1 MiB download over ISO-TP on %s (TransferData blocks of 4093 bytes)\n", kIf);
    for (bool fd : {false, true}) {
        std::printf("%s:\n", fd ? "CAN FD (72:64:1)" : "classic CAN");
        row("flasher (UDS + CANIF) into kestrum_ecusim", flasher_download(fd));
        row("floor: bare kernel ISO-TP sockets, same PDUs", kernel_floor(fd, 4095));
    }
    return 0;
}
