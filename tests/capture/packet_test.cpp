#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "capture/packet.h"
#include "support/builders.h"

using namespace build;

namespace {
// Decodes without copying; the reason is left in `skipped` when it fails.
SkipReason decodeInPlace(Bytes const& frame, int linkType = DLT_EN10MB) {
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(frame.size());
    Packet p(linkType);
    return p.parse(&header, frame.data()) ? SkipReason::None : p.skipped;
}

std::string textOf(FlowKey const& key) {
    std::ostringstream out;
    out << key;
    return out.str();
}

Bytes prefixed(Bytes head, Bytes const& rest) {
    append(head, rest);
    return head;
}

// A Linux cooked header (v1 or v2) with the protocol field set.
Bytes cooked(int linkType, uint16_t protocol, Bytes const& rest) {
    Bytes head(linkType == DLT_LINUX_SLL ? 16 : 20, 0);
    const size_t at = linkType == DLT_LINUX_SLL ? 14 : 0;
    head[at] = static_cast<uint8_t>(protocol >> 8);
    head[at + 1] = static_cast<uint8_t>(protocol);
    return prefixed(head, rest);
}
// Every cut of the frame is skipped as cut short; a heap copy of exactly the cut's bytes
// lets the address sanitizer see any read past them.
void expectEveryCutSkipped(int linkType, Bytes const& frame, std::string const& name) {
    for (size_t n = 0; n < frame.size(); ++n) {
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[n ? n : 1]);
        if (n) std::memcpy(bytes.get(), frame.data(), n);
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<uint32_t>(n);
        Packet p(linkType);
        EXPECT_FALSE(p.parse(&header, bytes.get())) << name << ", " << n << " bytes";
        EXPECT_EQ(p.skipped, SkipReason::CutShort) << name << ", " << n << " bytes";
    }
}

}  // namespace

TEST(PacketDecoding, EthernetFrameGivesAddressesPortsPayloadAndMacs) {
    Segment s;
    s.src = "192.168.1.10";
    s.dst = "10.1.2.3";
    s.srcPort = 51000;
    s.dstPort = 443;
    s.payload = Bytes(30, 0x16);
    auto p = tcpPacket(s);
    ASSERT_TRUE(p);
    EXPECT_EQ(textOf(p->key), "192.168.1.10:51000 - 10.1.2.3:443 (6)");
    EXPECT_EQ(p->tcpPayloadLength(), 30);
    EXPECT_EQ(p->sequenceNumber(), 1000u);
    ASSERT_NE(p->ethernetHeader, nullptr);
    EXPECT_EQ(ethernetToString(p->ethernetHeader), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(ethernetToString(p->ethernetHeader + 6), "02:00:00:00:00:01");
}

TEST(PacketDecoding, HeaderOptionsMovePayload) {
    Segment s;
    s.ipHeaderWords = 6;
    s.tcpHeaderWords = 8;
    s.payload = Bytes(44, 0x17);
    Bytes ip = ipv4(s);
    ASSERT_EQ(ip.size(), 100u);
    auto p = packet(ethernet(ip));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->tcpPayloadLength(), 44);
    EXPECT_EQ(p->tcpPayload() - p->data, 14 + 56);
}

// The null link's family may be written in either byte order and under any of the
// systems' numbers for IPv6 (the other link types: real captures in the packet source test).
TEST(PacketDecoding, NullLinkFamiliesInEitherByteOrder) {
    Segment s;
    s.payload = Bytes(12, 0x16);
    Segment s6 = s;
    s6.src = "fd00::1";
    s6.dst = "fd00::2:0:0:1";
    const Bytes v4 = ipv4(s), v6 = ipv6(s6);
    auto family = [](uint32_t value, bool bigEndian) {
        Bytes b;
        for (int i = 0; i < 4; ++i) put8(b, bigEndian ? value >> (24 - 8 * i) : value >> (8 * i));
        return b;
    };
    struct Case {
        std::string name;
        int linkType;
        Bytes frame;
        bool ipv6;
    };
    std::vector<Case> cases;
    for (bool bigEndian : {false, true}) {
        cases.push_back({"null v4", DLT_NULL, prefixed(family(2, bigEndian), v4), false});
        for (uint32_t inet6 : {10u, 24u, 28u, 30u})
            cases.push_back({"null v6 " + std::to_string(inet6), DLT_NULL, prefixed(family(inet6, bigEndian), v6), true});
    }
    for (auto const& c : cases) {
        auto p = packet(c.frame, c.linkType);
        ASSERT_TRUE(p) << c.name;
        EXPECT_EQ(p->ethernetHeader != nullptr, c.linkType == DLT_EN10MB) << c.name;
        EXPECT_EQ(p->tcpPayloadLength(), 12) << c.name;
        EXPECT_EQ(textOf(p->key), c.ipv6 ? "[fd00::1]:50000 - [fd00::2:0:0:1]:443 (6)" : "10.0.0.1:50000 - 10.0.0.2:443 (6)")
            << c.name;
    }
    EXPECT_EQ(decodeInPlace(prefixed(family(7, false), v4), DLT_NULL), SkipReason::NotIp);
    EXPECT_EQ(decodeInPlace(ethernet(v4, 0x0806)), SkipReason::NotIp);
    EXPECT_EQ(decodeInPlace(v4, DLT_IEEE802_11), SkipReason::NotIp) << "unsupported link type";
}

// Tags of any of the three TPIDs, on Ethernet and on cooked captures.
TEST(PacketDecoding, VlanTags) {
    Segment s;
    s.payload = Bytes(9, 0x17);
    const Bytes v4 = ethernet(ipv4(s)), v6 = ethernet(ipv6(s), 0x86dd);
    struct Case {
        std::vector<uint16_t> tags;
        SkipReason expected;
    };
    const std::vector<Case> cases = {
        {{0x8100}, SkipReason::None},
        {{0x88a8}, SkipReason::None},
        {{0x9100}, SkipReason::None},
        {{0x88a8, 0x8100}, SkipReason::None},
        {{0x8100, 0x8100}, SkipReason::None},
        {{0x88a8, 0x8100, 0x8100}, SkipReason::None},
    };
    for (auto const& c : cases)
        for (Bytes const& frame : {v4, v6}) {
            Bytes const tagged = withVlanTags(frame, c.tags);
            EXPECT_EQ(decodeInPlace(tagged), c.expected) << c.tags.size() << " tags, first " << c.tags[0];
            if (c.expected != SkipReason::None) continue;
            auto p = packet(tagged);
            ASSERT_TRUE(p);
            EXPECT_EQ(p->tcpPayloadLength(), 9);
            EXPECT_EQ(ethernetToString(p->ethernetHeader + 6), "02:00:00:00:00:01");
        }

    const Bytes ip = ipv4(s);
    auto sll = packet(withVlanTags(cooked(DLT_LINUX_SLL, 0x0800, ip), {0x8100}, 14, 16), DLT_LINUX_SLL);
    auto sll2 = packet(withVlanTags(cooked(DLT_LINUX_SLL2, 0x0800, ip), {0x88a8, 0x8100}, 0, 20), DLT_LINUX_SLL2);
    ASSERT_TRUE(sll && sll2);
    EXPECT_EQ(sll->tcpPayloadLength(), 9);
    EXPECT_EQ(sll2->tcpPayloadLength(), 9);
    EXPECT_EQ(sll2->ethernetHeader, nullptr);
}

namespace {
// The link's Ethernet header before `typed`, with the addresses every other test uses.
Bytes linkEthernet(Bytes const& typed) {
    return wrap::ethernetFrame(typed, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, {0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
}
}  // namespace

// Every encapsulation alone, nested eight deep and cut anywhere is the encapsulation
// recipes' test (tests/robustness); the MAC columns of tunnelled frames are the oracle's.
TEST(PacketDecoding, EncapsulationsTheDecoderDoesNotFollow) {
    using namespace wrap;
    Segment s;
    s.payload = Bytes(9, 0x17);
    const Bytes v4 = ipv4(s), v6 = ipv6(s);
    Bytes nineTags = ip(v4);
    for (int i = 0; i < 9; ++i) nineTags = vlan(0x8100, nineTags);
    Bytes nineDeep = v4;
    for (int i = 0; i < 9; ++i) nineDeep = ipOver(false, 4, nineDeep);
    Bytes vxlanNoFlag = ipOver(false, 17, vxlan(ethernetFrame(ip(v4))));
    vxlanNoFlag[28] = 0;
    Bytes greVersion1 = gre(0x0800, v4);
    greVersion1[1] = 1;
    Bytes mplsNotIp = mpls(v4);
    mplsNotIp[6] = 0x00;
    Segment icmp = s;
    icmp.protocol = 1;
    struct Case {
        std::string name;
        Bytes frame;
        SkipReason expected;
    };
    const std::vector<Case> cases = {
        {"nine VLAN tags", linkEthernet(nineTags), SkipReason::TooDeep},
        {"nine encapsulations", linkEthernet(ip(nineDeep)), SkipReason::TooDeep},
        {"IPv6 fragment header", linkEthernet(ip(withIpv6Extensions(v6, {0, 44}))), SkipReason::Fragment},
        {"VXLAN without a network identifier", linkEthernet(ip(vxlanNoFlag)), SkipReason::NotIp},
        {"GRE version 1", linkEthernet(ip(ipOver(false, 47, greVersion1))), SkipReason::NotIp},
        {"GRE carrying ARP", linkEthernet(ip(ipOver(false, 47, gre(0x0806, v4)))), SkipReason::NotIp},
        {"Geneve carrying an unknown protocol", linkEthernet(ip(ipOver(false, 17, geneve(0x1234, v4)))), SkipReason::NotIp},
        {"PPPoE carrying LCP", [&] { Bytes f = linkEthernet(pppoe(v4)); f[20] = 0xc0; return f; }(), SkipReason::NotIp},
        {"MPLS payload neither IPv4 nor IPv6", linkEthernet(mplsNotIp), SkipReason::NotIp},
        {"ICMP", ethernet(ipv4(icmp)), SkipReason::OtherProtocol},
    };
    for (auto const& c : cases) EXPECT_EQ(decodeInPlace(c.frame), c.expected) << c.name;
}

// The innermost UDP datagram is decoded too, unless it goes to a tunnel port.
TEST(PacketDecoding, InnermostUdpDatagram) {
    using namespace wrap;
    const Bytes datagram = udp(443, text("quic initial"), 50000);
    auto p = packet(linkEthernet(ip(ipOver(false, 17, datagram))));
    auto tunnelled = packet(linkEthernet(ip(ipOver(false, 17, vxlan(ethernetFrame(ip(ipOver(true, 17, datagram))))))));
    ASSERT_TRUE(p && tunnelled);
    for (auto const& q : {p, tunnelled}) {
        EXPECT_TRUE(q->isUdp());
        EXPECT_EQ(std::string(q->payloadBytes().begin(), q->payloadBytes().end()), "quic initial");
    }
    EXPECT_EQ(textOf(p->key), "192.0.2.1:50000 - 192.0.2.2:443 (17)");
    EXPECT_EQ(textOf(tunnelled->key), "[2001:db8::a]:50000 - [2001:db8::b]:443 (17)");
}

TEST(PacketDecoding, TrailerAfterDatagramIsIgnoredButCutDatagramIsRejected) {
    Segment s;
    s.payload = Bytes(6, 0x14);  // a ChangeCipherSpec record alone: 46-byte datagram
    for (Bytes const& frame : {ethernet(ipv4(s)), ethernet(ipv6(s), 0x86dd)}) {
        Bytes withTrailer = frame;
        append(withTrailer, {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0});
        auto p = packet(withTrailer);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->tcpPayloadLength(), 6);
        EXPECT_EQ(decodeInPlace(Bytes(frame.begin(), frame.end() - 1)), SkipReason::CutShort);
    }
}

// A capture on the sending host shows a segmentation-offload frame with an IPv4 total
// length of 0 (an IPv6 payload length of 0 with BIG TCP): the datagram is the rest of the
// frame, which a frame joined by GRO makes larger than 64 KiB.
TEST(PacketDecoding, LengthZeroTakesTheRestOfTheFrame) {
    for (size_t const length : {size_t{3000}, size_t{70000}}) {
        Segment s;
        s.payload = Bytes(length, 0x17);
        s.totalLengthOverride = 0;
        for (Bytes const& frame : {ethernet(ipv4(s)), ethernet(ipv6(s), 0x86dd)}) {
            auto p = packet(frame);
            ASSERT_TRUE(p);
            EXPECT_EQ(p->tcpPayloadLength(), length);
        }
    }
}

TEST(PacketDecoding, FramesThatAreNotUsableTcpAreSkippedWithTheirReason) {
    Segment s;
    s.payload = Bytes(20, 0x16);
    auto v4 = [](Segment const& seg) { return ethernet(ipv4(seg)); };
    auto v6 = [](Segment const& seg) { return ethernet(ipv6(seg), 0x86dd); };
    auto with = [&](auto change) {
        Segment changed = s;
        change(changed);
        return changed;
    };
    auto patched = [](Bytes frame, size_t at, uint8_t value) {
        frame[at] = value;
        return frame;
    };
    struct Case {
        std::string name;
        Bytes frame;
        SkipReason expected;
    };
    const std::vector<Case> cases = {
        {"shorter than an Ethernet header", Bytes(13, 0), SkipReason::CutShort},
        {"UDP shorter than its header", v4(with([](Segment& x) {
             x.protocol = 17;
             x.totalLengthOverride = 27;
         })),
         SkipReason::Malformed},
        {"IPv4 header length below 20", patched(v4(s), 14, 0x44), SkipReason::Malformed},
        {"EtherType IPv4, version 6", patched(v4(s), 14, 0x65), SkipReason::Malformed},
        {"TCP data offset below 20", patched(v4(s), 14 + 20 + 12, 0x30), SkipReason::Malformed},
        {"TCP header past the datagram", patched(v4(s), 14 + 20 + 12, 0xf0), SkipReason::Malformed},
        {"IPv4 fragment", patched(v4(s), 14 + 6, 0x20), SkipReason::Fragment},
        {"total length below both headers", v4(with([](Segment& x) { x.totalLengthOverride = 30; })),
         SkipReason::Malformed},
        {"IPv6 ESP", v6(with([](Segment& x) { x.protocol = 50; })), SkipReason::OtherProtocol},
        {"IPv6 payload shorter than TCP's header", v6(with([](Segment& x) { x.totalLengthOverride = 16; })),
         SkipReason::Malformed},
        {"IPv6 TCP data offset past the payload", patched(v6(s), 14 + 40 + 12, 0xf0), SkipReason::Malformed},
    };
    for (auto const& c : cases) EXPECT_EQ(decodeInPlace(c.frame), c.expected) << c.name;
}

TEST(PacketDecoding, EveryTruncationOfAFrameIsSafe) {
    Segment s;
    s.ipHeaderWords = 6;
    s.tcpHeaderWords = 8;
    s.payload = Bytes(40, 0x16);
    struct Case {
        int linkType;
        Bytes frame;
    };
    const std::vector<Case> cases = {
        {DLT_EN10MB, ethernet(ipv4(s))},
        {DLT_EN10MB, withVlanTags(ethernet(ipv6(s), 0x86dd), {0x88a8, 0x8100})},
        {DLT_LINUX_SLL2, withVlanTags(cooked(DLT_LINUX_SLL2, 0x86dd, ipv6(s)), {0x8100}, 0, 20)},
        {DLT_NULL, prefixed({24, 0, 0, 0}, ipv6(s))},
        {DLT_RAW, ipv4(s)},
    };
    for (auto const& c : cases) expectEveryCutSkipped(c.linkType, c.frame, "link type " + std::to_string(c.linkType));
}

TEST(PacketDecoding, BothDirectionsShareTheCanonicalKey) {
    for (std::string const client : {"10.0.0.2", "fd00::2"}) {
        Segment a;
        a.src = client;
        a.dst = client == "fd00::2" ? "fd00::1" : "10.0.0.1";
        a.srcPort = 443;
        a.dstPort = 50000;
        a.payload = Bytes(5, 1);
        Segment b = a;
        std::swap(b.src, b.dst);
        std::swap(b.srcPort, b.dstPort);
        auto pa = tcpPacket(a), pb = tcpPacket(b);
        ASSERT_TRUE(pa && pb);
        EXPECT_TRUE(pa->flowKey() == pb->flowKey());
        EXPECT_FALSE(pa->key == pb->key);

        Segment self = a;
        self.dst = self.src;
        self.dstPort = self.srcPort;
        auto ps = tcpPacket(self);
        ASSERT_TRUE(ps);
        EXPECT_TRUE(ps->flowKey() == ps->key);
    }
}

TEST(PacketDecoding, TimestampTruncatesToMilliseconds) {
    Segment s;
    s.payload = Bytes(1, 0);
    EXPECT_EQ(tcpPacket(s, 2, 500)->timestamp(), 2000u);
    EXPECT_EQ(tcpPacket(s, 0, 1500)->timestamp(), 1u);
    EXPECT_EQ(tcpPacket(s, 1, 999)->timestamp(), 1000u);
}

TEST(PacketDecoding, CopiedPacketOutlivesTheCaptureBuffer) {
    Segment s;
    s.payload = text("hello world");
    Bytes frame = ethernet(ipv4(s));
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(frame.size());
    header.ts.tv_sec = 7;
    Packet p(DLT_EN10MB);
    ASSERT_TRUE(p.parse(&header, frame.data()));
    std::unique_ptr<KeptPacket, decltype(&KeptPacket::destroy)> copy(KeptPacket::copyOf(p, p.flowKey()),
                                                                    &KeptPacket::destroy);
    std::fill(frame.begin(), frame.end(), 0);  // libpcap reuses its buffer
    header.caplen = 0;
    Packet kept(DLT_EN10MB);
    copy->restore(kept, p.flowKey());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(kept.tcpPayload()), kept.tcpPayloadLength()), "hello world");
    EXPECT_EQ(kept.timestamp(), 7000u);
    EXPECT_EQ(addressToString(kept.key.dstAddress, 4), "10.0.0.2");
    EXPECT_EQ(kept.sequenceNumber(), p.sequenceNumber());
}
