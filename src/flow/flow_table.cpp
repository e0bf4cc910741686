#include "flow/flow_table.h"

#include "flow/flow.h"

#include <algorithm>
#include <utility>

Flow* FlowTable::find(FlowKey const& key) {
    auto it = flows.find(key);
    return it == flows.end() ? nullptr : it->second.flow.get();
}

Flow& FlowTable::open(FlowKey const& key, uint64_t now) {
    auto flow = std::make_shared<Flow>(key);
    const uint64_t serial = ++serials;
    flows.emplace(key, Entry{flow, serial});
    // Saturate: a capture time at the end of the range must not wrap to an early deadline.
    const uint64_t deadline = now > UINT64_MAX - timeout ? UINT64_MAX : now + timeout;
    expiryQueue.push(Expiry{key, deadline, serial});
    return *flow;
}

std::vector<std::shared_ptr<Flow>> FlowTable::takeAll() {
    std::vector<std::pair<FlowKey, std::shared_ptr<Flow>>> entries;
    entries.reserve(flows.size());
    for (auto& entry : flows) entries.emplace_back(entry.first, std::move(entry.second.flow));
    flows.clear();
    expiryQueue = {};
    std::sort(entries.begin(), entries.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<Flow>> all;
    all.reserve(entries.size());
    for (auto& entry : entries) all.push_back(std::move(entry.second));
    return all;
}
