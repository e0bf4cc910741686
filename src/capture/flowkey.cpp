#include "capture/flowkey.h"

#include <tuple>

FlowKey FlowKey::reverse() const {
    return FlowKey{dstAddress, srcAddress, dstPort, srcPort, protocol};
}

bool FlowKey::operator<(FlowKey const& other) const {
    return std::tie(srcAddress, dstAddress, srcPort, dstPort, protocol) <
           std::tie(other.srcAddress, other.dstAddress, other.srcPort, other.dstPort, other.protocol);
}

std::string addressToString(uint32_t address) {
    std::string text;
    text.reserve(15);
    for (int octet = 0; octet < 4; ++octet) {
        if (octet) text += '.';
        text += std::to_string((address >> (8 * octet)) & 0xff);
    }
    return text;
}

std::ostream& operator<<(std::ostream& out, FlowKey const& key) {
    out << addressToString(key.srcAddress) << ':' << std::to_string(key.srcPort) << " - "
        << addressToString(key.dstAddress) << ':' << std::to_string(key.dstPort) << " ("
        << std::to_string(key.protocol) << ')';
    return out;
}
