// The CycloneDX 1.7 document. Every component is a cryptographic asset with a stable bom-ref
// ("protocol/...", "algorithm/...", "certificate/<sha1>", "key/<sha1>"), so two documents
// of the same traffic differ only in their serial number and timestamp.
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "report/cbom.h"
#include "report/render.h"

namespace report {

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr uintmax_t maxPemBytes = 1u << 20;  // a certificate's PEM is a few KiB

Json property(std::string_view name, std::string value) {
    return {{"name", "varno:" + std::string(name)}, {"value", std::move(value)}};
}

Json algorithmComponent(CbomAlgorithm const& a) {
    Json p;
    if (!a.primitive.empty()) p["primitive"] = a.primitive;
    if (!a.family.empty()) p["algorithmFamily"] = a.family;
    if (!a.parameterSet.empty()) p["parameterSetIdentifier"] = a.parameterSet;
    if (!a.curve.empty()) p["ellipticCurve"] = a.curve;
    if (!a.mode.empty()) p["mode"] = a.mode;
    if (!a.padding.empty()) p["padding"] = a.padding;
    if (a.classicalLevel >= 0) p["classicalSecurityLevel"] = a.classicalLevel;
    if (a.quantumLevel >= 0) p["nistQuantumSecurityLevel"] = a.quantumLevel;
    Json crypto = {{"assetType", "algorithm"}, {"algorithmProperties", p}};
    if (!a.oid.empty()) crypto["oid"] = a.oid;
    return {{"type", "cryptographic-asset"}, {"bom-ref", a.ref}, {"name", a.name}, {"cryptoProperties", crypto}};
}

// "1.2" from "TLSv1.2", "3.0" from "SSLv3.0", "1.2" from "DTLSv1.2"; empty otherwise.
std::string versionNumber(std::string_view text) {
    auto const v = text.rfind('v');
    if (v == std::string_view::npos) return {};
    std::string_view const n = text.substr(v + 1);
    bool const ok = n.size() == 3 && n[1] == '.' && std::isdigit(static_cast<unsigned char>(n[0])) &&
                    std::isdigit(static_cast<unsigned char>(n[2]));
    return ok ? std::string(n) : std::string();
}

std::string protocolKind(std::string_view protocolType) {
    if (protocolType == "TLS" || protocolType == "SSL") return "tls";
    if (protocolType == "QUIC") return "quic";
    if (protocolType == "DTLS") return "dtls";
    return "unknown";
}

std::string codeByte(unsigned value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {'0', 'x', digits[(value >> 4) & 0xf], digits[value & 0xf]};
}

// Algorithms by bom-ref, and the refs used so far (a ref is never given twice).
struct Assets {
    std::map<std::string, CbomAlgorithm> algorithms;
    std::set<std::string> refs;

    std::string const& add(CbomAlgorithm const& a) { return algorithms.try_emplace(a.ref, a).first->second.ref; }
    std::string unique(std::string ref) {
        std::string candidate = ref;
        for (int n = 2; !refs.insert(candidate).second; ++n) candidate = ref + "#" + std::to_string(n);
        return candidate;
    }
};

void addUnique(Json& list, std::string const& value) {
    for (auto const& v : list)
        if (v == value) return;
    list.push_back(value);
}

// The negotiated suites of one endpoint, most used first, each with every algorithm and group
// it went with; dependsOn collects the algorithm refs.
Json cipherSuites(CbomCollector::Endpoint const& e, Assets& assets, Json& dependsOn) {
    std::vector<CbomCollector::SuiteUse> uses = e.suites;
    std::map<uint16_t, uint64_t> perSuite;
    for (auto const& u : uses) perSuite[u.suite] += u.handshakes;
    std::stable_sort(uses.begin(), uses.end(), [&](auto const& a, auto const& b) {
        return perSuite[a.suite] != perSuite[b.suite] ? perSuite[a.suite] > perSuite[b.suite] : a.suite < b.suite;
    });
    Json out = Json::array();
    std::map<uint16_t, size_t> position;
    for (auto const& u : uses) {
        auto [at, fresh] = position.try_emplace(u.suite, out.size());
        if (fresh) {
            Json suite = {{"name", suiteInfo(u.suite).name}, {"algorithms", Json::array()},
                          {"identifiers", {codeByte(u.suite >> 8), codeByte(u.suite & 0xff)}}};
            for (auto const& a : suiteAlgorithms(u.suite)) addUnique(suite["algorithms"], assets.add(a));
            out.push_back(std::move(suite));
        }
        Json& suite = out[at->second];
        if (auto kex = keyExchangeAlgorithm(u.kex)) addUnique(suite["algorithms"], assets.add(*kex));
        if (u.kex.kind == KexKind::Group) {
            if (!suite.contains("tlsGroups")) suite["tlsGroups"] = Json::array();
            addUnique(suite["tlsGroups"], plainGroupName(static_cast<uint16_t>(u.kex.value)));
        }
    }
    for (auto const& suite : out)
        for (auto const& ref : suite["algorithms"]) addUnique(dependsOn, ref);
    return out;
}

Json protocolComponent(CbomCollector::Endpoint const& e, CbomCollector const& rows, Assets& assets, Json& dependencies) {
    std::string const kind = protocolKind(e.protocolType), version = versionNumber(e.versionText);
    Version const known = versionFromText(e.versionText);
    std::string label = known != Version::Unknown ? std::string(versionName(known)) : printable(e.versionText);
    if (kind == "quic") label = "QUIC (" + label + ")";
    std::string const ref = assets.unique("protocol/" + printable(e.protocolType) + "/" + printable(e.versionText) + "/" + e.server);

    Json dependsOn = Json::array();
    Json p = {{"type", kind}};
    // A QUIC version is not a TLS version: the TLS one goes into a property there.
    if (!version.empty() && kind != "quic") p["version"] = version;
    p["cipherSuites"] = cipherSuites(e, assets, dependsOn);
    Json related = Json::array();
    for (uint32_t i : e.certificates) {
        std::string const cert = "certificate/" + rows.digests()[i];
        related.push_back({{"type", "certificate"}, {"ref", cert}});
        addUnique(dependsOn, cert);
    }
    if (!related.empty()) p["relatedCryptographicAssets"] = related;

    Json properties = {property("server", e.server)};
    for (auto const& sni : e.snis) properties.push_back(property("sni", printable(sni)));
    if (kind == "quic" && !version.empty()) properties.push_back(property("tlsVersion", version));
    properties.push_back(property("handshakes", std::to_string(e.handshakes)));
    if (e.firstMs) properties.push_back(property("firstSeen", isoTime(e.firstMs)));
    if (e.lastMs) properties.push_back(property("lastSeen", isoTime(e.lastMs)));
    dependencies.push_back({{"ref", ref}, {"dependsOn", dependsOn}});
    return {{"type", "cryptographic-asset"},
            {"bom-ref", ref},
            {"name", label + " " + e.server},
            {"cryptoProperties", {{"assetType", "protocol"}, {"protocolProperties", p}}},
            {"properties", properties}};
}

// --- certificates ----------------------------------------------------------------------

struct StoredCertificate {
    std::optional<records::CertificateFacts> facts;
    char const* status = "read";  // "read", "unreadable", "missing"
};

std::optional<records::CertificateFacts> readPem(fs::path const& path) {
    std::error_code ec;
    if (fs::file_size(path, ec) > maxPemBytes || ec) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    auto const der = records::pemToDer(text.str());
    return der ? records::readCertificateDer(*der) : std::nullopt;
}

bool isDigestName(std::string const& stem) {
    return stem.size() == 40 && stem.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Every certificate of the stores (DIR/ab/cd/<sha1>.pem), those the summary read already, and
// those rows name that no store holds.
std::map<std::string, StoredCertificate> storeCertificates(Summary const& s, CbomCollector const& rows) {
    std::map<std::string, StoredCertificate> out;
    for (auto const& c : s.certificates)
        if (c.facts) out[c.digest].facts = c.facts;
    for (auto const& dir : s.directories) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (it.depth() >= 2) it.disable_recursion_pending();
            fs::path const& path = it->path();
            std::string const stem = path.stem().string();
            if (it.depth() != 2 || path.extension() != ".pem" || !isDigestName(stem) || out.count(stem)) continue;
            StoredCertificate& c = out[stem];
            c.facts = readPem(path);
            if (!c.facts) c.status = "unreadable";
        }
    }
    for (auto const& [digest, pem] : rows.storedCertificates()) {
        if (out.count(digest)) continue;
        auto const der = records::pemToDer(pem);
        StoredCertificate& c = out[digest];
        if (der) c.facts = records::readCertificateDer(*der);
        if (!c.facts) c.status = "unreadable";
    }
    for (auto const& digest : rows.digests())
        if (!out.count(digest)) out[digest].status = "missing";
    return out;
}

Json certificateComponent(std::string const& digest, StoredCertificate const& c, Assets& assets, Json& components,
                          Json& dependencies) {
    std::string const ref = "certificate/" + digest;
    Json p;
    Json dependsOn = Json::array();
    if (c.facts) {
        records::CertificateFacts const& f = *c.facts;
        if (!f.serialNumber.empty()) p["serialNumber"] = f.serialNumber;
        p["subjectName"] = printable(f.subject);
        p["issuerName"] = printable(f.issuer);
        p["notValidBefore"] = isoTime(f.notBefore * 1000);
        p["notValidAfter"] = isoTime(f.notAfter * 1000);
        std::string const& signature = assets.add(signatureAlgorithm(f));
        CbomAlgorithm const keyAlgorithm = publicKeyAlgorithm(f);
        std::string const& keyAlgorithmRef = assets.add(keyAlgorithm);
        std::string const key = "key/" + digest;
        // The older single refs beside the list that replaces them, for viewers of either age.
        p["signatureAlgorithmRef"] = signature;
        p["subjectPublicKeyRef"] = key;
        p["relatedCryptographicAssets"] = {{{"type", "signatureAlgorithm"}, {"ref", signature}},
                                           {{"type", "publicKey"}, {"ref", key}}};
        Json material = {{"type", "public-key"}, {"algorithmRef", keyAlgorithmRef}};
        if (f.keyBits > 0) material["size"] = f.keyBits;
        material["relatedCryptographicAssets"] = {{{"type", "algorithm"}, {"ref", keyAlgorithmRef}}};
        components.push_back({{"type", "cryptographic-asset"},
                              {"bom-ref", key},
                              {"name", keyAlgorithm.name + " public key of " + printable(f.subject)},
                              {"cryptoProperties", {{"assetType", "related-crypto-material"},
                                                    {"relatedCryptoMaterialProperties", material}}}});
        dependencies.push_back({{"ref", key}, {"dependsOn", {keyAlgorithmRef}}});
        dependsOn = {signature, key};
    }
    p["certificateFormat"] = "X.509";
    p["certificateFileExtension"] = "pem";
    p["fingerprint"] = {{"alg", "SHA-1"}, {"content", digest}};
    dependencies.push_back({{"ref", ref}, {"dependsOn", dependsOn}});
    Json out = {{"type", "cryptographic-asset"},
                {"bom-ref", ref},
                {"name", c.facts ? printable(c.facts->subject) : digest},
                {"cryptoProperties", {{"assetType", "certificate"}, {"certificateProperties", p}}}};
    if (!c.facts) out["properties"] = {property("certificateStatus", c.status)};
    return out;
}

// A random (version 4) UUID as a URN.
std::string serialNumber() {
    unsigned char b[16] = {};
    if (RAND_bytes(b, sizeof b) != 1) return "urn:uuid:00000000-0000-4000-8000-000000000000";
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static constexpr char digits[] = "0123456789abcdef";
    std::string out = "urn:uuid:";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += digits[b[i] >> 4];
        out += digits[b[i] & 0xf];
    }
    return out;
}

Json metadata(Summary const& s, int64_t nowMs) {
    Json tool = {{"type", "application"}, {"name", "varno-report"}, {"version", VARNO_VERSION}};
    Json properties = {property("handshakes", std::to_string(s.rows))};
    if (s.rows) {
        properties.push_back(property("firstSeen", isoTime(s.firstMs)));
        properties.push_back(property("lastSeen", isoTime(s.lastMs)));
    }
    return {{"timestamp", isoTime(nowMs)}, {"tools", {{"components", {tool}}}}, {"properties", properties}};
}

}  // namespace

void renderCbom(Summary const& summary, CbomCollector const& rows, int64_t nowMs, std::ostream& stream) {
    Assets assets;
    Json components = Json::array(), dependencies = Json::array();
    std::vector<CbomCollector::Endpoint const*> endpoints;
    for (auto const& e : rows.endpoints()) endpoints.push_back(&e);
    std::sort(endpoints.begin(), endpoints.end(), [](auto const* a, auto const* b) {
        return std::tie(a->server, a->protocolType, a->versionText) < std::tie(b->server, b->protocolType, b->versionText);
    });
    for (auto const* e : endpoints) components.push_back(protocolComponent(*e, rows, assets, dependencies));
    std::map<std::string_view, CertificateSummary const*> judged;
    for (auto const& c : summary.certificates) judged.emplace(c.digest, &c);
    for (auto const& [digest, cert] : storeCertificates(summary, rows)) {
        components.push_back(certificateComponent(digest, cert, assets, components, dependencies));
        // What the report found wrong with it (untrusted chain, name mismatch, lifetime, ...).
        auto const found = judged.find(digest);
        if (found == judged.end()) continue;
        for (FindingKind kind : found->second->flags) {
            Json& properties = components.back()["properties"];
            if (properties.is_null()) properties = Json::array();
            properties.push_back(property("finding", std::string(kindInfo(kind).id)));
        }
    }
    for (auto const& [ref, a] : assets.algorithms) {
        components.push_back(algorithmComponent(a));
        dependencies.push_back({{"ref", ref}, {"dependsOn", Json::array()}});
    }
    Json out = {{"$schema", "http://cyclonedx.org/schema/bom-1.7.schema.json"},
                {"bomFormat", "CycloneDX"},
                {"specVersion", "1.7"},
                {"serialNumber", serialNumber()},
                {"version", 1},
                {"metadata", metadata(summary, nowMs)},
                {"components", components},
                {"dependencies", dependencies}};
    stream << out.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace report
