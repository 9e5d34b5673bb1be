// A small scripted ECU for whole-run tests of the sequencer: answers every service the flash
// procedure uses, checks the order the programming services need (extended before
// programming session, unlocked before fingerprint, erase and download), and records every
// request and the downloaded data.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace seqtest {

using Bytes = std::vector<uint8_t>;

struct FakeEcu {
    // A request beginning with `prefix` is answered 7F sid nrc (nrc 0: a positive answer with
    // the failure status 01 for routines; `throwInstead`: the transport throws).
    struct Refusal {
        Bytes prefix;
        uint8_t nrc = 0x22;
        bool throwInstead = false;
    };

    std::map<uint16_t, Bytes> dids;        // identifications now
    std::map<uint16_t, Bytes> afterReset;  // replace dids at a reset after a download
    std::vector<Refusal> refusals;
    uint32_t seed = 0x11223344;
    uint32_t keyXor = 0xA5A5A5A5;  // the key the ECU expects: seed ^ keyXor
    bool allowProgrammingFromDefault = false;
    bool storeData = true;  // false: downloaded bytes are only counted (benchmarks)

    uint8_t session = 1;
    bool unlocked = false;
    bool downloaded = false;
    int resets = 0;
    std::vector<Bytes> requests;               // TransferData cut to its first 2 bytes
    std::map<uint32_t, Bytes> memory;          // downloaded bytes by RequestDownload address
    uint64_t bytesReceived = 0;
    std::vector<std::string> violations;

    std::vector<Bytes> respond(const Bytes& rq) {
        requests.push_back(rq.size() > 2 && rq[0] == 0x36 ? Bytes(rq.begin(), rq.begin() + 2) : rq);
        if (rq.empty()) return {};
        const uint8_t sid = rq[0];
        for (const auto& r : refusals) {
            if (rq.size() >= r.prefix.size() && std::equal(r.prefix.begin(), r.prefix.end(), rq.begin())) {
                if (r.throwInstead) throw std::runtime_error("fake transport failure");
                if (r.nrc == 0 && sid == 0x31 && rq.size() >= 4) return {{0x71, rq[1], rq[2], rq[3], 0x01}};
                return {{0x7F, sid, r.nrc}};
            }
        }
        // Only services with a sub-function carry the suppress bit.
        const bool hasSubFunction = sid == 0x10 || sid == 0x11 || sid == 0x27 || sid == 0x28 || sid == 0x31 ||
                                    sid == 0x3E || sid == 0x85;
        const bool suppressed = hasSubFunction && rq.size() > 1 && (rq[1] & 0x80) != 0;
        Bytes a = answer(rq);
        if (suppressed && !a.empty() && a[0] != 0x7F) return {};
        if (a.empty()) return {};
        return {a};
    }

private:
    Bytes refuse(uint8_t sid, uint8_t nrc, const std::string& why) {
        violations.push_back(why);
        return {0x7F, sid, nrc};
    }

    Bytes answer(const Bytes& rq) {
        const uint8_t sid = rq[0];
        const uint8_t sub = rq.size() > 1 ? static_cast<uint8_t>(rq[1] & 0x7F) : 0;
        switch (sid) {
            case 0x10:
                if (sub == 2 && session == 1 && !allowProgrammingFromDefault) {
                    return refuse(sid, 0x7E, "programming session from default");
                }
                session = sub;
                unlocked = false;
                return {0x50, sub, 0x00, 0x32, 0x01, 0xF4};
            case 0x3E:
                return {0x7E, 0x00};
            case 0x22: {
                const uint16_t did = static_cast<uint16_t>(rq[1] << 8 | rq[2]);
                auto it = dids.find(did);
                if (it == dids.end()) return {0x7F, 0x22, 0x31};
                Bytes a{0x62, rq[1], rq[2]};
                a.insert(a.end(), it->second.begin(), it->second.end());
                return a;
            }
            case 0x2E:
                if (rq[1] == 0xF1 && rq[2] == 0x5A && !unlocked) return refuse(sid, 0x33, "fingerprint while locked");
                return {0x6E, rq[1], rq[2]};
            case 0x27:
                if (session != 2) return refuse(sid, 0x7F, "security access outside programming");
                if (sub == 0x11) {
                    return {0x67, 0x11, uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8), uint8_t(seed)};
                } else {
                    const uint32_t want = seed ^ keyXor;
                    const uint32_t got = rq.size() == 6 ? uint32_t(rq[2]) << 24 | uint32_t(rq[3]) << 16 |
                                                              uint32_t(rq[4]) << 8 | rq[5]
                                                        : 0;
                    if (got != want) return {0x7F, 0x27, 0x35};
                    unlocked = true;
                    return {0x67, 0x12};
                }
            case 0x31: {
                const uint16_t rid = static_cast<uint16_t>(rq[2] << 8 | rq[3]);
                if ((rid == 0xFF00 || rid == 0x0202 || rid == 0xC010) && !unlocked) {
                    return refuse(sid, 0x33, "routine while locked");
                }
                if (sub == 0x03) return {0x71, 0x03, rq[2], rq[3], 0x24};
                if (rid == 0x0203 || rid == 0xC010) return {0x71, 0x01, rq[2], rq[3]};
                return {0x71, 0x01, rq[2], rq[3], 0x00};
            }
            case 0x34: {
                if (!unlocked) return refuse(sid, 0x33, "download while locked");
                const uint8_t alfid = rq[2];
                uint32_t addr = 0;
                for (int i = 0; i < (alfid & 0x0F); ++i) addr = addr << 8 | rq[3 + i];
                current = addr;
                memory[current].clear();
                return {0x74, 0x20, 0x0F, 0xFF};
            }
            case 0x36:
                bytesReceived += rq.size() - 2;
                if (storeData) memory[current].insert(memory[current].end(), rq.begin() + 2, rq.end());
                return {0x76, rq[1]};
            case 0x37:
                downloaded = true;
                return {0x77};
            case 0x11:
                ++resets;
                session = 1;
                unlocked = false;
                if (downloaded) {
                    for (auto& d : afterReset) dids[d.first] = d.second;
                }
                return {0x51, sub};
            case 0x85:
            case 0x28:
                return {uint8_t(sid + 0x40), sub};
            default:
                return {0x7F, sid, 0x11};
        }
    }

    uint32_t current = 0;
};

}  // namespace seqtest
