// The UDS client against the simulated ECU's in-process front-end: a strict ECU that records
// every violation, so request layouts and sequences are checked by an independent model.
#include "sim/inprocess.h"
#include "sim/sa2.h"
#include "sim/sha256.h"
#include "uds_fixture.h"

using namespace udstest;

namespace {

// Runs the test body against the in-process ECU instead of the scripted transport.
class UdsSimTest : public UdsTest {
protected:
    void StartSim(const std::vector<std::string>& args, const ecusim::EcuConfig& config) {
        ASSERT_TRUE(Init(args));
        UDS__vResetForTest();
        UDS_vSetTransportOverride(ecusim::InProcess::start(config));
        ASSERT_TRUE(UDS_boInit());
    }
    void TearDown() override {
        if (ecusim::InProcess::running()) {
            for (const auto& v : ecusim::InProcess::model().report().violations) ADD_FAILURE() << v.reason;
            ecusim::InProcess::stop();
        }
        UdsTest::TearDown();
    }
};

}  // namespace

TEST_F(UdsSimTest, ProgrammingSequenceIsAcceptedByTheEcu) {
    ecusim::EcuConfig config;
    config.seedForTests = 0x5A17C3E9;
    StartSim({"--use_eth"}, config);

    ASSERT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_EXTENDED, UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);
    EXPECT_EQ(IF__u16Timing_ms, 10 * config.p2Raw);
    EXPECT_EQ(IF__u32ExtTiming_ms, 10u * config.p2StarRaw);
    EXPECT_EQ(UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_OFF), UDS_RES_OK);
    EXPECT_EQ(UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_DISABLE_TX), UDS_RES_OK);
    ASSERT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);

    const auto& program = ecusim::defaultSa2Program();
    ASSERT_TRUE(UDS_boDoSA2Access(program.data(), static_cast<uint32_t>(program.size())));
    const Bytes fingerprint = H("26 12 11 30 30 30 30 30 31");
    ASSERT_EQ(UDS_enWriteDataByIdentifier(UDS_WDBI_FINGERPRINT, fingerprint.data(), 9), UDS_RES_OK);

    const uint32_t address = 0x00080000, size = 200000;
    Bytes data(size);
    for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    ASSERT_TRUE(UDS_boDoEraseMemory(0x44, address, size));
    ASSERT_TRUE(UDS_boDoTransferDataBlock(0x44, 0x00, address, size, false, data.data(), size));
    const auto digest = ecusim::Sha256::of(data);
    EXPECT_TRUE(UDS_boDoCheckMemory(0x44, address, size, static_cast<uint16_t>(digest.size()), digest.data()));
    Bytes wrong(digest.begin(), digest.end());
    wrong[0] ^= 1;
    EXPECT_FALSE(UDS_boDoCheckMemory(0x44, address, size, static_cast<uint16_t>(wrong.size()), wrong.data()));
    EXPECT_TRUE(Has("UDS: CheckMem Failed - Addr:0x00080000 Result: 01"));

    const auto report = ecusim::InProcess::model().report();
    ASSERT_EQ(report.downloads.size(), 1u);
    EXPECT_TRUE(report.downloads[0].complete);
    EXPECT_EQ(report.downloads[0].received, size);
    EXPECT_EQ(report.downloads[0].sha256, ecusim::toHex(digest));
    // The one violation is the deliberately wrong signature.
    ASSERT_EQ(report.violations.size(), 1u);
    EXPECT_EQ(report.violations[0].head[0], 0x31);
    ecusim::InProcess::stop();
}

TEST_F(UdsSimTest, WrongProgramKeyIsRefused) {
    ecusim::EcuConfig config;
    config.seedForTests = 0x01020304;
    StartSim({}, config);
    ASSERT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_EXTENDED, UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);
    ASSERT_EQ(UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_OFF), UDS_RES_OK);
    const Bytes notTheProgram = H("87 00 00 00 01 4C");
    EXPECT_FALSE(UDS_boDoSA2Access(notTheProgram.data(), static_cast<uint32_t>(notTheProgram.size())));
    EXPECT_TRUE(Has("\"invalidKey\""));
    EXPECT_TRUE(Has("UDS: SA2 Key not Accepted"));
    ecusim::InProcess::stop();  // the refused key is the point here, not a violation
}
