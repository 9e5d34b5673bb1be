#include "tool/uds_exchange.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(UdsResponseHeader, PositiveAndNegative) {
    auto positive = UDS_ParseResponseHeader({0x62, 0xF1, 0x87});
    EXPECT_TRUE(positive.positive);
    EXPECT_EQ(positive.sid, 0x22);
    EXPECT_EQ(positive.nrc, 0xFF);

    auto negative = UDS_ParseResponseHeader({0x7F, 0x22, 0x31});
    EXPECT_FALSE(negative.positive);
    EXPECT_EQ(negative.sid, 0x22);
    EXPECT_EQ(negative.nrc, 0x31);
}

TEST(UdsResponseHeader, MalformedResponsesThrow) {
    struct Case {
        std::vector<uint8_t> response;
        const char* message;
    } cases[] = {
        {{}, "UDS: No response"},
        {{0x7F}, "UDS: Illegal length of negative response 1"},
        {{0x7F, 0x22}, "UDS: Illegal length of negative response 2"},
    };
    for (const auto& c : cases) {
        try {
            UDS_ParseResponseHeader(c.response);
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

}  // namespace
