#include "record/base64.h"

namespace {
// A plain array, so encoding never depends on the order in which globals are constructed.
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

const std::string base64_chars(alphabet, 64);

std::string base64_encode(const unsigned char* bytes, uint32_t length) {
    std::string text;
    base64Append(text, bytes, length);
    return text;
}

void base64Append(std::string& text, const unsigned char* bytes, size_t length) {
    const size_t at = text.size();
    text.resize(at + (length + 2) / 3 * 4, '=');
    char* out = text.data() + at;
    size_t i = 0;
    for (; length - i >= 3; i += 3) {
        const uint32_t group = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *out++ = alphabet[group >> 18];
        *out++ = alphabet[(group >> 12) & 0x3f];
        *out++ = alphabet[(group >> 6) & 0x3f];
        *out++ = alphabet[group & 0x3f];
    }
    const size_t left = length - i;
    if (left > 0) {
        // The padding characters are already in place.
        const uint32_t group = uint32_t(bytes[i]) << 16 | (left == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        *out++ = alphabet[group >> 18];
        *out++ = alphabet[(group >> 12) & 0x3f];
        if (left == 2) *out = alphabet[(group >> 6) & 0x3f];
    }
}

namespace {
// 0..63 for alphabet characters, 64 for '=', 255 for everything else.
struct DecodeTable {
    unsigned char value[256];
    constexpr DecodeTable() : value() {
        for (auto& v : value) v = 255;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
        value[static_cast<unsigned char>('=')] = 64;
    }
};
constexpr DecodeTable decodeTable;
}  // namespace

bool base64_decode(const char* text, size_t length, std::string& out) {
    out.clear();
    if (length % 4 != 0) return false;
    out.resize(length / 4 * 3);
    char* o = out.data();
    auto const* in = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length; i += 4) {
        unsigned const a = decodeTable.value[in[i]], b = decodeTable.value[in[i + 1]];
        unsigned const c = decodeTable.value[in[i + 2]], d = decodeTable.value[in[i + 3]];
        if ((a | b | c | d) < 64) {
            uint32_t const group = a << 18 | b << 12 | c << 6 | d;
            *o++ = static_cast<char>(group >> 16);
            *o++ = static_cast<char>(group >> 8);
            *o++ = static_cast<char>(group);
            continue;
        }
        // Padding is only allowed in the last group: "xx==" or "xxx=".
        bool const last = i + 4 == length;
        if (!last || a > 63 || b > 63 || c == 255 || d != 64 || (c == 64 && d != 64)) return false;
        uint32_t const group = a << 18 | b << 12 | (c == 64 ? 0 : c << 6);
        *o++ = static_cast<char>(group >> 16);
        if (c != 64) *o++ = static_cast<char>(group >> 8);
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return true;
}

std::string base64Text(std::string const& bytes) {
    std::string text;
    base64Append(text, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return text;
}
