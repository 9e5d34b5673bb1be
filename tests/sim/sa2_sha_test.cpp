// The simulator's SA2 interpreter and SHA-256, against hand-computed values.
#include <gtest/gtest.h>

#include "sim/sa2.h"
#include "sim/sha256.h"

using ecusim::sa2Compute;

TEST(SimSa2, InstructionsByHand) {
    struct Case {
        const char* what;
        uint32_t seed;
        std::vector<uint8_t> program;
        uint32_t key;
    } cases[] = {
        {"xor then end", 0x11223344, {0x87, 0xFF, 0x00, 0xFF, 0x00, 0x4C}, 0xEE22CC44},
        {"end byte 00 right away", 0xCAFEBABE, {0x00, 0x81}, 0xCAFEBABE},
        {"empty program", 0x12345678, {}, 0x12345678},
        {"rotate left moves top bit to bit 0", 0x80000001, {0x81}, 0x00000003},
        {"rotate right moves bit 0 to bit 31", 0x00000003, {0x82}, 0x80000001},
        {"add wraps", 0xFFFFFFFF, {0x93, 0x00, 0x00, 0x00, 0x02}, 0x00000001},
        {"subtract wraps", 0x00000001, {0x84, 0x00, 0x00, 0x00, 0x02}, 0xFFFFFFFF},
        // add with carry: 4A does not skip, the xor runs
        {"carry set: no skip", 0xFFFFFFFF, {0x93, 0, 0, 0, 1, 0x4A, 0x05, 0x87, 0, 0, 0, 0xAA}, 0x000000AA},
        // no carry: 4A skips the xor
        {"carry clear: skip", 0x00000010, {0x93, 0, 0, 0, 1, 0x4A, 0x05, 0x87, 0, 0, 0, 0xAA}, 0x00000011},
        {"unconditional skip", 0x00000010, {0x6B, 0x05, 0x87, 0, 0, 0, 0xAA, 0x93, 0, 0, 0, 1}, 0x00000011},
        {"xor clears carry before 4A", 0x80000000, {0x81, 0x87, 0, 0, 0, 0, 0x4A, 0x01, 0x81, 0x81}, 0x00000002},
        {"loop 3 times", 0x00000001, {0x68, 0x03, 0x81, 0x49}, 0x00000008},
        {"loop count 0 runs once", 0x00000001, {0x68, 0x00, 0x81, 0x49}, 0x00000002},
        {"loop count 1 runs once", 0x00000001, {0x68, 0x01, 0x81, 0x49}, 0x00000002},
        {"truncated operand ends", 0x00000005, {0x93, 0x00, 0x00}, 0x00000005},
        {"skip beyond the end ends", 0x00000005, {0x6B, 0x40, 0x81}, 0x00000005},
    };
    for (const Case& c : cases) {
        const auto r = sa2Compute(c.seed, c.program);
        EXPECT_TRUE(r.completed) << c.what;
        EXPECT_EQ(r.key, c.key) << c.what;
    }
}

TEST(SimSa2, DefaultProgramByHand) {
    // Worked through by hand for seed 0x00000001: the loop rotates five times without carry
    // (0x20), then +0x12345678, -0x0FEDCBA9, rotate right, skip, xor 0x00C0FFEE.
    uint32_t r = 0x20;
    r += 0x12345678;
    r -= 0x0FEDCBA9;
    r = (r >> 1) | ((r & 1u) << 31);
    r ^= 0x00C0FFEE;
    EXPECT_EQ(sa2Compute(1, ecusim::defaultSa2Program()).key, r);
}

TEST(SimSa2, StepLimitStopsTheProgram) {
    EXPECT_FALSE(sa2Compute(1, {0x68, 0x05, 0x81, 0x49}, 4).completed);
    EXPECT_TRUE(sa2Compute(1, {0x68, 0x05, 0x81, 0x49}, 100).completed);
}

TEST(SimSha256, KnownVectorsAndSplitUpdates) {
    EXPECT_EQ(ecusim::toHex(ecusim::Sha256::of(nullptr, 0)),
              "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    const std::string abc = "abc";
    EXPECT_EQ(ecusim::toHex(ecusim::Sha256::of(reinterpret_cast<const uint8_t*>(abc.data()), 3)),
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(ecusim::toHex(ecusim::Sha256::of(reinterpret_cast<const uint8_t*>(two.data()), two.size())),
              "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1");
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    ecusim::Sha256 split;
    for (size_t off = 0; off < data.size(); off += 37) split.update(data.data() + off, std::min<size_t>(37, data.size() - off));
    EXPECT_EQ(split.finish(), ecusim::Sha256::of(data));
}
