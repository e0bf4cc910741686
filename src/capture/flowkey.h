#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <ostream>
#include <string>

// An IPv4 or IPv6 address in 16 bytes, IPv4 mapped as ::ffff:a.b.c.d. The bytes are held
// as two little-endian words, high word first, so that keys compare (and will hash) as a
// few integers, and so that the last byte weighs most: an IPv4 address a.b.c.d orders by
// d·2^24 + c·2^16 + b·2^8 + a.
struct IpAddress {
    uint64_t high = 0;  // bytes 8 to 15, byte 15 most significant
    uint64_t low = 0;   // bytes 0 to 7

    static IpAddress fromIpv4(const uint8_t* octets);  // 4 bytes in header order
    static IpAddress fromIpv6(const uint8_t* bytes);   // 16 bytes in header order
    std::array<uint8_t, 16> bytes() const;

    auto operator<=>(IpAddress const&) const = default;
};

// One direction of a TCP connection over IPv4 or IPv6.
struct FlowKey {
    IpAddress srcAddress;
    IpAddress dstAddress;
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint8_t protocol = 0;
    uint8_t ipVersion = 4;  // 4 or 6: how the addresses are written

    FlowKey reverse() const;
    // Addresses, then ports, then protocol and version, each as an unsigned number.
    auto operator<=>(FlowKey const&) const = default;
};

inline bool sameKey(FlowKey const& a, FlowKey const& b) { return a == b; }

// The address as inet_ntop writes it for the version: "10.1.2.3", "fd00::1".
std::string addressToString(IpAddress const& address, uint8_t ipVersion);

std::ostream& operator<<(std::ostream& out, FlowKey const& key);
