#include "capture/capture_filter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/packet.h"

namespace {
// The filter is written with absolute offsets from the start of the frame (link[...]):
// libpcap's own ip/ip6/vlan words do not reach behind tags on cooked captures, and
// variable offsets would be computed wrongly by the kernel on a cooked ("any") capture,
// where libpcap moves the constant part of every load but not an offset held in a
// register. Filter syntax gives "and" and "or" equal precedence, so every group is
// bracketed.
std::string join(std::vector<std::string> const& parts, char const* word) {
    std::string text = "(";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) text += word;
        text += parts[i];
    }
    return text + ")";
}
std::string allOf(std::vector<std::string> const& parts) { return join(parts, " and "); }
std::string anyOf(std::vector<std::string> const& parts) { return join(parts, " or "); }

std::string byteAt(size_t offset) { return "link[" + std::to_string(offset) + "]"; }
std::string wordAt(size_t offset) { return "link[" + std::to_string(offset) + ":2]"; }
std::string is(std::string const& field, unsigned value) { return field + " = " + std::to_string(value); }

// Tunnels carried in UDP, by destination port: VXLAN and Geneve.
std::string tunnelPortAt(size_t at) { return anyOf({is(wordAt(at), 4789), is(wordAt(at), 6081)}); }

// A UDP payload at `at` that begins with a QUIC long-header Initial of version 1 (type 0)
// or 2 (type 1), the only datagrams that carry hellos. Later QUIC packets stay in the kernel.
std::string quicInitialAt(size_t at) {
    const std::string first = byteAt(at), version = "link[" + std::to_string(at + 1) + ":4]";
    return allOf({first + " & 0x80 != 0", anyOf({allOf({is(version, 1), first + " & 0x30 = 0"}),
                                                 allOf({version + " = 0x6b3343cf", first + " & 0x30 = 0x10"})})});
}

// A UDP payload at `at` whose first byte is 20 to 63: DTLS (RFC 7983). STUN and RTP on the
// same port stay in the kernel. A payload of 0 bytes has no such byte and fails the load.
std::string dtlsAt(size_t at) { return allOf({byteAt(at) + " >= 20", byteAt(at) + " <= 63"}); }

// Protocols after an IP header that carry another header the decoder reads: IP in IP
// (IPv4, IPv6) and GRE.
std::vector<std::string> ipTunnels(std::string const& protocol) {
    return {is(protocol, 4), is(protocol, 41), is(protocol, 47)};
}

// The version nibble of an IP header at `at`; only a raw link needs to look at it.
std::string versionAt(size_t at, int version) {
    return byteAt(at) + " & 0xf0 = " + std::to_string(version << 4);
}

// An IPv4 header at `at`, unfragmented (or a first fragment, counted by the decoder): a
// TCP segment with payload, a SYN without ACK, a FIN or RST (the end of a connection), or
// a total length of 0 (segmentation offload); a QUIC Initial; a DTLS datagram; a tunnel. With IPv4 options the TCP or UDP header moves; those rare datagrams
// all pass and the decoder judges them.
std::string ipv4At(size_t at) {
    const std::string protocol = byteAt(at + 9), options = byteAt(at) + " != 0x45";
    std::vector<std::string> carried = {
        allOf({is(protocol, 6), anyOf({options, wordAt(at + 2) + " = 0",
                                       wordAt(at + 2) + " > 20 + (" + byteAt(at + 32) + " & 0xf0) / 4",
                                       byteAt(at + 33) + " & 0x12 = 2", byteAt(at + 33) + " & 0x05 != 0"})}),
        allOf({is(protocol, 17), anyOf({options, tunnelPortAt(at + 22), quicInitialAt(at + 28), dtlsAt(at + 28)})})};
    for (auto& tunnel : ipTunnels(protocol)) carried.push_back(tunnel);
    return allOf({wordAt(at + 6) + " & 0x1fff = 0", anyOf(carried)});
}

// An IPv6 header at `at`: TCP right after it with payload, a SYN without ACK, a FIN or
// RST, or a payload length of 0 (BIG TCP offload); a QUIC
// Initial; a DTLS datagram; a tunnel; or an extension header that may stand before either (or a fragment header,
// counted by the decoder).
std::string ipv6At(size_t at) {
    const std::string next = byteAt(at + 6);
    std::vector<std::string> carried = {
        allOf({is(next, 6), anyOf({wordAt(at + 4) + " = 0", wordAt(at + 4) + " > (" + byteAt(at + 52) + " & 0xf0) / 4",
                                   byteAt(at + 53) + " & 0x12 = 2", byteAt(at + 53) + " & 0x05 != 0"})}),
        allOf({is(next, 17), anyOf({tunnelPortAt(at + 42), quicInitialAt(at + 48), dtlsAt(at + 48)})})};
    for (auto& tunnel : ipTunnels(next)) carried.push_back(tunnel);
    for (unsigned header : {0, 43, 44, 60}) carried.push_back(is(next, header));
    return anyOf(carried);
}

std::string vlanTagAt(size_t at) {
    return anyOf({is(wordAt(at), 0x8100), is(wordAt(at), 0x88a8), is(wordAt(at), 0x9100)});
}

// Links that name the network layer by EtherType at `typeAt`, the header ending at
// `headerEnd`. The first VLAN tag's TPID stands in the link's type field, its tag control
// and the next type after the header; each further tag adds 4 bytes.
std::string etherTypeLink(size_t typeAt, size_t headerEnd) {
    auto typeAfter = [&](size_t tags) { return tags == 0 ? typeAt : headerEnd + 4 * (tags - 1) + 2; };
    std::vector<std::string> alternatives;
    for (size_t tags = 0; tags <= 2; ++tags) {
        std::vector<std::string> conditions;
        for (size_t i = 0; i < tags; ++i) conditions.push_back(vlanTagAt(typeAfter(i)));
        const std::string type = wordAt(typeAfter(tags));
        const size_t ip = headerEnd + 4 * tags;
        // MPLS, PPPoE session and Cisco MetaData pass whole.
        conditions.push_back(anyOf({allOf({is(type, 0x800), ipv4At(ip)}), allOf({is(type, 0x86dd), ipv6At(ip)}),
                                    is(type, 0x8847), is(type, 0x8864), is(type, 0x8909)}));
        alternatives.push_back(allOf(conditions));
    }
    alternatives.push_back(allOf({vlanTagAt(typeAfter(0)), vlanTagAt(typeAfter(1)), vlanTagAt(typeAfter(2))}));
    return anyOf(alternatives);
}

// The null link's address family, in either byte order.
std::string nullFamily(std::vector<uint32_t> const& families) {
    std::vector<std::string> tests;
    for (uint32_t family : families) {
        tests.push_back("link[0:4] = " + std::to_string(family));
        tests.push_back("link[0:4] = " + std::to_string(__builtin_bswap32(family)));
    }
    return anyOf(tests);
}
}  // namespace

std::string captureFilter(int linkType) {
    const LinkLayer link = linkLayerOf(linkType);
    const LinkHeader header = linkHeaderOf(link);
    switch (link) {
    case LinkLayer::Ethernet:
    case LinkLayer::LinuxSll:
    case LinkLayer::LinuxSll2: return etherTypeLink(header.typeAt, header.length);
    case LinkLayer::Null:
        return anyOf({allOf({nullFamily({2}), ipv4At(header.length)}),
                      allOf({nullFamily({10, 24, 28, 30}), ipv6At(header.length)})});
    case LinkLayer::Raw:
        return anyOf({allOf({versionAt(0, 4), ipv4At(header.length)}), allOf({versionAt(0, 6), ipv6At(header.length)})});
    case LinkLayer::Ipv4: return ipv4At(header.length);
    case LinkLayer::Ipv6: return ipv6At(header.length);
    case LinkLayer::Unsupported: break;
    }
    return "";
}
