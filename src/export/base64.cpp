#include "export/base64.h"

namespace {
// A plain array, so encoding never depends on the order in which globals are constructed.
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

const std::string base64_chars(alphabet, 64);

std::string base64_encode(const unsigned char* bytes, uint32_t length) {
    std::string text((size_t(length) + 2) / 3 * 4, '=');
    char* out = text.data();
    uint32_t i = 0;
    for (; length - i >= 3; i += 3) {
        uint32_t group = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *out++ = alphabet[group >> 18];
        *out++ = alphabet[(group >> 12) & 0x3f];
        *out++ = alphabet[(group >> 6) & 0x3f];
        *out++ = alphabet[group & 0x3f];
    }
    uint32_t left = length - i;
    if (left > 0) {
        // The padding characters are already in place.
        uint32_t group = uint32_t(bytes[i]) << 16 | (left == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        *out++ = alphabet[group >> 18];
        *out++ = alphabet[(group >> 12) & 0x3f];
        if (left == 2) *out = alphabet[(group >> 6) & 0x3f];
    }
    return text;
}
