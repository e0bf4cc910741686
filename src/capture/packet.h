#pragma once
#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "capture/flowkey.h"

// What stands before the network layer, by libpcap link type (pcap_datalink).
enum class LinkLayer : uint8_t {
    Unsupported,
    Null,       // DLT_NULL: a 4-byte address family in the byte order of the writer
    Ethernet,   // DLT_EN10MB: MAC addresses, EtherType
    Raw,        // DLT_RAW: the IP header at once
    LinuxSll,   // DLT_LINUX_SLL: 16 bytes, protocol at 14
    LinuxSll2,  // DLT_LINUX_SLL2: 20 bytes, protocol at 0
    Ipv4,       // DLT_IPV4: an IPv4 header at once
    Ipv6,       // DLT_IPV6: an IPv6 header at once
};
LinkLayer linkLayerOf(int linkType);

// Where a link's header names what follows it (an EtherType or, on the null link, the
// address family) and where the header ends without VLAN tags. The decoder and the
// capture filter both read a frame by these numbers.
struct LinkHeader {
    size_t typeAt = 0;
    size_t length = 0;
};
constexpr LinkHeader linkHeaderOf(LinkLayer link) {
    switch (link) {
    case LinkLayer::Null: return {0, 4};
    case LinkLayer::Ethernet: return {12, 14};
    case LinkLayer::Raw:
    case LinkLayer::Ipv4:
    case LinkLayer::Ipv6: return {0, 0};
    case LinkLayer::LinuxSll: return {14, 16};
    case LinkLayer::LinuxSll2: return {0, 20};
    case LinkLayer::Unsupported: break;
    }
    return {};
}

// Why a frame did not decode, for the counts at the end of a run.
enum class SkipReason : uint8_t {
    None,
    NotIp,          // a link, EtherType, family or tunnel payload that is neither IP nor a known encapsulation
    OtherProtocol,  // IP carrying neither TCP, UDP nor a tunnel (ICMP, ESP, other IPv6 extension headers)
    Fragment,       // an IPv4 fragment or an IPv6 fragment header: only part of a segment
    TooDeep,        // more than 8 encapsulations, or more than 8 VLAN tags in one Ethernet header
    CutShort,       // the frame ends before a header or the innermost datagram does
    Malformed,      // bad version or lengths
};

// Encapsulations a frame may nest (tunnel, MPLS stack, PPPoE, Cisco MetaData, IP in IP),
// and VLAN tags in one Ethernet header.
constexpr int maxEncapsulations = 8;
constexpr int maxVlanTags = 8;

// One captured frame decoded in place through its encapsulations down to the innermost IP
// header and its TCP segment or UDP datagram. The pointers refer into libpcap's buffer,
// valid only until the next read on the same handle, unless it was kept (KeptPacket).
class Packet {
public:
    static constexpr size_t macAddressesLength = 12;
    static constexpr uint8_t protocolTcp = 6;
    static constexpr uint8_t protocolUdp = 17;
    explicit Packet(int linkType) : linkType(linkType), link(linkLayerOf(linkType)) {}
    ~Packet();
    Packet(Packet const&) = delete;
    Packet& operator=(Packet const&) = delete;

    // Decodes the innermost IPv4 or IPv6 TCP segment or UDP datagram (a UDP datagram to
    // the VXLAN or Geneve port is a tunnel, not the end); false (with `skipped` telling
    // why) for anything else.
    bool parse(const pcap_pkthdr* header, const uint8_t* data);
    void reset();

    bool isTcp() const { return key.protocol == protocolTcp; }
    bool isUdp() const { return key.protocol == protocolUdp; }
    // The TCP or UDP payload.
    std::span<const uint8_t> payloadBytes() const { return {payload, static_cast<size_t>(payloadLength)}; }
    const uint8_t* tcpPayload() const { return payload; }
    // 32 bits: a frame the host's offload joined (GRO, BIG TCP) holds 64 KiB and more.
    uint32_t tcpPayloadLength() const { return static_cast<uint32_t>(payloadLength); }
    uint64_t timestamp() const;
    // Capture time in seconds, for ordering segments with equal sequence numbers.
    double captureTime() const;
    // TCP sequence number in host order.
    uint32_t sequenceNumber() const { return seq; }
    bool isSyn() const { return (tcpFlags & 0x02) != 0; }
    bool isAck() const { return (tcpFlags & 0x10) != 0; }
    bool isFin() const { return (tcpFlags & 0x01) != 0; }
    bool isRst() const { return (tcpFlags & 0x04) != 0; }

    const pcap_pkthdr* header = nullptr;
    // The last Ethernet header before the innermost IP header: 14 bytes when set (12, the
    // addresses, in a kept copy).
    const uint8_t* ethernetHeader = nullptr;
    int linkType = -1;
    LinkLayer link = LinkLayer::Unsupported;
    SkipReason skipped = SkipReason::None;
    const uint8_t* data = nullptr;
    const uint8_t* payload = nullptr;
    int32_t payloadLength = 0;
    bool ownsData = false;
    uint32_t seq = 0;
    uint8_t tcpFlags = 0;  // FIN 0x01, SYN 0x02, RST 0x04, PSH 0x08, ACK 0x10
    FlowKey key;  // as seen: source first
    // The key of the connection: the same for both directions.
    FlowKey flowKey() const;

private:
    bool reject(SkipReason reason) {
        skipped = reason;
        return false;
    }
    bool innermost(size_t ipAt, size_t ipLength, size_t datagram, uint8_t protocol, uint8_t ipVersion);
};

// A decoded packet kept by its flow until the analysis: what the analysis reads of it
// (capture time, TCP sequence number and flags, direction, MAC addresses, payload) in one
// allocation, the bytes right after the fields. No IP or TCP header and no packet object:
// a flow that holds a single hello costs a few hundred bytes, and a flood holds many.
class KeptPacket {
public:
    // A copy of a decoded packet of the flow with this key; free it with destroy().
    static KeptPacket* copyOf(Packet const& packet, FlowKey const& flowKey);
    static void destroy(KeptPacket* kept) noexcept;
    // Makes `into` the packet again, its pointers into this copy: valid while it lives.
    void restore(Packet& into, FlowKey const& flowKey) const;
    // Bytes the copy takes from the heap, the allocator's header and rounding included.
    size_t bytesHeld() const { return blockSize(macLength + payloadLength) + 16; }

    KeptPacket* next = nullptr;  // the flow's next kept packet, in arrival order

private:
    KeptPacket() = default;
    // Copies are made in blocks of whole granules, so that freed ones can be reused.
    static constexpr size_t granule = 64;
    static size_t blockSize(size_t bytes) { return (sizeof(KeptPacket) + bytes + granule - 1) & ~(granule - 1); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this + 1); }

    pcap_pkthdr header{};  // capture time; caplen counts the bytes kept
    uint32_t seq = 0;
    uint32_t payloadLength = 0;
    uint8_t tcpFlags = 0;
    uint8_t macLength = 0;  // 12 when the MAC addresses were kept, else 0
    bool reversed = false;  // sent by the endpoint the flow key names second
};

// Six MAC bytes as lower-case hexadecimal pairs joined by ":".
std::string ethernetToString(const unsigned char* mac);
