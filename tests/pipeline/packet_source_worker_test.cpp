// The capture loop over a written capture file: which flows a SYN ends, which ones a
// bare SYN leaves alone, and that an expiry entry never ends a later flow of its key.
#include <gtest/gtest.h>

#include "flow/flow.h"
#include "pipeline/packet_source_worker.h"
#include "support/builders.h"
#include "support/files.h"

using namespace build;

namespace {

struct Step {
    long millis;          // capture time after the start of the file
    uint16_t clientPort;  // the connection: client port to server port 443
    uint8_t flags;        // TCP flags
    bool hello;           // carries a ClientHello (else no payload)
};

struct Outcome {
    std::vector<std::shared_ptr<Flow>> handedOver;  // in the order they left the table
    std::vector<std::shared_ptr<Flow>> leftAtEnd;
    uint64_t opened = 0;
    CaptureCounts counts;
};

Outcome runCapture(std::vector<Step> const& steps, bool ipv6 = false) {
    std::vector<Frame> frames;
    for (auto const& step : steps) {
        Segment s;
        if (ipv6) s.src = "fd00::1", s.dst = "fd00::2";
        s.srcPort = step.clientPort;
        s.tcpFlags = step.flags;
        if (step.hello) s.payload = record(22, clientHello({}));
        const Bytes frame = ipv6 ? ethernet(build::ipv6(s), 0x86dd) : ethernet(ipv4(s));
        frames.push_back({frame, 1700000000 + step.millis / 1000, (step.millis % 1000) * 1000});
    }
    varno_test::ScratchDir scratch;
    const std::string path = scratch / "steps.pcap";
    EXPECT_TRUE(writePcap(path, DLT_EN10MB, frames));

    Outcome outcome;
    FlowTable table;
    auto tasks = std::make_shared<FlowChannel>();
    PacketSourceWorker worker(table, tasks);
    auto source = PacketSource::create(path);
    EXPECT_TRUE(source);
    if (!source) return outcome;
    worker.setPacketSource(source);
    worker();
    tasks->send(nullptr);
    for (auto flow = tasks->receive(); flow; flow = tasks->receive()) outcome.handedOver.push_back(flow);
    outcome.opened = table.opened();
    outcome.leftAtEnd = table.takeAll();
    outcome.counts = worker.captureCounts();
    return outcome;
}

constexpr uint8_t SYN = 0x02, SYN_ACK = 0x12, PSH_ACK = 0x18;

}  // namespace

TEST(PacketSourceWorker, SynOnALiveFlowsFourTupleHandsItOverAndItsExpiryEntryGoesStale) {
    for (bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
        const Outcome got = runCapture(
            {
                {0, 50000, PSH_ACK, true},     // opens flow A (deadline 10000)
                {1000, 50000, SYN_ACK, false},  // no payload, ACK set: filtered out
                {1000, 50000, SYN, false},      // the 4-tuple starts over: A leaves at once
                {1001, 50000, PSH_ACK, true},   // opens flow B (deadline 11001)
                {1002, 50000, PSH_ACK, true},   // queued on B
                {10500, 50001, PSH_ACK, true},  // opens C; A's old entry must not end B
                {30000, 50002, SYN, false},     // a bare SYN runs no expiry
            },
            ipv6);
        ASSERT_EQ(got.handedOver.size(), 1u);
        EXPECT_EQ(got.handedOver[0]->packets.size(), 1u) << "A, with its hello only";
        ASSERT_EQ(got.leftAtEnd.size(), 2u) << "B and C were still collecting";
        size_t queued = 0;
        for (auto const& flow : got.leftAtEnd) queued += flow->packets.size();
        EXPECT_EQ(queued, 3u) << "B holds two packets, C one";
        EXPECT_EQ(got.opened, 3u);
        EXPECT_EQ(got.counts.framesRead, 6u) << "the SYN-ACK without payload never reaches the program";
    }
}

TEST(PacketSourceWorker, SynCarryingAHelloEndsTheOldFlowAndOpensItsOwn) {
    const Outcome got = runCapture({
        {0, 50000, PSH_ACK, true},
        {2000, 50000, SYN, true},  // TCP Fast Open: the hello rides on the SYN
    });
    ASSERT_EQ(got.handedOver.size(), 1u);
    ASSERT_EQ(got.leftAtEnd.size(), 1u);
    EXPECT_EQ(got.leftAtEnd[0]->packets.size(), 1u);
    EXPECT_TRUE(got.leftAtEnd[0]->packets.front()->isSyn());
}
