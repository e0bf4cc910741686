#include "record/community_id.h"

#include <algorithm>

#include "record/base64.h"
#include "record/sha1.h"

namespace {
void putPort(std::string& text, uint16_t port) {
    text += static_cast<char>(port >> 8);
    text += static_cast<char>(port & 0xff);
}
}  // namespace

std::string communityId(std::span<const uint8_t> source, std::span<const uint8_t> destination, uint16_t sourcePort,
                        uint16_t destinationPort, uint8_t protocol, uint16_t seed) {
    // The numerically smaller address comes first; with equal addresses, the smaller port.
    const bool swap =
        std::lexicographical_compare(destination.begin(), destination.end(), source.begin(), source.end()) ||
        (std::equal(source.begin(), source.end(), destination.begin(), destination.end()) &&
         destinationPort < sourcePort);
    if (swap) {
        std::swap(source, destination);
        std::swap(sourcePort, destinationPort);
    }
    std::string input;
    putPort(input, seed);
    input.append(source.begin(), source.end());
    input.append(destination.begin(), destination.end());
    input += static_cast<char>(protocol);
    input += '\0';
    putPort(input, sourcePort);
    putPort(input, destinationPort);
    Sha1 sha1;
    sha1.update(reinterpret_cast<const unsigned char*>(input.data()), input.size());
    auto const digest = sha1.finalBytes();
    std::string id = "1:";
    base64Append(id, digest.data(), digest.size());
    return id;
}
