#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

// A bounds-checked cursor over untrusted bytes with sticky failure: every read takes
// exactly n bytes or fails, and after a failure every later read fails too and yields
// zero. A parser reads a message as a straight sequence of fields and checks ok() where
// it matters; no read can pass the end of the view.
class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : pos(data), end(data + size) {}
    explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

    bool ok() const { return good; }
    size_t remaining() const { return good ? static_cast<size_t>(end - pos) : 0; }
    bool empty() const { return remaining() == 0; }
    std::span<const uint8_t> rest() const { return {good ? pos : end, remaining()}; }

    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u24() { return static_cast<uint32_t>(take(3)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }

    // The next n bytes, or an empty span (and failure) when fewer remain.
    std::span<const uint8_t> bytes(size_t n) {
        if (!fits(n)) return {};
        std::span<const uint8_t> out(pos, n);
        pos += n;
        return out;
    }

    // A reader over exactly the next n bytes; this reader moves past them.
    ByteReader sub(size_t n) {
        auto view = bytes(n);
        ByteReader r(view);
        r.good = good;
        return r;
    }

    bool skip(size_t n) { return !bytes(n).empty() || (n == 0 && good); }

private:
    bool fits(size_t n) {
        if (good && static_cast<size_t>(end - pos) >= n) return true;
        good = false;
        pos = end;
        return false;
    }
    uint64_t take(size_t n) {
        if (!fits(n)) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | pos[i];
        pos += n;
        return v;
    }

    const uint8_t* pos = nullptr;
    const uint8_t* end = nullptr;
    bool good = true;
};
