// Socket set-up of the CAN transport: option values and bytes as the kernel receives them.
#include <linux/can/bcm.h>
#include <linux/can/isotp.h>
#include <sys/ioctl.h>

#include "canif_fixture.h"

namespace canif_test {
namespace {

// The 12-byte ISO-TP options record as the kernel reads it.
std::vector<uint8_t> isotp_opts(uint32_t flags, uint32_t frame_txtime, uint8_t pad) {
    std::vector<uint8_t> v(12, 0);
    std::memcpy(&v[0], &flags, 4);
    std::memcpy(&v[4], &frame_txtime, 4);
    v[9] = pad;   // txpad_content
    v[10] = pad;  // rxpad_content
    return v;
}

const std::vector<uint8_t> kZero32 = {0, 0, 0, 0};

TEST_F(CanifTest, DefaultSetUpOpensBcmThenFunctionalThenPhysical) {
    configure({"--can_channel", "vcan0"});
    ASSERT_TRUE(CANIF_boInit());

    const auto sockets = kernel.of("socket");
    ASSERT_EQ(sockets.size(), 3u);
    EXPECT_EQ(sockets[0].a, PF_CAN);
    EXPECT_EQ(sockets[0].b, SOCK_DGRAM);
    EXPECT_EQ(sockets[0].c, CAN_BCM);
    for (int i : {1, 2}) {
        EXPECT_EQ(sockets[i].a, PF_CAN);
        EXPECT_EQ(sockets[i].b, SOCK_DGRAM);
        EXPECT_EQ(sockets[i].c, CAN_ISOTP);
    }
    const int bcm = sockets[0].fd, func = sockets[1].fd, phy = sockets[2].fd;
    const CANIF__tstSockets s = CANIF__stGetSockets();
    EXPECT_EQ(s.cyclic, bcm);
    EXPECT_EQ(s.func, func);
    EXPECT_EQ(s.phy, phy);

    // Broadcast manager: interface index by name, then connect.
    const auto ioctls = kernel.of("ioctl");
    ASSERT_EQ(ioctls.size(), 3u);
    for (const auto& c : ioctls) {
        EXPECT_EQ(c.a, static_cast<long>(SIOCGIFINDEX));
        EXPECT_EQ(std::string(c.bytes.begin(), c.bytes.end()), "vcan0");
    }
    const auto connects = kernel.of("connect");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].fd, bcm);
    EXPECT_EQ(address(connects[0]).can_family, AF_CAN);
    EXPECT_EQ(address(connects[0]).can_ifindex, 7);

    struct Expect {
        int fd;
        canid_t tx;
    };
    for (const Expect& e : {Expect{func, 0x700}, Expect{phy, 0x714}}) {
        SCOPED_TRACE(e.fd);
        const auto opts = kernel.options(e.fd, CAN_ISOTP_OPTS);
        ASSERT_EQ(opts.size(), 1u);
        EXPECT_EQ(opts[0].a, SOL_CAN_ISOTP);
        EXPECT_EQ(opts[0].bytes, isotp_opts(0x10C, 0, 0xAA));
        EXPECT_TRUE(kernel.options(e.fd, CAN_ISOTP_LL_OPTS).empty());
        const auto fc = kernel.options(e.fd, CAN_ISOTP_RECV_FC);
        ASSERT_EQ(fc.size(), 1u);
        EXPECT_EQ(fc[0].bytes, std::vector<uint8_t>({0, 0, 0}));
        EXPECT_TRUE(kernel.options(e.fd, CAN_ISOTP_TX_STMIN).empty());
        const auto rx_stmin = kernel.options(e.fd, CAN_ISOTP_RX_STMIN);
        ASSERT_EQ(rx_stmin.size(), 1u);
        EXPECT_EQ(rx_stmin[0].bytes, kZero32);
    }

    const auto binds = kernel.of("bind");
    ASSERT_EQ(binds.size(), 2u);
    EXPECT_EQ(binds[0].fd, func);
    EXPECT_EQ(binds[1].fd, phy);
    EXPECT_EQ(address(binds[0]).can_family, AF_CAN);
    EXPECT_EQ(address(binds[0]).can_ifindex, 7);
    EXPECT_EQ(address(binds[0]).can_addr.tp.tx_id, 0x700u);
    EXPECT_EQ(address(binds[0]).can_addr.tp.rx_id, 0x77Eu);
    EXPECT_EQ(address(binds[1]).can_addr.tp.tx_id, 0x714u);
    EXPECT_EQ(address(binds[1]).can_addr.tp.rx_id, 0x77Eu);

    const std::string text = log();
    EXPECT_NE(text.find("CANIF: Func Cyclic Init for \"vcan0\" successful SocketNum:" + std::to_string(bcm)),
              std::string::npos);
    EXPECT_NE(text.find("CANIF: Init Func for \"vcan0\" successful SocketNum:" + std::to_string(func) +
                        " Tx:0x700 Rx:0x77E"),
              std::string::npos);
    EXPECT_NE(text.find("CANIF: Init Phy for \"vcan0\" successful SocketNum:" + std::to_string(phy) +
                        " Tx:0x714 Rx:0x77E"),
              std::string::npos);

    CANIF_vDeinit();
    std::vector<int> closed;
    for (const auto& c : kernel.of("close")) closed.push_back(c.fd);
    EXPECT_EQ(closed, std::vector<int>({phy, func, bcm}));
    const CANIF__tstSockets after = CANIF__stGetSockets();
    EXPECT_EQ(after.phy, -1);
    EXPECT_EQ(after.func, -1);
    EXPECT_EQ(after.cyclic, -1);
    CANIF_vDeinit();  // nothing left to close
    EXPECT_EQ(kernel.of("close").size(), 3u);
}

TEST_F(CanifTest, OptionValuesFollowTheCommandLine) {
    struct Case {
        std::vector<std::string> args;
        uint32_t flags;
        uint32_t frame_txtime;
        uint8_t pad;
        bool tx_stmin;                 // CAN_ISOTP_TX_STMIN set (to 0)
        std::vector<uint8_t> ll;       // CAN_ISOTP_LL_OPTS bytes, empty: not set
        const char* ll_log;            // debug line, nullptr: none
    };
    const Case cases[] = {
        {{}, 0x10C, 0, 0xAA, false, {}, nullptr},
        {{"--seperation_time_usec", "500"}, 0x18C, 500000, 0xAA, true, {}, nullptr},
        {{"--can_dynamic_flow_control"}, 0x210C, 0, 0xAA, false, {}, nullptr},
        {{"--can_padding_byte", "0x55"}, 0x10C, 0, 0x55, false, {}, nullptr},
        {{"--use_canfd", "72:64:1"}, 0x10C, 0, 0xAA, false, {72, 64, 1}, "CANIF: mtu: 72, tx_dl: 64, flags: 1"},
        {{"--use_canfd", "16:0:0"}, 0x10C, 0, 0xAA, false, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("defaults") : c.args[0]);
        kernel.calls.clear();
        CANIF__vResetForTest();
        configure(c.args);
        ASSERT_TRUE(CANIF_boInit());
        const CANIF__tstSockets s = CANIF__stGetSockets();
        for (int fd : {s.func, s.phy}) {
            const auto opts = kernel.options(fd, CAN_ISOTP_OPTS);
            ASSERT_EQ(opts.size(), 1u);
            EXPECT_EQ(opts[0].bytes, isotp_opts(c.flags, c.frame_txtime, c.pad));
            const auto ll = kernel.options(fd, CAN_ISOTP_LL_OPTS);
            if (c.ll.empty()) {
                EXPECT_TRUE(ll.empty());
            } else {
                ASSERT_EQ(ll.size(), 1u);
                EXPECT_EQ(ll[0].bytes, c.ll);
            }
            const auto tx = kernel.options(fd, CAN_ISOTP_TX_STMIN);
            EXPECT_EQ(tx.size(), c.tx_stmin ? 1u : 0u);
            if (!tx.empty()) {
                EXPECT_EQ(tx[0].bytes, kZero32);
            }
            EXPECT_EQ(kernel.options(fd, CAN_ISOTP_RX_STMIN).size(), 1u);
        }
        if (c.ll_log != nullptr) {
            EXPECT_NE(log().find(c.ll_log), std::string::npos);
        } else {
            EXPECT_EQ(log().find("CANIF: mtu:"), std::string::npos);
        }
    }
}

TEST_F(CanifTest, IdentifiersFrom0x800AreExtended) {
    struct Case {
        const char* value;
        canid_t kernel_id;
        const char* shown;
    };
    const Case cases[] = {
        {"0x7FF", 0x7FF, "0x7FF"},
        {"0x800", 0x800 | CAN_EFF_FLAG, "0x800"},
        {"0x18DA10F1", 0x18DA10F1 | CAN_EFF_FLAG, "0x18DA10F1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        kernel.calls.clear();
        CANIF__vResetForTest();
        configure({"--tester_phy_req_id", c.value, "--ecu_resp_id", c.value, "--tester_func_req_id", c.value});
        ASSERT_TRUE(CANIF_boInit());
        for (const auto& b : kernel.of("bind")) {
            EXPECT_EQ(address(b).can_addr.tp.tx_id, c.kernel_id);
            EXPECT_EQ(address(b).can_addr.tp.rx_id, c.kernel_id);
        }
        const std::string shown = std::string(" Tx:") + c.shown + " Rx:" + c.shown;
        EXPECT_NE(log().find("CANIF: Init Phy for \"canfd0\" successful SocketNum:" +
                             std::to_string(CANIF__stGetSockets().phy) + shown),
                  std::string::npos);
    }
}

TEST_F(CanifTest, IdentifierWiderThan29BitsIsRefused) {
    configure({"--tester_phy_req_id", "0x100000714"});
    EXPECT_FALSE(CANIF_boInit());
    EXPECT_EQ(CANIF__stGetSockets().phy, -1);
    EXPECT_NE(CANIF__stGetSockets().func, -1);
    EXPECT_NE(log().find("CANIF: Invalid CAN identifier 0x100000714"), std::string::npos);
}

TEST_F(CanifTest, TesterPresentDisabledOpensNoBroadcastManager) {
    configure({"--tester_present_cycletime_msec", "0"});
    ASSERT_TRUE(CANIF_boInit());
    for (const auto& c : kernel.of("socket")) EXPECT_EQ(c.c, CAN_ISOTP);
    EXPECT_EQ(kernel.of("socket").size(), 2u);
    EXPECT_EQ(CANIF__stGetSockets().cyclic, -1);
}

// Each failing kernel call: what init returns, which sockets stay open, and the perror text.
TEST_F(CanifTest, SetUpFailuresAreReportedAndCloseTheSocket) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<int(const Call&)> fail;
        const char* perror_text;
        bool func_open, phy_open, bcm_open;
        size_t closes;
    };
    const Case cases[] = {
        {"bcm socket", {}, [](const Call& c) { return c.fn == "socket" && c.c == CAN_BCM ? EACCES : 0; },
         "ERROR CANIF: Cyclic Func Setup Socket: : Permission denied", true, true, false, 0},
        {"bcm ioctl", {}, [](const Call& c) { return c.fn == "ioctl" && c.fd == 10 ? ENODEV : 0; },
         "ERROR CANIF: Cyclic Func Setup SIOCGIFINDEX: : No such device", true, true, false, 1},
        {"bcm connect", {}, [](const Call& c) { return c.fn == "connect" ? ENETDOWN : 0; },
         "ERROR CANIF: Cyclic Func Setup Connect: : Network is down", true, true, false, 1},
        {"isotp socket", {}, [](const Call& c) { return c.fn == "socket" && c.c == CAN_ISOTP ? EAFNOSUPPORT : 0; },
         "ERROR CANIF: Socket: Address family not supported by protocol", false, false, true, 0},
        {"ll opts", {"--use_canfd", "72:64:1"},
         [](const Call& c) { return c.fn == "setsockopt" && c.b == CAN_ISOTP_LL_OPTS ? EINVAL : 0; },
         "ERROR CANIF: Unable to set socket options: : Invalid argument", false, false, true, 2},
        {"bind phy", {}, [](const Call& c) { return c.fn == "bind" && c.fd == 12 ? ENODEV : 0; },
         "ERROR CANIF: Bind: No such device", true, false, true, 1},
        // The results of these calls are not checked: set-up still succeeds.
        {"unchecked options", {"--seperation_time_usec", "1"},
         [](const Call& c) { return c.fn == "setsockopt" && c.b != CAN_ISOTP_LL_OPTS ? EINVAL : 0; }, nullptr,
         true, true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kernel.calls.clear();
        kernel.next_fd = 10;
        kernel.fail = [](const Call&) { return 0; };
        CANIF__vResetForTest();
        configure(c.args);
        kernel.fail = c.fail;
        testing::internal::CaptureStderr();
        const bool ok = CANIF_boInit();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.func_open && c.phy_open && c.bcm_open);
        if (c.perror_text != nullptr) {
            EXPECT_NE(err.find(c.perror_text), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, "");
        }
        const CANIF__tstSockets s = CANIF__stGetSockets();
        EXPECT_EQ(s.func != -1, c.func_open);
        EXPECT_EQ(s.phy != -1, c.phy_open);
        EXPECT_EQ(s.cyclic != -1, c.bcm_open);
        EXPECT_EQ(kernel.of("close").size(), c.closes);
    }
}

}  // namespace
}  // namespace canif_test
