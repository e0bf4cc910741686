#pragma once
#include <array>
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

    bool operator==(IpAddress const&) const = default;
    bool operator<(IpAddress const& other) const {
        return high != other.high ? high < other.high : low < other.low;
    }
};

// One direction of a TCP connection or of a UDP exchange (QUIC, DTLS) over IPv4 or IPv6:
// source and destination address and port, and the transport (protocol 6 or 17). A packet
// carries the key of its own direction; the connection's key (Packet::flowKey) is the
// smaller of its two directions, the same for both.
struct FlowKey {
    IpAddress srcAddress;
    IpAddress dstAddress;
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint8_t protocol = 0;
    uint8_t ipVersion = 4;  // 4 or 6: how the addresses are written

    FlowKey reverse() const;
    // Written out rather than defaulted: the flow table compares keys many times a packet.
    bool operator==(FlowKey const& other) const {
        return srcPort == other.srcPort && dstPort == other.dstPort && srcAddress == other.srcAddress &&
               dstAddress == other.dstAddress && protocol == other.protocol && ipVersion == other.ipVersion;
    }
    // Source address, destination address, then ports, protocol and version, each as an
    // unsigned number.
    bool operator<(FlowKey const& other) const {
        if (srcAddress.high != other.srcAddress.high) return srcAddress.high < other.srcAddress.high;
        if (srcAddress.low != other.srcAddress.low) return srcAddress.low < other.srcAddress.low;
        if (dstAddress.high != other.dstAddress.high) return dstAddress.high < other.dstAddress.high;
        if (dstAddress.low != other.dstAddress.low) return dstAddress.low < other.dstAddress.low;
        if (srcPort != other.srcPort) return srcPort < other.srcPort;
        if (dstPort != other.dstPort) return dstPort < other.dstPort;
        if (protocol != other.protocol) return protocol < other.protocol;
        return ipVersion < other.ipVersion;
    }
};

// For hash tables of keys: the four address words and the rest folded by multiplying.
struct FlowKeyHash {
    size_t operator()(FlowKey const& key) const {
        constexpr uint64_t k = 0x9e3779b97f4a7c15ULL;
        uint64_t h = key.srcAddress.low * k;
        h = (h ^ key.srcAddress.high) * k;
        h = (h ^ key.dstAddress.low) * k;
        h = (h ^ key.dstAddress.high) * k;
        h = (h ^ (uint64_t{key.srcPort} << 24 | uint64_t{key.dstPort} << 8 | key.protocol)) * k;
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

// The address as inet_ntop writes it for the version: "10.1.2.3", "fd00::1".
std::string addressToString(IpAddress const& address, uint8_t ipVersion);

std::ostream& operator<<(std::ostream& out, FlowKey const& key);
