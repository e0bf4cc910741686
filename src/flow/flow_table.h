#pragma once
#include <cstdint>
#include <unordered_map>
#include <memory>
#include <queue>
#include <vector>

#include "capture/flowkey.h"

class Flow;

// The flows being collected, by canonical key, and the order in which their collection
// time runs out (capture time of the first packet plus the timeout). Looked up on every
// packet, so it hashes; only the flows left at the end are put in key order.
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
            const Expiry due = expiryQueue.top();
            expiryQueue.pop();
            auto it = flows.find(due.key);
            // The flow may have left early, and a later flow may hold its key by now.
            if (it == flows.end() || it->second.serial != due.serial) continue;
            handOver(take(it));
        }
    }
    // Removes the flow of this key at once, if there is one, and passes it to handOver;
    // its expiry entry stays behind, stale.
    template <typename HandOver>
    void close(FlowKey const& key, HandOver&& handOver) {
        auto it = flows.find(key);
        if (it != flows.end()) handOver(take(it));
    }
    // Removes every flow, in ascending key order.
    std::vector<std::shared_ptr<Flow>> takeAll();

    size_t size() const { return flows.size(); }
    bool empty() const { return flows.empty(); }
    // Flows opened since the table was made.
    uint64_t opened() const { return serials; }

    uint32_t timeout = defaultTimeout;

private:
    struct Entry {
        std::shared_ptr<Flow> flow;
        uint64_t serial;  // which flow of this key: the n-th opened in the table
    };
    struct Expiry {
        FlowKey key;
        uint64_t deadline;
        uint64_t serial;
        bool operator<(Expiry const& other) const { return deadline > other.deadline; }
    };
    using Flows = std::unordered_map<FlowKey, Entry, FlowKeyHash>;

    std::shared_ptr<Flow> take(Flows::iterator it) {
        std::shared_ptr<Flow> flow = std::move(it->second.flow);
        flows.erase(it);
        return flow;
    }

    Flows flows;
    std::priority_queue<Expiry> expiryQueue;
    uint64_t serials = 0;
};
