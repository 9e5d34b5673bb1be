// The simulated ECU's CAN front-end, with the flasher's CAN transport as the tester, on a real
// kernel (runs in the VM test, skips without SocketCAN).
#include <linux/can/isotp.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "canif_fixture.h"
#include "sim/can_server.h"
#include "sim/ecu_model.h"

namespace canif_test {
namespace {

const char* vcan() {
    const char* name = std::getenv("KESTRUM_VCAN");
    return name != nullptr ? name : "vcan0";
}

class CanServerTest : public CanifTest {
protected:
    void SetUp() override {
        CanifTest::SetUp();
        const int probe = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
        if (probe < 0) GTEST_SKIP() << "no SocketCAN ISO-TP here; runs in the VM test";
        ::close(probe);
        if (if_nametoindex(vcan()) == 0) GTEST_SKIP() << "no interface " << vcan();
        CANIF_vSetSys(nullptr);
    }
    void TearDown() override {
        CANIF_vDeinit();
        CanifTest::TearDown();
    }
    // The answer to `request`, or an empty vector when none came within `ms`.
    std::vector<uint8_t> ask(IF_tenSocketType type, std::vector<uint8_t> request, int ms = 2000) {
        EXPECT_TRUE(CANIF_boSendUDS(type, request.data(), static_cast<uint32_t>(request.size())));
        uint8_t buf[4096];
        const int n = CANIF_iReceive(request[0], buf, sizeof buf, ms);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>();
    }
};

TEST(CanServerOptions, CanFdTextIsParsedStrictly) {
    ecusim::CanServerConfig c;
    EXPECT_TRUE(ecusim::parseCanFdOptions("72:64:1", c));
    EXPECT_TRUE(c.canfd);
    EXPECT_EQ(c.mtu, 72);
    EXPECT_EQ(c.txDl, 64);
    EXPECT_EQ(c.txFlags, 1);
    for (const char* bad : {"", "72", "72:64", "72:64:1x", "300:64:1", "a:b:c"}) {
        ecusim::CanServerConfig d;
        EXPECT_FALSE(ecusim::parseCanFdOptions(bad, d)) << bad;
        EXPECT_FALSE(d.canfd);
    }
}

TEST_F(CanServerTest, StartFailsClearlyWithoutTheInterface) {
    ecusim::EcuModel model{ecusim::EcuConfig{}};
    ecusim::CanServerConfig sc;
    sc.interface = "nocan9";
    ecusim::CanServer server(model, sc);
    try {
        server.start();
        FAIL() << "started without an interface";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("nocan9"), std::string::npos) << e.what();
    }
}

TEST_F(CanServerTest, AnswersPhysicalAndFunctionalRequests) {
    struct Case {
        const char* name;
        std::vector<std::string> flasher;
        ecusim::CanServerConfig server;
    };
    ecusim::CanServerConfig classic;
    classic.interface = vcan();
    ecusim::CanServerConfig fd = classic;
    ASSERT_TRUE(ecusim::parseCanFdOptions("72:64:1", fd));
    ecusim::CanServerConfig ext = classic;
    ext.physicalId = 0x18DA10F1;
    ext.functionalId = 0x18DB33F1;
    ext.responseId = 0x18DAF110;
    const Case cases[] = {
        {"classic", {}, classic},
        {"fd", {"--use_canfd", "72:64:1"}, fd},
        {"29-bit", {"--tester_phy_req_id", "0x18DA10F1", "--tester_func_req_id", "0x18DB33F1", "--ecu_resp_id", "0x18DAF110"},
         ext},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ecusim::EcuModel model{ecusim::EcuConfig{}};
        ecusim::CanServer server(model, c.server);
        ASSERT_NO_THROW(server.start());
        std::vector<std::string> args = {"--can_channel", vcan(), "--tester_present_cycletime_msec", "0"};
        args.insert(args.end(), c.flasher.begin(), c.flasher.end());
        CANIF__vResetForTest();
        configure(args);
        ASSERT_TRUE(CANIF_boInit());

        // Spare part number: a multi-frame answer on classic CAN.
        const auto part = ask(IF_SOCKET_PHY, {0x22, 0xF1, 0x87});
        ASSERT_GE(part.size(), 3u);
        EXPECT_EQ(part[0], 0x62);
        EXPECT_EQ(std::string(part.begin() + 3, part.end()).substr(0, 10), "5G0920861A");
        // Functional: answered on the response id, read on the physical socket.
        const auto ext_session = ask(IF_SOCKET_FUNC, {0x10, 0x03});
        ASSERT_FALSE(ext_session.empty());
        EXPECT_EQ(ext_session[0], 0x50);
        // Suppressed positive answer: nothing comes.
        EXPECT_TRUE(ask(IF_SOCKET_FUNC, {0x3E, 0x80}, 200).empty());
        EXPECT_EQ(server.requests(), 3u);
        CANIF_vDeinit();
        server.stop();
    }
}

// A tester that does not pad its frames gets no answer from the strict ECU.
TEST_F(CanServerTest, UnpaddedRequestIsDropped) {
    ecusim::EcuModel model{ecusim::EcuConfig{}};
    ecusim::CanServerConfig sc;
    sc.interface = vcan();
    ecusim::CanServer server(model, sc);
    ASSERT_NO_THROW(server.start());
    const int s = ::socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP);
    ASSERT_GE(s, 0);
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(vcan()));
    addr.can_addr.tp.rx_id = 0x77E;
    addr.can_addr.tp.tx_id = 0x714;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::write(s, "\x22\xF1\x87", 3), 3);
    pollfd p{s, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 300), 0);
    EXPECT_EQ(server.requests(), 0u);
    ::close(s);
    server.stop();
}

}  // namespace
}  // namespace canif_test
