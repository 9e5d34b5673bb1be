// Request engine: binding and timing defaults, suppression, timeouts, pending and busy
// answers, classification of answers.
#include "uds_fixture.h"

using namespace udstest;

namespace {

UDS_tenResult Send(const Bytes& request, Bytes* answer = nullptr, UDS_tenSupprPosResp s = UDS_SUPPRESS_POS_RESP_OFF,
                   IF_tenSocketType a = IF_SOCKET_PHY, uint16_t capacity = 64) {
    Bytes req = request;
    Bytes resp(capacity);
    uint16_t n = capacity;
    const UDS_tenResult r = UDS__enSendUDS(a, req.data(), static_cast<uint32_t>(req.size()), resp.data(), &n, s);
    if (answer != nullptr) answer->assign(resp.begin(), resp.begin() + n);
    return r;
}

}  // namespace

TEST_F(UdsTest, TimingDefaultsAndConfiguredTimings) {
    struct Case {
        std::vector<std::string> args;
        const char* line;
        uint16_t bufMax;
    } cases[] = {
        {{}, "UDS: Default Timings P2:1000ms P2*:10000ms P3:400ms", 4096},
        {{"--use_eth"}, "UDS: Default Timings P2:500ms P2*:10000ms P3:400ms", 0xFFFF},
        {{"--p2_server", "20", "--p2_ext_server", "30", "--p3_client", "40"},
         "UDS: Default Timings P2:20ms P2*:30ms P3:40ms", 4096},
        // P2 is kept in 16 bits.
        {{"--p2_server", "70000"}, "UDS: Default Timings P2:4464ms P2*:10000ms P3:400ms", 4096},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Init(c.args));
        EXPECT_TRUE(Has(std::string("[DBG1   ] [KSTRMF] ") + c.line)) << c.line;
        EXPECT_EQ(UDS_BUF_MAX, c.bufMax);
    }
}

TEST_F(UdsTest, InitFailsWithoutTransport) {
    tr.initOk = false;
    EXPECT_FALSE(Init({}));
    EXPECT_TRUE(Has("UDS: Transport Init Failed"));
    // Without override the CAN transport is initialised: on an interface that does not exist
    // it fails and the engine stays unbound.
    tr.initOk = true;
    EXPECT_TRUE(Init({"--can_channel", "kstrmnone0"}));
    UDS__vResetForTest();
    EXPECT_FALSE(UDS_boInit());
    EXPECT_TRUE(Has("UDS: CANIF Init Failed"));
    // An unbound engine sends nothing.
    EXPECT_EQ(Send(H("3E 00")), UDS_RES_SEND_FAILED);
}

TEST_F(UdsTest, PassThroughOperations) {
    EXPECT_TRUE(UDS_boStartStream());
    UDS_vClearRxBuffer();
    EXPECT_TRUE(UDS_boStartTesterPresentCyclicFunc());
    EXPECT_EQ(tr.tpFrame, H("02 3E 80"));
    EXPECT_TRUE(UDS_boStopTesterPresentCyclicFunc());
    UDS_vDeinit();
    EXPECT_EQ(tr.streams, 1);
    EXPECT_EQ(tr.clears, 1);
    EXPECT_EQ(tr.tpStops, 1);
    EXPECT_EQ(tr.deinits, 1);
}

TEST_F(UdsTest, SuppressedRequestSilenceIsSuccess) {
    ASSERT_TRUE(Init({"--p3_client", "33"}));
    tr.Expect(IF_SOCKET_FUNC, H("3E 80"), {});
    EXPECT_EQ(UDS_enTesterPresentFunc(UDS_SUPPRESS_POS_RESP_ON), UDS_RES_OK);
    EXPECT_EQ(tr.timeouts, std::vector<int>{33});
    EXPECT_TRUE(Has("UDS: SID 0x3E .. Suppressed Positive Response"));
    // Answered anyway: a negative answer still fails, a positive one succeeds.
    tr.Expect(IF_SOCKET_PHY, H("3E 80"), {{H("7F 3E 12")}});
    EXPECT_EQ(UDS_enTesterPresentPhy(UDS_SUPPRESS_POS_RESP_ON), UDS_RES_ERROR);
    tr.Expect(IF_SOCKET_PHY, H("3E 00"), {{H("7E 00")}});
    EXPECT_EQ(UDS_enTesterPresentPhy(UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);
}

TEST_F(UdsTest, RequiredAnswerMissingTimesOutWithP2) {
    ASSERT_TRUE(Init({"--p2_server", "25"}));
    tr.ExpectPhy(H("22 F1 87"), {});
    Bytes answer;
    EXPECT_EQ(Send(H("22 F1 87"), &answer), UDS_RES_ERROR);
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(tr.timeouts, std::vector<int>{25});
    EXPECT_TRUE(Has("[ERR    ] [KSTRMF] UDS: SID 0x22 .. Can't get response (Timeout 25ms)"));
}

TEST_F(UdsTest, SendFailureIsNotRetried) {
    tr.sendOk = false;
    EXPECT_EQ(Send(H("22 F1 87")), UDS_RES_SEND_FAILED);
    EXPECT_EQ(tr.sent.size(), 1u);
    EXPECT_TRUE(Has("UDS: SID 0x22 .. Send failed"));
}

TEST_F(UdsTest, PendingAnswersSwitchToP2Star) {
    ASSERT_TRUE(Init({"--p2_server", "20", "--p2_ext_server", "90"}));
    tr.ExpectPhy(H("31 01 02 02"), {{H("7F 31 78")}, {H("7F 31 78")}, {H("71 01 02 02")}});
    Bytes answer;
    EXPECT_EQ(Send(H("31 01 02 02"), &answer), UDS_RES_OK);
    EXPECT_EQ(answer, H("71 01 02 02"));
    EXPECT_EQ(tr.timeouts, (std::vector<int>{20, 90, 90}));
    EXPECT_EQ(Count("UDS: SID 0x31 .. Response is pending"), 2);
    EXPECT_TRUE(Has("UDS: SID 0x31 .. Response is Ok"));
    // Pending, then silence: the timeout shown is P2*.
    tr.ExpectPhy(H("31 01 02 02"), {{H("7F 31 78")}});
    EXPECT_EQ(Send(H("31 01 02 02")), UDS_RES_ERROR);
    EXPECT_TRUE(Has("UDS: SID 0x31 .. Can't get response (Timeout 90ms)"));
}

TEST_F(UdsTest, PendingBeyondCompletionTimeEnds) {
    // Completion time -1: already exceeded at the first pending answer.
    ASSERT_TRUE(Init({"--completion_time_sec", "-1"}));
    tr.ExpectPhy(H("31 01 FF 00"), {{H("7F 31 78")}, {H("71 01 FF 00 00")}});
    EXPECT_EQ(Send(H("31 01 FF 00")), UDS_RES_PENDING_TIMEOUT);
    EXPECT_TRUE(Has("UDS: SID 0x31 .. Pending Response Completion Timeout is reached (-1 s)"));
    tr.pending.clear();

    // Completion time 0: pending answers go on until more than 0 whole seconds have passed.
    ASSERT_TRUE(Init({"--completion_time_sec", "0"}));
    std::vector<Reply> replies(12, Reply{H("7F 31 78"), 250});
    replies.push_back({H("71 01 FF 00 00")});
    tr.ExpectPhy(H("31 01 FF 00"), replies);
    EXPECT_EQ(Send(H("31 01 FF 00")), UDS_RES_PENDING_TIMEOUT);
    EXPECT_TRUE(Has("UDS: SID 0x31 .. Pending Response Completion Timeout is reached (0 s)"));
    EXPECT_GE(tr.timeouts.size(), 2u);
    EXPECT_LT(tr.timeouts.size(), 12u);
    tr.pending.clear();
}

TEST_F(UdsTest, BusyRepeatResendsAtMostFiveTimes) {
    struct Case {
        int busy;
        UDS_tenResult result;
    } cases[] = {{5, UDS_RES_ERROR}, {4, UDS_RES_OK}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Init({}));
        for (int i = 0; i < c.busy; ++i) tr.ExpectPhy(H("11 01"), {{H("7F 11 21")}});
        if (c.busy < 5) tr.ExpectPhy(H("11 01"), {{H("51 01")}});
        tr.sent.clear();
        EXPECT_EQ(Send(H("11 01")), c.result);
        EXPECT_EQ(tr.sent.size(), 5u);
        EXPECT_EQ(Count("UDS: Try to send request again"), c.busy);
        EXPECT_EQ(Count("UDS: SID 0x11 .. Negative Response 0x21 - \"BusyRepeatRequest\""), c.busy);
        EXPECT_EQ(Has("UDS: SID 0x11 - Too many requests"), c.busy == 5);
    }
}

TEST_F(UdsTest, MalformedAndUnexpectedAnswers) {
    struct Case {
        const char* request;
        const char* answer;
        const char* line;
    } cases[] = {
        {"22 F1 87", "7F 22", "UDS: SID 0x22 .. Unexpected Service Response 0xFF - \"7F22\""},
        {"31 01 FF 00", "62 F1 87 00", "UDS: SID 0x31 .. Unexpected Service Response 0x22 - \"62F187\""},
        {"31 01 FF 00", "7F 22 31", "UDS: SID 0x31 .. Unexpected Service Response 0x22 - \"7F2231\""},
        {"31 01 FF 00", "7F 31 99", "UDS: SID 0x31 .. Negative Response 0x99 - \"Unknown\""},
        {"27 12 00 00 00 00", "7F 27 35", "UDS: SID 0x27 .. Negative Response 0x35 - \"invalidKey\""},
    };
    for (const auto& c : cases) {
        tr.ExpectPhy(H(c.request), {{H(c.answer)}, {H("71 01 FF 00")}});
        Bytes answer;
        EXPECT_EQ(Send(H(c.request), &answer), UDS_RES_ERROR) << c.line;
        EXPECT_EQ(answer, H(c.answer));
        EXPECT_TRUE(Has(c.line)) << c.line;
        // The engine does not wait for a further message after the bad one.
        EXPECT_EQ(tr.pending.size(), 1u);
    }
    EXPECT_TRUE(Has("UDS: Illegal negative response length 2"));
}

TEST_F(UdsTest, AnswerLongerThanBufferIsRefused) {
    tr.ExpectPhy(H("22 F1 87"), {{H("62 F1 87 01 02 03 04 05")}});
    Bytes answer;
    EXPECT_EQ(Send(H("22 F1 87"), &answer, UDS_SUPPRESS_POS_RESP_OFF, IF_SOCKET_PHY, 4), UDS_RES_ERROR);
    EXPECT_TRUE(Has("UDS: SID 0x22 .. Response of 8 Bytes exceeds the buffer of 4 Bytes"));
}

TEST_F(UdsTest, RequestDumpOnlyAboveDebugLevelOneAndNeverForTransferData) {
    ASSERT_TRUE(Init({"-vv"}));
    tr.ExpectPhy(H("22 F1 87"), {{H("62 F1 87")}});
    tr.ExpectPhy(H("36 01 AA"), {{H("76 01")}});
    EXPECT_EQ(Send(H("22 F1 87")), UDS_RES_OK);
    EXPECT_EQ(Send(H("36 01 AA")), UDS_RES_OK);
    EXPECT_TRUE(Has("UDS: Send Request: 22F187"));
    EXPECT_EQ(Count("UDS: Send Request:"), 1);
    ASSERT_TRUE(Init({"-v"}));
    tr.ExpectPhy(H("22 F1 87"), {{H("62 F1 87")}});
    EXPECT_EQ(Send(H("22 F1 87")), UDS_RES_OK);
    EXPECT_FALSE(Has("UDS: Send Request:"));
}

TEST(UdsNoFixture, NegativeResponseTexts) {
    struct Case {
        uint8_t nrc;
        const char* text;
    } cases[] = {
        {0x10, "generalReject"},
        {0x11, "serviceNotSupported"},
        {0x12, "subFunctionNotSupported"},
        {0x13, "incorrectMessageLengthOrInvalidFormat"},
        {0x14, "responseTooLong"},
        {0x21, "BusyRepeatRequest"},
        {0x22, "conditionsNotCorrect"},
        {0x24, "RequestSequenceError"},
        {0x31, "requestOutOfRange"},
        {0x33, "securityAccessDenied"},
        {0x35, "invalidKey"},
        {0x36, "exceedNumberOfAttempts"},
        {0x37, "requiredTimeDelayNotExpired"},
        {0x70, "uploadDownloadNotAccepted"},
        {0x71, "transferDataSuspended"},
        {0x72, "generalProgrammingFailure"},
        {0x73, "wrongBlockSequenceCounter"},
        {0x78, "RequestCorrectlyReceived-ResponsePending"},
        {0x7E, "subFunctionNotSupportedInActiveSession"},
        {0x7F, "serviceNotSupportedInActiveSession"},
        {0x00, "Unknown"},
        {0x99, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(getNegativeResponseString(c.nrc), c.text);
}

TEST_F(UdsTest, ResponseHeaderClassification) {
    struct Case {
        const char* msg;
        uint8_t sid, positive, nrc;
        uint32_t packed;
    } cases[] = {
        {"62 F1 87", 0x22, 1, 0xFF, 0x00FF0122},
        {"7F 22 31", 0x22, 0, 0x31, 0x00310022},
        {"", 0xFF, 0, 0xFF, 0x00FF00FF},
        {"7F 22", 0xFF, 0, 0xFF, 0x00FF00FF},
    };
    for (const auto& c : cases) {
        const Bytes m = H(c.msg);
        const UDS_tstResponseHeader h = UDS_GetResponseHeader(m.data(), static_cast<long>(m.size()));
        EXPECT_EQ(h.u8ServiceId, c.sid) << c.msg;
        EXPECT_EQ(h.u8Positive, c.positive) << c.msg;
        EXPECT_EQ(h.u8Nrc, c.nrc) << c.msg;
        uint32_t packed;
        static_assert(sizeof h == 4, "packed into one 32-bit word");
        std::memcpy(&packed, &h, 4);
        EXPECT_EQ(packed, c.packed) << c.msg;
    }
    EXPECT_TRUE(Has("UDS: Illegal response length 0"));
    EXPECT_TRUE(Has("UDS: Illegal negative response length 2"));
}

TEST(UdsNoFixture, TimeReachedOnlyWhenElapsedExceedsLimit) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_FALSE(isTimeReached(now + 5, 0));
    EXPECT_TRUE(isTimeReached(now - 10, 5));
    EXPECT_FALSE(isTimeReached(now - 10, 100));
}
