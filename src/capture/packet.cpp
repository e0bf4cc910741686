#include "capture/packet.h"

#include <cstring>

#include "base/hex.h"
#include "base/byte_reader.h"

namespace {
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint8_t PROTOCOL_TCP = 6;
constexpr size_t MIN_IP_HEADER = 20;
constexpr size_t IPV6_HEADER = 40;
constexpr size_t MIN_TCP_HEADER = 20;
constexpr int MAX_VLAN_TAGS = 2;

bool isVlanTag(uint16_t type) { return type == 0x8100 || type == 0x88a8 || type == 0x9100; }

// Next-header values that put an extension header, not TCP, after the fixed IPv6 header.
bool isIpv6ExtensionHeader(uint8_t next) {
    switch (next) {
    case 0: case 43: case 44: case 50: case 51: case 60: case 135: case 139: case 140: case 253: case 254:
        return true;
    default:
        return false;
    }
}

// The address families that BSD, FreeBSD, macOS and Linux write for IPv6 on the null link.
bool isNullIpv6Family(uint32_t family) { return family == 10 || family == 24 || family == 28 || family == 30; }

uint32_t swapBytes(uint32_t v) { return __builtin_bswap32(v); }
}  // namespace

LinkLayer linkLayerOf(int linkType) {
    switch (linkType) {
    case DLT_NULL: return LinkLayer::Null;
    case DLT_EN10MB: return LinkLayer::Ethernet;
    case DLT_RAW: return LinkLayer::Raw;
    case DLT_LINUX_SLL: return LinkLayer::LinuxSll;
    case DLT_LINUX_SLL2: return LinkLayer::LinuxSll2;
    default: return LinkLayer::Unsupported;
    }
}

Packet::~Packet() = default;

bool Packet::parse(const pcap_pkthdr* hdr, const uint8_t* bytes) {
    if (!ownsData) ethernetHeader = nullptr;
    header = hdr;
    data = bytes;
    payload = nullptr;
    payloadLength = 0;
    skipped = SkipReason::None;
    if (hdr == nullptr || bytes == nullptr) return reject(SkipReason::CutShort);

    ByteReader frame(bytes, hdr->caplen);
    const LinkHeader geometry = linkHeaderOf(link);
    switch (link) {
    case LinkLayer::Unsupported:
        return reject(SkipReason::NotIp);
    case LinkLayer::Raw: {
        const uint8_t version = frame.u8() >> 4;
        if (!frame.ok()) return reject(SkipReason::CutShort);
        if (version == 4) return parseIpv4(geometry.length);
        if (version == 6) return parseIpv6(geometry.length);
        return reject(SkipReason::NotIp);
    }
    case LinkLayer::Null: {
        // Written in the byte order of the machine that captured; a family is small.
        uint32_t family = frame.u32();
        if (!frame.ok()) return reject(SkipReason::CutShort);
        if (family & 0xffff0000) family = swapBytes(family);
        if (family == 2) return parseIpv4(geometry.length);
        if (isNullIpv6Family(family)) return parseIpv6(geometry.length);
        return reject(SkipReason::NotIp);
    }
    case LinkLayer::Ethernet:
    case LinkLayer::LinuxSll:
    case LinkLayer::LinuxSll2:
        break;
    }

    ByteReader linkHeader = frame;
    linkHeader.skip(geometry.typeAt);
    uint16_t type = linkHeader.u16();
    if (!frame.skip(geometry.length)) return reject(SkipReason::CutShort);
    if (link == LinkLayer::Ethernet) ethernetHeader = bytes;
    // Each VLAN tag is 2 bytes of tag control and the next type; the link header grows by 4.
    for (int tags = 0; isVlanTag(type); ++tags) {
        if (tags == MAX_VLAN_TAGS) return reject(SkipReason::TooManyVlanTags);
        frame.skip(2);
        type = frame.u16();
        if (!frame.ok()) return reject(SkipReason::CutShort);
    }
    const size_t offset = hdr->caplen - frame.remaining();
    if (type == ETHERTYPE_IPV4) return parseIpv4(offset);
    if (type == ETHERTYPE_IPV6) return parseIpv6(offset);
    return reject(SkipReason::NotIp);
}

bool Packet::parseIpv4(size_t offset) {
    ByteReader ip(data + offset, header->caplen - offset);
    if (ip.remaining() < MIN_IP_HEADER) return reject(SkipReason::CutShort);
    const uint8_t* ipHeader = data + offset;
    const uint8_t versionAndLength = ip.u8();
    ip.skip(1);
    const uint16_t total = ip.u16();
    ip.skip(2);
    const uint16_t fragment = ip.u16();
    ip.skip(1);
    const uint8_t protocol = ip.u8();
    // A fragment carries only part of a segment; the rest never decodes.
    if ((versionAndLength >> 4) != 4 || protocol != PROTOCOL_TCP || (fragment & 0x3fff) != 0)
        return reject(SkipReason::Malformed);

    // A total length of 0 is what a capture on the sending host shows for a frame that
    // the interface cuts into segments later (segmentation offload): the datagram is the
    // rest of the frame. Otherwise bytes after the datagram (padding, a frame check
    // sequence, a device trailer) are ignored, and a datagram cut short cannot be decoded.
    const size_t captured = header->caplen - offset;
    const size_t datagram = total == 0 ? captured : total;
    if (captured < datagram) return reject(SkipReason::CutShort);  // counted, not logged: it may be every frame
    const size_t ipLength = static_cast<size_t>(versionAndLength & 0x0f) * 4;
    if (ipLength < MIN_IP_HEADER || ipLength + MIN_TCP_HEADER > datagram) return reject(SkipReason::Malformed);

    ByteReader addresses(ipHeader + 12, 8);
    const uint8_t* source = addresses.bytes(4).data();
    const uint8_t* destination = addresses.bytes(4).data();
    key.srcAddress = IpAddress::fromIpv4(source);
    key.dstAddress = IpAddress::fromIpv4(destination);
    key.ipVersion = 4;
    return parseTcp(ipHeader, ipLength, datagram);
}

bool Packet::parseIpv6(size_t offset) {
    ByteReader ip(data + offset, header->caplen - offset);
    if (ip.remaining() < IPV6_HEADER) return reject(SkipReason::CutShort);
    const uint8_t* ipHeader = data + offset;
    const uint8_t version = ip.u8() >> 4;
    ip.skip(3);
    const size_t datagram = IPV6_HEADER + ip.u16();
    const uint8_t next = ip.u8();
    ip.skip(1);
    const uint8_t* source = ip.bytes(16).data();
    const uint8_t* destination = ip.bytes(16).data();
    if (version != 6) return reject(SkipReason::Malformed);
    if (next != PROTOCOL_TCP)
        return reject(isIpv6ExtensionHeader(next) ? SkipReason::Ipv6ExtensionHeaders : SkipReason::Malformed);
    const size_t captured = header->caplen - offset;
    if (captured < datagram) return reject(SkipReason::CutShort);
    if (IPV6_HEADER + MIN_TCP_HEADER > datagram) return reject(SkipReason::Malformed);

    key.srcAddress = IpAddress::fromIpv6(source);
    key.dstAddress = IpAddress::fromIpv6(destination);
    key.ipVersion = 6;
    return parseTcp(ipHeader, IPV6_HEADER, datagram);
}

// The TCP header and payload of a datagram of `total` bytes whose IP header is `ipLength`
// long; the caller has checked that the datagram lies within the captured bytes.
bool Packet::parseTcp(const uint8_t* datagram, size_t ipLength, size_t total) {
    ByteReader tcp(datagram + ipLength, total - ipLength);
    const uint16_t srcPort = tcp.u16();
    const uint16_t dstPort = tcp.u16();
    const uint32_t sequence = tcp.u32();
    tcp.skip(4);
    const size_t tcpLength = static_cast<size_t>(tcp.u8() >> 4) * 4;
    const uint8_t flags = tcp.u8();
    if (!tcp.ok() || tcpLength < MIN_TCP_HEADER || ipLength + tcpLength > total) return reject(SkipReason::Malformed);

    payload = datagram + ipLength + tcpLength;
    payloadLength = static_cast<int32_t>(total - ipLength - tcpLength);
    seq = sequence;
    tcpFlags = flags;

    key.srcPort = srcPort;
    key.dstPort = dstPort;
    key.protocol = PROTOCOL_TCP;
    return true;
}

FlowKey Packet::flowKey() const {
    const FlowKey reversed = key.reverse();
    return reversed < key ? reversed : key;
}

uint8_t* PacketStore::allocate(size_t size) {
    size = (size + 15) & ~size_t(15);  // keeps every copied header suitably aligned
    if (size > left) {
        // A large segment gets a block of its own, and the chunk keeps its room for the
        // small ones: most of a flow's bytes come in a few full-size segments.
        if (size >= ownBlockFrom) return newBlock(size);
        next = newBlock(chunkSize - blockHeader);
        left = chunkSize - blockHeader;
    }
    uint8_t* block = next;
    next += size;
    left -= size;
    return block;
}

uint8_t* PacketStore::newBlock(size_t size) {
    auto* block = static_cast<uint8_t*>(::operator new(blockHeader + size));
    std::memcpy(block, &blocks, sizeof blocks);  // the block before, for clear()
    blocks = block;
    return block + blockHeader;
}

void PacketStore::clear() {
    while (blocks) {
        uint8_t* before;
        std::memcpy(&before, blocks, sizeof before);
        ::operator delete(blocks);
        blocks = before;
    }
    next = nullptr;
    left = 0;
}

std::shared_ptr<Packet> Packet::keepIn(PacketStore& store) const {
    auto kept = std::allocate_shared<Packet>(PacketStoreAllocator<Packet>(&store), linkType);
    if (header == nullptr || data == nullptr) return kept;
    if (payload == nullptr) {
        kept->header = header;
        kept->data = data;
        kept->adoptCopy(store.allocate(sizeof(pcap_pkthdr) + header->caplen));
        return kept;
    }
    // A decoded packet is moved, not decoded again, and keeps only what the analysis reads:
    // the two MAC addresses and the TCP payload. Tens of thousands of flows may be alive
    // at once, so every byte per packet counts.
    const size_t macLength = ethernetHeader ? macAddressesLength : 0;
    uint8_t* copy = store.allocate(sizeof(pcap_pkthdr) + macLength + static_cast<size_t>(payloadLength));
    auto* copiedHeader = reinterpret_cast<pcap_pkthdr*>(copy);
    std::memcpy(copiedHeader, header, sizeof(pcap_pkthdr));
    copiedHeader->caplen = static_cast<bpf_u_int32>(macLength + static_cast<size_t>(payloadLength));
    uint8_t* bytes = copy + sizeof(pcap_pkthdr);
    if (macLength) std::memcpy(bytes, ethernetHeader, macLength);
    if (payloadLength) std::memcpy(bytes + macLength, payload, static_cast<size_t>(payloadLength));
    kept->header = copiedHeader;
    kept->data = bytes;
    kept->ethernetHeader = macLength ? bytes : nullptr;
    kept->payload = bytes + macLength;
    kept->payloadLength = payloadLength;
    kept->seq = seq;
    kept->tcpFlags = tcpFlags;
    kept->key = key;
    kept->ownsData = true;
    return kept;
}

// Copies the record header and the captured bytes into `copy` and decodes them again there.
bool Packet::adoptCopy(uint8_t* copy) {
    const size_t caplen = header->caplen;
    std::memcpy(copy, header, sizeof(pcap_pkthdr));
    if (caplen) std::memcpy(copy + sizeof(pcap_pkthdr), data, caplen);
    ownsData = true;
    return parse(reinterpret_cast<const pcap_pkthdr*>(copy), copy + sizeof(pcap_pkthdr));
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
