#include "report/drift.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace report {

namespace {

std::string listText(std::vector<std::string> const& items) {
    std::string out;
    for (auto const& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::string worstText(ServerSummary const& s) { return s.anyFinding ? std::string(severityName(s.worst)) : "none"; }

void compareServer(ServerSummary const& a, ServerSummary const& b, std::vector<ServerChange>& out) {
    auto note = [&](char const* what, std::string before, std::string after) {
        if (before != after) out.push_back({b.server, what, std::move(before), std::move(after)});
    };
    note("worst finding", worstText(a), worstText(b));
    note("versions", listText(a.versions), listText(b.versions));
    note("suite class", a.suiteClass, b.suiteClass);
    // TLS 1.3 hides the certificate, so a key that is unknown on one side is no change.
    if (!a.key.empty() && !b.key.empty()) note("key", a.key, b.key);
    note("group kind", a.groupKinds, b.groupKinds);
}

// (severity, kind, server) of every finding, without its detail.
std::set<std::tuple<int, FindingKind, std::string>> findingKeys(Summary const& s) {
    std::set<std::tuple<int, FindingKind, std::string>> keys;
    for (auto const& f : s.findings) keys.emplace(-static_cast<int>(f.severity()), f.kind, f.server);
    return keys;
}

}  // namespace

Drift compareSummaries(Summary const& then, Summary const& now) {
    Drift d;
    d.directories = then.directories;
    d.rows = then.rows;
    d.firstMs = then.firstMs;
    d.lastMs = then.lastMs;
    std::map<std::string, ServerSummary const*> before;
    for (auto const& s : then.serverTable) before.emplace(s.server, &s);
    std::set<std::string> seen;
    for (auto const& s : now.serverTable) {
        seen.insert(s.server);
        auto const found = before.find(s.server);
        if (found == before.end())
            d.newServers.push_back(s.server);
        else
            compareServer(*found->second, s, d.changed);
    }
    for (auto const& [name, s] : before)
        if (!seen.count(name)) d.goneServers.push_back(name);
    std::sort(d.newServers.begin(), d.newServers.end());

    auto const keysThen = findingKeys(then), keysNow = findingKeys(now);
    for (auto const& [severity, kind, server] : keysNow)
        if (!keysThen.count({severity, kind, server})) d.appeared.push_back({kind, server});
    for (auto const& [severity, kind, server] : keysThen)
        if (!keysNow.count({severity, kind, server})) d.disappeared.push_back({kind, server, seen.count(server) > 0});

    d.tls13Then = then.tls13;
    d.postQuantumThen = then.postQuantum;
    d.tls13Now = now.tls13;
    d.postQuantumNow = now.postQuantum;
    return d;
}

}  // namespace report
