#pragma once
#include <cstddef>
#include <cstdint>
#include <array>
#include <string>

// SHA-1 (FIPS 180-4) over input fed in any number of pieces.
class Sha1 {
public:
    Sha1() { reset(); }

    void update(const unsigned char* bytes, size_t length);
    // Digest of everything fed since the last reset, as 40 lower-case hexadecimal
    // characters; the state then starts afresh for the next message.
    std::string finalHex();
    // The same digest as its 20 bytes, for a caller that encodes it otherwise.
    std::array<uint8_t, 20> finalBytes();

private:
    void reset();
    void compressBuffer();

    uint32_t state[5];
    unsigned char buffer[64];
    size_t buffered;
    uint64_t blocks;  // 64-byte blocks compressed so far
};
