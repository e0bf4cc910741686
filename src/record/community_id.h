#pragma once
#include <cstdint>
#include <span>
#include <string>

// Community ID v1 of a TCP, UDP or SCTP flow: "1:" and the Base64 of a SHA-1 over the seed
// and the 5-tuple, its endpoints ordered so that both directions give the same value. Other
// monitors (Zeek, Suricata) write it too, so a SIEM joins their events on it. Addresses are
// 4 or 16 bytes in network order.
std::string communityId(std::span<const uint8_t> source, std::span<const uint8_t> destination, uint16_t sourcePort,
                        uint16_t destinationPort, uint8_t protocol, uint16_t seed = 0);
