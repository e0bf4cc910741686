#include "capture/packet.h"

#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "base/hex.h"
#include "base/byte_reader.h"

namespace {
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_MPLS = 0x8847;
constexpr uint16_t ETHERTYPE_PPPOE_SESSION = 0x8864;
constexpr uint16_t ETHERTYPE_CISCO_METADATA = 0x8909;
constexpr uint16_t ETHERTYPE_ETHERNET = 0x6558;  // transparent Ethernet bridging (GRE, Geneve)
constexpr uint16_t ETHERTYPE_ERSPAN = 0x88be;    // types I and II
constexpr uint16_t ETHERTYPE_ERSPAN_3 = 0x22eb;
constexpr uint16_t PPP_IPV4 = 0x0021;
constexpr uint16_t PPP_IPV6 = 0x0057;
constexpr uint8_t PROTOCOL_IPV4 = 4;
constexpr uint8_t PROTOCOL_IPV6 = 41;
constexpr uint8_t PROTOCOL_GRE = 47;
constexpr uint8_t IPV6_HOP_BY_HOP = 0;
constexpr uint8_t IPV6_ROUTING = 43;
constexpr uint8_t IPV6_FRAGMENT = 44;
constexpr uint8_t IPV6_DESTINATION_OPTIONS = 60;
constexpr uint16_t PORT_VXLAN = 4789;
constexpr uint16_t PORT_GENEVE = 6081;
constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t MIN_IP_HEADER = 20;
constexpr size_t IPV6_HEADER = 40;
constexpr size_t MIN_TCP_HEADER = 20;
constexpr size_t UDP_HEADER = 8;

bool isVlanTag(uint16_t type) { return type == 0x8100 || type == 0x88a8 || type == 0x9100; }

// The address families that BSD, FreeBSD, macOS and Linux write for IPv6 on the null link.
bool isNullIpv6Family(uint32_t family) { return family == 10 || family == 24 || family == 28 || family == 30; }

uint32_t swapBytes(uint32_t v) { return __builtin_bswap32(v); }

// What the header at the walk's position is.
enum class Layer : uint8_t { Ethernet, EtherType, IpByVersion, Ipv4, Ipv6, Gre, Vxlan, Geneve };

// The walk through a frame's headers: `layer` names the header that starts at `at`. Each
// step reads one header through a bounded reader and moves on, ends the walk at the
// innermost TCP segment or UDP datagram (`done`), or fails with the reason.
class FrameWalk {
public:
    FrameWalk(const uint8_t* bytes, size_t caplen) : bytes(bytes), caplen(caplen) {}

    bool start(LinkLayer link);
    bool step();

    bool done = false;
    SkipReason failed = SkipReason::None;
    const uint8_t* lastEthernet = nullptr;
    // The innermost IP header and what it carries, once done.
    size_t at = 0;
    size_t ipLength = 0, datagram = 0;
    uint8_t protocol = 0, version = 0;

private:
    // A reader from `offset` to the end of the captured bytes (empty, and failing at once, past it).
    ByteReader from(size_t offset) const {
        return offset <= caplen ? ByteReader(bytes + offset, caplen - offset) : ByteReader(bytes, 0);
    }
    bool fail(SkipReason reason) {
        failed = reason;
        return false;
    }
    bool deeper() { return ++layers <= maxEncapsulations || fail(SkipReason::TooDeep); }
    bool ethernet();
    bool etherType();
    bool ipByVersion();
    bool ip();
    bool ipv4Header(ByteReader& r);
    bool ipv6Header(ByteReader& r);
    bool ipPayload();
    bool gre();
    bool erspan3();
    bool vxlan();
    bool geneve();

    const uint8_t* bytes;
    size_t caplen;
    Layer layer = Layer::Ethernet;
    uint16_t type = 0;  // the EtherType just read (Layer::EtherType: `at` is past it)
    int tags = 0;       // VLAN tags in the current Ethernet header
    int layers = 0;     // encapsulations passed
};

bool FrameWalk::start(LinkLayer link) {
    switch (link) {
    case LinkLayer::Unsupported: return fail(SkipReason::NotIp);
    case LinkLayer::Ethernet: layer = Layer::Ethernet; return true;
    case LinkLayer::Raw: layer = Layer::IpByVersion; return true;
    case LinkLayer::Ipv4: layer = Layer::Ipv4; return true;
    case LinkLayer::Ipv6: layer = Layer::Ipv6; return true;
    case LinkLayer::Null: {
        // Written in the byte order of the machine that captured; a family is small.
        ByteReader r = from(0);
        uint32_t family = r.u32();
        if (!r.ok()) return fail(SkipReason::CutShort);
        if (family & 0xffff0000) family = swapBytes(family);
        if (family == 2)
            layer = Layer::Ipv4;
        else if (isNullIpv6Family(family))
            layer = Layer::Ipv6;
        else
            return fail(SkipReason::NotIp);
        at = 4;
        return true;
    }
    case LinkLayer::LinuxSll:
    case LinkLayer::LinuxSll2: {
        // The protocol field is an EtherType; the tags, if any, follow the header.
        const LinkHeader geometry = linkHeaderOf(link);
        ByteReader r = from(geometry.typeAt);
        type = r.u16();
        if (!r.ok() || caplen < geometry.length) return fail(SkipReason::CutShort);
        layer = Layer::EtherType;
        at = geometry.length;
        return true;
    }
    }
    return fail(SkipReason::NotIp);
}

bool FrameWalk::step() {
    switch (layer) {
    case Layer::Ethernet: return ethernet();
    case Layer::EtherType: return etherType();
    case Layer::IpByVersion: return ipByVersion();
    case Layer::Ipv4:
    case Layer::Ipv6: return ip();
    case Layer::Gre: return gre();
    case Layer::Vxlan: return vxlan();
    case Layer::Geneve: return geneve();
    }
    return fail(SkipReason::NotIp);
}

bool FrameWalk::ethernet() {
    ByteReader r = from(at);
    r.skip(12);
    type = r.u16();
    if (!r.ok()) return fail(SkipReason::CutShort);
    lastEthernet = bytes + at;
    at += ETHERNET_HEADER;
    tags = 0;
    layer = Layer::EtherType;
    return true;
}

bool FrameWalk::etherType() {
    ByteReader r = from(at);
    if (isVlanTag(type)) {
        // Tag control, then the next type.
        if (++tags > maxVlanTags) return fail(SkipReason::TooDeep);
        r.skip(2);
        type = r.u16();
        at += 4;
        return r.ok() || fail(SkipReason::CutShort);
    }
    switch (type) {
    case ETHERTYPE_IPV4: layer = Layer::Ipv4; return true;
    case ETHERTYPE_IPV6: layer = Layer::Ipv6; return true;
    case ETHERTYPE_CISCO_METADATA:
        // Version, length, option type and the group tag; the next type ends it.
        if (!deeper()) return false;
        r.skip(6);
        type = r.u16();
        at += 8;
        return r.ok() || fail(SkipReason::CutShort);
    case ETHERTYPE_MPLS: {
        if (!deeper()) return false;
        // Labels up to the bottom of the stack; what follows says its IP version.
        uint32_t label = 0;
        do {
            label = r.u32();
            at += 4;
        } while (r.ok() && (label & 0x100) == 0);
        layer = Layer::IpByVersion;
        return r.ok() || fail(SkipReason::CutShort);
    }
    case ETHERTYPE_PPPOE_SESSION: {
        if (!deeper()) return false;
        r.skip(6);
        const uint16_t ppp = r.u16();
        if (!r.ok()) return fail(SkipReason::CutShort);
        at += 8;
        if (ppp != PPP_IPV4 && ppp != PPP_IPV6) return fail(SkipReason::NotIp);
        layer = ppp == PPP_IPV4 ? Layer::Ipv4 : Layer::Ipv6;
        return true;
    }
    default: return fail(SkipReason::NotIp);
    }
}

bool FrameWalk::ipByVersion() {
    ByteReader r = from(at);
    const uint8_t first = r.u8() >> 4;
    if (!r.ok()) return fail(SkipReason::CutShort);
    if (first != 4 && first != 6) return fail(SkipReason::NotIp);
    layer = first == 4 ? Layer::Ipv4 : Layer::Ipv6;
    return true;
}

bool FrameWalk::ip() {
    ByteReader r = from(at);
    if (!(layer == Layer::Ipv4 ? ipv4Header(r) : ipv6Header(r))) return false;
    return ipPayload();
}

bool FrameWalk::ipv4Header(ByteReader& r) {
    const uint8_t versionAndLength = r.u8();
    r.skip(1);
    const uint16_t total = r.u16();
    r.skip(2);
    const uint16_t fragment = r.u16();
    r.skip(1);
    protocol = r.u8();
    if (!r.ok() || r.remaining() < 10) return fail(SkipReason::CutShort);
    version = versionAndLength >> 4;
    ipLength = static_cast<size_t>(versionAndLength & 0x0f) * 4;
    if (version != 4 || ipLength < MIN_IP_HEADER) return fail(SkipReason::Malformed);
    // A fragment carries only part of a segment; the rest never decodes.
    if ((fragment & 0x3fff) != 0) return fail(SkipReason::Fragment);
    if (caplen - at < ipLength) return fail(SkipReason::CutShort);
    // A total length of 0 is what a capture on the sending host shows for a frame that
    // the interface cuts into segments later (segmentation offload): the datagram is the
    // rest of the frame.
    datagram = total == 0 ? caplen - at : total;
    return true;
}

bool FrameWalk::ipv6Header(ByteReader& r) {
    version = r.u8() >> 4;
    r.skip(3);
    const uint16_t payloadLength = r.u16();
    // 0 on a frame the host's offload made larger than 64 KiB (BIG TCP; a jumbogram
    // says the same): the datagram is the rest of the frame, as for IPv4's total length 0.
    datagram = payloadLength == 0 ? caplen - at : IPV6_HEADER + payloadLength;
    protocol = r.u8();
    if (!r.ok() || r.remaining() < IPV6_HEADER - 7) return fail(SkipReason::CutShort);
    if (version != 6) return fail(SkipReason::Malformed);
    r.skip(IPV6_HEADER - 7);
    ipLength = IPV6_HEADER;
    // Hop-by-hop, routing and destination options may stand before the transport
    // header, each (second byte + 1) * 8 bytes long.
    while (protocol == IPV6_HOP_BY_HOP || protocol == IPV6_ROUTING || protocol == IPV6_DESTINATION_OPTIONS) {
        protocol = r.u8();
        const size_t length = (static_cast<size_t>(r.u8()) + 1) * 8;
        if (!r.skip(length - 2)) return fail(SkipReason::CutShort);
        ipLength += length;
    }
    if (protocol == IPV6_FRAGMENT) return fail(SkipReason::Fragment);
    return true;
}

// What the IP header read last carries: another encapsulation, or the innermost segment.
bool FrameWalk::ipPayload() {
    const size_t inner = at + ipLength;
    switch (protocol) {
    case PROTOCOL_IPV4:
    case PROTOCOL_IPV6:
        if (!deeper()) return false;
        layer = protocol == PROTOCOL_IPV4 ? Layer::Ipv4 : Layer::Ipv6;
        at = inner;
        return true;
    case PROTOCOL_GRE:
        if (!deeper()) return false;
        layer = Layer::Gre;
        at = inner;
        return true;
    case Packet::protocolTcp: done = true; return true;
    case Packet::protocolUdp: {
        ByteReader udp = from(inner);
        udp.skip(2);
        const uint16_t port = udp.u16();
        if (!udp.ok()) return fail(SkipReason::CutShort);
        if (port != PORT_VXLAN && port != PORT_GENEVE) {
            done = true;
            return true;
        }
        if (!deeper()) return false;
        layer = port == PORT_VXLAN ? Layer::Vxlan : Layer::Geneve;
        at = inner + UDP_HEADER;
        return true;
    }
    default: return fail(SkipReason::OtherProtocol);
    }
}

bool FrameWalk::gre() {
    // Version 0: checksum, key and sequence number follow when their flags are set.
    ByteReader r = from(at);
    const uint16_t flags = r.u16();
    type = r.u16();
    if (!r.ok()) return fail(SkipReason::CutShort);
    if ((flags & 0x0007) != 0) return fail(SkipReason::NotIp);
    const bool sequenced = (flags & 0x1000) != 0;
    at += 4 + ((flags & 0x8000) ? 4 : 0) + ((flags & 0x2000) ? 4 : 0) + (sequenced ? 4 : 0);
    switch (type) {
    case ETHERTYPE_IPV4: layer = Layer::Ipv4; return true;
    case ETHERTYPE_IPV6: layer = Layer::Ipv6; return true;
    case ETHERTYPE_ETHERNET: layer = Layer::Ethernet; return true;
    case ETHERTYPE_ERSPAN:
        // Type I has no header of its own (and no sequence number); type II 8 bytes.
        if (sequenced) at += 8;
        layer = Layer::Ethernet;
        return true;
    case ETHERTYPE_ERSPAN_3: return erspan3();
    default: return fail(SkipReason::NotIp);
    }
}

bool FrameWalk::erspan3() {
    // 12 bytes, and an 8-byte platform subheader when the O bit is set.
    ByteReader e = from(at);
    e.skip(11);
    const uint8_t last = e.u8();
    if (!e.ok()) return fail(SkipReason::CutShort);
    at += 12 + ((last & 0x01) ? 8 : 0);
    layer = Layer::Ethernet;
    return true;
}

bool FrameWalk::vxlan() {
    ByteReader r = from(at);
    const uint8_t flags = r.u8();
    r.skip(7);
    if (!r.ok()) return fail(SkipReason::CutShort);
    if ((flags & 0x08) == 0) return fail(SkipReason::NotIp);  // no valid network identifier
    at += 8;
    layer = Layer::Ethernet;
    return true;
}

bool FrameWalk::geneve() {
    ByteReader r = from(at);
    const uint8_t optionWords = r.u8() & 0x3f;
    r.skip(1);
    type = r.u16();
    if (!r.ok()) return fail(SkipReason::CutShort);
    at += 8 + static_cast<size_t>(optionWords) * 4;
    switch (type) {
    case ETHERTYPE_ETHERNET: layer = Layer::Ethernet; return true;
    case ETHERTYPE_IPV4: layer = Layer::Ipv4; return true;
    case ETHERTYPE_IPV6: layer = Layer::Ipv6; return true;
    default: return fail(SkipReason::NotIp);
    }
}
}  // namespace

LinkLayer linkLayerOf(int linkType) {
    switch (linkType) {
    case DLT_NULL: return LinkLayer::Null;
    case DLT_EN10MB: return LinkLayer::Ethernet;
    case DLT_RAW: return LinkLayer::Raw;
    case DLT_LINUX_SLL: return LinkLayer::LinuxSll;
    case DLT_LINUX_SLL2: return LinkLayer::LinuxSll2;
    case DLT_IPV4: return LinkLayer::Ipv4;
    case DLT_IPV6: return LinkLayer::Ipv6;
    default: return LinkLayer::Unsupported;
    }
}

Packet::~Packet() = default;

// Reads the frame from its link header inward, one header after the other, until an IP
// header carries TCP or UDP that is not a tunnel: that one is the innermost. Any value
// this walk does not know where a header is chosen ends it, and so does a header past the
// captured bytes. Every encapsulation counts toward maxEncapsulations, so the walk ends
// after a bounded number of steps, each reading a fixed header through a bounded reader.
bool Packet::parse(const pcap_pkthdr* hdr, const uint8_t* bytes) {
    if (!ownsData) ethernetHeader = nullptr;
    header = hdr;
    data = bytes;
    payload = nullptr;
    payloadLength = 0;
    skipped = SkipReason::None;
    if (hdr == nullptr || bytes == nullptr) return reject(SkipReason::CutShort);

    FrameWalk walk(bytes, hdr->caplen);
    if (!walk.start(link)) return reject(walk.failed);
    while (!walk.done)
        if (!walk.step()) return reject(walk.failed);
    ethernetHeader = walk.lastEthernet;
    return innermost(walk.at, walk.ipLength, walk.datagram, walk.protocol, walk.version);
}

// The innermost datagram: `datagram` bytes from the IP header at `ipAt`, whose header
// (extension headers included) is `ipLength` long. Bytes after the datagram (padding, a
// frame check sequence, a device trailer) are ignored; a datagram cut short cannot be
// decoded (counted, not logged: it may be every frame of a capture).
bool Packet::innermost(size_t ipAt, size_t ipLength, size_t datagram, uint8_t protocol, uint8_t ipVersion) {
    if (header->caplen - ipAt < datagram) return reject(SkipReason::CutShort);
    const size_t minimum = protocol == protocolTcp ? MIN_TCP_HEADER : UDP_HEADER;
    if (ipLength + minimum > datagram) return reject(SkipReason::Malformed);

    const uint8_t* ipHeader = data + ipAt;
    ByteReader ip(ipHeader, datagram);
    if (ipVersion == 4) {
        ip.skip(12);
        key.srcAddress = IpAddress::fromIpv4(ip.bytes(4).data());
        key.dstAddress = IpAddress::fromIpv4(ip.bytes(4).data());
    } else {
        ip.skip(8);
        key.srcAddress = IpAddress::fromIpv6(ip.bytes(16).data());
        key.dstAddress = IpAddress::fromIpv6(ip.bytes(16).data());
    }
    key.ipVersion = ipVersion;

    ByteReader transport(ipHeader + ipLength, datagram - ipLength);
    const uint16_t srcPort = transport.u16();
    const uint16_t dstPort = transport.u16();
    size_t transportLength = UDP_HEADER;
    if (protocol == protocolTcp) {
        const uint32_t sequence = transport.u32();
        transport.skip(4);
        transportLength = static_cast<size_t>(transport.u8() >> 4) * 4;
        const uint8_t flags = transport.u8();
        if (!transport.ok() || transportLength < MIN_TCP_HEADER || ipLength + transportLength > datagram)
            return reject(SkipReason::Malformed);
        seq = sequence;
        tcpFlags = flags;
    } else {
        // The UDP length is not examined: the IP header bounds the datagram.
        seq = 0;
        tcpFlags = 0;
    }
    payload = ipHeader + ipLength + transportLength;
    payloadLength = static_cast<int32_t>(datagram - ipLength - transportLength);
    key.srcPort = srcPort;
    key.dstPort = dstPort;
    key.protocol = protocol;
    return true;
}

FlowKey Packet::flowKey() const {
    const FlowKey reversed = key.reverse();
    return reversed < key ? reversed : key;
}

namespace {
// Freed packet copies wait here, by size, for the next copy of that size on the same
// thread: the capture thread makes and frees them at the rate of the traffic, and the
// heap's own bins cost several times more for a copy of a full-size segment. At most
// `limit` bytes wait, so a flood that has passed leaves little behind.
class CopyBlocks {
public:
    static constexpr size_t granule = 64, sizes = 40, limit = size_t(8) << 20;
    ~CopyBlocks() {
        for (void*& head : waiting)
            while (head) ::operator delete(std::exchange(head, *static_cast<void**>(head)));
    }
    void* take(size_t size) {
        const size_t slot = size / granule;
        if (slot >= sizes || !waiting[slot]) return ::operator new(size);
        void* block = waiting[slot];
        waiting[slot] = *static_cast<void**>(block);
        held -= size;
        return block;
    }
    void give(void* block, size_t size) {
        const size_t slot = size / granule;
        if (slot >= sizes || held + size > limit) return ::operator delete(block);
        *static_cast<void**>(block) = waiting[slot];
        waiting[slot] = block;
        held += size;
    }

private:
    std::array<void*, sizes> waiting{};
    size_t held = 0;
};
thread_local CopyBlocks copyBlocks;
}  // namespace

KeptPacket* KeptPacket::copyOf(Packet const& packet, FlowKey const& flowKey) {
    static_assert(granule == CopyBlocks::granule);
    const size_t macLength = packet.ethernetHeader ? Packet::macAddressesLength : 0;
    const size_t payloadLength = packet.payload ? static_cast<size_t>(packet.payloadLength) : 0;
    auto* kept = new (copyBlocks.take(blockSize(macLength + payloadLength))) KeptPacket;
    if (packet.header) kept->header.ts = packet.header->ts;
    kept->header.caplen = kept->header.len = static_cast<bpf_u_int32>(macLength + payloadLength);
    kept->seq = packet.seq;
    kept->payloadLength = static_cast<uint32_t>(payloadLength);
    kept->tcpFlags = packet.tcpFlags;
    kept->macLength = static_cast<uint8_t>(macLength);
    kept->reversed = !(packet.key == flowKey);
    if (macLength) std::memcpy(kept->bytes(), packet.ethernetHeader, macLength);
    if (payloadLength) std::memcpy(kept->bytes() + macLength, packet.payload, payloadLength);
    return kept;
}

void KeptPacket::destroy(KeptPacket* kept) noexcept {
    if (!kept) return;
    const size_t size = blockSize(kept->macLength + kept->payloadLength);
    kept->~KeptPacket();
    copyBlocks.give(kept, size);
}

void KeptPacket::restore(Packet& into, FlowKey const& flowKey) const {
    into.header = &header;
    into.data = bytes();
    into.ethernetHeader = macLength ? bytes() : nullptr;
    into.payload = bytes() + macLength;
    into.payloadLength = static_cast<int32_t>(payloadLength);
    into.seq = seq;
    into.tcpFlags = tcpFlags;
    into.key = reversed ? flowKey.reverse() : flowKey;
    into.ownsData = true;  // nothing to let go of when the capture buffer moves on
}

void Packet::reset() {
    if (ownsData) return;
    header = nullptr;
    ethernetHeader = nullptr;
    data = nullptr;
}

uint64_t Packet::timestamp() const {
    if (header == nullptr) return 0;
    double ms = static_cast<double>(header->ts.tv_sec) * 1000.0 + static_cast<double>(header->ts.tv_usec) / 1000.0;
    if (ms <= 0) return 0;
    // pcapng stamps are 64-bit counts in the file's own unit, so a record can claim a time
    // beyond what milliseconds in 64 bits hold; converting that would be undefined.
    constexpr double limit = 18446744073709551616.0;  // 2^64
    return ms >= limit ? UINT64_MAX : static_cast<uint64_t>(ms);
}

double Packet::captureTime() const {
    if (header == nullptr) return 0;
    return static_cast<double>(header->ts.tv_sec) + static_cast<double>(header->ts.tv_usec) / 1000000.0;
}

std::string ethernetToString(const unsigned char* mac) {
    std::string text(17, ':');
    for (int i = 0; i < 6; ++i) {
        text[i * 3] = HEX_DIGITS[mac[i] >> 4];
        text[i * 3 + 1] = HEX_DIGITS[mac[i] & 0x0f];
    }
    return text;
}
