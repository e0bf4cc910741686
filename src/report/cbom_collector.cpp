// The rows as the CBOM's protocol assets need them. Called once per row beside the
// inventory: a few small linear scans and no allocation for a known endpoint.
#include <algorithm>

#include "report/cbom.h"

namespace report {

namespace {

// Bounds per endpoint, whatever the rows hold. A chain may be long (a server of ours sends 51
// certificates, and a Certificate message of 1 MiB is read whole), so every certificate of
// such a chain is kept: 256 of them cost an endpoint 1 KiB.
constexpr size_t maxSnis = 32, maxSuites = 64, maxCertificates = 256;

using records::isDigest;
using records::parseCode;

bool parseBits(std::string_view text, uint32_t& bits) {
    uint64_t value = 0;
    if (!records::parseNumber(text, value) || value >= (1u << 20)) return false;
    bits = static_cast<uint32_t>(value);
    return true;
}

// The key exchange of a row: the group (the inventory's, else the TLS 1.3 group of a version
// it does not rank, such as DTLS 1.3), else the size the monitor wrote for the suite's kind of
// exchange.
Kex rowKex(RowCells const& c, int group, SuiteInfo const* suite) {
    uint16_t code = 0;
    uint32_t bits = 0;
    if (group >= 0) return {KexKind::Group, static_cast<uint32_t>(group)};
    if (!c[TLS13KEXNamedGroupCodePoint].empty() && parseCode(c[TLS13KEXNamedGroupCodePoint], code))
        return {KexKind::Group, code};
    if (!suite) return {};
    if (!parseBits(c[TLSKEXParameter], bits)) bits = 0;
    if (suite->finiteFieldDh) return {KexKind::Ffdh, bits};
    if (suite->staticRsa) return {KexKind::RsaTransport, bits};
    if (suite->keyExchange == KeyExchangeKind::Ecdh) return {KexKind::EcdhUnknownCurve, 0};
    return {};
}

}  // namespace

CbomCollector::CbomCollector() = default;
CbomCollector::~CbomCollector() = default;

// The inventory has found the server already: its endpoints (one per protocol and version,
// seldom more than two) are compared, no key is hashed again.
CbomCollector::Endpoint& CbomCollector::endpoint(RowCells const& c, uint32_t server) {
    if (byServer.size() <= server) byServer.resize(server + 1);
    for (uint32_t i : byServer[server])
        if (list[i].versionText == c[TLSVersion] && list[i].protocolType == c[ProtocolType]) return list[i];
    byServer[server].push_back(static_cast<uint32_t>(list.size()));
    Endpoint& e = list.emplace_back();
    records::serverKey(e.server, c[ServerIPAddress], c[ServerPortNumber]);
    e.protocolType = c[ProtocolType];
    e.versionText = c[TLSVersion];
    return e;
}

void CbomCollector::add(RowCells const& c, Inventory::RowFacts const& facts) {
    Endpoint& e = endpoint(c, facts.server);
    e.handshakes += facts.count;
    if (int64_t const ms = facts.ms; ms > 0) {
        if (e.firstMs == 0 || ms < e.firstMs) e.firstMs = ms;
        e.lastMs = std::max(e.lastMs, facts.lastMs);
    }
    std::string_view const sni = c[SNI];
    // The smallest names, in order: the same whatever the order the rows come in.
    if (!sni.empty() && !std::binary_search(e.snis.begin(), e.snis.end(), sni)) {
        keepSmallest(e.snis, sni, maxSnis);
        std::sort(e.snis.begin(), e.snis.end());
    }

    bool const haveSuite = facts.suite >= 0;
    auto const suite = static_cast<uint16_t>(facts.suite);
    Kex const kex = rowKex(c, facts.group, haveSuite ? &suiteInfo(suite) : nullptr);
    if (haveSuite) {
        auto use = std::find_if(e.suites.begin(), e.suites.end(),
                                [&](SuiteUse const& u) { return u.suite == suite && u.kex == kex; });
        if (use != e.suites.end())
            use->handshakes += facts.count;
        else if (e.suites.size() < maxSuites)
            e.suites.push_back({suite, kex, facts.count});
    }

    // An endpoint shows the same chain row after row: only a new one is taken apart.
    if (c[ServerCertificateChain] == e.lastChain) return;
    e.lastChain = c[ServerCertificateChain];
    for (std::string_view chain = c[ServerCertificateChain]; !chain.empty();) {
        std::string_view const digest = records::takeDigest(chain);
        if (!isDigest(digest)) continue;
        auto found = certIndex.find(digest);
        if (found == certIndex.end()) {
            found = certIndex.emplace(std::string(digest), static_cast<uint32_t>(certDigests.size())).first;
            certDigests.emplace_back(digest);
        }
        if (e.certificates.size() < maxCertificates &&
            std::find(e.certificates.begin(), e.certificates.end(), found->second) == e.certificates.end())
            e.certificates.push_back(found->second);
    }
}

}  // namespace report
