#pragma once
#include <cstdint>
#include <string>

extern const std::string base64_chars;

// Standard Base64 (RFC 4648, padded) of length bytes, with no line breaks.
std::string base64_encode(const unsigned char* bytes, uint32_t length);
