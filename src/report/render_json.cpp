// The JSON summary. Its layout is documented in the README and kept stable: new members may
// be added, existing ones keep their name, place and meaning.
#include <map>
#include <nlohmann/json.hpp>

#include "report/render.h"

namespace report {

namespace {

using Json = nlohmann::ordered_json;

Json tallies(std::vector<Tally> const& list, char const* codeKey, char const* classKey) {
    Json out = Json::array();
    for (auto const& t : list) {
        Json item;
        if (codeKey) {
            if (std::string(codeKey) == "bits")
                item["bits"] = t.code;
            else
                item[codeKey] = hexCode(static_cast<uint16_t>(t.code));
        }
        item["name"] = t.name;
        item["count"] = t.count;
        if (classKey) item[classKey] = t.cls;
        out.push_back(std::move(item));
    }
    return out;
}

Json strings(std::vector<std::string> const& list) {
    Json out = Json::array();
    for (auto const& s : list) out.push_back(printable(s));
    return out;
}

Json kinds(std::vector<FindingKind> const& list) {
    Json out = Json::array();
    for (auto k : list) out.push_back(kindInfo(k).id);
    return out;
}

Json inputJson(Summary const& s) {
    Json parents = Json::array();
    for (auto const& p : s.parents) parents.push_back({{"directory", printable(p.directory)}, {"below", strings(p.below)}});
    Json input = {{"directories", strings(s.directories)},
                  {"parent_directories", parents},
                  {"files", s.files},
                  {"json_files", s.jsonFiles},
                  {"open_files", s.openFiles},
                  {"open_file_rows", s.openRows},
                  {"rows", s.rows},
                  {"malformed_lines", s.malformedLines},
                  {"missing_certificates", s.missingCertificates},
                  {"unreadable_certificates", s.unreadableCertificates},
                  {"problems", strings(s.problems)}};
    if (!s.store.empty()) input["store"] = printable(s.store);
    return input;
}

Json overviewJson(Summary const& s) {
    return {{"first", s.rows ? isoTime(s.firstMs) : ""},
            {"last", s.rows ? isoTime(s.lastMs) : ""},
            {"handshakes", s.rows},
            {"servers", s.servers},
            {"snis", s.snis},
            {"clients", s.clients}};
}

Json transportsJson(Summary const& s) {
    Json out = Json::array();
    for (auto const& t : s.transports)
        out.push_back({{"protocol_type", printable(t.protocolType)},
                       {"transport", t.transport()},
                       {"handshakes", t.handshakes},
                       {"tls13", t.tls13},
                       {"post_quantum", t.postQuantum}});
    return out;
}

void protocolJson(Summary const& s, Json& out) {
    out["versions"] = tallies(s.versions, "code", "class");
    Json suites = Json::array();
    for (auto const& t : s.suites) {
        Json reasons = Json::array();
        for (auto const& r : t.info->reasons) reasons.push_back(r);
        suites.push_back({{"code", hexCode(t.code)},
                          {"name", t.info->name},
                          {"class", suiteClassName(t.info->cls)},
                          {"reasons", reasons},
                          {"count", t.count}});
    }
    out["cipher_suites"] = suites;
    Json classes;
    for (int c = 0; c < suiteClassCount; ++c) classes[std::string(suiteClassName(static_cast<SuiteClass>(c)))] = s.suiteClasses[c];
    out["cipher_suite_classes"] = classes;
    out["key_exchange"] = {{"curves", tallies(s.curves, "code", "kind")},
                           {"dh_prime_bits", tallies(s.dhBits, "bits", "class")},
                           {"rsa_key_bits", tallies(s.rsaBits, "bits", "class")}};
    Json trend = Json::array();
    for (auto const& p : s.trend)
        trend.push_back({{"start", isoTime(p.startMs)},
                         {"tls13", p.tls13},
                         {"post_quantum", p.postQuantum},
                         {"obsolete_post_quantum", p.obsolete}});
    out["tls13_groups"] = {{"handshakes", s.tls13},
                           {"post_quantum", s.postQuantum},
                           {"obsolete_post_quantum", s.obsoletePostQuantum},
                           {"groups", tallies(s.tls13Groups, "code", "kind")},
                           {"trend_bucket_hours", s.trendBucketHours},
                           {"trend", trend}};
}

Json certificateJson(CertificateSummary const& c) {
    Json item = {{"sha1", c.digest}};
    if (c.facts) {
        auto const& f = *c.facts;
        item["subject"] = printable(f.subject);
        item["issuer"] = printable(f.issuer);
        item["key_type"] = f.keyType;
        item["key_bits"] = f.keyBits;
        item["curve"] = f.curve;
        item["signature_algorithm"] = f.signatureAlgorithm;
        item["not_before"] = isoTime(f.notBefore * 1000);
        item["not_after"] = isoTime(f.notAfter * 1000);
        item["days_left"] = c.daysLeft;
        item["self_signed"] = f.selfSigned;
    }
    item["status"] = c.facts ? "read" : c.missing ? "missing" : "unreadable";
    item["leaf"] = c.leaf;
    item["handshakes"] = c.handshakes;
    item["handshakes_invalid_when_used"] = c.invalidHandshakes;
    item["first_seen"] = c.firstSeenMs ? isoTime(c.firstSeenMs) : "";
    item["last_seen"] = c.lastSeenMs ? isoTime(c.lastSeenMs) : "";
    item["servers"] = c.serverCount;
    item["findings"] = kinds(c.flags);
    return item;
}

Json coverageJson(Summary const& s) {
    return {{"handshakes", s.rows},
            {"visible", s.coverage.visible},
            {"hidden_tls13_quic", s.coverage.hidden},
            {"none_other", s.coverage.none},
            {"directories_without_store", strings(s.coverage.withoutStore)}};
}

Json certificatesJson(Summary const& s) {
    Json list = Json::array();
    for (auto const& c : s.certificates) list.push_back(certificateJson(c));
    return {{"distinct", s.certificates.size()},
            {"client_certificates_distinct", s.distinctClientCertificates},
            {"keys", tallies(s.certificateKeys, nullptr, "class")},
            {"signature_algorithms", tallies(s.signatureAlgorithms, nullptr, "class")},
            {"validity", tallies(s.validity, nullptr, "class")},
            {"list", list}};
}

Json serversJson(Summary const& s) {
    Json servers = Json::array();
    for (auto const& r : s.serverTable)
        servers.push_back({{"server", r.server},
                           {"handshakes", r.handshakes},
                           {"snis", strings(r.snis)},
                           {"versions", strings(r.versions)},
                           {"cipher_suites", strings(r.suites)},
                           {"suite_class", r.suiteClass},
                           {"groups", strings(r.groups)},
                           {"group_kinds", r.groupKinds},
                           {"key", r.key},
                           {"leaf_not_after", r.leafNotAfter ? isoTime(r.leafNotAfter * 1000) : ""},
                           {"worst", r.anyFinding ? std::string(severityName(r.worst)) : ""},
                           {"findings", kinds(r.findings)},
                           {"client_auth_requested", r.clientAuthRequested},
                           {"client_certificates", r.clientCertificates},
                           {"renegotiated", r.renegotiated},
                           {"compressed", r.compressed},
                           {"first_seen", r.firstSeenMs ? isoTime(r.firstSeenMs) : ""},
                           {"last_seen", r.lastSeenMs ? isoTime(r.lastSeenMs) : ""},
                           {"without_certificate", r.withoutCertificate}});
    return servers;
}

Json helloJson(Summary const& s) {
    Json groups = Json::array();
    for (auto const& g : s.groupOffers)
        groups.push_back({{"code", hexCode(g.code)},
                          {"name", g.name},
                          {"kind", groupKindName(g.kind)},
                          {"offered", g.offered},
                          {"key_share", g.keyShare},
                          {"picked", g.picked}});
    Json ja4 = Json::array();
    for (auto const& t : s.ja4) ja4.push_back({{"ja4", t.name}, {"count", t.count}});
    Json alpnOffered = Json::array(), alpnPicked = Json::array();
    for (auto const& t : s.alpnOffered) alpnOffered.push_back({{"protocol", printable(t.name)}, {"count", t.count}});
    for (auto const& t : s.alpnPicked) alpnPicked.push_back({{"protocol", printable(t.name)}, {"count", t.count}});
    return {{"rows", s.helloRows},
            {"unreadable", s.helloUnreadable},
            {"ech_offered", s.echOfferedRows},
            {"ech_note", "grease ECH and real ECH look the same on the wire"},
            {"ml_dsa_offered", s.mlDsaOfferedRows},
            {"ml_dsa_offered_by_scheme",
             {{"ML-DSA-44", s.mlDsaOffered[0]}, {"ML-DSA-65", s.mlDsaOffered[1]}, {"ML-DSA-87", s.mlDsaOffered[2]}}},
            {"offered_versions", tallies(s.offeredVersions, "code", nullptr)},
            {"picked_versions", tallies(s.pickedVersionsOfHellos, "code", nullptr)},
            {"groups", groups},
            {"alpn_offered", alpnOffered},
            {"alpn_picked", alpnPicked},
            {"post_quantum_offered", s.pqOfferedRows},
            {"post_quantum_picked", s.pqPickedRows},
            {"ja4_distinct", s.ja4Distinct},
            {"ja4_top", ja4}};
}

void findingsJson(Summary const& s, Json& out) {
    Json groups = Json::array();
    for (auto const& g : s.findingGroups) {
        auto const& info = kindInfo(g.kind);
        groups.push_back({{"id", info.id},
                          {"severity", severityName(info.severity)},
                          {"title", info.title},
                          {"servers", g.servers},
                          {"handshakes", g.handshakes},
                          {"advice", info.advice}});
    }
    out["finding_groups"] = groups;
    std::map<std::string, ServerSummary const*> rows;
    for (auto const& r : s.serverTable) rows.emplace(r.server, &r);
    Json findings = Json::array();
    for (auto const& f : s.findings) {
        auto const& info = kindInfo(f.kind);
        ServerSummary const& r = *rows.at(f.server);
        findings.push_back({{"id", info.id},
                            {"severity", severityName(info.severity)},
                            {"title", info.title},
                            {"server", f.server},
                            {"detail", printable(f.detail)},
                            {"snis", strings(r.snis)},
                            {"last_seen", r.lastSeenMs ? isoTime(r.lastSeenMs) : ""}});
    }
    out["findings"] = findings;
}

Json findingChanges(std::vector<FindingChange> const& list, bool gone) {
    Json out = Json::array();
    for (auto const& f : list) {
        Json item = {{"id", kindInfo(f.kind).id}, {"severity", severityName(kindInfo(f.kind).severity)}, {"server", f.server}};
        if (gone) item["server_seen"] = f.serverSeen;
        out.push_back(std::move(item));
    }
    return out;
}

Json driftJson(Drift const& d) {
    Json changed = Json::array();
    for (auto const& c : d.changed)
        changed.push_back({{"server", c.server}, {"what", c.what}, {"before", c.before}, {"after", c.after}});
    auto share = [](uint64_t pq, uint64_t tls13) {
        return Json{{"tls13", tls13}, {"post_quantum", pq}, {"percent", std::stod(percent(pq, tls13))}};
    };
    return {{"baseline", {{"directories", strings(d.directories)},
                          {"rows", d.rows},
                          {"first", d.rows ? isoTime(d.firstMs) : ""},
                          {"last", d.rows ? isoTime(d.lastMs) : ""}}},
            {"new_servers", d.newServers},
            {"gone_servers", d.goneServers},
            {"changed_servers", changed},
            {"findings_appeared", findingChanges(d.appeared, false)},
            {"findings_disappeared", findingChanges(d.disappeared, true)},
            {"post_quantum_share", {{"then", share(d.postQuantumThen, d.tls13Then)}, {"now", share(d.postQuantumNow, d.tls13Now)}}}};
}

}  // namespace

void renderJson(Summary const& s, std::ostream& stream) {
    Json out;
    out["format"] = "varno-report/2";
    out["now"] = isoDate(s.nowSeconds);
    out["input"] = inputJson(s);
    out["overview"] = overviewJson(s);
    out["transports"] = transportsJson(s);
    protocolJson(s, out);
    out["certificates"] = certificatesJson(s);
    out["certificate_coverage"] = coverageJson(s);
    out["expired_when_used"] = {{"certificates", s.expiredWhenUsedCertificates}, {"handshakes", s.expiredWhenUsedHandshakes}};
    out["servers"] = serversJson(s);
    out["client_features"] = {{"client_auth_requested", s.clientAuthRequested},
                              {"client_certificates", s.clientCertificates},
                              {"renegotiated", s.renegotiated},
                              {"compressed", s.compressed}};
    out["client_hellos"] = helloJson(s);
    findingsJson(s, out);
    if (s.drift) out["drift"] = driftJson(*s.drift);
    stream << out.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace report
