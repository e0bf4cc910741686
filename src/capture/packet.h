#pragma once
#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <string>

#include "flow/flowkey.h"

// One captured frame decoded in place down to its IPv4 and TCP headers and payload.
// Until copyPacketData() the pointers refer into libpcap's buffer, valid only until the
// next read on the same handle.
class Packet {
public:
    Packet(bool isEthernet, int32_t linkOffset) : isEthernet(isEthernet), linkOffset(linkOffset) {}
    ~Packet();
    Packet(Packet const&) = delete;
    Packet& operator=(Packet const&) = delete;

    bool parse(const pcap_pkthdr* header, const uint8_t* data);
    bool copyPacketData();
    void reset();
    bool isValid() const { return true; }

    const uint8_t* tcpPayload() const { return payload; }
    uint16_t tcpPayloadLength() const { return static_cast<uint16_t>(payloadLength); }
    uint64_t timestamp() const;
    // Capture time in seconds, for ordering segments with equal sequence numbers.
    double captureTime() const;
    // TCP sequence number in host order.
    uint32_t sequenceNumber() const { return seq; }

    const pcap_pkthdr* header = nullptr;
    const uint8_t* ethernetHeader = nullptr;  // 14 bytes when set
    const uint8_t* ipHeader = nullptr;
    const uint8_t* tcpHeader = nullptr;
    bool isEthernet = false;
    int32_t linkOffset = -1;
    const uint8_t* data = nullptr;
    const uint8_t* payload = nullptr;
    int32_t payloadLength = 0;
    bool ownsData = false;
    uint32_t seq = 0;
    FlowKey key;
    FlowKey flowKey;

private:
    std::unique_ptr<uint8_t[]> storage;  // owned copy: header followed by the frame bytes
};

// Six MAC bytes as lower-case hexadecimal pairs joined by ":".
std::string ethernetToString(const unsigned char* mac);
