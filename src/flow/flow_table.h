#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <queue>
#include <vector>

#include "capture/flowkey.h"

class Flow;

// The flows being collected, by canonical key, and the order in which their collection
// time runs out (capture time of the first packet plus the timeout).
class FlowTable {
public:
    static constexpr uint32_t defaultTimeout = 10000;  // milliseconds

    // The open flow of this key, or null.
    Flow* find(FlowKey const& key);
    // Opens a flow for a key that has none; its time runs out `timeout` after `now`.
    Flow& open(FlowKey const& key, uint64_t now);
    // Removes every flow whose time ran out at `now` and passes it to handOver, earliest first.
    template <typename HandOver>
    void expire(uint64_t now, HandOver&& handOver) {
        while (!expiryQueue.empty() && expiryQueue.top().deadline <= now) {
            FlowKey key = expiryQueue.top().key;
            expiryQueue.pop();
            auto it = flows.find(key);
            if (it == flows.end()) continue;
            std::shared_ptr<Flow> flow = std::move(it->second);
            flows.erase(it);
            handOver(std::move(flow));
        }
    }
    // Removes every flow, in ascending key order.
    std::vector<std::shared_ptr<Flow>> takeAll();

    size_t size() const { return flows.size(); }
    bool empty() const { return flows.empty(); }

    uint32_t timeout = defaultTimeout;

private:
    struct Expiry {
        FlowKey key;
        uint64_t deadline;
        bool operator<(Expiry const& other) const { return deadline > other.deadline; }
    };

    std::map<FlowKey, std::shared_ptr<Flow>> flows;
    std::priority_queue<Expiry> expiryQueue;
};
