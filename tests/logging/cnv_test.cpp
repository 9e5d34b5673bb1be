// Conversion helpers: trimming, hex text and bytes, decimal and hexadecimal numbers, BCD.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logging/cnv.h"
#include "support/log_capture.h"
#include "support/log_lines.h"


TEST(CnvTrim, Cases) {
    struct Case {
        const char* input;
        std::size_t offset;     // where the returned pointer points
        const char* result;     // text from the returned pointer
        const char* buffer;     // whole buffer afterwards, up to its first NUL
    };
    const Case cases[] = {
        {"  abc \t", 2, "abc", "  abc"},
        {"   ", 3, "", "   "},
        {"", 0, "", ""},
        {"x", 0, "x", "x"},
        {"abc", 0, "abc", "abc"},
        {"\t\n\v\f\r a b \r\n", 6, "a b", "\t\n\v\f\r a b"},
        {"a ", 0, "a", "a"},
        {" a", 1, "a", " a"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        std::strcpy(buf, c.input);
        const std::size_t len = std::strlen(c.input);
        char* r = CNV_pcTrimwhitespace(buf);
        EXPECT_EQ(r - buf, static_cast<std::ptrdiff_t>(c.offset)) << "'" << c.input << "'";
        EXPECT_STREQ(r, c.result) << "'" << c.input << "'";
        EXPECT_STREQ(buf, c.buffer) << "'" << c.input << "'";
        EXPECT_EQ(buf[len + 1], '#') << "nothing written behind the text";
    }
}

TEST(CnvTrim, BlankOnlyTextIsNotWritten) {
    char buf[] = "  \t ";
    const std::string before(buf, sizeof buf);
    char* r = CNV_pcTrimwhitespace(buf);
    EXPECT_EQ(r, buf + 4);
    EXPECT_EQ(std::string(buf, sizeof buf), before);
}

TEST(CnvByteArrayToHexStr, Cases) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    };
    const Case cases[] = {
        {{}, ""},
        {{0x00, 0x7F, 0x80, 0xFF}, "007F80FF"},
        {{0xAB}, "AB"},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, "0123456789ABCDEF"},
    };
    for (const auto& c : cases) {
        char text[64];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(CNV_u32ByteArrayToHexStr(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), text), 0u);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(text[2 * c.bytes.size() + 1], '#');
    }
}

TEST(CnvHexStrToByteArray, Cases) {
    struct Case {
        const char* text;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"", {}},
        {"ABC", {0xAB}},
        {"G1", {}},
        {"de:AD", {0xDE, 0xAD}},
        {"0A 1b ff", {0x0A, 0x1B, 0xFF}},
        {"1 2 3 4", {0x12, 0x34}},
        {"0x12", {0x01}},
        {"\xC3\xA4" "1\xFF" "2", {0x12}},
        {"  f", {}},
        {"0123456789abcdefABCDEF", {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
        {"zz9zz9zz", {0x99}},
    };
    for (const auto& c : cases) {
        uint8_t out[32];
        std::memset(out, 0xEE, sizeof out);
        const uint32_t n = CNV_u32HexStrToByteArray(c.text, out);
        ASSERT_EQ(n, c.bytes.size()) << "'" << c.text << "'";
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes) << "'" << c.text << "'";
        EXPECT_EQ(out[n], 0xEE) << "nothing written behind the bytes";
    }
}

TEST(CnvStrToUInt32, Cases) {
    struct Case {
        bool hex;
        const char* text;
        bool ok;
        uint32_t value;
    };
    const Case cases[] = {
        {false, "0", true, 0},
        {false, "12abc", true, 12},
        {false, "  42", true, 42},
        {false, "+7", true, 7},
        {false, "4294967295", true, 4294967295u},
        {false, "0x10", true, 0},
        {false, "-1", true, 4294967295u},
        {true, "0x1A", true, 26},
        {true, "1a", true, 26},
        {true, "0X1a", true, 26},
        {true, "FFFFFFFF", true, 0xFFFFFFFFu},
        {true, " 7fz", true, 0x7F},
    };
    for (const auto& c : cases) {
        uint32_t v = 0xDEADBEEF;
        const bool ok = c.hex ? CNV_boHexStrToUInt32(c.text, &v) : CNV_boDecStrToUInt32(c.text, &v);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(CnvStrToUInt32, FailureLogsAndLeavesOutputUnchanged) {
    struct Case {
        bool hex;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {false, "", "CNV: DecStrToUInt32 ><"},
        {false, "abc", "CNV: DecStrToUInt32 >abc<"},
        {false, "   ", "CNV: DecStrToUInt32 >   <"},
        {true, "", "CNV: HexStrToUInt32 ><"},
        {true, "xyz", "CNV: HexStrToUInt32 >xyz<"},
        {true, "G1", "CNV: HexStrToUInt32 >G1<"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        uint32_t v = 0xDEADBEEF;
        const bool ok = c.hex ? CNV_boHexStrToUInt32(c.text, &v) : CNV_boDecStrToUInt32(c.text, &v);
        EXPECT_FALSE(ok) << "'" << c.text << "'";
        EXPECT_EQ(v, 0xDEADBEEFu);
        EXPECT_EQ(testsupport::logMessages(capture.text()), std::vector<std::string>{c.message});
    }
}

TEST(CnvStrToUInt32, SuccessLogsNothing) {
    LogCapture capture;
    uint32_t v = 0;
    EXPECT_TRUE(CNV_boDecStrToUInt32("5", &v));
    EXPECT_TRUE(CNV_boHexStrToUInt32("5", &v));
    EXPECT_TRUE(testsupport::logMessages(capture.text()).empty());
}

TEST(CnvBcd, BcdToDec) {
    struct Case {
        uint8_t bcd;
        uint8_t dec;
    };
    const Case cases[] = {{0x00, 0}, {0x09, 9}, {0x10, 10}, {0x42, 42}, {0x99, 99}, {0x1F, 25}, {0xFF, 165}, {0xA0, 100}};
    for (const auto& c : cases) EXPECT_EQ(CNV_u8BcdToDec(c.bcd), c.dec) << int(c.bcd);
}

TEST(CnvBcd, DecToBcd) {
    struct Case {
        uint8_t dec;
        uint8_t bcd;
        const char* message;  // nullptr: nothing logged
    };
    const Case cases[] = {
        {0, 0x00, nullptr},   {9, 0x09, nullptr},
        {10, 0x10, nullptr},  {24, 0x24, nullptr},
        {99, 0x99, nullptr},  {100, 0x99, "CNV: DecToBcd Invalid Value >100<"},
        {255, 0x99, "CNV: DecToBcd Invalid Value >255<"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        EXPECT_EQ(CNV_u8DecToBcd(c.dec), c.bcd) << int(c.dec);
        const std::vector<std::string> expected =
            c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{};
        EXPECT_EQ(testsupport::logMessages(capture.text()), expected) << int(c.dec);
    }
}

TEST(CnvDecToHexStr, Cases) {
    struct Case {
        uint32_t value;
        const char* text;
    };
    const Case cases[] = {
        {0, "00"},          {0xFF, "FF"},           {0x100, "0100"},         {0xFFFF, "FFFF"},
        {0x10000, "010000"}, {0xABCDEF, "ABCDEF"},  {0x1000000, "01000000"}, {0xFFFFFFFF, "FFFFFFFF"},
        {0x7E, "7E"},        {0x12345678, "12345678"},
    };
    for (const auto& c : cases) {
        char text[9];
        std::memset(text, '#', sizeof text);
        CNV_vDecToHexStr(c.value, text);
        EXPECT_STREQ(text, c.text);
    }
}
