// Periodic tester present through the broadcast manager: the exact bytes of TX_SETUP and TX_DELETE.
#include <linux/can/bcm.h>

#include "canif_fixture.h"

namespace canif_test {
namespace {

// Byte positions of the broadcast-manager head, written out by hand for the two ABIs the
// flasher runs on: 32-bit ARM (long of 4 bytes: 40-byte head) and 64-bit (56-byte head).
struct HeadLayout {
    size_t opcode, flags, count, ival1, ival2, can_id, nframes, size, timeval_field;
};
constexpr HeadLayout kLayout = sizeof(long) == 8 ? HeadLayout{0, 4, 8, 16, 32, 48, 52, 56, 8}
                                                 : HeadLayout{0, 4, 8, 12, 20, 28, 32, 40, 4};

void put(std::vector<uint8_t>& v, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));  // little endian
}

std::vector<uint8_t> head_bytes(uint32_t opcode, uint32_t flags, uint64_t sec, uint64_t usec, uint32_t can_id,
                                uint32_t nframes) {
    std::vector<uint8_t> v(kLayout.size, 0);
    put(v, kLayout.opcode, opcode, 4);
    put(v, kLayout.flags, flags, 4);
    put(v, kLayout.ival2, sec, kLayout.timeval_field);
    put(v, kLayout.ival2 + kLayout.timeval_field, usec, kLayout.timeval_field);
    put(v, kLayout.can_id, can_id, 4);
    put(v, kLayout.nframes, nframes, 4);
    return v;
}

std::vector<uint8_t> frame_bytes(uint32_t can_id, std::vector<uint8_t> data) {
    std::vector<uint8_t> v(16, 0);
    put(v, 0, can_id, 4);
    v[4] = 8;  // DLC
    std::copy(data.begin(), data.end(), v.begin() + 8);
    return v;
}

std::vector<uint8_t> join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CanifLayout, KernelHeadMatchesTheHandWrittenLayout) {
    EXPECT_EQ(sizeof(bcm_msg_head), kLayout.size);
    EXPECT_EQ(offsetof(bcm_msg_head, ival2), kLayout.ival2);
    EXPECT_EQ(offsetof(bcm_msg_head, can_id), kLayout.can_id);
}

class CanifCyclicTest : public CanifTest {
protected:
    void start(std::vector<std::string> args) {
        configure(args);
        ASSERT_TRUE(CANIF_boInit());
        bcm_ = CANIF__stGetSockets().cyclic;
        ASSERT_NE(bcm_, -1);
        kernel.calls.clear();
    }
    int bcm_ = -1;
};

TEST_F(CanifCyclicTest, TesterPresentSetupAndDeleteBytes) {
    struct Case {
        std::vector<std::string> args;
        uint64_t sec, usec;
        uint32_t kernel_id;
        uint8_t pad;
        const char* start_line;
    };
    const Case cases[] = {
        {{}, 2, 0, 0x700, 0xAA, "CANIF: Cyclic (2 s 0 us) Start Tx ID:0x700"},
        {{"--tester_present_cycletime_msec", "2500"}, 2, 500000, 0x700, 0xAA,
         "CANIF: Cyclic (2 s 500000 us) Start Tx ID:0x700"},
        {{"--tester_func_req_id", "0x18DB33F1", "--can_padding_byte", "0x00"}, 2, 0, 0x18DB33F1 | CAN_EFF_FLAG, 0x00,
         "CANIF: Cyclic (2 s 0 us) Start Tx ID:0x18DB33F1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start_line);
        CANIF__vResetForTest();
        start(c.args);
        uint8_t tp[] = {0x02, 0x3E, 0x80};
        ASSERT_TRUE(CANIF_boStartTesterPresentCyclicFunc(tp, 3));
        ASSERT_TRUE(CANIF_boStopTesterPresentCyclicFunc());
        const auto writes = kernel.of("write");
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0].fd, bcm_);
        const std::vector<uint8_t> frame = {0x02, 0x3E, 0x80, c.pad, c.pad, c.pad, c.pad, c.pad};
        const auto setup = join(head_bytes(TX_SETUP, 0x13, c.sec, c.usec, c.kernel_id, 1), frame_bytes(c.kernel_id, frame));
        EXPECT_EQ(writes[0].bytes, setup);
        EXPECT_EQ(writes[1].fd, bcm_);
        EXPECT_EQ(writes[1].bytes, head_bytes(TX_DELETE, 0, 0, 0, c.kernel_id, 0));
        const std::string text = log();
        EXPECT_NE(text.find(c.start_line), std::string::npos);
        EXPECT_NE(text.find("CANIF: Cyclic Stop"), std::string::npos);
    }
}

TEST_F(CanifCyclicTest, GeneralCyclicMessageCutsDataToEightBytes) {
    start({});
    uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(CANIF_boStartCyclicMessage(100, 0x123, data, 10));
    ASSERT_TRUE(CANIF_boStopCyclicMessage(0x123));
    const auto writes = kernel.of("write");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, join(head_bytes(TX_SETUP, 0x13, 0, 100000, 0x123, 1),
                                    frame_bytes(0x123, {1, 2, 3, 4, 5, 6, 7, 8})));
    EXPECT_EQ(writes[1].bytes, head_bytes(TX_DELETE, 0, 0, 0, 0x123, 0));
    EXPECT_NE(log().find("CANIF: Cyclic (0 s 100000 us) Start Tx ID:0x123"), std::string::npos);
}

TEST_F(CanifCyclicTest, FailedWritesAreReported) {
    start({});
    kernel.fail = [](const Call& c) { return c.fn == "write" ? ENETDOWN : 0; };
    uint8_t tp[] = {0x02, 0x3E, 0x80};
    EXPECT_FALSE(CANIF_boStartTesterPresentCyclicFunc(tp, 3));
    EXPECT_FALSE(CANIF_boStopTesterPresentCyclicFunc());
    const std::string text = log();
    EXPECT_NE(text.find("CANIF: Cyclic Start Failed"), std::string::npos);
    EXPECT_NE(text.find("CANIF: Cyclic Stop Failed"), std::string::npos);
}

}  // namespace
}  // namespace canif_test
