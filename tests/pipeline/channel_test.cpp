#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/thread.hpp>
#include <set>

#include <filesystem>
#include <sstream>
#include <thread>

#include "export/exporter.h"
#include "flow/flow.h"
#include "pipeline/flow_process.h"
#include "support/csv.h"
#include "support/files.h"
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

namespace {

// A complete handshake between the client port and 443.
std::shared_ptr<Flow> completeFlow(uint16_t clientPort) {
    build::Connection conn;
    conn.client.srcPort = clientPort;
    conn.server.dstPort = clientPort;
    auto flow = conn.flow();
    flow->enqueuePacket(*conn.fromClient(build::record(22, build::clientHello({}))));
    flow->enqueuePacket(*conn.fromServer(build::record(22, build::serverHello({}))));
    flow->enqueuePacket(*conn.fromClient(build::record(20, {1})));
    flow->enqueuePacket(*conn.fromServer(build::record(20, {1})));
    return flow;
}

// The analysis thread writing into a scratch output directory, as the engine runs it.
struct WorkerRun {
    SettingsGuard guard;
    varno_test::ScratchDir scratch;
    std::shared_ptr<FlowChannel> tasks = std::make_shared<FlowChannel>();
    FlowExporter exporter;
    FlowTaskWorker worker{tasks, exporter};

    WorkerRun() {
        guard.output.outputDir = scratch.path().string();
        guard.output.outputPrefix = "out";
        guard.output.exportThreshold = 0;
        guard.output.exportDuration = 60;
    }
    // The client ports of the rows in the files, published or not.
    std::multiset<std::string> rowPorts() const {
        std::multiset<std::string> ports;
        for (auto const& entry : std::filesystem::directory_iterator(scratch.path())) {
            std::istringstream lines(varno_test::readFile(entry.path()));
            std::string line;
            std::getline(lines, line);  // header
            while (std::getline(lines, line)) ports.insert(varno_test::csv::split(line, ',').at(3));
        }
        return ports;
    }
};

}  // namespace

TEST(FlowTaskWorker, WritesOnlyCompleteFlowsAndStopsAtTheFirstMarker) {
    WorkerRun run;
    auto leftOver = std::make_shared<Flow>(FlowKey{9, 9, 9, 9, 6});
    run.tasks->send(std::make_shared<Flow>(FlowKey{1, 2, 3, 4, 6}));
    run.tasks->send(completeFlow(51000));
    run.tasks->send(nullptr);
    run.tasks->send(leftOver);
    boost::thread t(std::ref(run.worker));
    t.join();
    run.exporter.finish();
    EXPECT_EQ(run.rowPorts(), (std::multiset<std::string>{"51000"}));
    EXPECT_EQ(run.worker.incompleteFlows(), 1u);
    EXPECT_EQ(run.tasks->receive(), leftOver);
}

namespace {
// A processor that fails on every packet, standing in for an unforeseen error in one flow.
struct FailingProcessor : ProtocolProcessor {
    bool canProcess(std::shared_ptr<Packet> const&) const override { return true; }
    void process(std::shared_ptr<Packet> const&) override { throw std::runtime_error("broken flow"); }
};
}  // namespace

TEST(FlowTaskWorker, AnErrorInOneFlowDropsThatFlowOnly) {
    WorkerRun run;
    auto broken = completeFlow(51000);
    broken->processors().push_front(std::make_shared<FailingProcessor>());
    run.tasks->send(broken);
    run.tasks->send(completeFlow(51001));
    run.tasks->send(nullptr);
    boost::thread t(std::ref(run.worker));
    ASSERT_TRUE(t.try_join_for(boost::chrono::seconds(10))) << "the worker did not survive the error";
    run.exporter.finish();
    EXPECT_EQ(run.rowPorts(), (std::multiset<std::string>{"51001"}));
}

// A row handed over alone is in the ".tmp" file while the worker waits for more, so a
// process killed then still leaves it on disk.
TEST(FlowTaskWorker, RowReachesTheFileWhenNothingFollows) {
    WorkerRun run;
    boost::thread t(std::ref(run.worker));
    run.tasks->send(completeFlow(51002));
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (run.rowPorts().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(run.rowPorts(), (std::multiset<std::string>{"51002"}));
    run.tasks->send(nullptr);
    t.join();
    run.exporter.finish();
    EXPECT_EQ(run.exporter.rowsWritten(), 1u);
}
