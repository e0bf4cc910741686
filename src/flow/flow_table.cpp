#include "flow/flow_table.h"

#include "flow/flow.h"

#include <algorithm>
#include <bit>
#include <utility>

Flow& FlowTable::open(FlowKey const& key, uint64_t now, bool helloOnly) {
    if ((count + 1) * 2 > slots.size()) grow();
    const size_t mask = slots.size() - 1;
    size_t i = home(key);
    while (slots[i].flow) i = (i + 1) & mask;
    Slot& slot = slots[i];
    slot.key = key;
    slot.serial = ++serials;
    slot.flow = std::make_shared<Flow>(key);
    ++count;
    // Saturate: a capture time at the end of the range must not wrap to an early deadline.
    const uint64_t deadline = now > UINT64_MAX - timeout ? UINT64_MAX : now + timeout;
    deadlines.push(deadlines.opening, Expiry{key, deadline, slot.serial});
    if (helloOnly) helloOnlyOrder.push_back(Expiry{key, deadline, slot.serial});
    charge(*slot.flow);
    return *slot.flow;
}

bool FlowTable::Deadlines::popDue(uint64_t now, Expiry& due) {
    const Expiry* earliest = unordered.empty() ? nullptr : &unordered.top();
    for (auto* queue : {&opening, &closing})
        if (!queue->empty() && (!earliest || queue->front().deadline < earliest->deadline)) earliest = &queue->front();
    if (!earliest || earliest->deadline > now) return false;
    due = *earliest;
    if (!unordered.empty() && earliest == &unordered.top())
        unordered.pop();
    else if (!opening.empty() && earliest == &opening.front())
        opening.pop_front();
    else
        closing.pop_front();
    return true;
}

void FlowTable::charge(Flow& flow) {
    const size_t now = flow.footprint() + perFlowOverhead;
    held = held - flow.chargedBytes + now;
    flow.chargedBytes = now;
}

std::shared_ptr<Flow> FlowTable::takeVictim() {
    while (!helloOnlyOrder.empty()) {
        const Expiry oldest = helloOnlyOrder.front();
        helloOnlyOrder.pop_front();
        const size_t i = lookup(oldest.key);
        if (i != none && slots[i].serial == oldest.serial && !slots[i].flow->answered) {
            std::shared_ptr<Flow> flow = take(i);
            flow->evicted = true;
            return flow;
        }
    }
    for (Expiry oldest; deadlines.popDue(UINT64_MAX, oldest);) {
        const size_t i = lookup(oldest.key);
        if (i != none && slots[i].serial == oldest.serial) {
            std::shared_ptr<Flow> flow = take(i);
            flow->evicted = true;
            return flow;
        }
    }
    return nullptr;
}

// Empties slot i and moves later keys of its run back, each no further back than the slot
// it hashes to, so that every key stays reachable from its slot without a gap.
std::shared_ptr<Flow> FlowTable::take(size_t i) {
    std::shared_ptr<Flow> flow = std::move(slots[i].flow);
    --count;
    held -= flow->chargedBytes;
    flow->chargedBytes = 0;
    const size_t mask = slots.size() - 1;
    size_t hole = i;
    for (size_t j = (i + 1) & mask; slots[j].flow; j = (j + 1) & mask) {
        // The key in j may fill the hole when the hole lies between its own slot and j.
        if (((j - home(slots[j].key)) & mask) >= ((j - hole) & mask)) {
            slots[hole] = std::move(slots[j]);
            hole = j;
        }
    }
    return flow;
}

void FlowTable::grow() {
    std::vector<Slot> old = std::move(slots);
    const size_t capacity = old.empty() ? firstCapacity : old.size() * 2;
    slots = std::vector<Slot>(capacity);
    shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    const size_t mask = capacity - 1;
    for (Slot& slot : old) {
        if (!slot.flow) continue;
        size_t i = home(slot.key);
        while (slots[i].flow) i = (i + 1) & mask;
        slots[i] = std::move(slot);
    }
}

std::vector<std::shared_ptr<Flow>> FlowTable::takeAll() {
    std::vector<std::pair<FlowKey, std::shared_ptr<Flow>>> entries;
    entries.reserve(count);
    for (Slot& slot : slots)
        if (slot.flow) entries.emplace_back(slot.key, std::move(slot.flow));
    count = 0;
    held = 0;
    deadlines.clear();
    helloOnlyOrder.clear();
    std::sort(entries.begin(), entries.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<Flow>> all;
    all.reserve(entries.size());
    for (auto& entry : entries) all.push_back(std::move(entry.second));
    return all;
}
