// Helpers for the simulator's tests: talking to the ECU model through the in-process
// transport with hand-written request bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/inprocess.h"
#include "sim/sa2.h"
#include "sim/sha256.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string hex(const Bytes& b) { return ecusim::toHex(b); }

// The in-process transport of one test; stopped when the test ends.
class Ecu {
public:
    explicit Ecu(const ecusim::EcuConfig& cfg = ecusim::EcuConfig()) : t_(ecusim::InProcess::start(cfg)) {}
    ~Ecu() { ecusim::InProcess::stop(); }
    Ecu(const Ecu&) = delete;
    Ecu& operator=(const Ecu&) = delete;

    // Sends one request and returns every answer the ECU queued for it.
    std::vector<Bytes> all(Bytes rq, bool functional = false) {
        EXPECT_TRUE(t_->boSendUDS(functional ? IF_SOCKET_FUNC : IF_SOCKET_PHY, rq.data(), uint32_t(rq.size())));
        std::vector<Bytes> out;
        uint8_t buf[70000];
        for (;;) {
            const int n = t_->iReceive(rq[0], buf, sizeof buf, 50);
            if (n <= 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }
    // Sends one request and returns its only answer (empty when none).
    Bytes req(Bytes rq, bool functional = false) {
        std::vector<Bytes> a = all(std::move(rq), functional);
        EXPECT_LE(a.size(), 1u);
        return a.empty() ? Bytes() : a.back();
    }
    // Request seed and send the right key.
    void unlock() {
        const Bytes seed = req({0x27, 0x11});
        ASSERT_EQ(seed.size(), 6u);
        const uint32_t s = uint32_t(seed[2]) << 24 | uint32_t(seed[3]) << 16 | uint32_t(seed[4]) << 8 | seed[5];
        const uint32_t key = ecusim::sa2Compute(s, ecusim::defaultSa2Program()).key;
        ASSERT_EQ(hex(req(cat({0x27, 0x12}, be32(key)))), "6712");
    }
    // RequestDownload, TransferData in blocks of `block` bytes, RequestTransferExit.
    void download(uint32_t addr, const Bytes& data, size_t block = 4093) {
        ASSERT_EQ(hex(req(cat(cat({0x34, 0x00, 0x44}, be32(addr)), be32(uint32_t(data.size()))))), "74200FFF");
        uint8_t ctr = 1;
        for (size_t off = 0; off < data.size(); off += block, ++ctr) {
            const size_t n = std::min(block, data.size() - off);
            Bytes rq{0x36, ctr};
            rq.insert(rq.end(), data.begin() + long(off), data.begin() + long(off + n));
            ASSERT_EQ(hex(req(rq)), hex({0x76, ctr}));
        }
        ASSERT_EQ(hex(req({0x37})), "77");
    }
    const UDS_tstTransport* transport() const { return t_; }

private:
    const UDS_tstTransport* t_;
};

// Check memory request of the address form (ALFID 0x44) with a SHA-256 signature.
inline Bytes checkMemory(uint32_t addr, const Bytes& data) {
    const auto d = ecusim::Sha256::of(data);
    return cat(cat(cat(cat({0x31, 0x01, 0x02, 0x02, 0x44}, be32(addr)), be32(uint32_t(data.size()))), {0x00, 0x20}),
               Bytes(d.begin(), d.end()));
}
inline Bytes erase(uint32_t addr, uint32_t size) {
    return cat(cat({0x31, 0x01, 0xFF, 0x00, 0x44}, be32(addr)), be32(size));
}

}  // namespace simtest
