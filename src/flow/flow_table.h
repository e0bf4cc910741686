#pragma once
#include <cstdint>
#include <cstddef>
#include <memory>
#include <queue>
#include <vector>

#include "capture/flowkey.h"

class Flow;

// The flows being collected, by canonical key, and the order in which their collection
// time runs out (capture time of the first packet plus the timeout). Looked up on every
// packet, so it is an open-addressing table: a key is found in the slot it hashes to or
// in one of the next few, each slot one cache line holding the key, with no division and
// no list node to follow. Only the flows left at the end are put in key order.
class FlowTable {
public:
    static constexpr uint32_t defaultTimeout = 10000;  // milliseconds

    // The open flow of this key, or null.
    Flow* find(FlowKey const& key) {
        const size_t i = lookup(key);
        return i == none ? nullptr : slots[i].flow.get();
    }
    // Opens a flow for a key that has none; its time runs out `timeout` after `now`.
    Flow& open(FlowKey const& key, uint64_t now);
    // Removes every flow whose time ran out at `now` and passes it to handOver, earliest first.
    template <typename HandOver>
    void expire(uint64_t now, HandOver&& handOver) {
        while (!expiryQueue.empty() && expiryQueue.top().deadline <= now) {
            const Expiry due = expiryQueue.top();
            expiryQueue.pop();
            const size_t i = lookup(due.key);
            // The flow may have left early, and a later flow may hold its key by now.
            if (i == none || slots[i].serial != due.serial) continue;
            handOver(take(i));
        }
    }
    // Removes the flow of this key at once, if there is one, and passes it to handOver;
    // its expiry entry stays behind, stale.
    template <typename HandOver>
    void close(FlowKey const& key, HandOver&& handOver) {
        const size_t i = lookup(key);
        if (i != none) handOver(take(i));
    }
    // Removes every flow, in ascending key order.
    std::vector<std::shared_ptr<Flow>> takeAll();

    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Flows opened since the table was made.
    uint64_t opened() const { return serials; }

    uint32_t timeout = defaultTimeout;

private:
    struct alignas(64) Slot {
        FlowKey key;
        uint64_t serial = 0;         // which flow of this key: the n-th opened in the table
        std::shared_ptr<Flow> flow;  // empty: a free slot
    };
    struct Expiry {
        FlowKey key;
        uint64_t deadline;
        uint64_t serial;
        bool operator<(Expiry const& other) const { return deadline > other.deadline; }
    };
    static constexpr size_t none = SIZE_MAX;
    static constexpr size_t firstCapacity = 1024;

    // The slot a key hashes to: the hash's top bits, as many as the capacity has.
    size_t home(FlowKey const& key) const { return FlowKeyHash{}(key) >> shift; }
    size_t lookup(FlowKey const& key) const {
        if (count == 0) return none;
        const size_t mask = slots.size() - 1;
        for (size_t i = home(key);; i = (i + 1) & mask) {
            if (!slots[i].flow) return none;
            if (slots[i].key == key) return i;
        }
    }
    std::shared_ptr<Flow> take(size_t i);
    void grow();

    std::vector<Slot> slots;  // a power of two of them, at most half in use
    unsigned shift = 64;
    size_t count = 0;
    std::priority_queue<Expiry> expiryQueue;
    uint64_t serials = 0;
};
