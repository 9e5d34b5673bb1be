// Sending, receiving and draining through the ISO-TP sockets.
#include "canif_fixture.h"

namespace canif_test {
namespace {

class CanifIoTest : public CanifTest {
protected:
    void SetUp() override {
        CanifTest::SetUp();
        configure({"--tester_present_cycletime_msec", "0"});
        ASSERT_TRUE(CANIF_boInit());
        func_ = CANIF__stGetSockets().func;
        phy_ = CANIF__stGetSockets().phy;
        kernel.calls.clear();
    }
    int func_ = -1, phy_ = -1;
};

TEST_F(CanifIoTest, SendWritesTheWholeRequestOnTheAddressedSocket) {
    uint8_t request[] = {0x22, 0xF1, 0x87};
    ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_PHY, request, 3));
    ASSERT_TRUE(CANIF_boSendUDS(IF_SOCKET_FUNC, request, 2));
    const auto writes = kernel.of("write");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].fd, phy_);
    EXPECT_EQ(writes[0].bytes, std::vector<uint8_t>({0x22, 0xF1, 0x87}));
    EXPECT_EQ(writes[1].fd, func_);
    EXPECT_EQ(writes[1].bytes, std::vector<uint8_t>({0x22, 0xF1}));

    kernel.short_write = 1;
    EXPECT_FALSE(CANIF_boSendUDS(IF_SOCKET_PHY, request, 3));
    kernel.short_write = -1;
    kernel.fail = [](const Call& c) { return c.fn == "write" ? ECOMM : 0; };
    EXPECT_FALSE(CANIF_boSendUDS(IF_SOCKET_FUNC, request, 3));
    const std::string text = log();
    EXPECT_NE(text.find("CANIF: TX Phy Send:1 Requested:3"), std::string::npos);
    EXPECT_NE(text.find("CANIF: TX Func Send:-1 Requested:3"), std::string::npos);
}

TEST_F(CanifIoTest, ReceiveReadsOneMessageFromThePhysicalSocket) {
    kernel.inbox[phy_].push_back({0x62, 0xF1, 0x87, 0x41});
    uint8_t buffer[16] = {};
    EXPECT_EQ(CANIF_iReceive(0x22, buffer, sizeof buffer, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), std::vector<uint8_t>({0x62, 0xF1, 0x87, 0x41}));
    const auto selects = kernel.of("select");
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].fd, phy_);
    EXPECT_EQ(selects[0].tv_sec, 1);
    EXPECT_EQ(selects[0].tv_usec, 0);
    const auto reads = kernel.of("read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].fd, phy_);
    EXPECT_EQ(reads[0].a, 16);
}

TEST_F(CanifIoTest, ReceiveTimesOutWithZero) {
    uint8_t buffer[16];
    EXPECT_EQ(CANIF_iReceive(0x22, buffer, sizeof buffer, 2500), 0);
    const auto selects = kernel.of("select");
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].tv_sec, 2);
    EXPECT_EQ(selects[0].tv_usec, 500000);
    EXPECT_TRUE(kernel.of("read").empty());
    EXPECT_NE(log().find("CANIF: RX Phy Socket Timeout"), std::string::npos);
}

TEST_F(CanifIoTest, InterruptedWaitIsNotAnErrorAndWaitsOn) {
    // EINTR, then the answer arrives.
    kernel.selects = {{-1, EINTR}, {1, 0}};
    kernel.inbox[phy_].push_back({0x50, 0x03});
    uint8_t buffer[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(CANIF_iReceive(0x10, buffer, sizeof buffer, 800), 2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("CANIF: RX Phy Socket select: Interrupted system call"), std::string::npos);
    const auto selects = kernel.of("select");
    ASSERT_EQ(selects.size(), 2u);
    EXPECT_EQ(selects[0].tv_sec * 1000000 + selects[0].tv_usec, 800000);
    // The second wait covers what is left of the 800 ms, no more.
    EXPECT_LE(selects[1].tv_sec * 1000000 + selects[1].tv_usec, 800000);
    std::string text = log();
    EXPECT_NE(text.find("CANIF: *** Ignored EINTR ***"), std::string::npos);
    EXPECT_EQ(text.find("CANIF: Select Result"), std::string::npos);

    // EINTR and then nothing: a plain timeout, no read that could block.
    kernel.calls.clear();
    kernel.selects = {{-1, EINTR}, {0, 0}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(CANIF_iReceive(0x10, buffer, sizeof buffer, 800), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(kernel.of("read").empty());
    EXPECT_NE(log().find("CANIF: RX Phy Socket Timeout"), std::string::npos);
}

TEST_F(CanifIoTest, FailedWaitLogsErrnoAndReturnsZero) {
    kernel.selects = {{-1, EBADF}};
    uint8_t buffer[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(CANIF_iReceive(0x10, buffer, sizeof buffer, 100), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("CANIF: RX Phy Socket select: Bad file descriptor"),
              std::string::npos);
    EXPECT_NE(log().find("CANIF: Select Result 9"), std::string::npos);
    EXPECT_TRUE(kernel.of("read").empty());
}

TEST_F(CanifIoTest, NegativeReadIsPassedOn) {
    kernel.inbox[phy_].push_back({0x50});
    kernel.fail = [](const Call& c) { return c.fn == "read" ? EILSEQ : 0; };
    uint8_t buffer[8];
    EXPECT_EQ(CANIF_iReceive(0x10, buffer, sizeof buffer, 100), -1);
}

TEST_F(CanifIoTest, DrainDiscardsEveryWaitingAnswer) {
    kernel.inbox[phy_].push_back({0x7E, 0x00});
    kernel.inbox[phy_].push_back({0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
    CANIF_vClearRxBuffer();
    EXPECT_TRUE(kernel.inbox[phy_].empty());
    const auto selects = kernel.of("select");
    ASSERT_EQ(selects.size(), 3u);
    for (const auto& s : selects) {
        EXPECT_EQ(s.tv_sec, 0);
        EXPECT_EQ(s.tv_usec, 0);
    }
    for (const auto& r : kernel.of("read")) EXPECT_EQ(r.a, 4096);
    const std::string text = log();
    const size_t first = text.find("CANIF: Ignoring SID 0x7E");
    const size_t second = text.find("CANIF: Ignoring SID 0x50");
    const size_t timeout = text.find("CANIF: RX Phy Socket Timeout");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(timeout, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, timeout);
}

TEST_F(CanifIoTest, DrainStopsOnEmptyOrFailedRead) {
    for (int err : {0, EILSEQ}) {
        SCOPED_TRACE(err);
        kernel.calls.clear();
        kernel.selects = {{1, 0}, {1, 0}};  // readable, but the read finds nothing / fails
        kernel.fail = [err](const Call& c) { return c.fn == "read" ? err : 0; };
        CANIF_vClearRxBuffer();
        EXPECT_EQ(kernel.of("read").size(), 1u);
        EXPECT_EQ(kernel.of("select").size(), 1u);
    }
    EXPECT_EQ(log().find("CANIF: Ignoring SID"), std::string::npos);
}

TEST_F(CanifIoTest, DrainSurvivesEintr) {
    kernel.selects = {{-1, EINTR}};
    kernel.inbox[phy_].push_back({0x7E, 0x00});
    testing::internal::CaptureStderr();
    CANIF_vClearRxBuffer();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(kernel.inbox[phy_].empty());
    EXPECT_NE(log().find("CANIF: Ignoring SID 0x7E"), std::string::npos);
}

TEST_F(CanifTest, ClosedSocketsRefuseEveryOperation) {
    configure();
    uint8_t data[] = {0x3E, 0x00};
    EXPECT_FALSE(CANIF_boSendUDS(IF_SOCKET_PHY, data, 2));
    EXPECT_FALSE(CANIF_boSendUDS(IF_SOCKET_FUNC, data, 2));
    EXPECT_EQ(CANIF_iReceive(0x3E, data, 2, 10), 0);
    CANIF_vClearRxBuffer();
    EXPECT_FALSE(CANIF_boStartTesterPresentCyclicFunc(data, 2));
    EXPECT_FALSE(CANIF_boStopTesterPresentCyclicFunc());
    EXPECT_TRUE(CANIF_boStartStream());
    EXPECT_TRUE(kernel.calls.empty());
    const std::string text = log();
    for (const char* line : {"CANIF: TX Phy Socket not open", "CANIF: TX Func Socket not open",
                             "CANIF: RX Phy Socket not open", "CANIF: Cyclic Start Socket not open",
                             "CANIF: Cyclic Stop Socket not open"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace canif_test
