#include "record/sha1.h"

#include "base/hex.h"

#include <cstring>

namespace {

inline uint32_t rol(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

// Rounds 16..79 reuse the sixteen block words as a ring instead of an 80-word schedule.
inline uint32_t schedule(uint32_t block[16], int i) {
    uint32_t& word = block[i & 15];
    word = rol(block[(i + 13) & 15] ^ block[(i + 8) & 15] ^ block[(i + 2) & 15] ^ word, 1);
    return word;
}

inline void rotate(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t temp) {
    e = d;
    d = c;
    c = rol(b, 30);
    b = a;
    a = temp;
}

inline void R2(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t block[16], int i) {
    rotate(a, b, c, d, e, rol(a, 5) + (b ^ c ^ d) + e + 0x6ed9eba1u + schedule(block, i));
}

inline void R3(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t block[16], int i) {
    rotate(a, b, c, d, e, rol(a, 5) + ((b & c) | (b & d) | (c & d)) + e + 0x8f1bbcdcu + schedule(block, i));
}

inline void R4(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t block[16], int i) {
    rotate(a, b, c, d, e, rol(a, 5) + (b ^ c ^ d) + e + 0xca62c1d6u + schedule(block, i));
}

void transform(uint32_t state[5], uint32_t block[16], uint64_t& blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 20; ++i) {
        uint32_t word = i < 16 ? block[i] : schedule(block, i);
        rotate(a, b, c, d, e, rol(a, 5) + ((b & c) | (~b & d)) + e + 0x5a827999u + word);
    }
    for (int i = 20; i < 40; ++i) R2(a, b, c, d, e, block, i);
    for (int i = 40; i < 60; ++i) R3(a, b, c, d, e, block, i);
    for (int i = 60; i < 80; ++i) R4(a, b, c, d, e, block, i);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    ++blocks;
}

void loadWords(const unsigned char bytes[64], uint32_t words[16]) {
    for (int i = 0; i < 16; ++i)
        words[i] = uint32_t(bytes[4 * i]) << 24 | uint32_t(bytes[4 * i + 1]) << 16 | uint32_t(bytes[4 * i + 2]) << 8 |
                   uint32_t(bytes[4 * i + 3]);
}

}  // namespace

void Sha1::reset() {
    state[0] = 0x67452301u;
    state[1] = 0xefcdab89u;
    state[2] = 0x98badcfeu;
    state[3] = 0x10325476u;
    state[4] = 0xc3d2e1f0u;
    buffered = 0;
    blocks = 0;
}

void Sha1::compressBuffer() {
    uint32_t words[16];
    loadWords(buffer, words);
    transform(state, words, blocks);
    buffered = 0;
}

void Sha1::update(const unsigned char* bytes, size_t length) {
    while (length > 0) {
        size_t take = sizeof buffer - buffered < length ? sizeof buffer - buffered : length;
        std::memcpy(buffer + buffered, bytes, take);
        buffered += take;
        bytes += take;
        length -= take;
        if (buffered == sizeof buffer) compressBuffer();
    }
}

std::string Sha1::finalHex() {
    std::string digest;
    digest.reserve(40);
    for (uint8_t byte : finalBytes()) appendHexByte(digest, byte);
    return digest;
}

std::array<uint8_t, 20> Sha1::finalBytes() {
    uint64_t bitLength = (blocks * 64 + buffered) * 8;
    buffer[buffered++] = 0x80;
    bool lengthFits = buffered <= 56;
    std::memset(buffer + buffered, 0, sizeof buffer - buffered);
    uint32_t words[16];
    loadWords(buffer, words);
    if (!lengthFits) {
        transform(state, words, blocks);
        std::memset(words, 0, 14 * sizeof words[0]);
    }
    words[14] = uint32_t(bitLength >> 32);
    words[15] = uint32_t(bitLength);
    transform(state, words, blocks);

    std::array<uint8_t, 20> digest;
    size_t at = 0;
    for (uint32_t word : state)
        for (int shift = 24; shift >= 0; shift -= 8) digest[at++] = static_cast<uint8_t>(word >> shift);
    reset();
    return digest;
}
