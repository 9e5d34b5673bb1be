// SA2 security access: the interpreter's opcode table and the seed/key exchange.
#include "uds_fixture.h"

using namespace udstest;

TEST(Sa2Interpreter, OpcodeTable) {
    struct Case {
        const char* what;
        uint32_t seed;
        const char* program;
        uint32_t key;
    } cases[] = {
        {"xor", 0x12345678, "87 FF 00 FF 00 4C", 0xED34A978},
        {"rol top bit to bit 0", 0x80000001, "81 4C", 0x00000003},
        {"ror bit 0 to bit 31", 0x80000001, "82 4C", 0xC0000000},
        // 0x4A skips when C is clear: after a rotate of a clear top bit C = 0.
        {"rol clears carry", 0x40000000, "81 4A 05 87 00 00 00 01 4C", 0x80000000},
        {"rol sets carry", 0x80000000, "81 4A 05 87 00 00 00 01 4C", 0x00000000},
        {"ror clears carry", 0x00000002, "82 4A 05 87 00 00 00 01 4C", 0x00000001},
        {"add carries out", 0xFFFFFFFF, "93 00 00 00 01 4A 05 87 00 00 00 10 4C", 0x00000010},
        {"add without carry skips", 0xFFFFFFFE, "93 00 00 00 01 4A 05 87 00 00 00 10 4C", 0xFFFFFFFF},
        {"sub borrows and wraps", 0x00000001, "84 00 00 00 02 4A 05 87 00 00 00 10 4C", 0xFFFFFFEF},
        {"sub without borrow skips", 0x00000005, "84 00 00 00 02 4A 05 87 00 00 00 10 4C", 0x00000003},
        {"xor clears carry", 0x80000000, "81 87 00 00 00 00 4A 01 81 4C", 0x00000001},
        {"unconditional skip", 0x00000000, "6B 05 87 FF FF FF FF 93 00 00 00 07 4C", 0x00000007},
        {"loop 3 times", 0x00000001, "68 03 81 49 4C", 0x00000008},
        {"loop 1 time", 0x00000001, "68 01 81 49 4C", 0x00000002},
        {"loop 0 runs once", 0x00000001, "68 00 81 49 4C", 0x00000002},
        {"loop 255 times", 0x00000000, "68 FF 93 00 00 00 01 49 4C", 255},
        {"49 without loop goes on", 0x00000001, "49 81 4C", 0x00000002},
        {"0x00 ends", 0x00000001, "81 00 81", 0x00000002},
        {"starts with end byte", 0xCAFEBABE, "4C 81 81", 0xCAFEBABE},
        {"runs off its end", 0x00000001, "81 81", 0x00000004},
        {"operand cut by the end", 0x00000001, "81 87 00 00 00", 0x00000002},
        {"skip beyond the end", 0x00000001, "6B 10 81", 0x00000001},
        {"loop count cut by the end", 0x00000001, "81 68", 0x00000002},
        {"empty", 0x00000042, "", 0x00000042},
    };
    for (const auto& c : cases) {
        const Bytes p = H(c.program);
        bool ok = false;
        EXPECT_EQ(UDS__u32SA1Job(c.seed, p.data(), static_cast<uint32_t>(p.size()), &ok), c.key) << c.what;
        EXPECT_TRUE(ok) << c.what;
    }
}

TEST(Sa2Interpreter, LongestOdxProgramEndsWithinTheBound) {
    // 4096 bytes: one loop of 255 rounds over 4093 rotates.
    Bytes p(4096, 0x81);
    p[0] = 0x68;
    p[1] = 0xFF;
    p[4095] = 0x49;
    bool ok = false;
    UDS__u32SA1Job(1, p.data(), static_cast<uint32_t>(p.size()), &ok);
    EXPECT_TRUE(ok);
}

TEST_F(UdsTest, Sa2ExchangeSendsKeyMostSignificantFirst) {
    const Bytes program = H("87 11 22 33 44 4C");
    tr.ExpectPhy(H("27 11"), {{H("67 11 A1 B2 C3 D4")}});
    tr.ExpectPhy(H("27 12 B0 90 F0 90"), {{H("67 12")}});
    EXPECT_TRUE(UDS_boDoSA2Access(program.data(), static_cast<uint32_t>(program.size())));
    EXPECT_TRUE(Has("[INF    ] [KSTRMF] UDS: SA2 Key OK"));
    // A zero seed is computed like any other.
    tr.ExpectPhy(H("27 11"), {{H("67 11 00 00 00 00")}});
    tr.ExpectPhy(H("27 12 11 22 33 44"), {{H("67 12")}});
    EXPECT_TRUE(UDS_boDoSA2Access(program.data(), static_cast<uint32_t>(program.size())));
}

TEST_F(UdsTest, Sa2ExchangeFailures) {
    const Bytes program = H("87 11 22 33 44 4C");
    struct Case {
        std::vector<Exchange> script;
        const char* line;
    } cases[] = {
        {{{IF_SOCKET_PHY, H("27 11"), {{H("67 11 AA BB CC")}}}}, "UDS: SA2 Invalid Seed Size Received 3"},
        {{{IF_SOCKET_PHY, H("27 11"), {{H("67 11 AA BB CC DD EE")}}}}, "UDS: SA2 Invalid Seed Size Received 5"},
        {{{IF_SOCKET_PHY, H("27 11"), {{H("67 13 AA BB CC DD")}}}}, "UDS: SA Wrong SubFct in Answer 0x13"},
        {{{IF_SOCKET_PHY, H("27 11"), {{H("7F 27 37")}}}}, "\"requiredTimeDelayNotExpired\""},
        {{{IF_SOCKET_PHY, H("27 11"), {{H("67 11 00 00 00 00")}}},
          {IF_SOCKET_PHY, H("27 12 11 22 33 44"), {{H("7F 27 35")}}}},
         "UDS: SA2 Key not Accepted"},
        {{{IF_SOCKET_PHY, H("27 11"), {{H("67 11 00 00 00 00")}}},
          {IF_SOCKET_PHY, H("27 12 11 22 33 44"), {{H("67 13")}}}},
         "UDS: SA2 Key not Accepted"},
    };
    for (const auto& c : cases) {
        for (const auto& ex : c.script) tr.script.push_back(ex);
        tr.sent.clear();
        EXPECT_FALSE(UDS_boDoSA2Access(program.data(), static_cast<uint32_t>(program.size()))) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
        EXPECT_EQ(tr.sent.size(), c.script.size()) << c.line;
    }
    EXPECT_TRUE(Has("\"invalidKey\""));
    EXPECT_FALSE(Has("UDS: SA2 Key OK"));
}

TEST_F(UdsTest, Sa2ProgramBeyondTheInstructionBoundFailsWithoutKey) {
    // One loop of 255 rounds over 10000 rotates: more instructions than the bound allows.
    Bytes p(10003, 0x81);
    p[0] = 0x68;
    p[1] = 0xFF;
    p[10002] = 0x49;
    tr.ExpectPhy(H("27 11"), {{H("67 11 01 02 03 04")}});
    EXPECT_FALSE(UDS_boDoSA2Access(p.data(), static_cast<uint32_t>(p.size())));
    EXPECT_TRUE(Has("[ERR    ] [KSTRMF] UDS: SA2 Program exceeds 2097152 Instructions"));
    EXPECT_EQ(tr.sent.size(), 1u);
}
