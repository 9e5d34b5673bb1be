// Check-memory commands from signatures and checksums, in the document or a signature file.
#include <gtest/gtest.h>

#include "flasher/flash_internal.h"
#include "odx/odx_internal.h"
#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

using SignatureTest = OdxTest;

const std::string kAppMethod = "<SECURITY-METHOD TYPE=\"A_ASCIISTRING\">SIGNATURE</SECURITY-METHOD>\n"
                               "                  <FW-SIGNATURE TYPE=\"A_BYTEFIELD\">0001";
const std::string kAppChecksum = "<FW-CHECKSUM TYPE=\"A_BYTEFIELD\">CAFE</FW-CHECKSUM>";
const std::string kAppCompMethod = "<ENCRYPT-COMPRESS-METHOD TYPE=\"A_BYTEFIELD\">0110</ENCRYPT-COMPRESS-METHOD>";
const std::string kAppSignature =
    "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2D2E2F30313233343536"
    "3738393A3B3C3D3E3F40";

struct Built {
    bool present = false;
    ODX_tenFlashCmd kind = ODX_CMD_ERROR;
    std::vector<uint8_t> bytes;
    uint8_t method = 0;
};

Built build(const char* id) {
    Built b;
    ODX_tstFlashcmdParam* cmd = ODX__pstBuildSignature(id);
    if (cmd == nullptr) return b;
    b.present = true;
    b.kind = cmd->enFlashCmd;
    if (cmd->pu8Data) b.bytes.assign(cmd->pu8Data, cmd->pu8Data + cmd->u16SigLength);
    b.method = cmd->u8CompEncMethod;
    ODX__vFreeCmd(cmd);
    return b;
}

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST_F(SignatureTest, MethodChoosesSignatureOrChecksumPath) {
    const std::string doc = fixture("flash_session.odx-f");
    const auto sigAndChecksum = hex(kAppSignature + "CAFE");
    struct Case {
        const char* name;
        std::string doc;
        bool present;
        std::vector<uint8_t> bytes;
        const char* line;
    } cases[] = {
        {"SIG", replaceOnce(doc, kAppMethod, replaceOnce(kAppMethod, ">SIGNATURE<", ">SIG<")), true, sigAndChecksum,
         "ODX: Found SIG method for App using SIG path"},
        {"CHECKSUM", replaceOnce(doc, kAppMethod, replaceOnce(kAppMethod, ">SIGNATURE<", ">CHECKSUM<")), true,
         {0xCA, 0xFE}, "ODX: Found CHECKSUM method for App using CHECKSUM"},
        {"sig lower case", replaceOnce(doc, kAppMethod, replaceOnce(kAppMethod, ">SIGNATURE<", ">sig<")), true,
         {0xCA, 0xFE}, "ODX: Found sig method for App using CHECKSUM"},
        {"plain data: signature only",
         replaceOnce(doc, kAppCompMethod, "<ENCRYPT-COMPRESS-METHOD TYPE=\"A_BYTEFIELD\">00</ENCRYPT-COMPRESS-METHOD>"),
         true, hex(kAppSignature), "ODX: Using only FW-SIGNATURE for CheckMemory"},
        {"method 0x11", replaceOnce(doc, kAppCompMethod, "<ENCRYPT-COMPRESS-METHOD TYPE=\"A_BYTEFIELD\">11</ENCRYPT-COMPRESS-METHOD>"),
         true, sigAndChecksum, "ODX: Using FW-SIGNATURE + FW-CHECKSUM for CheckMemory"},
        {"method unreadable", replaceOnce(doc, kAppCompMethod, ""), true, sigAndChecksum, nullptr},
        {"no checksum", replaceOnce(doc, kAppChecksum, ""), true, hex(kAppSignature),
         "ODX: No FW-CHECKSUM for SIG App found"},
        {"no signature", replaceOnce(doc, "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" + kAppSignature + "</FW-SIGNATURE>", ""),
         false, {}, "ODX: No FW-SIGNATURE for App found"},
        {"signature not hex",
         replaceOnce(replaceOnce(doc, kAppSignature, "XYZ"), kAppChecksum, ""), false, {},
         "ODX: Build Signature: Convert Error XYZ"},
        {"checksum path without checksum",
         replaceOnce(replaceOnce(doc, kAppMethod, replaceOnce(kAppMethod, ">SIGNATURE<", ">CRC<")), kAppChecksum, ""),
         false, {}, "ODX: No FW-CHECKSUM for  App found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        ASSERT_TRUE(open(c.doc));
        const Built b = build("DB_App");
        EXPECT_EQ(b.present, c.present);
        if (c.present) {
            EXPECT_EQ(b.kind, ODX_CMD_CHECK_MEMORY);
            EXPECT_EQ(b.bytes, c.bytes);
        }
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
    }
    // 130 hex digits make 65 signature bytes.
    EXPECT_EQ(hex(kAppSignature).size(), 65u);

    // No security method: a record of kind ERROR.
    ASSERT_TRUE(open(replaceOnce(doc, kAppMethod, "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">0001")));
    const Built none = build("DB_App");
    EXPECT_TRUE(none.present);
    EXPECT_EQ(none.kind, ODX_CMD_ERROR);
    EXPECT_TRUE(log.has("ODX: No SECURITY-METHOD for App"));
}

TEST_F(SignatureTest, SignatureFileSetChosenByKeyType) {
    const std::string doc = fixture("flash_session.odx-f");
    writeFile(root() / "signatures" / "Cluster_Signatures.xml", fixture("signatures.xml"));
    const std::vector<std::string> sigOption = {"--sig_file", "Cluster_Signatures.xml"};
    struct Case {
        int keyType;
        std::string signature;
        const char* line;
    } cases[] = {
        {0, "E1E2E3", nullptr},
        {1, "5152535455", nullptr},
        {2, "E1E2E3", "ODX: Did not get information about Development or Series -> try with Development"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyType);
        log.clear();
        FLASH__enKeyType = c.keyType;
        ASSERT_TRUE(open(doc, kOdxName, sigOption));
        const Built b = build("DB_App");
        ASSERT_TRUE(b.present);
        EXPECT_EQ(b.bytes, hex(c.signature + "CAFE"));
        EXPECT_TRUE(log.has("ODX: Found Signature " + c.signature + " for App"));
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
    }

    // A block the signature file does not name gets no check-memory command.
    FLASH__enKeyType = 0;
    ASSERT_TRUE(open(replaceOnce(doc, "<SHORT-NAME>Driver</SHORT-NAME>", "<SHORT-NAME>Boot</SHORT-NAME>"), kOdxName,
                     sigOption));
    EXPECT_FALSE(build("DB_Driver").present);
    EXPECT_TRUE(log.has("ODX: Cannot find Signature for Boot"));

    // An overlong signature in the file is refused, not copied.
    writeFile(root() / "signatures" / "Cluster_Signatures.xml",
              replaceOnce(fixture("signatures.xml"), "E1E2E3", std::string(4096, 'A')));
    EXPECT_FALSE(build("DB_App").present);

    writeFile(root() / "more" / "cluster_signatures.XML", fixture("signatures.xml"));
    log.clear();
    EXPECT_FALSE(build("DB_App").present);
    EXPECT_TRUE(log.has("ODX: Found more than one signature file"));

    fs::remove_all(root() / "more");
    fs::remove_all(root() / "signatures");
    log.clear();
    EXPECT_FALSE(build("DB_App").present);
    EXPECT_TRUE(log.has("ODX: Did not find any signature files"));
}

TEST_F(SignatureTest, SessionFormForFilesThatAreNotOdxF) {
    // Security data of a plain .odx file lies in the session, per block by VALIDITY-FOR.
    ASSERT_TRUE(prepare(fixture("flash_session.odx-f"), "FL_5G0920320A_0221.odx"));
    EXPECT_FALSE(ODX__boFileIsODXF);
    const auto cmds = commandList();
    std::vector<ODX_tenFlashCmd> k;
    for (const auto& c : cmds) k.push_back(c.enFlashCmd);
    // Driver: no security in the session, download alone. App: the session's checksum.
    // Param: no security method, so its FLASH_DATA block keeps only the erase.
    EXPECT_EQ(k, (std::vector<ODX_tenFlashCmd>{ODX_CMD_DOWNLOAD, ODX_CMD_ERASE, ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY,
                                               ODX_CMD_ERASE, ODX_CMD_UPDATE_EXECUTION, ODX_CMD_FINISH}));
    ASSERT_EQ(cmds[3].u16SigLength, 4);
    EXPECT_EQ(std::vector<uint8_t>(cmds[3].pu8Data, cmds[3].pu8Data + 4), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD}));
}
