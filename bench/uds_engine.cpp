// Throughput of the UDS engine against an in-process transport that answers at once:
// requests per second (TesterPresent and a 3-byte RDBI), and bytes per second of a 16 MiB
// download with the DoIP buffer size. Each figure is printed beside its floor: the same
// transport called directly, and a plain copy of the same bytes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

namespace {

uint8_t g_request[65536];
uint32_t g_requestLen = 0;
volatile uint64_t g_sink = 0;

bool Send(IF_tenSocketType, uint8_t* data, uint32_t n) {
    // Only the header is kept; the data of a block is touched once, like a socket copy would.
    uint64_t sum = 0;
    for (uint32_t i = 0; i < n; i += 64) sum += data[i];
    g_sink = g_sink + sum;
    std::memcpy(g_request, data, n < 8 ? n : 8);
    g_requestLen = n;
    return true;
}

int Receive(uint8_t, uint8_t* buffer, uint32_t capacity, int) {
    switch (g_request[0]) {
        case 0x34: {
            const uint8_t a[] = {0x74, 0x20, 0xFF, 0xFF};
            std::memcpy(buffer, a, sizeof a);
            return 4;
        }
        case 0x22:
            if (capacity < 6) return 0;
            buffer[0] = 0x62;
            buffer[1] = g_request[1];
            buffer[2] = g_request[2];
            buffer[3] = 'A';
            buffer[4] = 'B';
            buffer[5] = 'C';
            return 6;
        default:
            buffer[0] = static_cast<uint8_t>(g_request[0] | 0x40);
            buffer[1] = g_request[1];
            return g_requestLen > 1 ? 2 : 1;
    }
}

bool Ok() { return true; }
void Nothing() {}
bool StartTp(uint8_t*, uint32_t) { return true; }

const UDS_tstTransport kTransport = {Ok, Nothing, Send, Receive, Nothing, StartTp, Ok, Ok};

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main() {
    std::vector<std::string> args = {"bench_uds_engine", "--use_eth", "--logfile", "/dev/null"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    if (CFG_enInit(static_cast<int>(argv.size()), argv.data(), "bench") != 0) return 1;
    LOG_SetVerbosity(6);
    UDS_vSetTransportOverride(&kTransport);
    if (!UDS_boInit()) return 1;

    const int kRequests = 200000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) UDS_enTesterPresentPhy(UDS_SUPPRESS_POS_RESP_OFF);
    const double tp = Seconds(t0);

    t0 = std::chrono::steady_clock::now();
    uint8_t out[16];
    for (int i = 0; i < kRequests / 4; ++i) {
        uint16_t len = sizeof out;
        UDS_enReadDataByIdentifier(UDS_RDBI_VW_SPARE_PART_NUMBER, out, &len);
    }
    const double rdbi = Seconds(t0);

    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        uint8_t req[2] = {0x3E, 0x00};
        uint8_t resp[10];
        Send(IF_SOCKET_PHY, req, 2);
        g_sink = g_sink + static_cast<uint64_t>(Receive(0x3E, resp, sizeof resp, 0));
    }
    const double floorReq = Seconds(t0);

    const uint32_t kBytes = 16u << 20;
    std::vector<uint8_t> data(kBytes);
    for (uint32_t i = 0; i < kBytes; ++i) data[i] = static_cast<uint8_t>(i);
    t0 = std::chrono::steady_clock::now();
    const bool ok = UDS_boDoTransferDataBlock(0x44, 0x00, 0, kBytes, false, data.data(), kBytes);
    const double dl = Seconds(t0);

    std::vector<uint8_t> copy(65535);
    t0 = std::chrono::steady_clock::now();
    for (uint32_t off = 0; off < kBytes; off += 65533) {
        const uint32_t n = kBytes - off < 65533 ? kBytes - off : 65533;
        std::memcpy(copy.data() + 2, data.data() + off, n);
        Send(IF_SOCKET_PHY, copy.data(), n + 2);
    }
    const double floorDl = Seconds(t0);

    std::printf("UDS engine, in-process transport answering at once\n");
    std::printf("  TesterPresent 3E 00      : %10.0f requests/s   (floor, transport called directly: %10.0f/s)\n",
                kRequests / tp, kRequests / floorReq);
    std::printf("  ReadDataByIdentifier F187: %10.0f requests/s   (service buffers of %u bytes each)\n",
                (kRequests / 4) / rdbi, static_cast<unsigned>(UDS_BUF_MAX));
    std::printf("  Download 16 MiB, blocks of 65533: %s, %8.1f MiB/s   (floor, copy + touch per block: %8.1f MiB/s)\n",
                ok ? "ok" : "FAILED", 16.0 / dl, 16.0 / floorDl);
    UDS_vDeinit();
    LOG_vClose();
    return 0;
}
