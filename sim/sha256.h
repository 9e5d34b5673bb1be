// SHA-256 (FIPS 180-4), used by the simulated ECU as the "signature" of a downloaded block:
// the check-memory routine accepts a signature only when it equals the SHA-256 digest of the
// bytes received by TransferData for that block, and the package generator writes exactly
// that digest into FW-SIGNATURE.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecusim {

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void update(const uint8_t* data, size_t length);
    Digest finish();  // the object must not be updated afterwards

    static Digest of(const uint8_t* data, size_t length);
    static Digest of(const std::vector<uint8_t>& data) { return of(data.data(), data.size()); }

private:
    void block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t bufLen_ = 0;
    uint64_t total_ = 0;
};

// Upper-case hexadecimal text of bytes, no separators.
std::string toHex(const uint8_t* data, size_t length);
inline std::string toHex(const std::vector<uint8_t>& v) { return toHex(v.data(), v.size()); }
inline std::string toHex(const Sha256::Digest& d) { return toHex(d.data(), d.size()); }

}  // namespace ecusim
