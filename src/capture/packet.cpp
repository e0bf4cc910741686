#include "capture/packet.h"

#include <cstring>

#include "base/hex.h"
#include "base/log.h"
#include "base/byte_reader.h"

namespace {
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint8_t PROTOCOL_TCP = 6;
constexpr size_t MIN_IP_HEADER = 20;
constexpr size_t MIN_TCP_HEADER = 20;

uint32_t littleEndianAddress(std::span<const uint8_t> octets) {
    return static_cast<uint32_t>(octets[0]) | static_cast<uint32_t>(octets[1]) << 8 |
           static_cast<uint32_t>(octets[2]) << 16 | static_cast<uint32_t>(octets[3]) << 24;
}
}  // namespace

Packet::~Packet() = default;

bool Packet::parse(const pcap_pkthdr* hdr, const uint8_t* bytes) {
    if (!ownsData) {
        ethernetHeader = nullptr;
        ipHeader = nullptr;
        tcpHeader = nullptr;
    }
    header = hdr;
    data = bytes;
    payload = nullptr;
    payloadLength = 0;
    if (linkOffset < 0 || hdr == nullptr || bytes == nullptr) return false;

    const size_t caplen = hdr->caplen;
    ByteReader frame(bytes, caplen);
    if (isEthernet) {
        ByteReader ethernet = frame;
        ethernet.skip(12);
        uint16_t etherType = ethernet.u16();
        if (!ethernet.ok()) return false;
        ethernetHeader = bytes;
        if (etherType != ETHERTYPE_IPV4) return false;
    }
    if (!frame.skip(static_cast<size_t>(linkOffset))) return false;
    ByteReader ip = frame;
    if (ip.remaining() < MIN_IP_HEADER) return false;
    ipHeader = bytes + linkOffset;

    const uint8_t versionAndLength = ip.u8();
    ip.skip(1);
    const uint16_t total = ip.u16();
    ip.skip(5);
    const uint8_t protocol = ip.u8();
    if ((versionAndLength >> 4) != 4 || protocol != PROTOCOL_TCP) return false;

    // Bytes after the datagram (padding, a frame check sequence, a device trailer) are
    // ignored; a datagram cut short by the snapshot length cannot be decoded.
    const size_t captured = caplen - static_cast<size_t>(linkOffset);
    if (captured < total) {
        VARNO_LOG(error) << "Mismatched IP packet length: expected " << captured << "; found " << total;
        return false;
    }
    const size_t ipLength = static_cast<size_t>(versionAndLength & 0x0f) * 4;
    if (ipLength < MIN_IP_HEADER || ipLength + MIN_TCP_HEADER > total) return false;

    ByteReader datagram(ipHeader, total);
    datagram.skip(12);
    const auto addresses = datagram.bytes(8);
    datagram.skip(ipLength - 20);
    ByteReader tcp = datagram;
    const uint16_t srcPort = tcp.u16();
    const uint16_t dstPort = tcp.u16();
    const uint32_t sequence = tcp.u32();
    tcp.skip(4);
    const size_t tcpLength = static_cast<size_t>(tcp.u8() >> 4) * 4;
    const uint8_t flags = tcp.u8();
    if (!tcp.ok() || tcpLength < MIN_TCP_HEADER || ipLength + tcpLength > total) return false;

    tcpHeader = ipHeader + ipLength;
    payload = tcpHeader + tcpLength;
    payloadLength = static_cast<int32_t>(total - ipLength - tcpLength);
    seq = sequence;
    tcpFlags = flags;

    key.srcAddress = littleEndianAddress(addresses.subspan(0, 4));
    key.dstAddress = littleEndianAddress(addresses.subspan(4, 4));
    key.srcPort = srcPort;
    key.dstPort = dstPort;
    key.protocol = protocol;
    FlowKey reversed = key.reverse();
    flowKey = reversed < key ? reversed : key;
    return true;
}

uint8_t* PacketStore::allocate(size_t size) {
    size = (size + 15) & ~size_t(15);  // keeps every copied header suitably aligned
    if (size > left) {
        const size_t length = size > chunkSize ? size : chunkSize;
        chunks.push_back(std::make_unique_for_overwrite<uint8_t[]>(length));
        next = chunks.back().get();
        left = length;
    }
    uint8_t* block = next;
    next += size;
    left -= size;
    return block;
}

bool Packet::copyPacketData() {
    if (header == nullptr || data == nullptr) return false;
    storage = std::make_unique_for_overwrite<uint8_t[]>(sizeof(pcap_pkthdr) + header->caplen);
    return adoptCopy(storage.get());
}

std::shared_ptr<Packet> Packet::keepIn(PacketStore& store) const {
    auto kept = std::allocate_shared<Packet>(PacketStoreAllocator<Packet>(&store), isEthernet, linkOffset);
    if (header != nullptr && data != nullptr) {
        kept->header = header;
        kept->data = data;
        kept->adoptCopy(store.allocate(sizeof(pcap_pkthdr) + header->caplen));
    }
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
    ipHeader = nullptr;
    tcpHeader = nullptr;
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
    std::string text;
    text.reserve(17);
    for (int i = 0; i < 6; ++i) {
        if (i) text += ':';
        appendHexByte(text, mac[i]);
    }
    return text;
}
