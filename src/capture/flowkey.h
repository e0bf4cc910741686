#pragma once
#include <cstdint>
#include <ostream>
#include <string>

// One direction of a TCP connection. Addresses hold the four header octets as a
// little-endian value (a.b.c.d -> d<<24 | c<<16 | b<<8 | a), which fixes the key order.
struct FlowKey {
    uint32_t srcAddress = 0;
    uint32_t dstAddress = 0;
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint8_t protocol = 0;

    FlowKey reverse() const;
    bool operator<(FlowKey const& other) const;
};

// Equality as the pipeline uses it: neither key is less than the other.
inline bool sameKey(FlowKey const& a, FlowKey const& b) { return !(a < b) && !(b < a); }

// Dotted-decimal text of an address held as above.
std::string addressToString(uint32_t address);

std::ostream& operator<<(std::ostream& out, FlowKey const& key);
