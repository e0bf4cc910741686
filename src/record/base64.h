#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

extern const std::string base64_chars;

// Standard Base64 (RFC 4648, padded) of length bytes, with no line breaks.
std::string base64_encode(const unsigned char* bytes, uint32_t length);

// The same, appended to `text`: a row is built without a string per cell.
void base64Append(std::string& text, const unsigned char* bytes, size_t length);

// Decodes standard padded Base64 into out (replacing its content). Characters outside the
// alphabet, misplaced padding or a length that is not a multiple of four make it return
// false; out then holds no meaningful bytes.
bool base64_decode(const char* text, size_t length, std::string& out);

// Base64 of a byte string of any length, with no line breaks.
std::string base64Text(std::string const& bytes);
