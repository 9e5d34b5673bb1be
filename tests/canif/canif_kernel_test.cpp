// The CAN transport against a real kernel: ISO-TP peers, a raw monitor of the bus and the
// can-utils tools as an independent peer. These tests need SocketCAN and a virtual CAN
// interface (KESTRUM_VCAN, default vcan0, up with mtu 72); they run in the VM test and skip
// on machines without SocketCAN.
#include <fcntl.h>
#include <linux/can/isotp.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>

#include "canif_fixture.h"

namespace canif_test {
namespace {

std::string vcan_name() {
    const char* name = std::getenv("KESTRUM_VCAN");
    return name != nullptr ? name : "vcan0";
}

int vcan_index() {
    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return -1;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, vcan_name().c_str(), IFNAMSIZ - 1);
    const int rc = ::ioctl(fd, SIOCGIFINDEX, &ifr);
    ::close(fd);
    return rc < 0 ? -1 : ifr.ifr_ifindex;
}

// An open descriptor closed at scope end.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// The ECU side: an ISO-TP socket receiving on `rx` and sending on `tx`, padded with 0xAA.
int isotp_peer(canid_t rx, canid_t tx, const can_isotp_ll_options* ll = nullptr) {
    const int fd = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    if (fd < 0) return -1;
    can_isotp_options opts;
    std::memset(&opts, 0, sizeof opts);
    opts.flags = CAN_ISOTP_TX_PADDING | CAN_ISOTP_RX_PADDING | CAN_ISOTP_CHK_PAD_LEN | CAN_ISOTP_CHK_PAD_DATA;
    opts.txpad_content = 0xAA;
    opts.rxpad_content = 0xAA;
    ::setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &opts, sizeof opts);
    if (ll != nullptr) ::setsockopt(fd, SOL_CAN_ISOTP, CAN_ISOTP_LL_OPTS, ll, sizeof *ll);
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = vcan_index();
    addr.can_addr.tp.rx_id = rx;
    addr.can_addr.tp.tx_id = tx;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A raw socket seeing every classic and FD frame on the bus.
int raw_monitor() {
    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = vcan_index();
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Frame {
    canid_t id;
    bool fd;
    std::vector<uint8_t> data;
};

// Frames arriving at the monitor within `ms`.
std::vector<Frame> collect(int fd, int ms) {
    std::vector<Frame> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        canfd_frame f;
        const ssize_t n = ::read(fd, &f, sizeof f);
        if (n != CAN_MTU && n != CANFD_MTU) continue;
        out.push_back({f.can_id, n == CANFD_MTU, std::vector<uint8_t>(f.data, f.data + f.len)});
    }
    return out;
}

std::vector<uint8_t> pattern(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// A child process ended by its PID in every outcome.
struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int in = -1;   // its standard input
    Child(std::vector<std::string> argv) {
        int o[2], i[2];
        if (::pipe(o) < 0 || ::pipe(i) < 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(i[0], 0);
            ::dup2(o[1], 1);
            ::close(o[0]);
            ::close(i[1]);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(&a[0]);
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(o[1]);
        ::close(i[0]);
        out = o[0];
        in = i[1];
    }
    ~Child() {
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    void close_input() {
        ::close(in);
        in = -1;
    }
    // What the child printed within `ms` (stops at end of output).
    std::string read_output(int ms) {
        std::string s;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) break;
            s.append(buf, static_cast<size_t>(n));
            if (s.find('\n') != std::string::npos) break;
        }
        return s;
    }
};

class CanifKernelTest : public CanifTest {
protected:
    void SetUp() override {
        CanifTest::SetUp();
        const int probe = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
        if (probe < 0) GTEST_SKIP() << "no SocketCAN ISO-TP here (" << std::strerror(errno) << "); runs in the VM test";
        ::close(probe);
        if (vcan_index() < 0) GTEST_SKIP() << "no interface " << vcan_name();
        CANIF_vSetSys(nullptr);  // the real kernel, not the recorder
    }
    void TearDown() override {
        CANIF_vDeinit();
        CanifTest::TearDown();
    }
};

// Every frame of an ISO-TP exchange on `id` is padded to its full length with 0xAA.
void expect_padded(const std::vector<Frame>& frames, canid_t id, bool fd) {
    size_t seen = 0;
    for (const Frame& f : frames) {
        if ((f.id & CAN_EFF_MASK) != (id & CAN_EFF_MASK)) continue;
        ++seen;
        EXPECT_EQ(f.fd, fd);
        if (!fd) {
            EXPECT_EQ(f.data.size(), 8u);
        }
        const uint8_t type = f.data[0] >> 4;
        if (type == 3) {  // flow control: 3 bytes then padding
            for (size_t i = 3; i < f.data.size(); ++i) EXPECT_EQ(f.data[i], 0xAA) << "FC byte " << i;
        }
    }
    EXPECT_GT(seen, 0u) << "no frames on 0x" << std::hex << id;
}

TEST_F(CanifKernelTest, ClassicRequestAndAnswerThroughTheKernel) {
    configure({"--can_channel", vcan_name(), "--tester_present_cycletime_msec", "0"});
    Fd monitor(raw_monitor());
    Fd ecu(isotp_peer(0x714, 0x77E));
    Fd ecu_func(isotp_peer(0x700, 0x77E));
    ASSERT_GE(ecu.fd, 0);
    ASSERT_TRUE(CANIF_boInit());

    // 100 bytes out (first frame, flow control, consecutive frames), 300 bytes back.
    std::vector<uint8_t> request = pattern(100, 0x31);
    ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_PHY, request.data(), static_cast<uint32_t>(request.size())));
    uint8_t got[4096];
    ASSERT_EQ(::read(ecu.fd, got, sizeof got), 100);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 100), request);
    const std::vector<uint8_t> answer = pattern(300, 0x71);
    ASSERT_EQ(::write(ecu.fd, answer.data(), answer.size()), 300);
    ASSERT_EQ(CANIF_iReceive(0x31, got, sizeof got, 2000), 300);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 300), answer);

    uint8_t tp[] = {0x3E, 0x80};
    ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_FUNC, tp, 2));
    ASSERT_EQ(::read(ecu_func.fd, got, sizeof got), 2);

    const auto frames = collect(monitor.fd, 100);
    expect_padded(frames, 0x714, false);
    expect_padded(frames, 0x77E, false);
    expect_padded(frames, 0x700, false);
    bool sf = false;
    for (const Frame& f : frames)
        if (f.id == 0x700) sf = f.data == std::vector<uint8_t>({0x02, 0x3E, 0x80, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
    EXPECT_TRUE(sf);

    // No answer: a timeout of 0 bytes.
    EXPECT_EQ(CANIF_iReceive(0x22, got, sizeof got, 100), 0);
}

TEST_F(CanifKernelTest, CanFdAndExtendedIdentifiers) {
    configure({"--can_channel", vcan_name(), "--tester_present_cycletime_msec", "0", "--use_canfd", "72:64:1",
               "--tester_phy_req_id", "0x18DA10F1", "--ecu_resp_id", "0x18DAF110"});
    Fd monitor(raw_monitor());
    can_isotp_ll_options ll{72, 64, 1};
    Fd ecu(isotp_peer(0x18DA10F1 | CAN_EFF_FLAG, 0x18DAF110 | CAN_EFF_FLAG, &ll));
    ASSERT_GE(ecu.fd, 0);
    ASSERT_TRUE(CANIF_boInit());
    std::vector<uint8_t> request = pattern(1000, 0x36);
    ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_PHY, request.data(), static_cast<uint32_t>(request.size())));
    uint8_t got[4096];
    ASSERT_EQ(::read(ecu.fd, got, sizeof got), 1000);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 1000), request);
    ASSERT_EQ(::write(ecu.fd, "\x76\x01", 2), 2);
    ASSERT_EQ(CANIF_iReceive(0x36, got, sizeof got, 2000), 2);

    const auto frames = collect(monitor.fd, 100);
    size_t full = 0;
    for (const Frame& f : frames) {
        EXPECT_TRUE(f.id & CAN_EFF_FLAG) << std::hex << f.id;
        EXPECT_TRUE(f.fd);
        if (f.id == (0x18DA10F1 | CAN_EFF_FLAG) && f.data.size() == 64) ++full;
    }
    EXPECT_GE(full, 14u);  // 1000 bytes travel in 64-byte frames
    expect_padded(frames, 0x18DAF110, true);
}

TEST_F(CanifKernelTest, DrainDropsStaleAnswers) {
    configure({"--can_channel", vcan_name(), "--tester_present_cycletime_msec", "0"});
    Fd ecu(isotp_peer(0x714, 0x77E));
    // A second listener on the answer id: the kernel hands each frame to every listener in
    // one go, so once it holds both answers the transport's socket holds them too.
    Fd witness(isotp_peer(0x77E, 0x714));
    ASSERT_TRUE(CANIF_boInit());
    ASSERT_EQ(::write(ecu.fd, "\x7E\x00", 2), 2);
    ASSERT_EQ(::write(ecu.fd, "\x50\x03\x00\x32\x01\xF4", 6), 6);
    uint8_t got[16];
    for (int i = 0; i < 2; ++i) {
        pollfd p{witness.fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        ASSERT_GT(::read(witness.fd, got, sizeof got), 0);
    }
    CANIF_vClearRxBuffer();
    EXPECT_EQ(CANIF_iReceive(0x10, got, sizeof got, 100), 0);
    const std::string text = log();
    EXPECT_NE(text.find("CANIF: Ignoring SID 0x7E"), std::string::npos);
    EXPECT_NE(text.find("CANIF: Ignoring SID 0x50"), std::string::npos);
}

TEST_F(CanifKernelTest, BroadcastManagerRepeatsTesterPresentUntilStopped) {
    configure({"--can_channel", vcan_name(), "--tester_present_cycletime_msec", "100"});
    Fd monitor(raw_monitor());
    ASSERT_TRUE(CANIF_boInit());
    uint8_t tp[] = {0x02, 0x3E, 0x80};
    ASSERT_TRUE(CANIF_boStartTesterPresentCyclicFunc(tp, 3));
    const auto running = collect(monitor.fd, 550);
    ASSERT_TRUE(CANIF_boStopTesterPresentCyclicFunc());
    collect(monitor.fd, 20);  // a frame in flight at the stop
    const auto stopped = collect(monitor.fd, 300);
    size_t count = 0;
    for (const Frame& f : running) {
        EXPECT_EQ(f.id, 0x700u);
        EXPECT_EQ(f.data, std::vector<uint8_t>({0x02, 0x3E, 0x80, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
        ++count;
    }
    EXPECT_GE(count, 3u);  // about every 100 ms
    EXPECT_LE(count, 8u);
    EXPECT_TRUE(stopped.empty());
}

// can-utils' isotprecv and isotpsend, an implementation independent of ours, as the ECU.
TEST_F(CanifKernelTest, CanUtilsPeerUnderstandsUs) {
    configure({"--can_channel", vcan_name(), "--tester_present_cycletime_msec", "0"});
    ASSERT_TRUE(CANIF_boInit());
    {
        // -P a: the receiver drops frames whose padding is not 0xAA to the full length.
        Child recv({"isotprecv", "-s", "77E", "-d", "714", "-p", "AA:AA", "-P", "a", vcan_name()});
        ASSERT_GT(recv.pid, 0);
        uint8_t request[] = {0x22, 0xF1, 0x87};
        std::string out;
        // The receiver's socket exists some moment after it starts: resend until it answers.
        for (int i = 0; i < 50 && out.empty(); ++i) {
            ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_PHY, request, 3));
            out = recv.read_output(100);
        }
        EXPECT_EQ(out, "22 F1 87 \n");
    }
    {
        Child send({"isotpsend", "-s", "77E", "-d", "714", "-p", "AA:AA", vcan_name()});
        ASSERT_GT(send.pid, 0);
        const std::string data = "62 F1 87 30 31 32 33 34 35 36 37 38 39\n";
        ASSERT_EQ(::write(send.in, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        send.close_input();
        uint8_t got[64];
        ASSERT_EQ(CANIF_iReceive(0x22, got, sizeof got, 3000), 13);
        EXPECT_EQ(got[0], 0x62);
        EXPECT_EQ(got[12], 0x39);
    }
}

}  // namespace
}  // namespace canif_test
