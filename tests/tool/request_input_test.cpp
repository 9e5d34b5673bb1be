#include "tool/request_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::vector<uint8_t> ParseText(const std::string& text) {
    FILE* in = tmpfile();
    EXPECT_NE(in, nullptr);
    fputs(text.c_str(), in);
    rewind(in);
    auto request = ReadRequest(in);
    fclose(in);
    return request;
}

TEST(ReadRequest, TableOfInputs) {
    struct Case {
        const char* input;
        std::vector<uint8_t> expected;
    } cases[] = {
        {"22 F1 87", {0x22, 0xF1, 0x87}},
        {"22 f1 87\n", {0x22, 0xF1, 0x87}},
        {"22F187", {0x87}},              // one long token keeps its low 8 bits
        {"22 G1", {0x22}},               // reading stops at the first non-hex token
        {"10 0x10\t3E\n\n 00", {0x10, 0x10, 0x3E, 0x00}},
        {"", {}},
        {"   \n", {}},
        {"zz 22", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseText(c.input), c.expected) << "input '" << c.input << "'";
    }
}

}  // namespace
