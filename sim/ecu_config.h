// Configuration of the simulated ECU: its identifications, memory map, timings, limits and the
// faults it is told to inject.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecusim {

// One logical software block as the ECU reports it (0xF1AB / 0xF15B).
struct LogicalBlock {
    std::string version = "0001";                              // 4 characters
    std::vector<uint8_t> fingerprint{0x24, 0x01, 0x15, 'K', 'S', 'I', 'M', '0', '0'};  // 9 bytes
    uint8_t state = 0;                                         // 0 valid
    // Flash region the block lives in, learned from downloaded images (0/0: not known yet).
    uint32_t address = 0;
    uint32_t size = 0;
};

// A memory range [start, start + size).
struct Region {
    uint32_t start = 0;
    uint32_t size = 0;
    bool contains(uint32_t addr, uint32_t len) const {
        return addr >= start && uint64_t(addr) + len <= uint64_t(start) + size;
    }
};

// Faults injected by the ECU model (the DoIP-level ones live in the DoIP server's options).
struct ModelFaults {
    int pendingCount = 0;     // answer every matching request with this many 7F xx 78 first
    int pendingSid = -1;      // service the pending answers apply to, -1 all
    int busyCount = 0;        // answer the first matching request this many times with 7F xx 21
    int busySid = -1;         // service the busy answers apply to, -1 all
    int answerDelayMs = 0;    // every answer is held back this long (front-ends apply it)
    bool refuseKey = false;   // SecurityAccess send key always answered with invalidKey
    int updateProgressPolls = 2;  // update execution reports "in progress" this many times
    bool preconditionsFail = false;  // routine 0x0203 reports a failed precondition
};

struct EcuConfig {
    // Identifications.
    std::string sparePartNumber = "5G0920861A";   // 0xF187, up to 11 characters
    std::string softwareVersion = "0220";         // 0xF189, 4 characters
    std::string hardwareNumber = "5G0920861";     // 0xF191, up to 11 characters
    std::string hardwareVersion = "H03";          // 0xF1A3, up to 3 characters
    bool seriesKey = false;                       // 0xF1D5 byte 0 bit 0
    uint32_t fdsProjectId = 0x00012345;           // 0xF1D5 bytes 1-4
    uint8_t fdsHashLength = 32;                   // 0xF1D5 byte 5
    bool consistent = true;                       // 0xF1DF bit 2 clear
    std::vector<LogicalBlock> blocks = std::vector<LogicalBlock>(2);

    // Timings reported in the session control answer (raw values as sent).
    uint16_t p2Raw = 0x0032;        // P2 server max
    uint16_t p2StarRaw = 0x01F4;    // P2* server max in 10 ms units

    // Transfer limits.
    uint32_t maxNumberOfBlockLength = 0x0FFF;  // reported by RequestDownload, includes SID + counter
    int maxKeyAttempts = 3;                    // wrong keys before exceedNumberOfAttempts

    // RAM where downloads need no erase (the flash driver). Everything else is flash.
    std::vector<Region> ramRegions{{0x20000000u, 0x10000000u}};

    // The SA2 program the keys are checked with; empty means defaultSa2Program().
    std::vector<uint8_t> sa2Program;

    // A programming session may be entered from the default session directly (strict VW
    // ECUs require the extended session first).
    bool allowProgrammingFromDefault = false;
    // A lost tester connection leaves an active download open (as behind a DoIP gateway whose
    // ECU keeps its state); by default the download is aborted.
    bool keepDownloadOnDisconnect = false;

    uint32_t seedForTests = 0;  // non-zero: use this seed instead of a random one

    ModelFaults faults;
};

}  // namespace ecusim
