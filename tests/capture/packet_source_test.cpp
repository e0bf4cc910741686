#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/log_capture.h"

#include "capture/interfaces.h"
#include "pipeline/packet_source_worker.h"
#include "support/builders.h"
#include "support/files.h"

using namespace build;

namespace {
using varno_test::dataFile;

struct Delivered {
    size_t packets = 0;
    size_t payloadBytes = 0;
    std::set<uint16_t> ports;
    std::set<uint8_t> ipVersions;
};

// Reads until a packet or the end, through read timeouts.
bool readPacket(PacketSource& source) {
    PacketSource::Read result;
    while ((result = source.read()) == PacketSource::Read::Idle) {
    }
    return result == PacketSource::Read::Packet;
}

Delivered readAll(PacketSource& source) {
    Delivered d;
    while (readPacket(source)) {
        auto p = source.nextPacket();
        ++d.packets;
        d.payloadBytes += p->tcpPayloadLength();
        d.ports.insert(p->key.srcPort);
        d.ports.insert(p->key.dstPort);
        d.ipVersions.insert(p->key.ipVersion);
    }
    return d;
}

}  // namespace

// The same two connections recorded (or rewritten) with every supported link type, with
// VLAN tags or with offload-sized IPv4 lengths give the same packets, addresses and
// payload bytes; over IPv4 and over IPv6.
TEST(PacketSource, EveryLinkTypeDeliversTheSameSegments) {
    struct Set {
        std::string reference;
        uint8_t ipVersion;
        std::vector<std::string> variants;
        std::vector<std::string> cooked;  // recorded at once on "any", on other ports
    };
    const std::vector<Set> sets = {
        {"lt_ethernet.pcap",
         4,
         {"lt_bsd_null.pcap", "lt_raw_ip.pcap", "lt_pcapng.pcapng", "lt_ethernet_fcs.pcap", "vlan_8021q.pcap",
          "offload_total_length_0.pcap"},
         {"lt_linux_sll.pcap", "lt_linux_sll2.pcap", "vlan_linux_sll.pcap"}},
        {"v6_ethernet.pcap",
         6,
         {"v6_bsd_null.pcap", "v6_raw_ip.pcap", "vlan_qinq_ipv6.pcap"},
         {"v6_linux_sll.pcap", "v6_linux_sll2.pcap"}},
    };
    for (auto const& set : sets) {
        auto reference = PacketSource::create(dataFile(set.reference));
        ASSERT_TRUE(reference) << set.reference;
        EXPECT_EQ(reference->linkType, DLT_EN10MB);
        const Delivered expected = readAll(*reference);
        EXPECT_GT(expected.packets, 8u) << set.reference;
        EXPECT_EQ(expected.ipVersions, std::set<uint8_t>{set.ipVersion}) << set.reference;

        for (auto const& file : set.variants) {
            auto source = PacketSource::create(dataFile(file));
            ASSERT_TRUE(source) << file;
            Delivered got = readAll(*source);
            EXPECT_EQ(got.packets, expected.packets) << file;
            EXPECT_EQ(got.payloadBytes, expected.payloadBytes) << file;
            EXPECT_EQ(got.ports, expected.ports) << file;
            EXPECT_EQ(got.ipVersions, expected.ipVersions) << file;
        }
        for (auto const& file : set.cooked) {
            auto source = PacketSource::create(dataFile(file));
            ASSERT_TRUE(source) << file;
            Delivered got = readAll(*source);
            EXPECT_GT(got.packets, 8u) << file;
            EXPECT_EQ(got.ipVersions, expected.ipVersions) << file;
        }
    }
}

// Frames the decoder cannot use are counted by what was wrong with them.
TEST(PacketSource, SkippedFramesAreCountedByKind) {
    auto tagged = PacketSource::create(dataFile("vlan_nine_tags.pcap"));
    ASSERT_TRUE(tagged);
    EXPECT_EQ(readAll(*tagged).packets, 0u);
    EXPECT_GT(tagged->counts.framesRead, 8u) << "the filter lets deep tags through to be counted";
    EXPECT_EQ(tagged->counts.tooDeep, tagged->counts.framesRead);

    Segment data;
    data.payload = Bytes(100, 0x17);
    Bytes cut = ethernet(ipv4(data));
    cut.resize(80);  // by a snapshot length
    Bytes fragment = ethernet(ipv6(data), 0x86dd);
    fragment = ethernet(wrap::withIpv6Extensions(Bytes(fragment.begin() + 14, fragment.end()), {44}), 0x86dd);
    varno_test::ScratchDir scratch;
    std::string const path = scratch / "mixed.pcap";
    ASSERT_TRUE(writePcap(path, DLT_EN10MB, {{ethernet(ipv4(data))}, {cut}, {fragment}, {ethernet(ipv6(data), 0x86dd)}}));
    auto mixed = PacketSource::create(path);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(readAll(*mixed).packets, 2u);
    EXPECT_EQ(mixed->counts.framesRead, 4u);
    EXPECT_EQ(mixed->counts.cutShort, 1u);
    EXPECT_EQ(mixed->counts.fragment, 1u);
    EXPECT_EQ(mixed->counts.notIp + mixed->counts.tooDeep + mixed->counts.otherProtocol + mixed->counts.malformed, 0u);
}

TEST(PacketSource, ChangeCipherSpecAloneInA46ByteDatagramPassesTheFilter) {
    auto source = PacketSource::create(dataFile("lt_ccs_alone_46.pcap"));
    ASSERT_TRUE(source);
    bool seen = false;
    while (readPacket(*source)) {
        auto p = source->nextPacket();
        if (p->tcpPayloadLength() == 6 && p->tcpPayload()[0] == 0x14) seen = true;
    }
    EXPECT_TRUE(seen);
}

// A segment passes when it carries payload, or when it is a SYN without ACK.
TEST(PacketSource, FilterDropsSegmentsWithoutPayloadAndNonTcp) {
    Segment ack;  // bare acknowledgement carrying TCP options: 52-byte datagram
    ack.tcpHeaderWords = 8;
    Segment data = ack;
    data.payload = {0x14, 0x03, 0x03, 0x00, 0x01, 0x01};
    data.tcpHeaderWords = 5;
    Segment udp = data;
    udp.protocol = 17;
    Segment syn = ack, synAck = ack, finAck = ack, rst = ack;
    syn.tcpFlags = 0x02;
    synAck.tcpFlags = 0x12;
    finAck.tcpFlags = 0x11;
    rst.tcpFlags = 0x04;
    varno_test::ScratchDir scratch;
    std::string path = scratch / "filter.pcap";
    ASSERT_TRUE(writePcap(path, DLT_EN10MB,
                          {{ethernet(ipv4(ack))}, {ethernet(ipv4(udp))}, {ethernet(ipv4(data))},
                           {ethernet(ipv6(ack), 0x86dd)}, {ethernet(ipv6(udp), 0x86dd)}, {ethernet(ipv6(data), 0x86dd)},
                           {ethernet(ipv4(synAck))}, {ethernet(ipv6(synAck), 0x86dd)},
                           {ethernet(ipv4(syn))}, {ethernet(ipv6(syn), 0x86dd)},
                           {ethernet(ipv4(finAck))}, {ethernet(ipv6(rst), 0x86dd)}}));
    auto source = PacketSource::create(path);
    ASSERT_TRUE(source);
    Delivered got = readAll(*source);
    EXPECT_EQ(got.packets, 6u) << "the two segments with payload, the two SYNs, the FIN and the RST";
    EXPECT_EQ(got.payloadBytes, 12u);
    EXPECT_EQ(source->counts.framesRead, 6u) << "the others never reach the program";
}

// Tunnels pass the filter in their outer form, whatever they carry: the decoder decides.
// Plain UDP and plain bare acknowledgements still never reach the program.
TEST(PacketSource, FilterPassesTheOuterFormsOfTunnels) {
    using namespace wrap;
    Segment ack;
    ack.tcpHeaderWords = 8;
    Segment data = ack;
    data.payload = Bytes(7, 0x16);
    const Bytes ackFrame = ethernetFrame(ip(ipv4(ack))), dataFrame = ethernetFrame(ip(ipv4(data)));
    Bytes deepTags = ip(ipv6(ack));
    for (int i = 0; i < 3; ++i) deepTags = vlan(0x8100, deepTags);
    struct Case {
        std::string name;
        Bytes frame;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"VXLAN", ethernetFrame(ip(ipOver(false, 17, vxlan(ackFrame)))), true},
        {"Geneve over IPv6", ethernetFrame(ip(ipOver(true, 17, geneve(0x6558, ackFrame)))), true},
        {"GRE", ethernetFrame(ip(ipOver(false, 47, gre(0x0800, ipv4(ack))))), true},
        {"IPv6 in IPv4", ethernetFrame(ip(ipOver(false, 41, ipv6(ack)))), true},
        {"IPv4 in IPv6", ethernetFrame(ip(ipOver(true, 4, ipv4(ack)))), true},
        {"MPLS", ethernetFrame(mpls(ipv4(ack))), true},
        {"PPPoE behind a tag", ethernetFrame(vlan(0x8100, pppoe(ipv6(ack)))), true},
        {"Cisco MetaData", ethernetFrame(ciscoMetadata(ip(ipv4(ack)))), true},
        {"three tags", ethernetFrame(deepTags), true},
        {"hop-by-hop options", ethernetFrame(ip(withIpv6Extensions(ipv6(ack), {0}))), true},
        {"segment with payload", dataFrame, true},
        {"bare acknowledgement", ackFrame, false},
        {"UDP to another port", ethernetFrame(ip(ipOver(false, 17, udp(53, vxlan(dataFrame))))), false},
        {"UDP over IPv6 to another port", ethernetFrame(ip(ipOver(true, 17, udp(443, dataFrame)))), false},
    };
    varno_test::ScratchDir scratch;
    for (auto const& c : cases) {
        std::string const path = scratch / "tunnel.pcap";
        ASSERT_TRUE(writePcap(path, DLT_EN10MB, {{c.frame}}));
        auto source = PacketSource::create(path);
        ASSERT_TRUE(source) << c.name;
        readAll(*source);
        EXPECT_EQ(source->counts.framesRead, c.passes ? 1u : 0u) << c.name;
    }
    // The raw IPv4 and IPv6 link types have a filter of their own.
    for (int linkType : {DLT_IPV4, DLT_IPV6}) {
        std::string const path = scratch / "raw.pcap";
        const Bytes datagram = linkType == DLT_IPV4 ? ipv4(data) : ipv6(data);
        ASSERT_TRUE(writePcap(path, linkType, {{datagram}, {linkType == DLT_IPV4 ? ipv4(ack) : ipv6(ack)}}));
        auto source = PacketSource::create(path);
        ASSERT_TRUE(source) << linkType;
        EXPECT_EQ(readAll(*source).packets, 1u) << linkType;
        EXPECT_EQ(source->counts.framesRead, 1u) << linkType;
    }
}

TEST(PacketSource, CutFramesAndUnsupportedLinkTypesDeliverNothing) {
    Segment s;
    s.payload = Bytes(100, 0x16);
    Bytes frame = ethernet(ipv4(s));
    frame.resize(80);  // cut by a snapshot length
    varno_test::ScratchDir scratch;
    std::string cut = scratch / "cut.pcap";
    ASSERT_TRUE(writePcap(cut, DLT_EN10MB, {{frame}, {frame}}));
    auto source = PacketSource::create(cut);
    ASSERT_TRUE(source);
    EXPECT_EQ(readAll(*source).packets, 0u);

    std::string unsupported = scratch / "ieee80211.pcap";
    ASSERT_TRUE(writePcap(unsupported, 105, {{ipv4(s)}}));
    auto other = PacketSource::create(unsupported);
    ASSERT_TRUE(other) << "an unsupported link type still opens";
    EXPECT_EQ(readAll(*other).packets, 0u);

    EXPECT_FALSE(PacketSource::create(std::string("/nonexistent/capture.pcap")));
}

TEST(PacketSource, NextPacketHandsOverAndStartsAFreshPacket) {
    auto source = PacketSource::create(dataFile("t13_x25519.pcap"));
    ASSERT_TRUE(source);
    ASSERT_TRUE(readPacket(*source));
    auto first = source->nextPacket();
    auto second = source->nextPacket();
    EXPECT_NE(first->header, nullptr);
    EXPECT_EQ(second->header, nullptr);
    EXPECT_NE(first, second);
}

// A capture that falls behind loses frames in the kernel; libpcap's counters say so in the
// log, at error severity once more than 1 % of the frames is gone. Loopback traffic of our
// own (one TCP stream, told apart by its port) fills a buffer far too small while the
// capture does not read.
TEST(PacketSourceLive, DropsAreLoggedFromLibpcapsCounters) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root (CAP_NET_RAW); skipped";
    varno_test::LogCapture log;
    Interface lo;
    lo.name = "lo";
    auto source = PacketSource::create(lo, 1);  // libpcap's smallest ring
    ASSERT_TRUE(source) << "could not open the loopback device";

    int const listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_TRUE(source->setFilter("tcp port " + std::to_string(ntohs(address.sin_port))));

    int const sender = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int const receiver = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(receiver, 0);
    std::thread drain([receiver] {
        char buffer[65536];
        while (::read(receiver, buffer, sizeof buffer) > 0) {
        }
    });
    // Small segments, many of them: far more frames than the ring holds.
    int const one = 1;
    ::setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char const chunk[100] = {};
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(::write(sender, chunk, sizeof chunk), ssize_t(sizeof chunk));
    ::close(sender);
    drain.join();
    ::close(receiver);
    ::close(listener);

    // Stopped at once: the source drains what the kernel kept, then reports at the end.
    source->active.store(false);
    while (readPacket(*source)) source->nextPacket();
    std::string const text = log.text();
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(text, counts,
                                  std::regex(R"(error Capture statistics on lo at the end: (\d+) received, (\d+) )"
                                             R"(dropped by the kernel, (\d+) dropped by the interface)")))
        << text;
    EXPECT_GT(std::stoull(counts[2]), 0u);
    EXPECT_GT(std::stoull(counts[2]) * 100, std::stoull(counts[1]));
    std::cout << "[          ] " << counts[0] << "\n";
}
