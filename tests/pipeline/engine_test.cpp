#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <filesystem>

#include "flow/flow.h"
#include "pipeline/engine.h"
#include "support/files.h"
#include "support/handshake.h"

using namespace build;

// Reading a file waits for the analysis whenever the bounded task channel is full; it must
// still end, however many flows expire on the way, with every flow handed over.
TEST(FlowEngine, FileRunEndsWithMoreExpiredFlowsThanTheChannelHolds) {
    SettingsGuard guard;
    std::vector<Frame> frames;
    constexpr int connections = 1500;  // more than a bounded channel holds
    for (int i = 0; i < connections; ++i) {
        Connection conn;
        conn.client.srcPort = static_cast<uint16_t>(10000 + i);
        conn.client.payload = record(22, clientHello({}));
        // 20 ms apart: the early flows expire while the file is still being read.
        frames.push_back({ethernet(ipv4(conn.client)), 1700000000 + i / 50, (i % 50) * 20000});
    }
    varno_test::ScratchDir scratch;
    guard.output.outputDir = scratch.path().string();
    auto const path = scratch / "many-flows.pcap";
    ASSERT_TRUE(writePcap(path, DLT_EN10MB, frames));

    FlowEngine engine;
    ASSERT_TRUE(engine.open(path));
    boost::thread run([&] { engine.processPackets(); });
    ASSERT_TRUE(run.try_join_for(boost::chrono::seconds(60))) << "the pipeline did not end";
    EXPECT_TRUE(engine.flows.empty()) << "the flows left at the end are handed over";
}
