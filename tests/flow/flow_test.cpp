#include <gtest/gtest.h>

#include "support/handshake.h"
#include "tls/tls.h"

using namespace build;

namespace {
struct Flows : ::testing::Test {
    SettingsGuard guard;
    Connection conn;
};

Bytes helloRecord() {
    ClientHelloFields f;
    f.extensions = sniExtension("flow.example");
    return record(22, clientHello(f));
}
}  // namespace

TEST_F(Flows, CompleteHandshakeAndPacketsAfterItAreDiscarded) {
    auto flow = conn.flow();
    EXPECT_FALSE(flow->processPackets()) << "empty queue";
    flow->enqueuePacket(*conn.fromClient(helloRecord()));
    flow->enqueuePacket(*conn.fromServer(record(22, serverHello({}))));
    flow->enqueuePacket(*conn.fromClient(record(20, {1})));
    flow->enqueuePacket(*conn.fromServer(record(20, {1})));
    flow->enqueuePacket(*conn.fromServer(record(21, {2, 40})));  // after completion: never read
    EXPECT_TRUE(flow->processPackets());
    EXPECT_FALSE(flow->features().fatalAlertSeen);
    EXPECT_EQ(flow->features().sni, "flow.example");
    EXPECT_FALSE(flow->processPackets()) << "second call has nothing to process";
    for (auto const& p : flow->processors())
        EXPECT_FALSE(std::static_pointer_cast<TLSProtocolProcessor>(p)->holdsBuffers());
}

TEST_F(Flows, FatalAlertStopsTheSecondProcessorOnly) {
    auto flow = conn.flow();
    // The first processor serves the canonical key's direction; here that is the server's.
    auto first = std::static_pointer_cast<TLSProtocolProcessor>(flow->processors().front());
    const bool clientFirst = first->directionKey() == conn.fromClient({1})->key;
    conn = Connection();
    flow->enqueuePacket(*conn.fromClient(helloRecord()));
    flow->enqueuePacket(*conn.fromServer(record(22, serverHello({}))));
    auto alert = record(21, {2, 48});
    flow->enqueuePacket(*(clientFirst ? conn.fromClient(alert) : conn.fromServer(alert)));
    flow->enqueuePacket(*conn.fromClient(record(20, {1})));
    flow->enqueuePacket(*conn.fromServer(record(20, {1})));
    EXPECT_FALSE(flow->processPackets());
    EXPECT_TRUE(flow->features().fatalAlertSeen);
    EXPECT_NE(flow->features().clientChangeCipherSpecSeen, flow->features().serverChangeCipherSpecSeen)
        << "only the first processor's direction still reads packets";
}

TEST_F(Flows, OneDirectionNeverCompletes) {
    auto flow = conn.flow();
    flow->enqueuePacket(*conn.fromServer(record(22, serverHello({}))));
    flow->enqueuePacket(*conn.fromServer(record(20, {1})));
    EXPECT_FALSE(flow->processPackets());
    EXPECT_TRUE(flow->features().serverHelloSeen);
    EXPECT_EQ(flow->features().clientIPAddress, "192.168.1.10") << "client is the ServerHello's destination";
    EXPECT_TRUE(flow->features().sni.empty());
}

TEST_F(Flows, RetransmittedClientHelloDoesNotLoseTheRow) {
    auto flow = conn.flow();
    Bytes hello = helloRecord();
    auto first = conn.fromClient(hello);
    flow->enqueuePacket(*first);
    flow->enqueuePacket(*conn.fromServer(record(22, serverHello({}))));
    flow->enqueuePacket(*first);  // the same segment again
    flow->enqueuePacket(*conn.fromClient(record(20, {1})));
    flow->enqueuePacket(*conn.fromServer(record(20, {1})));
    EXPECT_TRUE(flow->processPackets());
}

TEST_F(Flows, SegmentOfItsOwnReverseReachesBothProcessors) {
    Connection self;
    self.client.dst = self.client.src;
    self.client.dstPort = self.client.srcPort;
    auto flow = self.flow();
    auto p = self.fromClient(helloRecord());
    EXPECT_TRUE(p->key == p->key.reverse());
    int takers = 0;
    for (auto const& proc : flow->processors()) takers += proc->canProcess(p);
    EXPECT_EQ(takers, 2);
}

// Each flow without a row gets one reason: the first that applies. Steps: H ClientHello,
// S ServerHello, c/s the client's/server's ChangeCipherSpec, A a fatal alert from the
// server, G a server segment lost upstream, L a segment refused past the limit.
TEST_F(Flows, ReasonWhyAFlowGaveNoRow) {
    std::vector<std::pair<std::string, NoRowReason>> const cases = {
        {"H", NoRowReason::NoServerHello},      {"Ss", NoRowReason::NoClientHello},
        {"HA", NoRowReason::FatalAlert},        {"HSs", NoRowReason::NoClientChangeCipherSpec},
        {"HSc", NoRowReason::NoServerChangeCipherSpec}, {"HSGsc", NoRowReason::TcpGap},
        {"HSL", NoRowReason::SegmentLimit},
    };
    for (auto const& [steps, reason] : cases) {
        Connection c;
        auto flow = c.flow();
        for (char step : steps) {
            switch (step) {
            case 'H': flow->enqueuePacket(*c.fromClient(helloRecord())); break;
            case 'S': flow->enqueuePacket(*c.fromServer(record(22, serverHello({})))); break;
            case 'c': flow->enqueuePacket(*c.fromClient(record(20, {1}))); break;
            case 's': flow->enqueuePacket(*c.fromServer(record(20, {1}))); break;
            case 'A': flow->enqueuePacket(*c.fromServer(record(21, {2, 40}))); break;
            case 'G': c.fromServer(Bytes(100, 0)); break;  // never queued
            case 'L': flow->refusePacket(); break;
            }
        }
        EXPECT_FALSE(flow->processPackets()) << steps;
        EXPECT_EQ(noRowReasonText(flow->noRow), noRowReasonText(reason)) << steps;
    }
}
