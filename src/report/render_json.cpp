// The JSON summary. Its layout is documented in the README and kept stable: new members may
// be added, existing ones keep their name, place and meaning.
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

}  // namespace

void renderJson(Summary const& s, std::ostream& stream) {
    Json out;
    out["format"] = "varno-report/1";
    out["now"] = isoDate(s.nowSeconds);
    out["input"] = {{"directories", strings(s.directories)},
                    {"files", s.files},
                    {"rows", s.rows},
                    {"malformed_lines", s.malformedLines},
                    {"missing_certificates", s.missingCertificates},
                    {"unreadable_certificates", s.unreadableCertificates},
                    {"problems", strings(s.problems)}};
    out["overview"] = {{"first", s.rows ? isoTime(s.firstMs) : ""},
                       {"last", s.rows ? isoTime(s.lastMs) : ""},
                       {"handshakes", s.rows},
                       {"servers", s.servers},
                       {"snis", s.snis},
                       {"clients", s.clients}};
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

    Json certificates = Json::array();
    for (auto const& c : s.certificates) {
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
        item["servers"] = c.serverCount;
        item["findings"] = kinds(c.flags);
        certificates.push_back(std::move(item));
    }
    out["certificates"] = {{"distinct", s.certificates.size()},
                           {"client_certificates_distinct", s.distinctClientCertificates},
                           {"keys", tallies(s.certificateKeys, nullptr, "class")},
                           {"signature_algorithms", tallies(s.signatureAlgorithms, nullptr, "class")},
                           {"validity", tallies(s.validity, nullptr, "class")},
                           {"list", certificates}};

    Json servers = Json::array();
    for (auto const& r : s.serverTable)
        servers.push_back({{"server", r.server},
                           {"handshakes", r.handshakes},
                           {"snis", strings(r.snis)},
                           {"versions", strings(r.versions)},
                           {"cipher_suites", strings(r.suites)},
                           {"groups", strings(r.groups)},
                           {"key", r.key},
                           {"leaf_not_after", r.leafNotAfter ? isoTime(r.leafNotAfter * 1000) : ""},
                           {"worst", r.anyFinding ? std::string(severityName(r.worst)) : ""},
                           {"findings", kinds(r.findings)},
                           {"client_auth_requested", r.clientAuthRequested},
                           {"client_certificates", r.clientCertificates},
                           {"renegotiated", r.renegotiated},
                           {"compressed", r.compressed}});
    out["servers"] = servers;
    out["client_features"] = {{"client_auth_requested", s.clientAuthRequested},
                              {"client_certificates", s.clientCertificates},
                              {"renegotiated", s.renegotiated},
                              {"compressed", s.compressed}};

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
    out["client_hellos"] = {{"rows", s.helloRows},
                            {"unreadable", s.helloUnreadable},
                            {"offered_versions", tallies(s.offeredVersions, "code", nullptr)},
                            {"picked_versions", tallies(s.pickedVersionsOfHellos, "code", nullptr)},
                            {"groups", groups},
                            {"alpn_offered", alpnOffered},
                            {"alpn_picked", alpnPicked},
                            {"post_quantum_offered", s.pqOfferedRows},
                            {"post_quantum_picked", s.pqPickedRows},
                            {"ja4_distinct", s.ja4Distinct},
                            {"ja4_top", ja4}};

    Json findings = Json::array();
    for (auto const& f : s.findings) {
        auto const& info = kindInfo(f.kind);
        findings.push_back({{"id", info.id},
                            {"severity", severityName(info.severity)},
                            {"title", info.title},
                            {"server", f.server},
                            {"detail", printable(f.detail)}});
    }
    out["findings"] = findings;
    stream << out.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace report
