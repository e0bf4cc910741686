#pragma once
#include <cstdint>
#include <cstddef>
#include <deque>
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
    // `helloOnly`: opened by a client's hello, so it goes first when memory runs short.
    Flow& open(FlowKey const& key, uint64_t now, bool helloOnly = false);
    // Removes every flow whose time ran out at `now` and passes it to handOver, earliest first.
    template <typename HandOver>
    void expire(uint64_t now, HandOver&& handOver) {
        for (Expiry due; deadlines.popDue(now, due);) {
            const size_t i = lookup(due.key);
            // The flow may have left early, and a later flow may hold its key by now.
            if (i == none || slots[i].serial != due.serial) continue;
            handOver(take(i));
        }
        // Every flow opened by then has left: its place in the eviction order goes too.
        while (!helloOnlyOrder.empty() && helloOnlyOrder.front().deadline <= now) helloOnlyOrder.pop_front();
    }
    // Brings the flow's time forward to `deadline`, when that is earlier: the connection
    // has ended, so nothing much can still come.
    void hasten(FlowKey const& key, uint64_t deadline) {
        const size_t i = lookup(key);
        if (i != none) deadlines.push(deadlines.closing, Expiry{key, deadline, slots[i].serial});
    }
    // Counts the flow's present footprint against the memory held.
    void charge(Flow& flow);
    // Bytes held by the open flows: their objects, kept packets and their share of the
    // table, as charged.
    size_t bytesHeld() const { return held; }
    // While more than `budget` bytes are held, evicts flows and passes them to handOver:
    // first those that hold only a client's hello (nothing from the server yet), oldest
    // first, then the oldest of any kind. Returns how many.
    template <typename HandOver>
    size_t evictOver(size_t budget, HandOver&& handOver) {
        size_t evicted = 0;
        while (held > budget) {
            std::shared_ptr<Flow> victim = takeVictim();
            if (!victim) break;
            handOver(std::move(victim));
            ++evicted;
        }
        return evicted;
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
    std::shared_ptr<Flow> takeVictim();
    void grow();

    std::vector<Slot> slots;  // a power of two of them, at most half in use
    unsigned shift = 64;
    size_t count = 0;
    // When the flows' time runs out, earliest first. Each kind of deadline (opening plus the
    // timeout, closing plus its delay) mostly comes in time order, so it is appended to a
    // queue of its own; one that would fall due before the last of its queue (capture time
    // went backwards) goes to a heap. Every entry is met in deadline order either way, at a
    // fraction of a heap's cost.
    struct Deadlines {
        std::deque<Expiry> opening, closing;
        std::priority_queue<Expiry> unordered;
        void push(std::deque<Expiry>& queue, Expiry const& entry) {
            if (queue.empty() || queue.back().deadline <= entry.deadline)
                queue.push_back(entry);
            else
                unordered.push(entry);
        }
        // Takes the earliest entry due at `now` into `due`; false when none is.
        bool popDue(uint64_t now, Expiry& due);
        void clear() {
            opening.clear();
            closing.clear();
            unordered = {};
        }
    } deadlines;
    // Flows opened by a client's hello, in opening (and so deadline) order; entries of
    // flows answered or gone meanwhile are skipped when met.
    std::deque<Expiry> helloOnlyOrder;
    uint64_t serials = 0;
    size_t held = 0;

public:
    // What a flow costs besides its footprint: its share of the slots (at most half are
    // in use), its entries in the two orders and the shared pointer's control block.
    static constexpr size_t perFlowOverhead = 2 * sizeof(Slot) + 2 * sizeof(Expiry) + 32;
};
