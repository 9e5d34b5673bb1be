// The programming steps of the flash procedure: preconditions and communication control,
// the command loop with its handlers, fingerprint, programming date and tester serial,
// ECU reset and the block check after programming.
#include <cstring>

#include "flasher/cfg.h"
#include "flasher/flash_seq.h"
#include "logging/cnv.h"
#include "logging/log.h"
#include "uds/uds.h"

ODX_tstFlashcmdParam FLASH__stFlashCmd;

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 5;
constexpr uint8_t kNoBlock = 255;

// Download, erase and check memory of a block that the file choice found up to date are
// skipped. A block number outside the file's table is never skipped.
bool skipBlock(const ODX_tstFlashcmdParam& cmd, const char* skipLine) {
    if (cmd.u8BlockNo == kNoBlock || cmd.u8BlockNo >= ODX_MAX_BLOCKS) return false;
    if (FLASH__sOdxBlockVersion.aboProgramBlock[cmd.u8BlockNo] != 0) return false;
    LOG_vInfo(skipLine, cmd.u8BlockNo);
    return true;
}

struct BcdDate {
    uint8_t year, month, day;
};

BcdDate startDateBcd() {
    return {CNV_u8DecToBcd(static_cast<uint8_t>((FLASH__stTime.tm_year + 1900 - 2000) % 100)),
            CNV_u8DecToBcd(static_cast<uint8_t>(FLASH__stTime.tm_mon + 1)),
            CNV_u8DecToBcd(static_cast<uint8_t>(FLASH__stTime.tm_mday))};
}

}  // namespace

int FLASH__vPreProgrammingSteps() {
    if (!CFG_boDisableWritePrgDateAndTestSerial() && !FLASH__boWritePrgDateAndTestSerial()) {
        LOG_vError("FLASH: Failed Writing Programming Date and Serial Number");
        return 3;
    }
    if (CFG_boDisableCheckPrgPreCond() || CFG_boExtendedSessionDisabled()) {
        LOG_vInfo("FLASH: Programming Pre Conditions ignored");
    } else {
        LOG_vInfo("FLASH: Check Programming Pre Conditions");
        if (!UDS_boDoCheckProgrammingPreConditions()) {
            LOG_vError("FLASH: Check Programming Pre Conditions Failed");
            return 3;
        }
        LOG_vInfo("FLASH: Check Programming Pre Conditions OK");
    }
    if (!CFG_boComCtrlDisabled()) {
        LOG_vInfo("FLASH: Control DTC Settings - Off");
        UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_OFF);
        LOG_vInfo("FLASH: Communication Control - EnableRxAndDisableTx");
        UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_DISABLE_TX);
    }
    return 0;
}

void FLASH__vPostProgrammingSteps() {
    if (CFG_boOnlyReadIdents() || CFG_boComCtrlDisabled()) return;
    UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_AND_TX);
    UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_ON);
}

int downloadCommand(const ODX_tstFlashcmdParam& cmd) {
    if (skipBlock(cmd, "FLASH: Skip Programming of Block %d")) return kDone;
    LOG_vInfo("FLASH: Download DataBlock    StartAddr:   0x%08X", cmd.u32MemAddress);
    LOG_vDebug_1("FLASH:    SizeUncomp:  0x%08X %dd", cmd.u32MemSize, static_cast<int>(cmd.u32MemSize));
    LOG_vDebug_1("FLASH:    SizeComp:    0x%08X %dd", cmd.u32MemSizeComp, static_cast<int>(cmd.u32MemSizeComp));
    LOG_vDebug_1("FLASH:    ComprMethod: 0x%02X", cmd.u8CompEncMethod);
    const bool ok = UDS_boDoTransferDataBlock(cmd.u8Alfid, cmd.u8CompEncMethod, cmd.u32MemAddress, cmd.u32MemSize,
                                              cmd.boIsFile, cmd.pu8Data, ODX_u32TransferSize(cmd));
    return ok ? kDone : kFailed;
}

int eraseCommand(const ODX_tstFlashcmdParam& cmd) {
    if (skipBlock(cmd, "FLASH: Skipping Erase of Block %d")) return kDone;
    LOG_vInfo("FLASH: Erase Partition       StartAddr:   0x%08X", cmd.u32MemAddress);
    return UDS_boDoEraseMemory(cmd.u8Alfid, cmd.u32MemAddress, cmd.u32MemSize) ? kDone : kFailed;
}

int checkMemoryCommand(const ODX_tstFlashcmdParam& cmd) {
    if (skipBlock(cmd, "FLASH: Skip Checking of Block %d")) return kDone;
    bool ok = false;
    if (cmd.enVW80126Version == ODX_VW80126_2_OR_HIGHER) {
        LOG_vInfo("FLASH: Check Memory       SigSize:   0x%08X (%d)", cmd.u16SigLength, cmd.u16SigLength);
        ok = UDS_boDoCheckMemory_v200(cmd.u16SigLength, cmd.pu8Data);
    } else {
        LOG_vInfo("FLASH: Check Memory     StartAddr:   0x%08X", cmd.u32MemAddress);
        LOG_vDebug_1("FLASH:    ChkSumSize:  0x%08X", cmd.u32MemSize);
        ok = UDS_boDoCheckMemory(cmd.u8Alfid, cmd.u32MemAddress, cmd.u32MemSize, cmd.u16SigLength, cmd.pu8Data);
    }
    return ok ? kDone : kFailed;
}

int updateExecutionCommand() {
    LOG_vInfo("FLASH: Flash Command Update Execution");
    return UDS_boDoUpdateExecution(0, 1, 255) ? kDone : kFailed;
}

int errorCommand() {
    LOG_vError("FLASH: Flash Command Error");
    return kFailed;
}

int finishedCommand() {
    LOG_vInfo("FLASH: Finished Programming Loop .. Ok");
    return kDone;
}

int runProgrammingLoop() {
    for (;;) {
        FLASH__stFlashCmd.enFlashCmd = ODX_CMD_ERROR;
        ODX_vGetNextOdxCommand(&FLASH__stFlashCmd);
        int res = kDone;
        switch (FLASH__stFlashCmd.enFlashCmd) {
            case ODX_CMD_DOWNLOAD:
                res = downloadCommand(FLASH__stFlashCmd);
                break;
            case ODX_CMD_ERASE:
                res = eraseCommand(FLASH__stFlashCmd);
                break;
            case ODX_CMD_CHECK_MEMORY:
                res = checkMemoryCommand(FLASH__stFlashCmd);
                break;
            case ODX_CMD_UPDATE_EXECUTION:
                res = updateExecutionCommand();
                break;
            case ODX_CMD_FINISH:
                return finishedCommand();
            case ODX_CMD_ERROR:
                errorCommand();
                LOG_vError("Error while Programming Loop");
                return kFailed;
            default:
                LOG_vError("FLASH: Unknown Flash Command Received");
                LOG_vError("Error while Programming Loop");
                return kFailed;
        }
        if (res == kFailed) return kFailed;
    }
}

bool FLASH__boWriteFingerprint() {
    LOG_vInfo("FLASH: 0x%04X : Write Fingerprint", 0xF15A);
    const BcdDate date = startDateBcd();
    uint8_t fingerprint[9] = {date.year, date.month, date.day};
    std::memcpy(fingerprint + 3, CFG_pcGetTesterSerialNumber(), 6);
    return UDS_enWriteDataByIdentifier(UDS_WDBI_FINGERPRINT, fingerprint, sizeof fingerprint) == UDS_RES_OK;
}

bool FLASH__boWritePrgDateAndTestSerial() {
    // Both writes are attempted and their answers ignored: an ECU may refuse these
    // identifications in the session the procedure is in, which must not end the run.
    const BcdDate date = startDateBcd();
    LOG_vInfo("FLASH: 0x%04X : Write Programming Date %02X.%02X.%02X", 0xF199, date.day, date.month, date.year);
    const uint8_t prgDate[3] = {date.year, date.month, date.day};
    UDS_enWriteDataByIdentifier(UDS_WDBI_PROGRAMMING_DATE, prgDate, sizeof prgDate);
    const char* serial = CFG_pcGetTesterSerialNumber();
    LOG_vInfo("FLASH: 0x%04X : Write Tester Serial Number >%s<", 0xF198, serial);
    uint8_t serialBytes[6];
    std::memcpy(serialBytes, serial, sizeof serialBytes);
    UDS_enWriteDataByIdentifier(UDS_WDBI_TESTER_SERIAL_NUMBER, serialBytes, sizeof serialBytes);
    return true;
}

bool FLASH__boDoEcuReset() {
    switch (CFG_iGetECUResetMode()) {
        case 0:
            LOG_vInfo("ECU Reset: Not doing ECU reset.");
            return true;
        case 1:
            LOG_vInfo("ECU Reset: 11 01 - require Response");
            return UDS_enECUReset(UDS_RESET_HARD) == UDS_RES_OK;
        case 2:
            LOG_vInfo("ECU Reset: 11 02 - require Response");
            return UDS_enECUReset(UDS_RESET_KEY_OFF_ON) == UDS_RES_OK;
        case 3:
            LOG_vInfo("ECU Reset: 11 01 - ignoring Response");
            UDS_enECUReset(UDS_RESET_HARD);
            return true;
        case 4:
            LOG_vInfo("ECU Reset: 11 02 - ignoring Response");
            UDS_enECUReset(UDS_RESET_KEY_OFF_ON);
            return true;
        default:
            LOG_vError("Invalid ECU Response Mode");
            return false;
    }
}

int FLASH__enCheckBlocksAgainstODX() {
    const ODX__tsEcuVer& file = FLASH__sOdxBlockVersion;
    if (file.u8BlockCount == 0) {
        LOG_vInfo("FLASH: Skip checking block versions since ODX contains no blocks.");
        return 0;
    }
    LOG_vInfo("FLASH: Check if all blocks from the ECU are valid");
    const int common = FLASH__u8SwBlockNo < file.u8BlockCount ? FLASH__u8SwBlockNo : file.u8BlockCount;
    bool invalid = false;
    for (int i = 0; i < common && i < FLASH_MAX_SW_BLOCKS; ++i) {
        const FLASH_tstSwBlock& block = FLASH__astSwBlock[i];
        if (block.u8ProgState == 0) continue;
        LOG_vError("FLASH:Block %02d Clust:%s State:%02X - Invalid", i, block.acBlockVersion, block.u8ProgState);
        invalid = true;
    }
    if (invalid) {
        LOG_vError("FLASH: Not all Blocks from ECU are valid");
        return 8;
    }
    LOG_vInfo("FLASH: Check if all blocks from ODX match ECU version");
    if (file.u8BlockCount > FLASH__u8SwBlockNo) {
        LOG_vError("FLASH: The ODX File has more Blocks than the ECU %d %d", FLASH__u8SwBlockNo, file.u8BlockCount);
        return 8;
    }
    bool mismatch = false;
    for (int j = 0; j < FLASH__iFileBlockCount(); ++j) {
        int k = 0;
        const FLASH_tstSwBlock* ecu = FLASH__pstEcuBlockOfFileBlock(j, &k);
        if (ecu == nullptr) {
            LOG_vError("FLASH: BytePos %d from ODX lies outside the ECU block table", file.ai32BytePos[j]);
            LOG_vError("FLASH: Block %02d ODX:%s Clust:%s State:%02X - Version Mismatch", j, file.aacBlockVersion[j],
                       "----", 0xFF);
            mismatch = true;
        } else if (std::strncmp(ecu->acBlockVersion, file.aacBlockVersion[j], 4) != 0) {
            LOG_vError("FLASH: Block %02d ODX:%s Clust:%s State:%02X - Version Mismatch", j, file.aacBlockVersion[j],
                       ecu->acBlockVersion, ecu->u8ProgState);
            mismatch = true;
        } else {
            LOG_vInfo("FLASH: Block %02d ODX:%s Clust:%s State:%02X - OK", j, file.aacBlockVersion[j],
                      ecu->acBlockVersion, ecu->u8ProgState);
        }
    }
    if (mismatch) {
        LOG_vError("FLASH: Block Version Information do not match");
        return 8;
    }
    return 0;
}
