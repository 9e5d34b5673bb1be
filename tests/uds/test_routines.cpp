// File downloads, erase, check memory, update execution, programming checks and the wait
// for the ECU.
#include <fstream>

#include "uds_fixture.h"

using namespace udstest;

namespace {

std::string WriteTempFile(const std::string& name, const Bytes& content) {
    const std::string path = ::testing::TempDir() + name + "_" + std::to_string(getpid());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return path;
}

const uint8_t* P(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.c_str()); }

}  // namespace

TEST_F(UdsTest, FileDownloadSendsTheFileBlockByBlock) {
    Bytes content(25);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(0xA0 + i);
    const std::string path = WriteTempFile("uds_block", content);
    tr.ExpectPhy(H("34 11 44 00 00 20 00 00 00 00 19"), {{H("74 20 00 0C")}});
    for (uint8_t i = 0; i < 3; ++i) {
        Bytes req{0x36, static_cast<uint8_t>(i + 1)};
        const size_t from = i * 10u, to = std::min<size_t>(from + 10, content.size());
        req.insert(req.end(), content.begin() + from, content.begin() + to);
        tr.ExpectPhy(req, {{Bytes{0x76, static_cast<uint8_t>(i + 1)}}});
    }
    tr.ExpectPhy(H("37"), {{H("77")}});
    EXPECT_TRUE(UDS_boDoTransferDataBlock(0x44, 0x11, 0x2000, 25, true, P(path), 25));
    EXPECT_TRUE(Has("UDS: TDB Transfered BlockNo:3/3 BlockSequenceCounter:3 Size:0x0005"));
    std::remove(path.c_str());
}

TEST_F(UdsTest, FileDownloadRefusals) {
    const std::string path = WriteTempFile("uds_short", Bytes(20, 0x55));
    tr.ExpectPhy(H("34 00 44 00 00 20 00 00 00 00 19"), {{H("74 20 00 0C")}});
    EXPECT_FALSE(UDS_boDoTransferDataBlock(0x44, 0x00, 0x2000, 25, true, P(path), 25));
    EXPECT_TRUE(Has("UDS: file " + path + " has size 20 but requested were 25"));
    EXPECT_EQ(tr.sent.size(), 1u);  // no TransferData, no RequestTransferExit

    EXPECT_FALSE(UDS_boTransferFile(P(path + ".missing"), 20, 10));
    EXPECT_TRUE(Has("UDS: Can't open file " + path + ".missing"));
    EXPECT_EQ(tr.sent.size(), 1u);
    std::remove(path.c_str());
}

TEST_F(UdsTest, EraseMemory) {
    struct Case {
        uint8_t alfid;
        const char* request;  // nullptr: refused
        const char* answer;
        bool ok;
        const char* line;
    } cases[] = {
        {0x44, "31 01 FF 00 44 00 08 00 00 00 01 F0 00", "71 01 FF 00 00", true,
         "UDS: EraseMem Okay Addr:0x00080000"},
        {0x14, "31 01 FF 00 14 00 08 00 00 00", "71 01 FF 00 03", false,
         "UDS: EraseMem Failed - Addr:0x00080000 Result: 03"},
        {0x44, "31 01 FF 00 44 00 08 00 00 00 01 F0 00", "71 01 FF 00", false,
         "UDS: EraseMem Failed to much Data in Answer - Addr:0x00080000"},
        {0x44, "31 01 FF 00 44 00 08 00 00 00 01 F0 00", "71 01 FF 00 00 00", false,
         "UDS: EraseMem Failed to much Data in Answer - Addr:0x00080000"},
        {0x45, nullptr, nullptr, false, "UDS: EraseMem Failed - Invalid MemoryAddress Length 0x05"},
        {0x74, nullptr, nullptr, false, "UDS: EraseMem Failed - Invalid MemorySize Length 0x07"},
    };
    for (const auto& c : cases) {
        if (c.request) tr.ExpectPhy(H(c.request), {{H(c.answer)}});
        EXPECT_EQ(UDS_boDoEraseMemory(c.alfid, 0x80000, 0x1F000), c.ok) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
}

TEST_F(UdsTest, CheckMemoryBothForms) {
    const Bytes sig = H("DE AD BE EF");
    tr.ExpectPhy(H("31 01 02 02 44 00 08 00 00 00 01 F0 00 00 04 DE AD BE EF"), {{H("71 01 02 02 00")}});
    EXPECT_TRUE(UDS_boDoCheckMemory(0x44, 0x80000, 0x1F000, 4, sig.data()));
    EXPECT_TRUE(Has("UDS: CheckMem Okay - Addr:0x00080000"));
    tr.ExpectPhy(H("31 01 02 02 44 00 08 00 00 00 01 F0 00 00 04 DE AD BE EF"), {{H("71 01 02 02 01")}});
    EXPECT_FALSE(UDS_boDoCheckMemory(0x44, 0x80000, 0x1F000, 4, sig.data()));
    EXPECT_TRUE(Has("UDS: CheckMem Failed - Addr:0x00080000 Result: 01"));
    EXPECT_FALSE(UDS_boDoCheckMemory(0x64, 0x80000, 0x1F000, 4, sig.data()));
    EXPECT_TRUE(Has("UDS: CheckMem Failed - Invalid MemorySize Length 0x06"));

    struct Case {
        const char* answer;
        bool ok;
        const char* line;
    } v200[] = {
        {"71 01 02 02 00", true, "[DBG1   ] [KSTRMF] UDS: CheckMem Okay"},
        {"71 01 02 02 02", false, "UDS: CheckMem Failed - Result: 02"},
        {"71 01 02 02 00 00", false, "UDS: CheckMem Failed to much Data in Answer"},
    };
    const Bytes data = H("01 02 03 04 05");
    for (const auto& c : v200) {
        tr.ExpectPhy(H("31 01 02 02 01 02 03 04 05"), {{H(c.answer)}});
        EXPECT_EQ(UDS_boDoCheckMemory_v200(5, data.data()), c.ok) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
}

TEST_F(UdsTest, CheckMemorySignatureMustFitTheRequest) {
    // 4096 - 4 header bytes: alfid 0x44 takes 9 bytes and the length 2, leaving 4081.
    Bytes sig(4082, 0x5A);
    EXPECT_FALSE(UDS_boDoCheckMemory(0x44, 0, 0, static_cast<uint16_t>(sig.size()), sig.data()));
    EXPECT_TRUE(Has("UDS: CheckMem Failed - Routine Data of 4093 Bytes exceeds the buffer of 4096 Bytes"));
    EXPECT_FALSE(UDS_boDoCheckMemory_v200(4093, sig.data()));
    EXPECT_TRUE(tr.sent.empty());
    sig.resize(4081);
    Bytes req = H("31 01 02 02 44 00 00 00 00 00 00 00 00 0F F1");
    req.insert(req.end(), sig.begin(), sig.end());
    tr.ExpectPhy(req, {{H("71 01 02 02 00")}});
    EXPECT_TRUE(UDS_boDoCheckMemory(0x44, 0, 0, static_cast<uint16_t>(sig.size()), sig.data()));
}

TEST_F(UdsTest, UpdateExecutionPollsUntilDone) {
    tr.ExpectPhy(H("31 01 C0 10 00 01 FF"), {{H("71 01 C0 10")}});
    tr.ExpectPhy(H("31 03 C0 10"), {{H("71 03 C0 10 01 32")}});
    tr.ExpectPhy(H("31 03 C0 10"), {{H("71 03 C0 10 24")}});
    EXPECT_TRUE(UDS_boDoUpdateExecution(0x00, 0x01, 0xFF));
    EXPECT_EQ(Count("UDS: Update Result is pending (50 percent)"), 1);
    EXPECT_EQ(Sleeps(), (std::vector<uint32_t>{1000, 1}));

    struct Case {
        std::vector<Exchange> script;
        const char* line;
    } bad[] = {
        {{{IF_SOCKET_PHY, H("31 01 C0 10 00 01 FF"), {{H("71 01 C0 10")}}},
          {IF_SOCKET_PHY, H("31 03 C0 10"), {{H("71 03 C0 10 02 00")}}}},
         "UDS: Unknown Status 0x02"},
        {{{IF_SOCKET_PHY, H("31 01 C0 10 00 01 FF"), {{H("71 01 C0 10 00")}}}},
         "UDS: UpdateExec Failed to much Data in Answer"},
        {{{IF_SOCKET_PHY, H("31 01 C0 10 00 01 FF"), {{H("7F 31 22")}}}}, "UDS: UpdateExec Failed - No Answer"},
        {{{IF_SOCKET_PHY, H("31 01 C0 10 00 01 FF"), {{H("71 01 C0 10")}}},
          {IF_SOCKET_PHY, H("31 03 C0 10"), {}}},
         "UDS: SID 0x31 .. Can't get response"},
    };
    for (const auto& c : bad) {
        for (const auto& ex : c.script) tr.script.push_back(ex);
        EXPECT_FALSE(UDS_boDoUpdateExecution(0x00, 0x01, 0xFF)) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
}

TEST_F(UdsTest, ProgrammingChecks) {
    tr.ExpectPhy(H("31 01 02 03"), {{H("71 01 02 03")}});
    EXPECT_TRUE(UDS_boDoCheckProgrammingPreConditions());
    EXPECT_TRUE(Has("[INF    ] [KSTRMF] UDS: Check Programming Preconditions OK"));
    tr.ExpectPhy(H("31 01 02 03"), {{H("71 01 02 03 05 06")}});
    EXPECT_FALSE(UDS_boDoCheckProgrammingPreConditions());
    EXPECT_TRUE(Has("UDS: Preconditions not fullfilled Count:2 Data:05"));

    struct Case {
        const char* answer;
        bool ok;
        const char* line;
    } deps[] = {
        {"71 01 FF 01 00", true, "[INF    ] [KSTRMF] UDS: Check Programming Dependencies OK"},
        {"71 01 FF 01 01", false, "[ERR    ] [KSTRMF] UDS:  Check Programming Dependencies failed 01"},
        {"71 01 FF 01", false, nullptr},
        {"7F 31 22", false, "\"conditionsNotCorrect\""},
    };
    for (const auto& c : deps) {
        tr.ExpectPhy(H("31 01 FF 01"), {{H(c.answer)}});
        EXPECT_EQ(UDS_boDoCheckProgrammingDependencies(), c.ok) << c.answer;
        if (c.line) {
            EXPECT_TRUE(Has(c.line)) << c.line;
        }
    }
}

namespace {
int g_connectChecks = 0;
int g_connectAfter = 0;
bool ConnectedAfterSomeChecks() { return ++g_connectChecks >= g_connectAfter; }
}  // namespace

TEST_F(UdsTest, WaitForEcuOnCan) {
    struct Case {
        const char* loop;
        int answerAt;  // attempt answered positively (0: never)
        int attempts;
    } cases[] = {{"3", 0, 3}, {"3", 2, 2}, {"0", 4, 4}, {"-1", 0, 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Init({"--connect_loop", c.loop, "--p2_server", "15"}));
        Sleeps().clear();
        for (int i = 1; i <= c.attempts; ++i) {
            tr.ExpectPhy(H("3E 00"), {{i == c.answerAt ? H("7E 00") : Bytes()}});
        }
        UDS_vWaitUntilECUConnected();
        EXPECT_EQ(Count("[INF    ] [KSTRMF] FLASH: Waiting for ECU"), c.attempts) << c.loop;
        EXPECT_EQ(Sleeps(), std::vector<uint32_t>(c.attempts, 1000)) << c.loop;
        EXPECT_EQ(Has("UDS: Skip connection loop..."), c.attempts == 0);
    }
}

TEST_F(UdsTest, WaitForEcuOnDoip) {
    struct Case {
        const char* loop;
        int connectedAt;
        int checks;
    } cases[] = {{"3", 100, 3}, {"5", 2, 2}, {"0", 6, 6}, {"-1", 1, 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Init({"--use_eth", "--connect_loop", c.loop}));
        UDS__vSetClusterConnectedHookForTest(ConnectedAfterSomeChecks);
        g_connectChecks = 0;
        g_connectAfter = c.connectedAt;
        Sleeps().clear();
        UDS_vWaitUntilECUConnected();
        EXPECT_EQ(g_connectChecks, c.checks) << c.loop;
        EXPECT_EQ(Sleeps().size(), static_cast<size_t>(c.checks));
        EXPECT_TRUE(Has("[INF    ] [KSTRMF] UDS: Waiting for ECU"));
        EXPECT_TRUE(Has("[INF    ] [KSTRMF] UDS: .. connected"));
        EXPECT_EQ(Has("UDS: Skip connection loop..."), c.checks == 0);
        EXPECT_TRUE(tr.sent.empty());
    }
}
