#include "capture/flowkey.h"

#include <arpa/inet.h>

#include <bit>
#include <cstring>

namespace {
// Every packet's two addresses pass through here: one load each, not a byte at a time.
template <typename Word>
Word littleEndian(const uint8_t* bytes) {
    Word value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        if constexpr (sizeof value == 8)
            value = __builtin_bswap64(value);
        else
            value = __builtin_bswap32(value);
    }
    return value;
}
uint64_t littleEndian64(const uint8_t* bytes) { return littleEndian<uint64_t>(bytes); }
}  // namespace

IpAddress IpAddress::fromIpv4(const uint8_t* octets) {
    IpAddress address;  // bytes 10 and 11 are 0xff, bytes 12 to 15 the octets
    address.high = uint64_t{0xffff} << 16 | uint64_t{littleEndian<uint32_t>(octets)} << 32;
    return address;
}

IpAddress IpAddress::fromIpv6(const uint8_t* bytes) {
    IpAddress address;
    address.low = littleEndian64(bytes);
    address.high = littleEndian64(bytes + 8);
    return address;
}

std::array<uint8_t, 16> IpAddress::bytes() const {
    std::array<uint8_t, 16> out{};
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(low >> (8 * i));
        out[8 + i] = static_cast<uint8_t>(high >> (8 * i));
    }
    return out;
}

FlowKey FlowKey::reverse() const { return FlowKey{dstAddress, srcAddress, dstPort, srcPort, protocol, ipVersion}; }

std::string addressToString(IpAddress const& address, uint8_t ipVersion) {
    if (ipVersion == 6) {
        const auto bytes = address.bytes();
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
        return text;
    }
    // Dotted decimal as inet_ntop writes it, without its trip through printf: every row
    // writes two addresses.
    char text[16];
    char* end = text;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet) *end++ = '.';
        const unsigned value = static_cast<unsigned>(address.high >> (32 + 8 * octet)) & 0xff;
        if (value >= 100) *end++ = static_cast<char>('0' + value / 100);
        if (value >= 10) *end++ = static_cast<char>('0' + value / 10 % 10);
        *end++ = static_cast<char>('0' + value % 10);
    }
    return std::string(text, end);
}

std::ostream& operator<<(std::ostream& out, FlowKey const& key) {
    // An IPv6 address goes in brackets, or its last group could be read as the port.
    auto endpoint = [&](auto const& address, uint16_t port) {
        std::string const text = addressToString(address, key.ipVersion);
        return (key.ipVersion == 6 ? "[" + text + "]" : text) + ':' + std::to_string(port);
    };
    out << endpoint(key.srcAddress, key.srcPort) << " - " << endpoint(key.dstAddress, key.dstPort) << " ("
        << std::to_string(key.protocol) << ')';
    return out;
}
