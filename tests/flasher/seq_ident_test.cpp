// Identification reading against a scripted ECU that answers ReadDataByIdentifier from a map.
#include <gtest/gtest.h>

#include <map>

#include "flasher/flash_seq.h"
#include "seq_support.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

using seqtest::Bytes;
using seqtest::ScriptedTransport;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

class SeqIdent : public ::testing::Test {
protected:
    seqtest::TempDir dir;
    std::string log = dir.path + "/log.txt";
    std::map<uint16_t, Bytes> dids;

    void SetUp() override {
        ASSERT_EQ(0, seqtest::initOptions({"--p2_server", "50", "--p3_client", "5"}, log));
        UDS__vResetForTest();
        ScriptedTransport::instance().reset();
        ScriptedTransport::instance().respond = [this](const Bytes& req) -> std::vector<Bytes> {
            if (req.size() != 3 || req[0] != 0x22) return {{0x7F, req[0], 0x11}};
            const uint16_t did = static_cast<uint16_t>(req[1] << 8 | req[2]);
            auto it = dids.find(did);
            if (it == dids.end()) return {{0x7F, 0x22, 0x31}};
            Bytes a{0x62, req[1], req[2]};
            a.insert(a.end(), it->second.begin(), it->second.end());
            return {a};
        };
        UDS_vSetTransportOverride(ScriptedTransport::table());
        ASSERT_TRUE(UDS_boInit());
        FLASH__vResetIdents();
    }
    void TearDown() override {
        UDS__vResetForTest();
        ScriptedTransport::instance().reset();
        FLASH__vResetIdents();
        LOG_SetFilename("");
    }
    size_t requestCount() const { return ScriptedTransport::instance().requests.size(); }
    std::vector<std::string> lines() { return seqtest::logMessages(log); }
};

TEST_F(SeqIdent, TextIdentificationsCheckSizeCutAtZeroAndCache) {
    struct Case {
        uint16_t did;
        bool (*read)();
        const char* stored;
        Bytes record;
        bool ok;
        std::string line;
    };
    const Case cases[] = {
        {0xF187, FLASH__boReadIdent_VWSparePartNumber, FLASH__acVWSparePartNumber, text("5G0920861AB"), true,
         "FLASH: 0xF187 VW Spare Part Number: \"5G0920861AB\""},
        {0xF187, FLASH__boReadIdent_VWSparePartNumber, FLASH__acVWSparePartNumber, text("5G0920861ABC"), false,
         "FLASH: Invalid Size of VW Spare Part Number 12"},
        {0xF187, FLASH__boReadIdent_VWSparePartNumber, FLASH__acVWSparePartNumber, {'A', 'B', 0, 'C', 'D', 'E'},
         true, "FLASH: 0xF187 VW Spare Part Number: \"AB\""},
        {0xF187, FLASH__boReadIdent_VWSparePartNumber, FLASH__acVWSparePartNumber, text("5G0   "), true,
         "FLASH: 0xF187 VW Spare Part Number: \"5G0   \""},
        {0xF189, FLASH__boReadIdent_VWSoftwareVersionNumber, FLASH__acVWSoftwareVersionNumber, text("0221"), true,
         "FLASH: 0xF189 VW Software Version Number: \"0221\""},
        {0xF189, FLASH__boReadIdent_VWSoftwareVersionNumber, FLASH__acVWSoftwareVersionNumber, text("02211"), false,
         "FLASH: Invalid Size of VW Application Software Version Number 5"},
        {0xF191, FLASH__boReadIdent_VWECUHardwareNumber, FLASH__acVWEcuHardwareNum, text("5G0920861"), true,
         "FLASH: 0xF191 VW ECU Hardware Number: \"5G0920861\""},
        {0xF1A3, FLASH__boReadIdent_VWECUHardwareVersionNumber, FLASH__acVWEcuHardwareVersionNum, text("H03"), true,
         "FLASH: 0xF1A3 VW ECU Hardware Version Number: \"H03\""},
        {0xF1A3, FLASH__boReadIdent_VWECUHardwareVersionNumber, FLASH__acVWEcuHardwareVersionNum, text("H031"),
         false, "FLASH: Invalid Size of VW ECU Hardware Version Number 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        FLASH__vResetIdents();
        dids = {{c.did, c.record}};
        const size_t before = requestCount();
        EXPECT_EQ(c.ok, c.read());
        EXPECT_TRUE(seqtest::hasLine(lines(), c.line));
        // A valid value is cached; a failed one is read again on the next request.
        EXPECT_EQ(c.ok, c.read());
        EXPECT_EQ(c.ok ? 1u : 2u, requestCount() - before);
        if (!c.ok) {
            EXPECT_STREQ("", c.stored);
        }
    }
    // Invalidation makes the next request read again.
    FLASH__vResetIdents();
    dids = {{0xF189, text("0100")}};
    ASSERT_TRUE(FLASH__boReadIdent_VWSoftwareVersionNumber());
    FLASH__vInvalidate_Idents();
    dids = {{0xF189, text("0200")}};
    ASSERT_TRUE(FLASH__boReadIdent_VWSoftwareVersionNumber());
    EXPECT_STREQ("0200", FLASH__acVWSoftwareVersionNumber);
}

TEST_F(SeqIdent, ReadErrorsAreLoggedPerIdentification) {
    dids.clear();
    EXPECT_FALSE(FLASH__boReadIdent_VWSparePartNumber());
    EXPECT_FALSE(FLASH__boReadIdent_VWSoftwareVersionNumber());
    EXPECT_FALSE(FLASH__boReadIdent_VWECUHardwareNumber());
    EXPECT_FALSE(FLASH__boReadIdent_VWECUHardwareVersionNumber());
    EXPECT_FALSE(FLASH__boReadIdent_FDSProjectData());
    EXPECT_FALSE(FLASH__boReadIdent_ECUProgrammingInformation());
    EXPECT_FALSE(FLASH__boReadIdent_BlockVersionsAndFingerprints());
    const auto l = lines();
    for (const char* msg : {"FLASH: Error Reading VW Spare Part Number",
                            "FLASH: Error Reading VW Application Software Version Number",
                            "FLASH: Error Reading VW ECU Hardware Number", "FLASH: Error ECU Hardware Version Number",
                            "FLASH: 0xF1D5 FDS Project Data: ERROR", "FLASH: 0xF1DF FDS Prog. Info: ERROR",
                            "FLASH: 0xF1AB VW Logical Software Block Version: ERROR"}) {
        EXPECT_TRUE(seqtest::hasLine(l, msg)) << msg;
    }
    EXPECT_EQ(2, FLASH__enKeyType);
}

TEST_F(SeqIdent, KeyTypeAndProgrammingInformation) {
    dids = {{0xF1D5, {0x01, 0x00, 0x01, 0x23, 0x45, 0x20}}, {0xF1DF, {0x44}}};
    ASSERT_TRUE(FLASH__boReadIdent_FDSProjectData());
    EXPECT_EQ(1, FLASH__enKeyType);
    ASSERT_TRUE(FLASH__boReadIdent_ECUProgrammingInformation());
    EXPECT_FALSE(FLASH__boECUConsistent);
    const size_t before = requestCount();
    EXPECT_TRUE(FLASH__boReadIdent_FDSProjectData());  // read once per process
    EXPECT_TRUE(FLASH__boReadIdent_ECUProgrammingInformation());
    EXPECT_EQ(before, requestCount());
    const auto l = lines();
    EXPECT_TRUE(seqtest::hasLine(l, "FLASH: 0xF1D5 FDS Project Data: 0x01 ID:0x00012345 Hash-Len: 32, Key: Series "));
    EXPECT_TRUE(seqtest::hasLine(l, "FLASH: 0xF1DF ECU Prog. Info: 0x44 Consistent:No, Programmable:Yes "));

    FLASH__vResetIdents();
    dids = {{0xF1D5, {0x00, 1, 2, 3, 4, 5}}, {0xF1DF, {0x40}}};
    ASSERT_TRUE(FLASH__boReadIdent_FDSProjectData());
    EXPECT_EQ(0, FLASH__enKeyType);
    ASSERT_TRUE(FLASH__boReadIdent_ECUProgrammingInformation());
    EXPECT_TRUE(FLASH__boECUConsistent);
}

Bytes fingerprints(int count, uint8_t invalidIndexState = 0, int invalidIndex = -1) {
    Bytes fp;
    for (int i = 0; i < count; ++i) {
        const Bytes one{0x24, 0x03, 0x15, 'T', 'E', 'S', 'T', '0', '1',
                        static_cast<uint8_t>(i == invalidIndex ? invalidIndexState : 0)};
        fp.insert(fp.end(), one.begin(), one.end());
    }
    return fp;
}

Bytes versions(int count) {
    Bytes v;
    for (int i = 0; i < count; ++i) {
        char b[5];
        std::snprintf(b, sizeof b, "%04d", i + 1);
        v.insert(v.end(), b, b + 4);
    }
    return v;
}

TEST_F(SeqIdent, BlockVersionsAndFingerprints) {
    struct Case {
        Bytes versions;
        Bytes fingerprints;
        bool withFingerprints;
        bool ok;
        int blockCount;
        std::string line;
    };
    const Case cases[] = {
        {versions(64), fingerprints(64), true, true, 64,
         "FLASH:    Block:63  Version:\"0064\"  Date:15.03.24  Tester:\"TEST01\"  State: 0x00 VALID"},
        {versions(65), fingerprints(65), true, false, 0, "FLASH: Received too much Blocks: 65"},
        {versions(2), fingerprints(3), true, false, 2,
         "FLASH: IDs for BlockVersion (2) and Fingerprints (3) do not match"},
        {Bytes(6, '1'), fingerprints(1), true, false, 0, "FLASH: Received Invalid Software Block Size 6"},
        {versions(2), Bytes(25, 0), true, false, 2, "FLASH: Received Fingerprint Size 25"},
        {versions(2), {}, false, false, 2, "FLASH: 0xF15B VW Block Fingerprints: ERROR"},
        {versions(3), fingerprints(3, 0x01, 1), true, true, 3,
         "FLASH:    Block:01  Version:\"0002\"  Date:15.03.24  Tester:\"TEST01\"  State: 0x01 INVALID"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        dids = {{0xF1AB, c.versions}};
        if (c.withFingerprints) dids[0xF15B] = c.fingerprints;
        EXPECT_EQ(c.ok, FLASH__boReadIdent_BlockVersionsAndFingerprints());
        EXPECT_EQ(c.blockCount, FLASH__u8SwBlockNo);
        EXPECT_TRUE(seqtest::hasLine(lines(), c.line));
    }
    // After the failed fingerprint read the versions stay and every state is invalid.
    dids = {{0xF1AB, versions(2)}};
    EXPECT_FALSE(FLASH__boReadIdent_BlockVersionsAndFingerprints());
    EXPECT_STREQ("0002", FLASH__astSwBlock[1].acBlockVersion);
    EXPECT_EQ(1, FLASH__astSwBlock[0].u8ProgState);
    EXPECT_STREQ("----", FLASH__astSwBlock[2].acBlockVersion);
}

TEST_F(SeqIdent, ReadIdentificationsReadsOnlyWhatIsNotValid) {
    dids = {{0xF187, text("5G0920861A")}, {0xF189, text("0220")}, {0xF1D5, {0, 0, 0, 0, 0, 0}},
            {0xF1DF, {0x40}},          {0xF1AB, versions(1)},      {0xF15B, fingerprints(1)}};
    EXPECT_TRUE(FLASH__boReadIdentifications());
    EXPECT_EQ(6u, requestCount());
    // Spare part number, software version, key type and programming information are cached;
    // the block table is read again.
    EXPECT_TRUE(FLASH__boReadIdentifications());
    EXPECT_EQ(8u, requestCount());
    // A failing read does not change the result.
    dids.clear();
    FLASH__vInvalidate_Idents();
    EXPECT_TRUE(FLASH__boReadIdentifications());
}

TEST(SeqBytePos, MapsPositionsToEcuBlocksAndRejectsPositionsOutsideTheTable) {
    struct Case {
        int32_t pos;
        int index;
        bool inTable;
    };
    const Case cases[] = {{3, 0, true}, {7, 1, true}, {0, 0, true}, {2, 0, true}, {255, 63, true},
                          {258, 63, true}, {259, 64, false}, {100000, 24999, false}, {-10, -3, false}};
    for (const auto& c : cases) {
        int k = 99;
        const FLASH_tstSwBlock* b = FLASH__pstEcuBlockByBytePos(c.pos, &k);
        EXPECT_EQ(c.index, k) << c.pos;
        EXPECT_EQ(c.inTable, b != nullptr) << c.pos;
    }
}

}  // namespace
