#pragma once
// Small builders for frames, TCP segments, TLS records and handshake messages, so each
// test states only what it varies.
#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/packet.h"

namespace build {

using Bytes = std::vector<uint8_t>;

inline void put8(Bytes& b, unsigned v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(Bytes& b, unsigned v) {
    put8(b, v >> 8);
    put8(b, v);
}
inline void put24(Bytes& b, unsigned v) {
    put8(b, v >> 16);
    put16(b, v);
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v);
}
inline void append(Bytes& b, Bytes const& more) { b.insert(b.end(), more.begin(), more.end()); }
inline Bytes text(std::string const& s) { return Bytes(s.begin(), s.end()); }
inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto const& p : parts) append(out, p);
    return out;
}

inline Bytes record(uint8_t type, Bytes const& payload, uint16_t version = 0x0303) {
    Bytes b;
    put8(b, type);
    put16(b, version);
    put16(b, static_cast<unsigned>(payload.size()));
    append(b, payload);
    return b;
}

inline Bytes handshake(uint8_t type, Bytes const& body) {
    Bytes b;
    put8(b, type);
    put24(b, static_cast<unsigned>(body.size()));
    append(b, body);
    return b;
}

inline Bytes extension(uint16_t type, Bytes const& data) {
    Bytes b;
    put16(b, type);
    put16(b, static_cast<unsigned>(data.size()));
    append(b, data);
    return b;
}

inline Bytes sniExtension(std::string const& host) {
    Bytes entry;
    put8(entry, 0);
    put16(entry, static_cast<unsigned>(host.size()));
    append(entry, text(host));
    Bytes list;
    put16(list, static_cast<unsigned>(entry.size()));
    append(list, entry);
    return extension(0x0000, list);
}

inline Bytes renegotiationExtension(Bytes const& renegotiated) {
    Bytes data;
    put8(data, static_cast<unsigned>(renegotiated.size()));
    append(data, renegotiated);
    return extension(0xff01, data);
}

inline Bytes supportedVersionExtension(uint16_t selected) {
    Bytes data;
    put16(data, selected);
    return extension(0x002b, data);
}

inline Bytes keyShareExtension(uint16_t group, size_t keyLength) {
    Bytes data;
    put16(data, group);
    if (keyLength) {
        put16(data, static_cast<unsigned>(keyLength));
        for (size_t i = 0; i < keyLength; ++i) put8(data, static_cast<unsigned>(i));
    }
    return extension(0x0033, data);
}

// ClientHello body fields; `extensions` nullopt means the message ends after compression.
struct ClientHelloFields {
    uint16_t version = 0x0303;
    size_t sessionIdLength = 32;
    size_t cipherSuiteCount = 17;
    Bytes compression = {0};
    std::optional<Bytes> extensions = Bytes{};
};

inline Bytes clientHello(ClientHelloFields const& f) {
    Bytes body;
    put16(body, f.version);
    body.resize(body.size() + 32, 0xaa);  // random
    put8(body, static_cast<unsigned>(f.sessionIdLength));
    body.resize(body.size() + f.sessionIdLength, 0x11);
    put16(body, static_cast<unsigned>(f.cipherSuiteCount * 2));
    for (size_t i = 0; i < f.cipherSuiteCount; ++i) put16(body, 0xc02f);
    put8(body, static_cast<unsigned>(f.compression.size()));
    append(body, f.compression);
    if (f.extensions) {
        put16(body, static_cast<unsigned>(f.extensions->size()));
        append(body, *f.extensions);
    }
    return handshake(1, body);
}

struct ServerHelloFields {
    uint16_t version = 0x0303;
    size_t sessionIdLength = 32;
    uint16_t cipherSuite = 0xc02f;
    uint8_t compression = 0;
    std::optional<Bytes> extensions = Bytes{};
    uint8_t type = 2;
    bool helloRetryRequest = false;  // the random of RFC 8446 4.1.3
};

inline Bytes serverHello(ServerHelloFields const& f) {
    Bytes body;
    put16(body, f.version);
    if (f.helloRetryRequest)
        append(body, {0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
                      0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C});
    else
        body.resize(body.size() + 32, 0xbb);
    put8(body, static_cast<unsigned>(f.sessionIdLength));
    body.resize(body.size() + f.sessionIdLength, 0x22);
    put16(body, f.cipherSuite);
    put8(body, f.compression);
    if (f.extensions) {
        put16(body, static_cast<unsigned>(f.extensions->size()));
        append(body, *f.extensions);
    }
    return handshake(f.type, body);
}

// A minimal certificate whose fixed-offset layout carries the signature algorithm arc:
// 30 82 LL LL 30 82 LL LL [a0 03 02 01 02] 02 <serial> 30 0d 06 09 2a 86 48 86 f7 0d 01 01 <arc> ...
inline Bytes fakeCertificate(uint8_t signatureArc, size_t serialLength = 9, bool explicitVersion = true,
                             size_t padding = 40) {
    Bytes tbs;
    if (explicitVersion) append(tbs, {0xa0, 0x03, 0x02, 0x01, 0x02});
    put8(tbs, 0x02);
    put8(tbs, static_cast<unsigned>(serialLength));
    for (size_t i = 0; i < serialLength; ++i) put8(tbs, 0x10 + static_cast<unsigned>(i));
    append(tbs, {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, signatureArc, 0x05, 0x00});
    tbs.resize(tbs.size() + padding, 0x55);
    Bytes inner = {0x30, 0x82};
    put16(inner, static_cast<unsigned>(tbs.size()));
    append(inner, tbs);
    Bytes cert = {0x30, 0x82};
    put16(cert, static_cast<unsigned>(inner.size()));
    append(cert, inner);
    return cert;
}

inline Bytes certificateMessage(std::vector<Bytes> const& certificates) {
    Bytes list;
    for (auto const& c : certificates) {
        put24(list, static_cast<unsigned>(c.size()));
        append(list, c);
    }
    Bytes body;
    put24(body, static_cast<unsigned>(list.size()));
    append(body, list);
    return handshake(11, body);
}

// IPv4 or IPv6 + TCP header and payload. Addresses as text: dotted for IPv4 (ipv4()),
// colon-separated for IPv6 (ipv6()).
struct Segment {
    std::string src = "10.0.0.1";
    std::string dst = "10.0.0.2";
    uint16_t srcPort = 50000;
    uint16_t dstPort = 443;
    uint32_t seq = 1000;
    Bytes payload;
    unsigned ipHeaderWords = 5;
    unsigned tcpHeaderWords = 5;
    std::optional<uint16_t> totalLengthOverride;  // IPv4 total length or IPv6 payload length
    uint8_t protocol = 6;                         // IPv4 protocol or IPv6 next header
    uint8_t tcpFlags = 0x18;                      // PSH ACK
};

inline void putAddress(Bytes& b, std::string const& text, int family) {
    uint8_t bytes[16] = {};
    ::inet_pton(family, text.c_str(), bytes);
    b.insert(b.end(), bytes, bytes + (family == AF_INET6 ? 16 : 4));
}

inline Bytes tcpHeaderAndPayload(Segment const& s) {
    const size_t tcpLength = s.tcpHeaderWords * 4;
    Bytes b;
    put16(b, s.srcPort);
    put16(b, s.dstPort);
    put32(b, s.seq);
    put32(b, 0);
    put8(b, s.tcpHeaderWords << 4);
    put8(b, s.tcpFlags);
    put16(b, 65535);
    put32(b, 0);
    b.resize(tcpLength, 0x01);  // TCP options (NOPs), if any
    append(b, s.payload);
    return b;
}

inline Bytes ipv4(Segment const& s) {
    const size_t ipLength = s.ipHeaderWords * 4, tcpLength = s.tcpHeaderWords * 4;
    const size_t total = ipLength + tcpLength + s.payload.size();
    Bytes b;
    put8(b, 0x40 | s.ipHeaderWords);
    put8(b, 0);
    put16(b, s.totalLengthOverride.value_or(static_cast<uint16_t>(total)));
    put32(b, 0);
    put8(b, 64);
    put8(b, s.protocol);
    put16(b, 0);
    putAddress(b, s.src, AF_INET);
    putAddress(b, s.dst, AF_INET);
    b.resize(ipLength, 0x01);  // IP options, if any
    append(b, tcpHeaderAndPayload(s));
    return b;
}

inline Bytes ipv6(Segment s) {
    if (s.src.find(':') == std::string::npos) s.src = "fd00::1", s.dst = "fd00::2";
    const size_t length = s.tcpHeaderWords * 4 + s.payload.size();
    Bytes b;
    put32(b, 0x60000000);
    put16(b, s.totalLengthOverride.value_or(static_cast<uint16_t>(length)));
    put8(b, s.protocol);
    put8(b, 64);
    putAddress(b, s.src, AF_INET6);
    putAddress(b, s.dst, AF_INET6);
    append(b, tcpHeaderAndPayload(s));
    return b;
}

inline Bytes ethernet(Bytes const& ip, uint16_t etherType = 0x0800,
                      Bytes dstMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e},
                      Bytes srcMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01}) {
    Bytes b = dstMac;
    append(b, srcMac);
    put16(b, etherType);
    append(b, ip);
    return b;
}

// The frame with VLAN tags (TPIDs in order, outermost first): the link header's type
// field at `typeAt` names the first tag, and the tags (tag control, next type) follow the
// link header, which ends at `headerEnd`. Ethernet: 12 and 14; Linux SLL: 14 and 16;
// SLL2: 0 and 20.
inline Bytes withVlanTags(Bytes const& frame, std::vector<uint16_t> const& tpids, size_t typeAt = 12,
                          size_t headerEnd = 14) {
    const unsigned original = frame[typeAt] << 8 | frame[typeAt + 1];
    Bytes b(frame.begin(), frame.begin() + static_cast<long>(headerEnd));
    b[typeAt] = static_cast<uint8_t>(tpids[0] >> 8);
    b[typeAt + 1] = static_cast<uint8_t>(tpids[0]);
    for (size_t i = 0; i < tpids.size(); ++i) {
        put16(b, static_cast<unsigned>(100 + i));  // tag control: the VLAN id
        put16(b, i + 1 < tpids.size() ? tpids[i + 1] : original);
    }
    b.insert(b.end(), frame.begin() + static_cast<long>(headerEnd), frame.end());
    return b;
}

// Encapsulations: each wraps what it is given (an IP datagram, an Ethernet frame, or the
// next header) in one more header, so a test nests them inside out.
namespace wrap {
inline Bytes withType(uint16_t type, Bytes const& header, Bytes const& inner) {
    Bytes b;
    put16(b, type);
    append(b, header);
    append(b, inner);
    return b;
}
// An Ethernet frame whose EtherType field is the first two bytes of `typed`.
inline Bytes ethernetFrame(Bytes const& typed, Bytes dstMac = {0x0e, 0, 0, 0, 0, 0xd1},
                           Bytes srcMac = {0x0e, 0, 0, 0, 0, 0x51}) {
    Bytes b = dstMac;
    append(b, srcMac);
    append(b, typed);
    return b;
}
inline uint16_t etherTypeOf(Bytes const& ip) { return (ip[0] >> 4) == 6 ? 0x86dd : 0x0800; }
// EtherType-led pieces ("typed"): the type, its header, then what it carries.
inline Bytes ip(Bytes const& datagram) { return withType(etherTypeOf(datagram), {}, datagram); }
inline Bytes vlan(uint16_t tpid, Bytes const& typed) {
    Bytes tag = {0x00, 0x64};
    append(tag, typed);
    return withType(tpid, {}, tag);
}
inline Bytes ciscoMetadata(Bytes const& typed) { return withType(0x8909, {0x01, 0x01, 0x00, 0x01, 0x0a, 0xbc}, typed); }
inline Bytes mpls(Bytes const& datagram, size_t labels = 1) {
    Bytes stack;
    for (size_t i = 0; i < labels; ++i) put32(stack, (100 + i) << 12 | (i + 1 == labels ? 0x100 : 0) | 64);
    return withType(0x8847, stack, datagram);
}
inline Bytes pppoe(Bytes const& datagram) {
    Bytes header = {0x11, 0x00, 0x12, 0x34};
    put16(header, static_cast<unsigned>(datagram.size() + 2));
    put16(header, etherTypeOf(datagram) == 0x0800 ? 0x0021 : 0x0057);
    return withType(0x8864, header, datagram);
}
// An outer IPv4 or IPv6 header (no extension headers) carrying `inner` as `protocol`.
inline Bytes ipOver(bool v6, uint8_t protocol, Bytes const& inner) {
    Segment outer;
    outer.src = v6 ? "2001:db8::a" : "192.0.2.1";
    outer.dst = v6 ? "2001:db8::b" : "192.0.2.2";
    outer.protocol = protocol;
    Bytes b = v6 ? ipv6(outer) : ipv4(outer);
    b.resize(v6 ? 40 : 20);  // the header alone; the lengths are fixed below
    append(b, inner);
    if (v6) {
        b[4] = static_cast<uint8_t>(inner.size() >> 8);
        b[5] = static_cast<uint8_t>(inner.size());
    } else {
        b[2] = static_cast<uint8_t>(b.size() >> 8);
        b[3] = static_cast<uint8_t>(b.size());
    }
    return b;
}
inline Bytes udp(uint16_t dstPort, Bytes const& payload, uint16_t srcPort = 49152) {
    Bytes b;
    put16(b, srcPort);
    put16(b, dstPort);
    put16(b, static_cast<unsigned>(payload.size() + 8));
    put16(b, 0);
    append(b, payload);
    return b;
}
// GRE version 0 with the checksum, key and sequence fields its flags ask for.
inline Bytes gre(uint16_t protocol, Bytes const& inner, bool checksum = false, bool key = false, bool sequence = false) {
    Bytes b;
    put16(b, (checksum ? 0x8000 : 0) | (key ? 0x2000 : 0) | (sequence ? 0x1000 : 0));
    put16(b, protocol);
    for (bool field : {checksum, key, sequence})
        if (field) put32(b, 0x01020304);
    append(b, inner);
    return b;
}
inline Bytes erspan2(Bytes const& frame) {
    Bytes header = {0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07};
    append(header, frame);
    return gre(0x88be, header, false, false, true);
}
inline Bytes erspan3(Bytes const& frame, bool platformSubheader) {
    Bytes header(12, 0);
    header[0] = 0x20;
    header[11] = platformSubheader ? 0x01 : 0x00;
    if (platformSubheader) header.resize(20, 0x5a);
    append(header, frame);
    return gre(0x22eb, header);
}
inline Bytes vxlan(Bytes const& frame) {
    Bytes b = {0x08, 0, 0, 0, 0, 0, 42, 0};
    append(b, frame);
    return udp(4789, b);
}
// Geneve with `optionWords` 4-byte words of options, carrying `protocol`.
inline Bytes geneve(uint16_t protocol, Bytes const& inner, uint8_t optionWords = 1) {
    Bytes b = {optionWords, 0};
    put16(b, protocol);
    append(b, {0, 0, 7, 0});
    b.resize(b.size() + optionWords * 4u, 0x33);
    append(b, inner);
    return udp(6081, b);
}
// IPv6 extension headers (next header values 0, 43, 60, 44) before what `datagram`'s
// fixed header carried.
inline Bytes withIpv6Extensions(Bytes const& datagram, std::vector<uint8_t> const& headers) {
    Bytes b(datagram.begin(), datagram.begin() + 40);
    uint8_t carried = datagram[6];
    size_t added = 0;
    Bytes chain;
    for (size_t i = 0; i < headers.size(); ++i) {
        const uint8_t next = i + 1 < headers.size() ? headers[i + 1] : carried;
        const size_t length = headers[i] == 44 ? 8 : 16;
        Bytes ext(length, 0x01);
        ext[0] = next;
        ext[1] = headers[i] == 44 ? 0 : static_cast<uint8_t>(length / 8 - 1);
        append(chain, ext);
        added += length;
    }
    b[6] = headers.empty() ? carried : headers[0];
    const size_t payload = (datagram[4] << 8 | datagram[5]) + added;
    b[4] = static_cast<uint8_t>(payload >> 8);
    b[5] = static_cast<uint8_t>(payload);
    append(b, chain);
    b.insert(b.end(), datagram.begin() + 40, datagram.end());
    return b;
}
}  // namespace wrap

// A decoded packet that owns its bytes, as a flow holds it. Null when parse rejects.
inline std::shared_ptr<Packet> packet(Bytes const& frame, int linkType = DLT_EN10MB, long seconds = 1700000000,
                                      long micros = 0) {
    // The frame and its record header live beside the packet, in one allocation.
    struct Owned {
        pcap_pkthdr header{};
        Bytes frame;
        Packet packet;
        Owned(Bytes const& bytes, int linkType) : frame(bytes), packet(linkType) {}
    };
    auto owned = std::make_shared<Owned>(frame, linkType);
    owned->header.ts.tv_sec = seconds;
    owned->header.ts.tv_usec = micros;
    owned->header.caplen = static_cast<uint32_t>(frame.size());
    owned->header.len = owned->header.caplen;
    if (!owned->packet.parse(&owned->header, owned->frame.data())) return nullptr;
    return std::shared_ptr<Packet>(owned, &owned->packet);
}

inline std::shared_ptr<Packet> tcpPacket(Segment const& s, long seconds = 1700000000, long micros = 0) {
    const bool v6 = s.src.find(':') != std::string::npos;
    return packet(v6 ? ethernet(ipv6(s), 0x86dd) : ethernet(ipv4(s)), DLT_EN10MB, seconds, micros);
}

// Writes frames to a capture file through libpcap.
struct Frame {
    Bytes bytes;
    long seconds = 1700000000;
    long micros = 0;
};

inline bool writePcap(std::string const& path, int linkType, std::vector<Frame> const& frames) {
    pcap_t* dead = pcap_open_dead(linkType, 262144);  // frames the host's offload joined pass 64 KiB
    if (!dead) return false;
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (!dumper) {
        pcap_close(dead);
        return false;
    }
    for (auto const& f : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = f.seconds;
        header.ts.tv_usec = f.micros;
        header.caplen = header.len = static_cast<uint32_t>(f.bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, f.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

}  // namespace build
