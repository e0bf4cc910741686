#include "capture/flowkey.h"

#include <arpa/inet.h>

namespace {
uint64_t littleEndian64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}
}  // namespace

IpAddress IpAddress::fromIpv4(const uint8_t* octets) {
    IpAddress address;  // bytes 10 and 11 are 0xff, bytes 12 to 15 the octets
    address.high = uint64_t{0xffff} << 16 | static_cast<uint64_t>(octets[0]) << 32 |
                   static_cast<uint64_t>(octets[1]) << 40 | static_cast<uint64_t>(octets[2]) << 48 |
                   static_cast<uint64_t>(octets[3]) << 56;
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
    const auto bytes = address.bytes();
    char text[INET6_ADDRSTRLEN] = {};
    if (ipVersion == 6)
        inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    else
        inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text);
    return text;
}

std::ostream& operator<<(std::ostream& out, FlowKey const& key) {
    out << addressToString(key.srcAddress, key.ipVersion) << ':' << std::to_string(key.srcPort) << " - "
        << addressToString(key.dstAddress, key.ipVersion) << ':' << std::to_string(key.dstPort) << " ("
        << std::to_string(key.protocol) << ')';
    return out;
}
