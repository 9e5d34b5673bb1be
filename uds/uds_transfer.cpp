// Flash transfer routines: download (from memory or a file), erase, check memory, update
// execution, the programming checks and the wait for the ECU.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds_internal.h"

namespace {

// Room for alfid, four address and four size bytes.
constexpr uint16_t UDS__ADDR_SIZE_MAX = 9;
// The RequestDownload answer's parameter part: lengthFormatIdentifier + up to 11 length bytes.
constexpr uint16_t UDS__RD_ANSWER_MAX = 12;

// Writes alfid, the address in (alfid & 0x0F) and the size in (alfid >> 4) big-endian bytes.
// The two formats receive the offending nibble when a field would need more than 4 bytes.
bool UDS__boEncodeAlfid(uint8_t alfid, uint32_t address, uint32_t size, uint8_t* out, uint16_t* len,
                        const char* addrErrFmt, const char* sizeErrFmt) {
    const unsigned addrBytes = alfid & 0x0Fu;
    const unsigned sizeBytes = alfid >> 4;
    if (addrBytes > 4) {
        LOG_vError(addrErrFmt, addrBytes);
        return false;
    }
    if (sizeBytes > 4) {
        LOG_vError(sizeErrFmt, sizeBytes);
        return false;
    }
    uint16_t n = 0;
    out[n++] = alfid;
    for (unsigned i = addrBytes; i > 0; --i) out[n++] = static_cast<uint8_t>(address >> (8 * (i - 1)));
    for (unsigned i = sizeBytes; i > 0; --i) out[n++] = static_cast<uint8_t>(size >> (8 * (i - 1)));
    *len = n;
    return true;
}

uint32_t UDS__u32NumberOfBlocks(uint32_t length, uint32_t block) {
    return static_cast<uint32_t>((static_cast<uint64_t>(block) - 1 + length) / block);
}

// Reads exactly `count` bytes unless the file ends or fails first.
bool UDS__boReadExactly(int fd, uint8_t* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t r = read(fd, buffer + done, count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<uint32_t>(r);
    }
    return true;
}

// Routine status record of one routine: 1 byte 0 means success. Texts by caller.
enum UDS__tenStatus { UDS__STATUS_OK, UDS__STATUS_FAILED, UDS__STATUS_LENGTH };

UDS__tenStatus UDS__enOneByteStatus(const std::vector<uint8_t>& record, uint16_t len) {
    if (len != 1) return UDS__STATUS_LENGTH;
    return record[0] == 0 ? UDS__STATUS_OK : UDS__STATUS_FAILED;
}

// Runs check-memory routine 0x0202 with `data`; true when the ECU reports status 0.
// `address` < 0: the form without an address in its texts.
bool UDS__boCheckMemoryRoutine(const uint8_t* data, uint32_t length, int64_t address) {
    std::vector<uint8_t> record(UDS_BUF_MAX);
    uint16_t len = UDS_BUF_MAX;
    if (UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_CHECK_MEMORY, data, static_cast<uint16_t>(length),
                             record.data(), &len) != UDS_RES_OK) {
        return false;
    }
    const uint32_t a = static_cast<uint32_t>(address);
    switch (UDS__enOneByteStatus(record, len)) {
        case UDS__STATUS_OK:
            if (address >= 0) LOG_vDebug_1("UDS: CheckMem Okay - Addr:0x%08X", a);
            else LOG_vDebug_1("UDS: CheckMem Okay");
            return true;
        case UDS__STATUS_FAILED:
            if (address >= 0) LOG_vError("UDS: CheckMem Failed - Addr:0x%08X Result: %02X", a, record[0]);
            else LOG_vError("UDS: CheckMem Failed - Result: %02X", record[0]);
            return false;
        case UDS__STATUS_LENGTH:
            break;
    }
    if (address >= 0) LOG_vError("UDS: CheckMem Failed to much Data in Answer - Addr:0x%08X", a);
    else LOG_vError("UDS: CheckMem Failed to much Data in Answer");
    return false;
}

// Routine data may fill the request buffer up to its four routine-control header bytes.
bool UDS__boCheckMemoryDataFits(uint32_t length) {
    if (length + 4u <= UDS_BUF_MAX) return true;
    LOG_vError("UDS: CheckMem Failed - Routine Data of %u Bytes exceeds the buffer of %u Bytes", length,
               static_cast<unsigned>(UDS_BUF_MAX));
    return false;
}

}  // namespace

bool UDS_boDoTransferDataBlock(uint8_t alfid, uint8_t dfi, uint32_t address, uint32_t memSize, bool inFile,
                               const uint8_t* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        LOG_vError("UDS: TDB Invalid Parameter Data");
        return false;
    }
    uint8_t params[1 + UDS__ADDR_SIZE_MAX];
    uint16_t paramLen = 0;
    params[0] = dfi;
    if (!UDS__boEncodeAlfid(alfid, address, memSize, params + 1, &paramLen,
                            "UDS: TDB Failed - Invalid MemoryAddress Length 0x%02X",
                            "UDS: TDB Failed - Invalid UnCompressedMemorySize Length 0x%02X")) {
        return false;
    }
    LOG_vDebug_1("UDS: TDB Address:0x%08X Size:%d", address, static_cast<int>(length));

    uint8_t answer[UDS__RD_ANSWER_MAX];
    uint16_t answerLen = sizeof answer;
    if (UDS_enRequestDownload(params, static_cast<uint16_t>(paramLen + 1), answer, &answerLen) != UDS_RES_OK) {
        LOG_vError("UDS: TDB Request Download failed");
        return false;
    }
    const uint8_t lfid = answerLen > 0 ? answer[0] : 0;
    const unsigned k = lfid >> 4;
    if (answerLen != k + 1) {
        LOG_vError("UDS: TDB Invalid LengthFormatIdentifier received 0x%02X", lfid);
        return false;
    }
    uint32_t maxBlock = 0;
    for (unsigned i = 1; i <= k; ++i) maxBlock = (maxBlock << 8) | answer[i];
    if (maxBlock <= 2) {
        LOG_vError("UDS: TDB Max Block Length is Zero");
        return false;
    }
    const uint32_t block = (maxBlock < UDS_BUF_MAX ? maxBlock : UDS_BUF_MAX) - 2;
    LOG_vDebug_1("UDS: TDB MaxBlockLength %lu (0x%08X)", static_cast<unsigned long>(block), block);

    const bool ok = inFile ? UDS_boTransferFile(data, length, block) : UDS_boTransferMemory(data, length, block);
    if (!ok) return false;
    if (UDS_enRequestTransferExit() != UDS_RES_OK) {
        LOG_vError("UDS: TDB Request Data Exit Failed");
        return false;
    }
    return true;
}

bool UDS_boTransferMemory(const uint8_t* data, uint32_t length, uint32_t blockLength) {
    if (data == nullptr || blockLength == 0 || blockLength > 0xFFFFu) {
        LOG_vError("UDS: TDB Invalid Parameter Data");
        return false;
    }
    const uint32_t blocks = UDS__u32NumberOfBlocks(length, blockLength);
    LOG_vDebug_1("UDS: TDB Number of Blocks to Transmit: %d", static_cast<int>(blocks));
    uint32_t offset = 0;
    for (uint32_t i = 1; i <= blocks; ++i) {
        const uint32_t left = length - offset;
        const uint16_t chunk = static_cast<uint16_t>(left < blockLength ? left : blockLength);
        const uint8_t counter = static_cast<uint8_t>(i % 256);
        if (UDS_enTransferData(counter, data + offset, chunk) != UDS_RES_OK) {
            LOG_vError("UDS: TDB Transfer Failed BlockNo:%d/%d BlockSequenceCounter:%d Size:0x%04X",
                       static_cast<int>(i), static_cast<int>(blocks), counter, chunk);
            return false;
        }
        LOG_vDebug_1("UDS TDB Transfered BlockNo:%d/%d BlockSequenceCounter:%d Size:0x%04X", static_cast<int>(i),
                     static_cast<int>(blocks), counter, chunk);
        offset += chunk;
    }
    return true;
}

bool UDS_boTransferFile(const uint8_t* path, uint32_t length, uint32_t blockLength) {
    const char* file = reinterpret_cast<const char*>(path);
    if (file == nullptr || blockLength == 0 || blockLength > 0xFFFFu) {
        LOG_vError("UDS: TDB Invalid Parameter Data");
        return false;
    }
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG_vError("UDS: Can't open file %s", file);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG_vError("UDS: Failed to fstat file %s", file);
        close(fd);
        return false;
    }
    // The whole size is compared: a file of 4 GiB and more never passes for a short one.
    if (static_cast<uint64_t>(st.st_size) != length) {
        LOG_vError("UDS: file %s has size %d but requested were %d", file, static_cast<int>(st.st_size),
                   static_cast<int>(length));
        close(fd);
        return false;
    }
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(blockLength));
    if (buffer == nullptr) {
        LOG_vError("UDS: Out of memory to allocate %d Bytes", static_cast<int>(blockLength));
        close(fd);
        return false;
    }
    const uint32_t blocks = UDS__u32NumberOfBlocks(length, blockLength);
    LOG_vDebug_1("UDS: TDB Number of Blocks to Transmit: %d", static_cast<int>(blocks));
    bool ok = true;
    uint32_t offset = 0;
    for (uint32_t i = 1; i <= blocks && ok; ++i) {
        const uint32_t left = length - offset;
        const uint16_t chunk = static_cast<uint16_t>(left < blockLength ? left : blockLength);
        const uint8_t counter = static_cast<uint8_t>(i % 256);
        if (!UDS__boReadExactly(fd, buffer, chunk)) {
            LOG_vError("UDS: Can't read BlockNo:%d/%d BlockSequenceCounter:%d Size:0x%04X", static_cast<int>(i),
                       static_cast<int>(blocks), counter, chunk);
            ok = false;
        } else if (UDS_enTransferData(counter, buffer, chunk) != UDS_RES_OK) {
            LOG_vError("UDS: TDB Transfer Failed BlockNo:%d/%d BlockSequenceCounter:%d Size:0x%04X",
                       static_cast<int>(i), static_cast<int>(blocks), counter, chunk);
            ok = false;
        } else {
            LOG_vDebug_1("UDS: TDB Transfered BlockNo:%d/%d BlockSequenceCounter:%d Size:0x%04X",
                         static_cast<int>(i), static_cast<int>(blocks), counter, chunk);
            offset += chunk;
        }
    }
    std::free(buffer);
    close(fd);
    return ok;
}

bool UDS_boDoEraseMemory(uint8_t alfid, uint32_t address, uint32_t size) {
    uint8_t data[UDS__ADDR_SIZE_MAX];
    uint16_t dataLen = 0;
    if (!UDS__boEncodeAlfid(alfid, address, size, data, &dataLen,
                            "UDS: EraseMem Failed - Invalid MemoryAddress Length 0x%02X",
                            "UDS: EraseMem Failed - Invalid MemorySize Length 0x%02X")) {
        return false;
    }
    std::vector<uint8_t> record(UDS_BUF_MAX);
    uint16_t len = UDS_BUF_MAX;
    if (UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_ERASE_MEMORY, data, dataLen, record.data(), &len) !=
        UDS_RES_OK) {
        return false;
    }
    switch (UDS__enOneByteStatus(record, len)) {
        case UDS__STATUS_OK:
            LOG_vDebug_1("UDS: EraseMem Okay Addr:0x%08X", address);
            return true;
        case UDS__STATUS_FAILED:
            LOG_vError("UDS: EraseMem Failed - Addr:0x%08X Result: %02X", address, record[0]);
            return false;
        case UDS__STATUS_LENGTH:
            break;
    }
    LOG_vError("UDS: EraseMem Failed to much Data in Answer - Addr:0x%08X", address);
    return false;
}

bool UDS_boDoCheckMemory(uint8_t alfid, uint32_t address, uint32_t size, uint16_t sigLen, const uint8_t* sig) {
    uint8_t head[UDS__ADDR_SIZE_MAX];
    uint16_t headLen = 0;
    if (!UDS__boEncodeAlfid(alfid, address, size, head, &headLen,
                            "UDS: CheckMem Failed - Invalid MemoryAddress Length 0x%02X",
                            "UDS: CheckMem Failed - Invalid MemorySize Length 0x%02X")) {
        return false;
    }
    if (sig == nullptr) sigLen = 0;
    const uint32_t total = headLen + 2u + sigLen;
    if (!UDS__boCheckMemoryDataFits(total)) return false;
    std::vector<uint8_t> data(head, head + headLen);
    data.push_back(static_cast<uint8_t>(sigLen >> 8));
    data.push_back(static_cast<uint8_t>(sigLen));
    data.insert(data.end(), sig, sig + sigLen);
    return UDS__boCheckMemoryRoutine(data.data(), total, address);
}

bool UDS_boDoCheckMemory_v200(uint16_t length, const uint8_t* data) {
    if (data == nullptr) length = 0;
    if (!UDS__boCheckMemoryDataFits(length)) return false;
    return UDS__boCheckMemoryRoutine(data, length, -1);
}

bool UDS_boDoUpdateExecution(uint8_t b0, uint8_t b1, uint8_t b2) {
    const uint8_t options[3] = {b0, b1, b2};
    std::vector<uint8_t> record(UDS_BUF_MAX);
    uint16_t len = UDS_BUF_MAX;
    if (UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_UPDATE_EXECUTION, options, 3, record.data(), &len) !=
        UDS_RES_OK) {
        LOG_vError("UDS: UpdateExec Failed - No Answer");
        return false;
    }
    if (len != 0) {
        LOG_vError("UDS: UpdateExec Failed to much Data in Answer");
        return false;
    }
    UDS__vSleepMs(1000);
    for (;;) {
        len = UDS_BUF_MAX;
        if (UDS_enRoutineControl(UDS_RC_REQUEST_ROUTINE_RESULTS, UDS_RID_UPDATE_EXECUTION, nullptr, 0, record.data(),
                                 &len) != UDS_RES_OK) {
            return false;
        }
        const uint8_t status = len > 0 ? record[0] : 0x00;
        if (status == 0x01) {
            LOG_vDebug_1("UDS: Update Result is pending (%d percent)", len > 1 ? record[1] : 0);
            UDS__vSleepMs(1);
            continue;
        }
        if (status == 0x24) return true;
        LOG_vError("UDS: Unknown Status 0x%02X", status);
        return false;
    }
}

bool UDS_boDoCheckProgrammingPreConditions() {
    std::vector<uint8_t> record(UDS_BUF_MAX);
    uint16_t len = UDS_BUF_MAX;
    if (UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_CHECK_PROGRAMMING_PRECONDITIONS, nullptr, 0,
                             record.data(), &len) != UDS_RES_OK) {
        return false;
    }
    if (len == 0) {
        LOG_vInfo("UDS: Check Programming Preconditions OK");
        return true;
    }
    LOG_vError("UDS: Preconditions not fullfilled Count:%d Data:%02X", static_cast<int>(len), record[0]);
    return false;
}

bool UDS_boDoCheckProgrammingDependencies() {
    std::vector<uint8_t> record(UDS_BUF_MAX);
    uint16_t len = UDS_BUF_MAX;
    if (UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_CHECK_PROGRAMMING_DEPENDENCIES, nullptr, 0,
                             record.data(), &len) != UDS_RES_OK) {
        return false;
    }
    if (len != 1) return false;
    if (record[0] == 0) {
        LOG_vInfo("UDS: Check Programming Dependencies OK");
        return true;
    }
    LOG_vError("UDS:  Check Programming Dependencies failed %02X", record[0]);
    return false;
}

void UDS_vWaitUntilECUConnected() {
    if (CFG_boIsUseEthRequest()) UDS_vWaitUntilECUConnectedDOIP();
    else UDS_vWaitUntilECUConnectedCAN();
}

void UDS_vWaitUntilECUConnectedCAN() {
    const int32_t loops = CFG_i32GetConnectLoopValue();
    if (loops < 0) {
        LOG_vInfo("UDS: Skip connection loop...");
        return;
    }
    for (int32_t attempt = 1;; ++attempt) {
        LOG_vInfo("FLASH: Waiting for ECU");
        UDS__vSleepMs(1000);
        if (UDS__enTesterPresent(IF_SOCKET_PHY, UDS_SUPPRESS_POS_RESP_OFF) == UDS_RES_OK) return;
        if (loops > 0 && attempt >= loops) return;
    }
}

void UDS_vWaitUntilECUConnectedDOIP() {
    LOG_vInfo("UDS: Waiting for ECU");
    const int32_t loops = CFG_i32GetConnectLoopValue();
    if (loops < 0) {
        LOG_vInfo("UDS: Skip connection loop...");
    } else {
        for (int32_t attempt = 1;; ++attempt) {
            UDS__vSleepMs(1000);
            if (UDS__boIsClusterConnected()) break;
            if (loops > 0 && attempt >= loops) break;
        }
    }
    LOG_vInfo("UDS: .. connected");
}
