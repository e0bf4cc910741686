#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <set>

#include "flow/flow.h"
#include "pipeline/flow_process.h"
#include "support/handshake.h"
#include "tls/tls.h"

TEST(MessageChannel, FifoOrderAndEmptyMarker) {
    FlowChannel channel;
    auto a = std::make_shared<Flow>(FlowKey{1, 2, 3, 4, 6});
    auto b = std::make_shared<Flow>(FlowKey{5, 6, 7, 8, 6});
    channel.send(a);
    channel.send(nullptr);
    channel.send(b);
    EXPECT_EQ(channel.receive(), a);
    EXPECT_EQ(channel.receive(), nullptr);
    EXPECT_EQ(channel.receive(), b);
}

TEST(MessageChannel, BlockedReceiversEachGetOneMessage) {
    FlowChannel channel;
    std::vector<std::shared_ptr<Flow>> got(3);
    std::vector<boost::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { got[i] = channel.receive(); });
    std::set<Flow*> sent;
    for (int i = 0; i < 3; ++i) {
        auto f = std::make_shared<Flow>(FlowKey{static_cast<uint32_t>(i), 0, 0, 0, 6});
        sent.insert(f.get());
        channel.send(f);
    }
    for (auto& t : threads) t.join();
    std::set<Flow*> received;
    for (auto const& f : got) received.insert(f.get());
    EXPECT_EQ(received, sent);
}

TEST(FlowTaskWorker, ForwardsOnlyCompleteFlowsAndStopsAtTheFirstMarker) {
    auto tasks = std::make_shared<FlowChannel>();
    auto exports = std::make_shared<FlowChannel>();
    auto incomplete = std::make_shared<Flow>(FlowKey{1, 2, 3, 4, 6});
    build::Connection conn;
    auto complete = conn.flow();
    complete->enqueuePacket(conn.fromClient(build::record(22, build::clientHello({}))));
    complete->enqueuePacket(conn.fromServer(build::record(22, build::serverHello({}))));
    complete->enqueuePacket(conn.fromClient(build::record(20, {1})));
    complete->enqueuePacket(conn.fromServer(build::record(20, {1})));
    auto leftOver = std::make_shared<Flow>(FlowKey{9, 9, 9, 9, 6});
    tasks->send(incomplete);
    tasks->send(complete);
    tasks->send(nullptr);
    tasks->send(leftOver);
    FlowTaskWorker worker(tasks, exports);
    boost::thread t(std::ref(worker));
    t.join();
    exports->send(nullptr);
    EXPECT_EQ(exports->receive(), complete);
    EXPECT_EQ(exports->receive(), nullptr);
    EXPECT_EQ(tasks->receive(), leftOver);
}

namespace {
// A processor that fails on every packet, standing in for an unforeseen error in one flow.
struct FailingProcessor : ProtocolProcessor {
    bool canProcess(std::shared_ptr<Packet> const&) const override { return true; }
    void process(std::shared_ptr<Packet> const&) override { throw std::runtime_error("broken flow"); }
};
}  // namespace

TEST(FlowTaskWorker, AnErrorInOneFlowDropsThatFlowOnly) {
    auto tasks = std::make_shared<FlowChannel>();
    auto exports = std::make_shared<FlowChannel>();
    build::Connection conn;
    auto broken = conn.flow();
    broken->processors.push_front(std::make_shared<FailingProcessor>());
    broken->enqueuePacket(conn.fromClient(build::record(22, build::clientHello({}))));
    build::Connection other;
    other.client.srcPort = 51001;
    other.server.dstPort = 51001;
    auto good = other.flow();
    good->enqueuePacket(other.fromClient(build::record(22, build::clientHello({}))));
    good->enqueuePacket(other.fromServer(build::record(22, build::serverHello({}))));
    good->enqueuePacket(other.fromClient(build::record(20, {1})));
    good->enqueuePacket(other.fromServer(build::record(20, {1})));
    tasks->send(broken);
    tasks->send(good);
    tasks->send(nullptr);
    FlowTaskWorker worker(tasks, exports);
    boost::thread t(std::ref(worker));
    ASSERT_TRUE(t.try_join_for(boost::chrono::seconds(10))) << "the worker did not survive the error";
    exports->send(nullptr);
    EXPECT_EQ(exports->receive(), good);
    EXPECT_EQ(exports->receive(), nullptr);
}
