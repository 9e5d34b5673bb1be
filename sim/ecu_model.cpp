#include "sim/ecu_model.h"

#include <algorithm>
#include <chrono>

#include "sim/image_header.h"
#include "sim/sa2.h"
#include "sim/sim_log.h"

namespace ecusim {
namespace {

constexpr uint8_t kDefault = 0x01, kProgramming = 0x02, kExtended = 0x03;

std::vector<uint8_t> headOf(const std::vector<uint8_t>& rq) {
    size_t n = rq.size();
    if (!rq.empty() && rq[0] == 0x36) n = std::min<size_t>(n, 8);
    else n = std::min<size_t>(n, 64);
    return std::vector<uint8_t>(rq.begin(), rq.begin() + static_cast<long>(n));
}

uint32_t readBe(const std::vector<uint8_t>& v, size_t at, size_t n) {
    uint32_t x = 0;
    for (size_t i = 0; i < n; ++i) x = (x << 8) | v[at + i];
    return x;
}

bool overlaps(uint32_t a, uint32_t alen, uint32_t b, uint32_t blen) {
    return uint64_t(a) < uint64_t(b) + blen && uint64_t(b) < uint64_t(a) + alen;
}

// Services whose second byte is a sub-function with the suppress-positive-response bit.
bool hasSubFunction(uint8_t sid) {
    switch (sid) {
        case 0x10: case 0x11: case 0x27: case 0x28: case 0x31: case 0x3E: case 0x85:
            return true;
        default:
            return false;
    }
}

}  // namespace

EcuModel::EcuModel(EcuConfig config) : cfg_(std::move(config)), rng_(std::random_device{}()) {
    using namespace std::chrono;
    startMs_ = static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    if (cfg_.sa2Program.empty()) cfg_.sa2Program = defaultSa2Program();
    busyLeft_ = cfg_.faults.busyCount;
}

uint64_t EcuModel::nowMs() const {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) - startMs_;
}

std::vector<Answer> EcuModel::handle(const std::vector<uint8_t>& rq, bool functional) {
    std::lock_guard<std::mutex> lock(mutex_);
    RequestRecord rec;
    rec.timeMs = nowMs();
    rec.functional = functional;
    rec.length = static_cast<uint32_t>(rq.size());
    rec.head = headOf(rq);
    std::vector<Answer> out;
    const int delay = cfg_.faults.answerDelayMs;
    if (rq.empty()) {
        report_.requests.push_back(std::move(rec));
        return out;
    }
    const uint8_t sid = rq[0];
    const ModelFaults& f = cfg_.faults;

    if (busyLeft_ > 0 && (f.busySid < 0 || f.busySid == sid)) {
        --busyLeft_;
        out.push_back({{0x7F, sid, 0x21}, delay});
        rec.answers.push_back(out.back().bytes);
        report_.requests.push_back(std::move(rec));
        return out;
    }

    uint8_t nrc = 0;
    std::string why;
    std::vector<uint8_t> positive = process(rq, functional, nrc, why);
    std::vector<uint8_t> answer;
    if (nrc != 0) {
        const bool silent = functional && (nrc == 0x11 || nrc == 0x12 || nrc == 0x31 || nrc == 0x7E || nrc == 0x7F);
        if (!silent) {
            answer = {0x7F, sid, nrc};
            report_.violations.push_back({rec.timeMs, rec.head, nrc, why});
        }
        logLine(1, "request %s -> NRC 0x%02X (%s)%s", toHex(rec.head).c_str(), nrc, why.c_str(),
                silent ? ", not sent (functional)" : "");
    } else {
        if (!why.empty()) report_.violations.push_back({rec.timeMs, rec.head, 0, why});
        const bool suppressed = hasSubFunction(sid) && rq.size() >= 2 && (rq[1] & 0x80) != 0;
        if (!suppressed) answer = std::move(positive);
        if (sid != 0x36 || logVerbosity() >= 2)
            logLine(1, "request %s -> %s", toHex(rec.head).c_str(),
                    suppressed ? "(suppressed)" : toHex(answer.data(), std::min<size_t>(answer.size(), 32)).c_str());
    }
    if (!answer.empty()) {
        if (f.pendingCount > 0 && (f.pendingSid < 0 || f.pendingSid == sid))
            for (int i = 0; i < f.pendingCount; ++i) out.push_back({{0x7F, sid, 0x78}, delay});
        out.push_back({std::move(answer), delay});
    }
    for (const Answer& a : out) rec.answers.push_back(a.bytes);
    report_.requests.push_back(std::move(rec));
    // The reset takes effect after its answer was produced.
    if (sid == 0x11 && nrc == 0) reboot();
    return out;
}

std::vector<uint8_t> EcuModel::process(const std::vector<uint8_t>& rq, bool, uint8_t& nrc, std::string& why) {
    switch (rq[0]) {
        case 0x10: return dsc(rq, nrc, why);
        case 0x11: return ecuReset(rq, nrc, why);
        case 0x22: return readDid(rq, nrc, why);
        case 0x2E: return writeDid(rq, nrc, why);
        case 0x27: return securityAccess(rq, nrc, why);
        case 0x31: return routine(rq, nrc, why);
        case 0x34: return requestDownload(rq, nrc, why);
        case 0x36: return transferData(rq, nrc, why);
        case 0x37: return transferExit(rq, nrc, why);
        case 0x3E:
            if (rq.size() != 2) { nrc = 0x13; why = "TesterPresent length"; return {}; }
            if ((rq[1] & 0x7F) != 0) { nrc = 0x12; why = "TesterPresent sub-function"; return {}; }
            return {0x7E, 0x00};
        case 0x28: {
            if (session_ == kDefault) { nrc = 0x7F; why = "CommunicationControl in default session"; return {}; }
            if (rq.size() != 3) { nrc = 0x13; why = "CommunicationControl length"; return {}; }
            const uint8_t sub = rq[1] & 0x7F;
            if (sub > 0x03) { nrc = 0x12; why = "CommunicationControl control type"; return {}; }
            if (rq[2] < 0x01 || rq[2] > 0x03) { nrc = 0x31; why = "CommunicationControl communication type"; return {}; }
            return {0x68, sub};
        }
        case 0x85: {
            if (session_ == kDefault) { nrc = 0x7F; why = "ControlDTCSetting in default session"; return {}; }
            if (rq.size() != 2 && rq.size() != 5) { nrc = 0x13; why = "ControlDTCSetting length"; return {}; }
            const uint8_t sub = rq[1] & 0x7F;
            if (sub != 0x01 && sub != 0x02) { nrc = 0x12; why = "ControlDTCSetting type"; return {}; }
            return {0xC5, sub};
        }
        default:
            nrc = 0x11;
            why = "service not supported";
            return {};
    }
}

void EcuModel::changeSession(uint8_t s) {
    if (!(s == kDefault && session_ == kDefault)) {
        unlocked_ = false;
        seed_.reset();
    }
    if (s != kProgramming && active_ >= 0) active_ = -1;
    session_ = s;
}

std::vector<uint8_t> EcuModel::dsc(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (rq.size() != 2) { nrc = 0x13; why = "DiagnosticSessionControl length"; return {}; }
    const uint8_t s = rq[1] & 0x7F;
    if (s != kDefault && s != kProgramming && s != kExtended) { nrc = 0x12; why = "unknown session"; return {}; }
    if (s == kProgramming && session_ == kDefault && !cfg_.allowProgrammingFromDefault) {
        nrc = 0x7E; why = "programming session requested from the default session"; return {};
    }
    if (s == kExtended && session_ == kProgramming) {
        nrc = 0x7E; why = "extended session requested from the programming session"; return {};
    }
    changeSession(s);
    return {0x50, s, uint8_t(cfg_.p2Raw >> 8), uint8_t(cfg_.p2Raw), uint8_t(cfg_.p2StarRaw >> 8), uint8_t(cfg_.p2StarRaw)};
}

std::vector<uint8_t> EcuModel::ecuReset(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (rq.size() != 2) { nrc = 0x13; why = "ECUReset length"; return {}; }
    const uint8_t t = rq[1] & 0x7F;
    if (t < 0x01 || t > 0x03) { nrc = 0x12; why = "ECUReset type"; return {}; }
    return {0x51, t};
}

std::vector<uint8_t> EcuModel::readDid(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (rq.size() != 3) { nrc = 0x13; why = "ReadDataByIdentifier length"; return {}; }
    const uint16_t did = uint16_t(rq[1] << 8 | rq[2]);
    std::vector<uint8_t> out{0x62, rq[1], rq[2]};
    auto text = [&](const std::string& s) { out.insert(out.end(), s.begin(), s.end()); };
    switch (did) {
        case 0xF187: text(cfg_.sparePartNumber); break;
        case 0xF189: text(cfg_.softwareVersion); break;
        case 0xF191: text(cfg_.hardwareNumber); break;
        case 0xF1A3: text(cfg_.hardwareVersion); break;
        case 0xF1AB:
            for (const LogicalBlock& b : cfg_.blocks) {
                std::string v = b.version;
                v.resize(4, ' ');
                text(v);
            }
            break;
        case 0xF15B:
            for (const LogicalBlock& b : cfg_.blocks) {
                std::vector<uint8_t> fp = b.fingerprint;
                fp.resize(9, 0);
                out.insert(out.end(), fp.begin(), fp.end());
                out.push_back(b.state);
            }
            break;
        case 0xF1D5:
            out.push_back(cfg_.seriesKey ? 0x01 : 0x00);
            for (int i = 3; i >= 0; --i) out.push_back(uint8_t(cfg_.fdsProjectId >> (8 * i)));
            out.push_back(cfg_.fdsHashLength);
            break;
        case 0xF1DF:
            out.push_back(uint8_t(0x40 | (cfg_.consistent ? 0x00 : 0x04)));
            break;
        default:
            nrc = 0x31;
            why = "unknown data identifier";
            return {};
    }
    return out;
}

std::vector<uint8_t> EcuModel::writeDid(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (rq.size() < 4) { nrc = 0x13; why = "WriteDataByIdentifier length"; return {}; }
    const uint16_t did = uint16_t(rq[1] << 8 | rq[2]);
    std::vector<uint8_t> data(rq.begin() + 3, rq.end());
    size_t want = 0;
    switch (did) {
        case 0xF15A: want = 9; break;
        case 0xF199: want = 3; break;
        case 0xF198: want = 6; break;
        default: nrc = 0x31; why = "data identifier not writable"; return {};
    }
    if (data.size() != want) { nrc = 0x13; why = "WriteDataByIdentifier record length"; return {}; }
    if (did == 0xF15A) {
        if (session_ != kProgramming) { nrc = 0x31; why = "fingerprint outside the programming session"; return {}; }
        if (!unlocked_) { nrc = 0x33; why = "fingerprint while locked"; return {}; }
        fingerprint_ = data;
        fingerprintWritten_ = true;
    }
    report_.writes.push_back({did, data});
    return {0x6E, rq[1], rq[2]};
}

std::vector<uint8_t> EcuModel::securityAccess(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (session_ == kDefault) { nrc = 0x7F; why = "SecurityAccess in default session"; return {}; }
    if (rq.size() < 2) { nrc = 0x13; why = "SecurityAccess length"; return {}; }
    const uint8_t sub = rq[1] & 0x7F;
    if (sub != 0x11 && sub != 0x12) { nrc = 0x12; why = "SecurityAccess level"; return {}; }
    if (session_ != kProgramming) { nrc = 0x7E; why = "SecurityAccess outside the programming session"; return {}; }
    if (sub == 0x11) {
        if (rq.size() != 2) { nrc = 0x13; why = "request seed length"; return {}; }
        if (lockedOut_) { nrc = 0x37; why = "seed requested after too many wrong keys"; return {}; }
        uint32_t seed = cfg_.seedForTests;
        while (seed == 0) seed = static_cast<uint32_t>(rng_());
        seed_ = seed;
        return {0x67, 0x11, uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8), uint8_t(seed)};
    }
    if (rq.size() != 6) { nrc = 0x13; why = "send key length"; return {}; }
    if (!seed_) { nrc = 0x24; why = "key without a seed"; return {}; }
    const uint32_t key = readBe(rq, 2, 4);
    const Sa2Result expected = sa2Compute(*seed_, cfg_.sa2Program);
    seed_.reset();
    if (cfg_.faults.refuseKey || !expected.completed || key != expected.key) {
        ++wrongKeys_;
        if (cfg_.faults.refuseKey) report_.notes.push_back("key refused (injected fault)");
        if (wrongKeys_ >= cfg_.maxKeyAttempts) {
            lockedOut_ = true;
            nrc = 0x36;
            why = "wrong key, attempts used up";
        } else {
            nrc = 0x35;
            why = "wrong key";
        }
        return {};
    }
    wrongKeys_ = 0;
    unlocked_ = true;
    return {0x67, 0x12};
}

std::vector<uint8_t> EcuModel::routine(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (session_ == kDefault) { nrc = 0x7F; why = "RoutineControl in default session"; return {}; }
    if (rq.size() < 4) { nrc = 0x13; why = "RoutineControl length"; return {}; }
    const uint8_t type = rq[1] & 0x7F;
    const uint16_t rid = uint16_t(rq[2] << 8 | rq[3]);
    std::vector<uint8_t> data(rq.begin() + 4, rq.end());
    if (type != 0x01 && type != 0x03) { nrc = 0x12; why = "routine control type"; return {}; }
    if (rid != 0x0203 && rid != 0xFF00 && rid != 0x0202 && rid != 0xFF01 && rid != 0xC010) {
        nrc = 0x31; why = "unknown routine"; return {};
    }
    if (rid != 0x0203) {
        if (session_ != kProgramming) { nrc = 0x31; why = "routine outside the programming session"; return {}; }
        if (!unlocked_) { nrc = 0x33; why = "programming routine while locked"; return {}; }
    }
    if (type == 0x03 && rid != 0xC010) { nrc = 0x12; why = "routine has no results to request"; return {}; }
    std::vector<uint8_t> out{0x71, type, rq[2], rq[3]};
    switch (rid) {
        case 0x0203:
            if (!data.empty()) { nrc = 0x13; why = "preconditions routine takes no data"; return {}; }
            if (cfg_.faults.preconditionsFail) {
                out.push_back(0x01);  // one precondition not fulfilled: engine speed
                report_.notes.push_back("programming preconditions reported not fulfilled (injected fault)");
            }
            return out;
        case 0xFF00: {
            std::vector<uint8_t> st = eraseRoutine(data, nrc, why);
            out.insert(out.end(), st.begin(), st.end());
            return out;
        }
        case 0x0202: {
            std::vector<uint8_t> st = checkMemoryRoutine(data, nrc, why);
            out.insert(out.end(), st.begin(), st.end());
            return out;
        }
        case 0xFF01: {
            if (!data.empty()) { nrc = 0x13; why = "dependency routine takes no data"; return {}; }
            std::string fail;
            dependenciesOk_ = dependenciesHold(fail);
            if (dependenciesOk_ && !erasedNow_.empty()) cfg_.consistent = true;
            if (!dependenciesOk_) why = "programming dependencies not fulfilled: " + fail;
            out.push_back(dependenciesOk_ ? 0x00 : 0x01);
            return out;
        }
        default:  // 0xC010 update execution
            if (type == 0x01) {
                if (data.size() != 3) { nrc = 0x13; why = "update execution takes 3 bytes"; return {}; }
                update_ = Update::Running;
                updatePollsLeft_ = cfg_.faults.updateProgressPolls;
                updateOk_ = true;
                for (const Download& d : downloadsNow_)
                    if (!d.rec.ram && d.rec.check != "ok" && d.rec.check != "erased") updateOk_ = false;
                return out;
            }
            if (!data.empty()) { nrc = 0x13; why = "routine results take no data"; return {}; }
            if (update_ == Update::None) { nrc = 0x24; why = "update execution results without a start"; return {}; }
            if (update_ == Update::Running && updatePollsLeft_ > 0) {
                const int total = std::max(1, cfg_.faults.updateProgressPolls + 1);
                const int done = total - updatePollsLeft_;
                --updatePollsLeft_;
                out.push_back(0x01);
                out.push_back(uint8_t(100 * done / total));
                return out;
            }
            update_ = Update::Done;
            if (!updateOk_) why = "update execution over unverified downloads";
            out.push_back(updateOk_ ? 0x24 : 0x02);
            return out;
    }
}

bool EcuModel::isRam(uint32_t addr, uint32_t len) const {
    for (const Region& r : cfg_.ramRegions)
        if (r.contains(addr, len)) return true;
    return false;
}

std::vector<uint8_t> EcuModel::eraseRoutine(const std::vector<uint8_t>& data, uint8_t& nrc, std::string& why) {
    if (data.empty()) { nrc = 0x13; why = "erase without address"; return {}; }
    const size_t a = data[0] & 0x0F, s = data[0] >> 4;
    if (a == 0 || a > 4 || s == 0 || s > 4) { nrc = 0x31; why = "erase address and length format"; return {}; }
    if (data.size() != 1 + a + s) { nrc = 0x13; why = "erase request length"; return {}; }
    const uint32_t addr = readBe(data, 1, a), size = readBe(data, 1 + a, s);
    if (size == 0) { nrc = 0x31; why = "erase of zero bytes"; return {}; }
    if (!fingerprintWritten_) { nrc = 0x22; why = "erase before the fingerprint was written"; return {}; }
    if (active_ >= 0) { nrc = 0x22; why = "erase during a download"; return {}; }
    erasedNow_.push_back({addr, size});
    report_.erased.push_back({addr, size});
    cfg_.consistent = false;
    dependenciesOk_ = false;
    for (LogicalBlock& b : cfg_.blocks)
        if (b.size != 0 && overlaps(addr, size, b.address, b.size)) b.state = 0x01;
    // A region written since an earlier erase is blank again.
    for (Download& d : downloadsNow_)
        if (!d.rec.ram && overlaps(addr, size, d.rec.address, d.rec.memorySize)) d.rec.check = "erased";
    return {0x00};
}

std::vector<uint8_t> EcuModel::checkMemoryRoutine(const std::vector<uint8_t>& data, uint8_t& nrc, std::string& why) {
    if (data.empty()) { nrc = 0x13; why = "check memory without data"; return {}; }
    // Address form: ALFID, address, size, signature length (2 bytes), signature. Otherwise the
    // whole record is the signature of the last finished download.
    Download* target = nullptr;
    std::vector<uint8_t> sig;
    const size_t a = data[0] & 0x0F, s = data[0] >> 4;
    bool addressForm = false;
    if (a >= 1 && a <= 4 && s <= 4 && data.size() >= 1 + a + s + 2) {
        const size_t sigLen = readBe(data, 1 + a + s, 2);
        if (data.size() == 1 + a + s + 2 + sigLen) {
            addressForm = true;
            const uint32_t addr = readBe(data, 1, a);
            const uint32_t size = s ? readBe(data, 1 + a, s) : 0;
            sig.assign(data.begin() + static_cast<long>(1 + a + s + 2), data.end());
            for (Download& d : downloadsNow_)
                if (d.rec.complete && d.rec.address == addr && (s == 0 || d.rec.memorySize == size)) target = &d;
        }
    }
    if (!addressForm) {
        sig = data;
        for (Download& d : downloadsNow_)
            if (d.rec.complete) target = &d;
    }
    if (active_ >= 0) { nrc = 0x24; why = "check memory during a download"; return {}; }
    if (target == nullptr || target->rec.check == "erased") {
        nrc = 0x24; why = "check memory of a region without a finished download"; return {};
    }
    const bool ok = toHex(sig) == target->rec.sha256;
    target->rec.check = ok ? "ok" : "failed";
    if (!ok) why = "check memory signature does not match the received bytes";
    return {uint8_t(ok ? 0x00 : 0x01)};
}

bool EcuModel::dependenciesHold(std::string& why) const {
    for (const RegionRecord& e : erasedNow_) {
        bool covered = false;
        for (const Download& d : downloadsNow_)
            if (!d.rec.ram && d.rec.check == "ok" && overlaps(e.address, e.size, d.rec.address, d.rec.memorySize))
                covered = true;
        if (!covered) {
            char t[96];
            snprintf(t, sizeof t, "erased region 0x%08X has no verified download", e.address);
            why = t;
            return false;
        }
    }
    for (const Download& d : downloadsNow_)
        if (!d.rec.ram && d.rec.check != "ok" && d.rec.check != "erased") {
            char t[96];
            snprintf(t, sizeof t, "download to 0x%08X not verified", d.rec.address);
            why = t;
            return false;
        }
    if (update_ != Update::None && !(update_ == Update::Done && updateOk_)) {
        why = "update execution not completed";
        return false;
    }
    if (erasedNow_.empty() && !cfg_.consistent) {
        why = "software inconsistent and nothing programmed";
        return false;
    }
    return true;
}

std::vector<uint8_t> EcuModel::requestDownload(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (session_ != kProgramming) { nrc = 0x7F; why = "RequestDownload outside the programming session"; return {}; }
    if (!unlocked_) { nrc = 0x33; why = "RequestDownload while locked"; return {}; }
    if (rq.size() < 3) { nrc = 0x13; why = "RequestDownload length"; return {}; }
    const size_t a = rq[2] & 0x0F, s = rq[2] >> 4;
    if (a == 0 || a > 4 || s == 0 || s > 4) { nrc = 0x31; why = "RequestDownload address and length format"; return {}; }
    if (rq.size() != 3 + a + s) { nrc = 0x13; why = "RequestDownload length"; return {}; }
    const uint32_t addr = readBe(rq, 3, a), size = readBe(rq, 3 + a, s);
    if (size == 0) { nrc = 0x31; why = "RequestDownload of zero bytes"; return {}; }
    if (active_ >= 0) { nrc = 0x22; why = "RequestDownload while a download is active"; return {}; }
    const bool ram = isRam(addr, size);
    if (!ram) {
        bool erased = false;
        for (const RegionRecord& e : erasedNow_)
            if (Region{e.address, e.size}.contains(addr, size)) erased = true;
        if (!erased) { nrc = 0x70; why = "download into flash that was not erased"; return {}; }
        for (const Download& d : downloadsNow_)
            if (!d.rec.ram && d.rec.check != "erased" && overlaps(addr, size, d.rec.address, d.rec.memorySize)) {
                nrc = 0x70; why = "download into flash already written since its erase"; return {};
            }
    }
    Download d;
    d.rec.address = addr;
    d.rec.memorySize = size;
    d.rec.dataFormat = rq[1];
    d.rec.ram = ram;
    d.limit = size;
    downloadsNow_.push_back(std::move(d));
    active_ = static_cast<int>(downloadsNow_.size()) - 1;
    nextCounter_ = 1;
    anyAccepted_ = false;
    const uint32_t maxLen = cfg_.maxNumberOfBlockLength;
    std::vector<uint8_t> out{0x74};
    size_t k = maxLen > 0xFFFFFF ? 4 : maxLen > 0xFFFF ? 3 : 2;
    out.push_back(uint8_t(k << 4));
    for (size_t i = k; i-- > 0;) out.push_back(uint8_t(maxLen >> (8 * i)));
    return out;
}

std::vector<uint8_t> EcuModel::transferData(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (session_ != kProgramming) { nrc = 0x7F; why = "TransferData outside the programming session"; return {}; }
    if (active_ < 0) { nrc = 0x24; why = "TransferData without an active download"; return {}; }
    if (rq.size() < 3 || rq.size() > cfg_.maxNumberOfBlockLength) {
        nrc = 0x13; why = "TransferData block length"; return {};
    }
    Download& d = downloadsNow_[static_cast<size_t>(active_)];
    const uint8_t ctr = rq[1];
    if (anyAccepted_ && ctr == lastCounter_) return {0x76, ctr};  // repeated block, already stored
    if (ctr != nextCounter_) {
        char t[64];
        snprintf(t, sizeof t, "wrong block sequence counter 0x%02X, expected 0x%02X", ctr, nextCounter_);
        nrc = 0x73; why = t; return {};
    }
    const size_t n = rq.size() - 2;
    if (d.rec.received + n > d.limit) {
        nrc = 0x71; why = "TransferData beyond the requested size";
        active_ = -1;  // the download is aborted
        return {};
    }
    d.hash.update(rq.data() + 2, n);
    if (d.head.size() < kImageHeaderSize)
        d.head.insert(d.head.end(), rq.begin() + 2, rq.begin() + 2 + static_cast<long>(std::min(n, kImageHeaderSize - d.head.size())));
    d.rec.received += n;
    lastCounter_ = ctr;
    anyAccepted_ = true;
    nextCounter_ = uint8_t(ctr + 1);
    return {0x76, ctr};
}

std::vector<uint8_t> EcuModel::transferExit(const std::vector<uint8_t>& rq, uint8_t& nrc, std::string& why) {
    if (session_ != kProgramming) { nrc = 0x7F; why = "RequestTransferExit outside the programming session"; return {}; }
    if (active_ < 0) { nrc = 0x24; why = "RequestTransferExit without an active download"; return {}; }
    if (rq.size() != 1) { nrc = 0x13; why = "RequestTransferExit length"; return {}; }
    Download& d = downloadsNow_[static_cast<size_t>(active_)];
    const bool plain = (d.rec.dataFormat == 0x00);
    if (d.rec.received == 0 || (plain && d.rec.received != d.rec.memorySize)) {
        nrc = 0x24; why = "RequestTransferExit before all data arrived"; return {};
    }
    d.rec.complete = true;
    d.rec.sha256 = toHex(d.hash.finish());
    ImageHeader h;
    if (parseImageHeader(d.head.data(), d.head.size(), h)) {
        d.rec.blockIndex = h.blockIndex;
        d.rec.blockVersion = h.blockVersion;
        d.rec.softwareVersion = h.softwareVersion;
    }
    active_ = -1;
    return {0x77};
}

void EcuModel::reboot() {
    ++report_.resets;
    // Downloads of this power cycle go into the report in their final state.
    for (const Download& d : downloadsNow_) report_.downloads.push_back(d.rec);
    if (!erasedNow_.empty()) {
        std::string why;
        const bool ok = dependenciesOk_ && dependenciesHold(why);
        if (ok) {
            for (const Download& d : downloadsNow_) {
                if (d.rec.ram || d.rec.check != "ok" || d.rec.blockIndex < 0) continue;
                const size_t i = static_cast<size_t>(d.rec.blockIndex);
                if (i >= 64) continue;
                if (i >= cfg_.blocks.size()) cfg_.blocks.resize(i + 1);
                LogicalBlock& b = cfg_.blocks[i];
                b.version = d.rec.blockVersion;
                b.state = 0x00;
                b.address = d.rec.address;
                b.size = d.rec.memorySize;
                if (fingerprint_.size() == 9) b.fingerprint = fingerprint_;
                cfg_.softwareVersion = d.rec.softwareVersion;
            }
            cfg_.consistent = true;
        } else {
            cfg_.consistent = false;
            report_.notes.push_back("reset after incomplete programming: software inconsistent");
        }
    }
    session_ = kDefault;
    unlocked_ = false;
    seed_.reset();
    wrongKeys_ = 0;
    lockedOut_ = false;
    fingerprintWritten_ = false;
    fingerprint_.clear();
    erasedNow_.clear();
    downloadsNow_.clear();
    active_ = -1;
    dependenciesOk_ = false;
    update_ = Update::None;
    updateOk_ = false;
}

void EcuModel::connectionLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++report_.connectionsLost;
    if (active_ >= 0) {
        if (cfg_.keepDownloadOnDisconnect) {
            report_.notes.push_back("connection lost during a download, the download stays open");
        } else {
            report_.notes.push_back("connection lost during a download");
            active_ = -1;
        }
    }
}

void EcuModel::aliveCheckSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++report_.aliveChecksSent;
}

void EcuModel::aliveCheckAnswered() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++report_.aliveChecksAnswered;
}

void EcuModel::note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_.notes.push_back(text);
}

Report EcuModel::report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Report r = report_;
    for (const Download& d : downloadsNow_) r.downloads.push_back(d.rec);
    return r;
}

EcuConfig EcuModel::identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cfg_;
}

uint8_t EcuModel::session() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_;
}

bool EcuModel::unlocked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unlocked_;
}

bool EcuModel::consistent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cfg_.consistent;
}

}  // namespace ecusim
