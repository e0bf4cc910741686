#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <chrono>
#include <filesystem>

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
};

Delivered readAll(PacketSource& source) {
    Delivered d;
    while (source.hasMorePackets()) {
        auto p = source.nextPacket();
        ++d.packets;
        d.payloadBytes += p->tcpPayloadLength();
        d.ports.insert(p->key.srcPort);
        d.ports.insert(p->key.dstPort);
    }
    return d;
}

}  // namespace

// The same two connections recorded (or rewritten) with every supported link type give
// the same packets, addresses and payload bytes.
TEST(PacketSource, EveryLinkTypeDeliversTheSameSegments) {
    auto reference = PacketSource::create(dataFile("lt_ethernet.pcap"));
    ASSERT_TRUE(reference);
    EXPECT_EQ(reference->linkType, DLT_EN10MB);
    EXPECT_EQ(reference->linkOffset, 14);
    const Delivered expected = readAll(*reference);
    EXPECT_GT(expected.packets, 8u);

    const std::vector<std::pair<std::string, int>> variants = {
        {"lt_bsd_null.pcap", 4}, {"lt_raw_ip.pcap", 0}, {"lt_pcapng.pcapng", 14}, {"lt_ethernet_fcs.pcap", 14}};
    for (auto const& [file, offset] : variants) {
        auto source = PacketSource::create(dataFile(file));
        ASSERT_TRUE(source) << file;
        EXPECT_EQ(source->linkOffset, offset) << file;
        Delivered got = readAll(*source);
        EXPECT_EQ(got.packets, expected.packets) << file;
        EXPECT_EQ(got.payloadBytes, expected.payloadBytes) << file;
        EXPECT_EQ(got.ports, expected.ports) << file;
    }
    // The cooked captures were recorded live on the any-device at the same time, on other ports.
    for (auto const& [file, offset] : std::vector<std::pair<std::string, int>>{{"lt_linux_sll.pcap", 16},
                                                                               {"lt_linux_sll2.pcap", 20}}) {
        auto source = PacketSource::create(dataFile(file));
        ASSERT_TRUE(source) << file;
        EXPECT_EQ(source->linkOffset, offset);
        EXPECT_GT(readAll(*source).packets, 8u) << file;
    }
}

TEST(PacketSource, ChangeCipherSpecAloneInA46ByteDatagramPassesTheFilter) {
    auto source = PacketSource::create(dataFile("lt_ccs_alone_46.pcap"));
    ASSERT_TRUE(source);
    bool seen = false;
    while (source->hasMorePackets()) {
        auto p = source->nextPacket();
        if (p->tcpPayloadLength() == 6 && p->tcpPayload()[0] == 0x14) seen = true;
    }
    EXPECT_TRUE(seen);
}

TEST(PacketSource, FilterDropsSegmentsWithoutPayloadAndNonTcp) {
    Segment ack;  // bare acknowledgement carrying TCP options: 52-byte datagram
    ack.tcpHeaderWords = 8;
    Segment data = ack;
    data.payload = {0x14, 0x03, 0x03, 0x00, 0x01, 0x01};
    data.tcpHeaderWords = 5;
    Segment udp = data;
    udp.protocol = 17;
    varno_test::ScratchDir scratch;
    std::string path = scratch / "filter.pcap";
    ASSERT_TRUE(writePcap(path, DLT_EN10MB, {{ethernet(ipv4(ack))}, {ethernet(ipv4(udp))}, {ethernet(ipv4(data))}}));
    auto source = PacketSource::create(path);
    ASSERT_TRUE(source);
    Delivered got = readAll(*source);
    EXPECT_EQ(got.packets, 1u);
    EXPECT_EQ(got.payloadBytes, 6u);
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
    EXPECT_EQ(other->linkOffset, -1);
    EXPECT_EQ(readAll(*other).packets, 0u);

    EXPECT_FALSE(PacketSource::create(std::string("/nonexistent/capture.pcap")));
}

TEST(PacketSource, NextPacketHandsOverAndStartsAFreshPacket) {
    auto source = PacketSource::create(dataFile("t13_x25519.pcap"));
    ASSERT_TRUE(source);
    ASSERT_TRUE(source->hasMorePackets());
    auto first = source->nextPacket();
    auto second = source->nextPacket();
    EXPECT_NE(first->ipHeader, nullptr);
    EXPECT_EQ(second->ipHeader, nullptr);
    EXPECT_NE(first, second);
}

// Clearing the keep-reading flag ends a live read on a quiet link promptly.
TEST(PacketSourceLive, StopRequestEndsAQuietCapture) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root (CAP_NET_RAW); skipped";
    Interface lo;
    lo.name = "lo";
    auto source = PacketSource::create(lo);
    ASSERT_TRUE(source) << "could not open the loopback device";
    // A filter nothing matches keeps the link quiet whatever else runs on this machine.
    ASSERT_TRUE(source->setFilter("tcp port 9 and tcp port 7"));
    FlowTable flows;
    auto tasks = std::make_shared<FlowChannel>();
    PacketSourceWorker worker(flows, tasks);
    worker.setPacketSource(source);
    auto started = std::chrono::steady_clock::now();
    boost::thread capture(std::ref(worker));
    boost::this_thread::sleep_for(boost::chrono::milliseconds(300));
    worker.close();
    ASSERT_TRUE(capture.try_join_for(boost::chrono::seconds(5))) << "the capture did not stop";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}
