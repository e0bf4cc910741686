#pragma once
#include <cstdint>
#include <string>

// Lower-case hexadecimal text, the one form every code point, address and digest is written in.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

inline void appendHexByte(std::string& out, uint8_t value) {
    out += HEX_DIGITS[value >> 4];
    out += HEX_DIGITS[value & 0x0f];
}

// "0x" followed by exactly four lower-case hexadecimal digits.
inline std::string hex4(uint16_t value) {
    std::string text = "0x";
    appendHexByte(text, static_cast<uint8_t>(value >> 8));
    appendHexByte(text, static_cast<uint8_t>(value));
    return text;
}
