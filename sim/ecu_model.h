// ecusim::EcuModel: a strict VW 80126 instrument cluster answering UDS (ISO 14229-1) requests.
//
// Sessions: default (01), programming (02), extended (03); the session control answer carries
// P2 and P2* (50 s p2hi p2lo p2*hi p2*lo). The programming session is entered from the
// extended session only (unless configured otherwise), and every session change locks the ECU.
//
// Negative response codes it gives (the tester's faults it detects):
//   11 unknown service                     12 unknown sub-function / routine control type
//   13 wrong request length or format      7F service not available in the active session
//   7E sub-function not available in the active session (security access outside programming,
//      programming session straight from default)
//   31 unknown identifier or routine, routine or identifier not available in the session,
//      invalid address/length format, zero size
//   33 programming service or fingerprint while locked
//   24 key without seed, check memory without a finished download, routine results without
//      a start, TransferData/RequestTransferExit without an active download, transfer exit
//      before all data arrived
//   22 erase before the fingerprint was written, RequestDownload while a download is active
//   35 wrong key   36 wrong key, attempts used up   37 seed requested while locked out
//   70 RequestDownload into flash that was not erased (or was already written since the erase)
//   71 TransferData beyond the size announced by RequestDownload
//   73 wrong block sequence counter (a repeat of the last counter is accepted without storing)
// The check-memory routine answers positively with status 01 when the signature is not the
// SHA-256 digest of the bytes received for that block (status 00 when it is).
//
// Negative answers 11, 12, 31, 7E and 7F to functionally addressed requests are not sent, and
// positive answers are suppressed when a sub-function's bit 7 is set (ISO 14229-1).
//
// Images: a downloaded block whose first bytes are the image header (see image_header.h)
// tells the ECU which logical block it is, its block version and the software version. After a
// reset that follows a successful programming (every erased region downloaded and verified,
// dependency check passed) the ECU reports them; otherwise it stays inconsistent.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/ecu_config.h"
#include "sim/sha256.h"

namespace ecusim {

// One answer of the ECU and how long to hold it back before sending.
struct Answer {
    std::vector<uint8_t> bytes;
    int delayMs = 0;
};

struct RequestRecord {
    uint64_t timeMs = 0;                // since the model was created
    bool functional = false;
    uint32_t length = 0;                // full request length
    std::vector<uint8_t> head;          // the request (TransferData: its first 8 bytes)
    std::vector<std::vector<uint8_t>> answers;
};

struct ViolationRecord {
    uint64_t timeMs = 0;
    std::vector<uint8_t> head;  // first bytes of the request
    uint8_t nrc = 0;            // 0 when the answer was positive with a failure status
    std::string reason;
};

struct RegionRecord {
    uint32_t address = 0;
    uint32_t size = 0;
};

struct DownloadRecord {
    uint32_t address = 0;
    uint32_t memorySize = 0;
    uint8_t dataFormat = 0;
    uint64_t received = 0;
    bool complete = false;       // RequestTransferExit accepted
    bool ram = false;            // downloaded into RAM (no erase needed)
    std::string sha256;          // of the bytes received, once complete
    std::string check = "none";  // "none", "ok", "failed"
    int blockIndex = -1;         // from the image header, -1 without one
    std::string blockVersion;
    std::string softwareVersion;
};

struct WriteRecord {
    uint16_t did = 0;
    std::vector<uint8_t> data;
};

struct Report {
    std::vector<RequestRecord> requests;
    std::vector<ViolationRecord> violations;
    std::vector<RegionRecord> erased;
    std::vector<DownloadRecord> downloads;
    std::vector<WriteRecord> writes;  // F15A, F199, F198 in order
    int resets = 0;
    int connectionsLost = 0;
    int aliveChecksSent = 0;
    int aliveChecksAnswered = 0;     // answers carrying the routed tester's address
    std::vector<std::string> notes;  // injected faults and other events
};

class EcuModel {
public:
    explicit EcuModel(EcuConfig config);

    // Handles one request. Returns the answers in order (response-pending answers first),
    // none when the answer is suppressed. Thread-safe.
    std::vector<Answer> handle(const std::vector<uint8_t>& request, bool functional);

    // The tester's connection went away: an active download is aborted.
    void connectionLost();
    // Alive checks of the DoIP front-end, counted in the report.
    void aliveCheckSent();
    void aliveCheckAnswered();
    // Adds a line to the report's notes (front-ends record injected faults here).
    void note(const std::string& text);

    // Snapshots, taken under the lock.
    Report report() const;
    EcuConfig identity() const;   // current identifications and block table, for a state file
    uint8_t session() const;
    bool unlocked() const;
    bool consistent() const;

private:
    struct Download {
        DownloadRecord rec;
        Sha256 hash;
        std::vector<uint8_t> head;  // first bytes received (image header)
        uint64_t limit = 0;         // most bytes TransferData may carry
    };
    enum class Update { None, Running, Done };

    std::vector<uint8_t> process(const std::vector<uint8_t>& rq, bool functional, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> dsc(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> ecuReset(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> readDid(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> writeDid(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> securityAccess(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> routine(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> requestDownload(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> transferData(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> transferExit(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> eraseRoutine(const std::vector<uint8_t>& data, uint8_t& nrc, std::string& why);
    std::vector<uint8_t> checkMemoryRoutine(const std::vector<uint8_t>& data, uint8_t& nrc, std::string& why);
    bool dependenciesHold(std::string& why) const;
    void reboot();
    void changeSession(uint8_t s);
    bool isRam(uint32_t addr, uint32_t len) const;
    uint64_t nowMs() const;

    mutable std::mutex mutex_;
    EcuConfig cfg_;
    Report report_;
    std::mt19937 rng_;
    uint64_t startMs_;

    uint8_t session_ = 0x01;
    bool unlocked_ = false;
    std::optional<uint32_t> seed_;
    int wrongKeys_ = 0;
    bool lockedOut_ = false;
    bool fingerprintWritten_ = false;
    std::vector<uint8_t> fingerprint_;
    std::vector<RegionRecord> erasedNow_;     // erased since the last reset
    std::vector<Download> downloadsNow_;      // downloads since the last reset
    int active_ = -1;                          // index into downloadsNow_, -1 none
    uint8_t nextCounter_ = 1;
    bool anyAccepted_ = false;
    uint8_t lastCounter_ = 0;
    bool dependenciesOk_ = false;
    Update update_ = Update::None;
    int updatePollsLeft_ = 0;
    bool updateOk_ = false;
    int busyLeft_ = 0;
};

}  // namespace ecusim
