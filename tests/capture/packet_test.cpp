#include <gtest/gtest.h>

#include <cstring>

#include "capture/packet.h"
#include "support/builders.h"

using namespace build;

namespace {
std::shared_ptr<Packet> decodeInPlace(Bytes const& frame, pcap_pkthdr& header, bool isEthernet = true,
                                      int linkOffset = 14) {
    header = pcap_pkthdr{};
    header.caplen = header.len = static_cast<uint32_t>(frame.size());
    auto p = std::make_shared<Packet>(isEthernet, linkOffset);
    return p->parse(&header, frame.data()) ? p : nullptr;
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
    EXPECT_EQ(addressToString(p->key.srcAddress), "192.168.1.10");
    EXPECT_EQ(addressToString(p->key.dstAddress), "10.1.2.3");
    EXPECT_EQ(p->key.srcPort, 51000);
    EXPECT_EQ(p->key.dstPort, 443);
    EXPECT_EQ(p->key.protocol, 6);
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
    EXPECT_EQ(p->tcpPayload() - p->ipHeader, 56);
}

TEST(PacketDecoding, EveryLinkTypeOffsetDecodes) {
    Segment s;
    s.payload = Bytes(12, 0x16);
    Bytes ip = ipv4(s);
    for (int offset : {0, 4, 16, 20}) {
        Bytes frame(static_cast<size_t>(offset), 0x00);
        append(frame, ip);
        auto p = packet(frame, false, offset);
        ASSERT_TRUE(p) << "link offset " << offset;
        EXPECT_EQ(p->ethernetHeader, nullptr);
        EXPECT_EQ(p->tcpPayloadLength(), 12);
        EXPECT_EQ(p->key.dstPort, 443);
    }
}

TEST(PacketDecoding, TrailerAfterDatagramIsIgnoredButCutDatagramIsRejected) {
    Segment s;
    s.payload = Bytes(6, 0x14);  // a ChangeCipherSpec record alone: 46-byte datagram
    Bytes frame = ethernet(ipv4(s));
    Bytes withTrailer = frame;
    append(withTrailer, {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0});
    auto p = packet(withTrailer);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->tcpPayloadLength(), 6);

    Bytes cut(frame.begin(), frame.end() - 1);
    pcap_pkthdr header;
    EXPECT_FALSE(decodeInPlace(cut, header));
}

TEST(PacketDecoding, MalformedFramesAreRejected) {
    Segment s;
    s.payload = Bytes(20, 0x16);
    pcap_pkthdr header;
    EXPECT_FALSE(decodeInPlace(Bytes(13, 0), header)) << "shorter than an Ethernet header";
    EXPECT_FALSE(decodeInPlace(ethernet(ipv4(s), 0x8100), header)) << "802.1Q tag";
    EXPECT_FALSE(decodeInPlace(ethernet(ipv4(s), 0x86dd), header)) << "IPv6";

    Segment udp = s;
    udp.protocol = 17;
    EXPECT_FALSE(decodeInPlace(ethernet(ipv4(udp)), header)) << "UDP";

    Bytes badIhl = ipv4(s);
    badIhl[0] = 0x44;  // 16-byte IPv4 header
    EXPECT_FALSE(decodeInPlace(ethernet(badIhl), header)) << "IPv4 header length below 20";

    Bytes badVersion = ipv4(s);
    badVersion[0] = 0x65;
    EXPECT_FALSE(decodeInPlace(ethernet(badVersion), header)) << "not IPv4";

    Bytes badOffset = ipv4(s);
    badOffset[20 + 12] = 0x30;  // 12-byte TCP header
    EXPECT_FALSE(decodeInPlace(ethernet(badOffset), header)) << "TCP data offset below 20";

    Bytes pastTotal = ipv4(s);
    pastTotal[20 + 12] = 0xf0;  // 60-byte TCP header in a 60-byte datagram
    EXPECT_FALSE(decodeInPlace(ethernet(pastTotal), header)) << "headers longer than the datagram";

    Segment tiny;
    tiny.totalLengthOverride = 30;  // claims less than both headers
    EXPECT_FALSE(decodeInPlace(ethernet(ipv4(tiny)), header));

    EXPECT_FALSE(decodeInPlace(ipv4(s), header, false, -1)) << "unsupported link type";
}

TEST(PacketDecoding, EveryTruncationOfAFrameIsSafe) {
    Segment s;
    s.ipHeaderWords = 6;
    s.tcpHeaderWords = 8;
    s.payload = Bytes(40, 0x16);
    Bytes frame = ethernet(ipv4(s));
    for (size_t n = 0; n < frame.size(); ++n) {
        // A heap copy of exactly n bytes lets the address sanitizer see any overread.
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[n ? n : 1]);
        if (n) std::memcpy(bytes.get(), frame.data(), n);
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<uint32_t>(n);
        Packet p(true, 14);
        EXPECT_FALSE(p.parse(&header, bytes.get())) << n;
    }
}

TEST(PacketDecoding, BothDirectionsShareTheCanonicalKey) {
    Segment a;
    a.src = "10.0.0.2";
    a.dst = "10.0.0.1";
    a.srcPort = 443;
    a.dstPort = 50000;
    a.payload = Bytes(5, 1);
    Segment b = a;
    std::swap(b.src, b.dst);
    std::swap(b.srcPort, b.dstPort);
    auto pa = tcpPacket(a), pb = tcpPacket(b);
    ASSERT_TRUE(pa && pb);
    EXPECT_TRUE(sameKey(pa->flowKey, pb->flowKey));
    EXPECT_FALSE(sameKey(pa->key, pb->key));

    Segment self = a;
    self.dst = self.src;
    self.dstPort = self.srcPort;
    auto ps = tcpPacket(self);
    ASSERT_TRUE(ps);
    EXPECT_TRUE(sameKey(ps->flowKey, ps->key));
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
    Packet p(true, 14);
    ASSERT_TRUE(p.parse(&header, frame.data()));
    p.copyPacketData();
    std::fill(frame.begin(), frame.end(), 0);  // libpcap reuses its buffer
    header.caplen = 0;
    EXPECT_TRUE(p.ownsData);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.tcpPayload()), p.tcpPayloadLength()), "hello world");
    EXPECT_EQ(p.timestamp(), 7000u);
    EXPECT_EQ(addressToString(p.key.dstAddress), "10.0.0.2");
    EXPECT_NE(p.ipHeader, frame.data() + 14);
}
