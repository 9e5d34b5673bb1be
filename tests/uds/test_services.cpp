// UDS services: request bytes, addressing, echo checks, outputs and session timing adoption.
#include "uds_fixture.h"

using namespace udstest;

TEST_F(UdsTest, SessionControlAdoptsTimingUnlessConfigured) {
    struct Case {
        std::vector<std::string> args;
        USD_tenDiagSession session;
        const char* answer;
        UDS_tenResult result;
        uint16_t p2;
        uint32_t p2ext;
        const char* line;
    } cases[] = {
        {{}, UDS_DIAG_SESSION_EXTENDED, "50 03 00 32 01 F4", UDS_RES_OK, 500, 5000,
         "[INF    ] [KSTRMF] UDS: DSC Changed to Session 0x03 P2:500ms P2*:5000ms"},
        {{"--p2_server", "200"}, UDS_DIAG_SESSION_EXTENDED, "50 03 00 32 01 F4", UDS_RES_OK, 200, 5000,
         "UDS: DSC Changed to Session 0x03 P2:200ms P2*:5000ms"},
        {{"--p2_ext_server", "70"}, UDS_DIAG_SESSION_PROGRAMMING, "50 02 00 32 01 F4", UDS_RES_OK, 500, 70,
         "UDS: DSC Changed to Session 0x02 P2:500ms P2*:70ms"},
        {{}, UDS_DIAG_SESSION_PROGRAMMING, "50 02", UDS_RES_OK, 1000, 10000,
         "[WRN    ] [KSTRMF] UDS: DSC cannot read timings, answer is too short 2"},
        {{}, UDS_DIAG_SESSION_PROGRAMMING, "50 03 00 32 01 F4", UDS_RES_WRONG_RESPONSE, 1000, 10000,
         "UDS: DSC wrong session in response 0x03"},
        // Ten times a raw value above 6553 does not fit 16 bits: held at 65535 ms.
        {{}, UDS_DIAG_SESSION_EXTENDED, "50 03 FF FF 00 01", UDS_RES_OK, 65535, 10,
         "UDS: DSC Changed to Session 0x03 P2:65535ms P2*:10ms"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Init(c.args));
        const uint8_t s = static_cast<uint8_t>(c.session);
        tr.ExpectPhy({0x10, s}, {{H(c.answer)}});
        EXPECT_EQ(UDS_enDiagnosticSessionControl(c.session, UDS_SUPPRESS_POS_RESP_OFF), c.result) << c.line;
        EXPECT_EQ(IF__u16Timing_ms, c.p2) << c.line;
        EXPECT_EQ(IF__u32ExtTiming_ms, c.p2ext) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
    // The adopted P2 is the timeout of the next request.
    ASSERT_TRUE(Init({}));
    tr.ExpectPhy(H("10 03"), {{H("50 03 00 05 00 06")}});
    tr.ExpectPhy(H("11 01"), {});
    EXPECT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_EXTENDED, UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);
    EXPECT_EQ(UDS_enECUReset(UDS_RESET_HARD), UDS_RES_ERROR);
    EXPECT_EQ(tr.timeouts.back(), 50);
}

TEST_F(UdsTest, SessionControlSuppressedChecksNothing) {
    tr.ExpectPhy(H("10 82"), {});
    EXPECT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_ON), UDS_RES_OK);
    tr.Expect(IF_SOCKET_FUNC, H("10 83"), {});
    EXPECT_EQ(UDS_enDiagnosticSessionControlFunc(UDS_DIAG_SESSION_EXTENDED), UDS_RES_OK);
    EXPECT_EQ(IF__u16Timing_ms, 1000);
}

TEST_F(UdsTest, FunctionalSuppressedServices) {
    tr.Expect(IF_SOCKET_FUNC, H("85 82 FF FF FF"), {});
    tr.Expect(IF_SOCKET_FUNC, H("28 81 01"), {});
    tr.Expect(IF_SOCKET_FUNC, H("85 81 FF FF FF"), {});
    tr.Expect(IF_SOCKET_FUNC, H("28 80 01"), {});
    EXPECT_EQ(UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_OFF), UDS_RES_OK);
    EXPECT_EQ(UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_DISABLE_TX), UDS_RES_OK);
    EXPECT_EQ(UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_ON), UDS_RES_OK);
    EXPECT_EQ(UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_AND_TX), UDS_RES_OK);
    EXPECT_EQ(tr.timeouts, (std::vector<int>{400, 400, 400, 400}));
}

TEST_F(UdsTest, ReadDataByIdentifierEchoAndOutput) {
    tr.ExpectPhy(H("22 F1 87"), {{H("62 F1 87 35 47 30 39 32 30 38 37 30 41 20")}});
    uint8_t out[16];
    uint16_t len = sizeof out;
    EXPECT_EQ(UDS_enReadDataByIdentifier(UDS_RDBI_VW_SPARE_PART_NUMBER, out, &len), UDS_RES_OK);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), "5G0920870A ");

    struct Case {
        const char* answer;
        UDS_tenResult result;
        const char* line;
    } bad[] = {
        {"62 F1 89 00", UDS_RES_ERROR, "UDS: RDBI Wrong SubFct in Answer 0xF189"},
        {"62 F1", UDS_RES_ERROR, "UDS: RDBI Wrong SubFct in Answer 0xF100"},
        {"7F 22 31", UDS_RES_ERROR, "\"requestOutOfRange\""},
    };
    for (const auto& c : bad) {
        tr.ExpectPhy(H("22 F1 87"), {{H(c.answer)}});
        uint8_t o[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        uint16_t l = sizeof o;
        EXPECT_EQ(UDS_enReadDataByIdentifier(UDS_RDBI_VW_SPARE_PART_NUMBER, o, &l), c.result) << c.line;
        EXPECT_EQ(o[0], 0xEE) << "no output on failure: " << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
}

TEST_F(UdsTest, OutputLongerThanCallersBufferIsRefused) {
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    uint16_t len = 4;  // only the first four bytes are the caller's
    tr.ExpectPhy(H("22 F1 89"), {{H("62 F1 89 01 02 03 04 05")}});
    EXPECT_EQ(UDS_enReadDataByIdentifier(UDS_RDBI_VW_APPL_SW_VERSION, out, &len), UDS_RES_ERROR);
    EXPECT_TRUE(Has("UDS: RDBI Answer of 5 Bytes does not fit the output buffer of 4 Bytes"));
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
    // Exactly fitting is fine.
    tr.ExpectPhy(H("22 F1 89"), {{H("62 F1 89 01 02 03 04")}});
    EXPECT_EQ(UDS_enReadDataByIdentifier(UDS_RDBI_VW_APPL_SW_VERSION, out, &len), UDS_RES_OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(out[3], 0x04);
    EXPECT_EQ(out[4], 0xEE);
    // Without an output the answer is only checked.
    tr.ExpectPhy(H("22 F1 89"), {{H("62 F1 89 01 02 03 04 05 06")}});
    EXPECT_EQ(UDS_enReadDataByIdentifier(UDS_RDBI_VW_APPL_SW_VERSION, nullptr, nullptr), UDS_RES_OK);
}

TEST_F(UdsTest, WriteDataByIdentifierChecks) {
    const Bytes date = H("26 12 11");
    struct Case {
        const char* answer;
        UDS_tenResult result;
        const char* line;
    } cases[] = {
        {"6E F1 99", UDS_RES_OK, "[INF    ] [KSTRMF] UDS: WDBI Write Data OK for 0xF199"},
        {"6E F1 99 00", UDS_RES_ERROR, "UDS: WDBI Message Length Received 4"},
        {"6E F1 98", UDS_RES_ERROR, "UDS: WDBI Wrong SubFct in Answer 0xF198"},
    };
    for (const auto& c : cases) {
        tr.ExpectPhy(H("2E F1 99 26 12 11"), {{H(c.answer)}});
        EXPECT_EQ(UDS_enWriteDataByIdentifier(UDS_WDBI_PROGRAMMING_DATE, date.data(), 3), c.result) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
    // Data that cannot fit the request buffer is refused before anything is sent.
    Bytes huge(UDS_BUF_MAX, 0x11);
    EXPECT_EQ(UDS_enWriteDataByIdentifier(UDS_WDBI_FINGERPRINT, huge.data(), static_cast<uint16_t>(huge.size())),
              UDS_RES_ERROR);
    EXPECT_TRUE(Has("UDS: WDBI Request of 4099 Bytes exceeds the buffer of 4096 Bytes"));
}

TEST_F(UdsTest, RoutineControlEchoAndRecord) {
    tr.ExpectPhy(H("31 01 FF 00 44 00 08 00 00"), {{H("71 01 FF 00 00")}});
    const Bytes data = H("44 00 08 00 00");
    uint8_t rec[8];
    uint16_t len = sizeof rec;
    EXPECT_EQ(UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_ERASE_MEMORY, data.data(), 5, rec, &len),
              UDS_RES_OK);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(rec[0], 0x00);
    EXPECT_TRUE(Has("UDS: RC Routine OK for 0xFF00"));

    const char* wrong[] = {"71 03 FF 00 00", "71 01 FF 01 00", "71 01 FE 00", "71 01"};
    for (const char* a : wrong) {
        tr.ExpectPhy(H("31 01 FF 00"), {{H(a)}});
        EXPECT_EQ(UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_ERASE_MEMORY, nullptr, 0, rec, &len),
                  UDS_RES_ERROR)
            << a;
    }
    EXPECT_TRUE(Has("UDS: RC Wrong SubFct in Answer 0x03 0xFF00"));
    EXPECT_TRUE(Has("UDS: RC Wrong SubFct in Answer 0x01 0xFF01"));
    EXPECT_TRUE(Has("UDS: RC Wrong SubFct in Answer 0x01 0xFE00"));
}

TEST_F(UdsTest, SecurityAccessEchoAndOutput) {
    tr.ExpectPhy(H("27 11"), {{H("67 11 01 02 03 04")}});
    uint8_t seed[4];
    uint16_t len = sizeof seed;
    EXPECT_EQ(UDS_enSecurityAccess(UDS_SA_REQUEST_SEED, nullptr, 0, seed, &len), UDS_RES_OK);
    EXPECT_EQ(Bytes(seed, seed + len), H("01 02 03 04"));
    tr.ExpectPhy(H("27 12 AA BB CC DD"), {{H("67 13")}});
    const Bytes key = H("AA BB CC DD");
    EXPECT_EQ(UDS_enSecurityAccess(UDS_SA_SEND_KEY, key.data(), 4, nullptr, nullptr), UDS_RES_ERROR);
    EXPECT_TRUE(Has("UDS: SA Wrong SubFct in Answer 0x13"));
}

TEST_F(UdsTest, TransferDataChecks) {
    const Bytes data = H("01 02 03");
    struct Case {
        const char* answer;
        UDS_tenResult result;
        const char* line;
    } cases[] = {
        {"76 05", UDS_RES_OK, "UDS: SID 0x36 .. Response is Ok"},
        {"76 06", UDS_RES_ERROR, "UDS: TD Wrong BSN 06"},
        {"76 05 00", UDS_RES_ERROR, "UDS: TD Message Length Received 3"},
        {"7F 36 73", UDS_RES_ERROR, "\"wrongBlockSequenceCounter\""},
        {"7F 36 78", UDS_RES_ERROR, "UDS: SID 0x36 .. Can't get response (Timeout 10000ms)"},
    };
    for (const auto& c : cases) {
        tr.ExpectPhy(H("36 05 01 02 03"), {{H(c.answer)}});
        EXPECT_EQ(UDS_enTransferData(0x05, data.data(), 3), c.result) << c.line;
        EXPECT_TRUE(Has(c.line)) << c.line;
    }
    // The engine gives the transport a capacity of 4 bytes for the answer.
    tr.ExpectPhy(H("36 05 01 02 03"), {{H("76 05 00 00 00")}});
    EXPECT_EQ(UDS_enTransferData(0x05, data.data(), 3), UDS_RES_ERROR);
    EXPECT_TRUE(Has("Response of 5 Bytes exceeds the buffer of 4 Bytes"));
}

TEST_F(UdsTest, PlainPhysicalServices) {
    tr.ExpectPhy(H("37"), {{H("77")}});
    tr.ExpectPhy(H("11 02"), {{H("51 02")}});
    tr.ExpectPhy(H("34 00 44 00 08 00 00 00 01 F0 00"), {{H("74 20 0F FF")}});
    EXPECT_EQ(UDS_enRequestTransferExit(), UDS_RES_OK);
    EXPECT_EQ(UDS_enECUReset(UDS_RESET_KEY_OFF_ON), UDS_RES_OK);
    const Bytes p = H("00 44 00 08 00 00 00 01 F0 00");
    uint8_t out[12];
    uint16_t len = sizeof out;
    EXPECT_EQ(UDS_enRequestDownload(p.data(), static_cast<uint16_t>(p.size()), out, &len), UDS_RES_OK);
    EXPECT_EQ(Bytes(out, out + len), H("20 0F FF"));
}
