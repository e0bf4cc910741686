#pragma once
#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "capture/flowkey.h"

// Bump allocator for the bytes of the packets one flow keeps: a few block allocations
// per flow instead of one per packet, all freed together with the flow, on one thread.
class PacketStore {
public:
    PacketStore() = default;
    ~PacketStore() { clear(); }
    PacketStore(PacketStore const&) = delete;
    PacketStore& operator=(PacketStore const&) = delete;

    uint8_t* allocate(size_t size);
    // Frees every block; no packet copied into the store may be used afterwards.
    void clear();
    // Bytes of the blocks taken from the heap, headers included.
    size_t bytesHeld() const { return held; }

private:
    // Small pieces (packet objects, hellos, short records) share chunks of this size
    // (header included); a piece of ownBlockFrom bytes or more gets a block of its own.
    // Tens of thousands of flows may be alive at once: geometric chunks left about 40 %
    // of a flow's store unused, these leave about 20 %.
    static constexpr size_t chunkSize = 2048;
    static constexpr size_t ownBlockFrom = 1024;
    // Each block starts with the address of the block allocated before it.
    static constexpr size_t blockHeader = 16;
    uint8_t* newBlock(size_t size);

    uint8_t* blocks = nullptr;  // the newest block
    uint8_t* next = nullptr;
    size_t left = 0;
    size_t held = 0;
};

// Lets a flow's packet objects (with their shared-pointer control blocks) live in its
// store too; their memory goes when the store is cleared.
template <typename T>
struct PacketStoreAllocator {
    using value_type = T;
    explicit PacketStoreAllocator(PacketStore* store) : store(store) {}
    template <typename U>
    PacketStoreAllocator(PacketStoreAllocator<U> const& other) : store(other.store) {}
    T* allocate(size_t n) {
        static_assert(alignof(T) <= 16, "the store aligns blocks to 16 bytes");
        return reinterpret_cast<T*>(store->allocate(n * sizeof(T)));
    }
    void deallocate(T*, size_t) {}
    template <typename U>
    bool operator==(PacketStoreAllocator<U> const& other) const {
        return store == other.store;
    }
    PacketStore* store;
};

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
// valid only until the next read on the same handle, unless the packet was kept (keepIn).
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
    // A decoded copy of this packet, object and bytes placed in a store that must
    // outlive it: the capture loop keeps packets this way without a heap allocation each.
    // The copy holds the MAC addresses and the payload only (no IP or TCP header).
    std::shared_ptr<Packet> keepIn(PacketStore& store) const;
    void reset();

    bool isTcp() const { return key.protocol == protocolTcp; }
    bool isUdp() const { return key.protocol == protocolUdp; }
    // The TCP or UDP payload.
    std::span<const uint8_t> payloadBytes() const { return {payload, static_cast<size_t>(payloadLength)}; }
    const uint8_t* tcpPayload() const { return payload; }
    uint16_t tcpPayloadLength() const { return static_cast<uint16_t>(payloadLength); }
    uint64_t timestamp() const;
    // Capture time in seconds, for ordering segments with equal sequence numbers.
    double captureTime() const;
    // TCP sequence number in host order.
    uint32_t sequenceNumber() const { return seq; }
    bool isSyn() const { return (tcpFlags & 0x02) != 0; }
    bool isAck() const { return (tcpFlags & 0x10) != 0; }

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
    bool adoptCopy(uint8_t* copy);
};

// Six MAC bytes as lower-case hexadecimal pairs joined by ":".
std::string ethernetToString(const unsigned char* mac);
