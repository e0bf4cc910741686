#include <gtest/gtest.h>

#include <map>
#include <random>

#include "flow/flow.h"
#include "flow/flow_table.h"

namespace {
FlowKey keyFor(unsigned n) {
    FlowKey key;
    const uint8_t client[4] = {10, 0, uint8_t(n >> 8), uint8_t(n)};
    const uint8_t server[4] = {192, 0, 2, 1};
    key.srcAddress = IpAddress::fromIpv4(client);
    key.dstAddress = IpAddress::fromIpv4(server);
    key.srcPort = uint16_t(40000 + n % 7);
    key.dstPort = 443;
    key.protocol = 6;
    return key;
}
}  // namespace

// Random opens, closes and expiries against a plain map: removals move keys back within
// their runs, and the table grows several times, so every key must stay findable.
// Capture time mostly moves on but now and then steps back (files merged out of order);
// ended connections have their time brought forward. Every flow leaves once its deadline
// has come, not before.
TEST(FlowTable, AgreesWithAMapThroughOpensClosesExpiriesAndGrowth) {
    FlowTable table;
    table.timeout = 50;
    std::map<FlowKey, std::pair<Flow*, uint64_t>> model;  // the flow and its deadline
    std::mt19937 random(7);
    for (uint64_t step = 0; step < 40000; ++step) {
        const uint64_t now = step % 701 == 0 && step > 100 ? step - 100 : step;
        const FlowKey key = keyFor(random() % 3000);
        const unsigned action = random() % 6;
        if (action < 2) {
            table.close(key, [&](std::shared_ptr<Flow>&& flow) {
                ASSERT_EQ(model.at(key).first, flow.get());
                model.erase(key);
            });
        } else if (action == 2 && model.count(key)) {
            table.hasten(key, now + 5);
            model[key].second = std::min(model[key].second, now + 5);
        } else if (!table.find(key)) {
            model[key] = {&table.open(key, now), now + table.timeout};
        }
        table.expire(now, [&](std::shared_ptr<Flow>&& flow) {
            ASSERT_EQ(model.at(flow->key).first, flow.get());
            ASSERT_LE(model.at(flow->key).second, now) << "left before its time";
            model.erase(flow->key);
        });
        for (auto const& [k, entry] : model) ASSERT_GT(entry.second, now) << "due but still open at " << now;
        if (step % 997 == 0)
            for (unsigned n = 0; n < 3000; ++n) {
                auto it = model.find(keyFor(n));
                ASSERT_EQ(table.find(keyFor(n)), it == model.end() ? nullptr : it->second.first) << n << " at " << now;
            }
        ASSERT_EQ(table.size(), model.size());
    }
    const auto all = table.takeAll();
    ASSERT_EQ(all.size(), model.size());
    EXPECT_TRUE(table.empty());
}

// Past the budget, flows that hold only a client's hello go first, oldest first (an
// answered one keeps its place), then the oldest of any kind; what leaves is uncharged.
TEST(FlowTable, EvictsHelloOnlyFlowsFirstThenTheOldest) {
    FlowTable table;
    struct Opened {
        unsigned n;
        bool helloOnly, answered;
    };
    for (auto [n, helloOnly, answered] : {Opened{1, false, false}, Opened{2, true, true}, Opened{3, true, false},
                                          Opened{4, false, false}, Opened{5, true, false}})
        table.open(keyFor(n), n, helloOnly).answered = answered;
    const size_t each = table.bytesHeld() / 5;
    ASSERT_EQ(table.bytesHeld(), 5 * each) << "flows of one size cost the same";
    std::vector<FlowKey> order;
    auto record = [&](std::shared_ptr<Flow>&& flow) {
        EXPECT_TRUE(flow->evicted);
        order.push_back(flow->key);
    };
    EXPECT_EQ(table.evictOver(3 * each, record), 2u);
    EXPECT_EQ(table.evictOver(each, record), 2u);
    EXPECT_EQ(order, (std::vector<FlowKey>{keyFor(3), keyFor(5), keyFor(1), keyFor(2)}));
    EXPECT_EQ(table.bytesHeld(), each);
    EXPECT_NE(table.find(keyFor(4)), nullptr);
    EXPECT_EQ(table.evictOver(0, record), 1u);
    EXPECT_EQ(table.bytesHeld(), 0u);
    EXPECT_EQ(table.evictOver(0, record), 0u) << "nothing left to evict";
}
