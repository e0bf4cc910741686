#pragma once
#include <atomic>
#include <cstdint>

// A count one thread keeps and any other may read while it grows (a metrics scrape, the
// periodic summary): a relaxed load and store, no locked read-modify-write, so counting
// costs what a plain integer does. Only one thread may write it at a time.
class LiveCount {
public:
    LiveCount(uint64_t value = 0) : value_(value) {}
    LiveCount(LiveCount const& other) : value_(other.load()) {}
    LiveCount& operator=(LiveCount const& other) {
        value_.store(other.load(), std::memory_order_relaxed);
        return *this;
    }
    LiveCount& operator+=(uint64_t n) {
        value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
        return *this;
    }
    LiveCount& operator++() { return *this += 1; }
    uint64_t load() const { return value_.load(std::memory_order_relaxed); }
    operator uint64_t() const { return load(); }

private:
    std::atomic<uint64_t> value_;
};
