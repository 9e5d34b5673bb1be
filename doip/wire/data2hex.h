// Bytes to upper-case hexadecimal text, with or without a separator between the pairs.
//   data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(p, 3) -> "0A 1B FF"
//   data2hex::ArrayToHexString<data2hex::NoSeparator>(p, 3)            -> "0A1BFF"
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace data2hex {

// Digit table of every conversion.
extern const char ByteToHex[17];  // "0123456789ABCDEF"

struct NoSeparator {
    static constexpr bool present = false;
    static constexpr char value = '\0';
};

template <char C>
struct CharacterSeparator {
    static constexpr bool present = true;
    static constexpr char value = C;
};

// Empty for a null pointer or length 0.
template <typename Separator>
std::string ArrayToHexString(const uint8_t* data, size_t length) {
    std::string text;
    if (data == nullptr || length == 0) return text;
    text.reserve(Separator::present ? length * 3 - 1 : length * 2);
    for (size_t i = 0; i < length; ++i) {
        if (Separator::present && i != 0) text.push_back(Separator::value);
        text.push_back(ByteToHex[data[i] >> 4]);
        text.push_back(ByteToHex[data[i] & 0x0F]);
    }
    return text;
}

}  // namespace data2hex
