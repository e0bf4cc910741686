// The rows as the CBOM's protocol assets need them. Called once per row beside the
// inventory: one hash lookup and a few small linear scans, no allocation for a known endpoint.
#include <algorithm>
#include <charconv>

#include "report/cbom.h"

namespace report {

namespace {

constexpr size_t maxSnis = 32, maxSuites = 64, maxCertificates = 32;

bool parseHex(std::string_view text, uint16_t& code) {
    if (text.size() != 6 || text[0] != '0' || text[1] != 'x') return false;
    auto const r = std::from_chars(text.data() + 2, text.data() + 6, code, 16);
    return r.ec == std::errc() && r.ptr == text.data() + 6;
}

template <typename T>
bool parseDecimal(std::string_view text, T& value) {
    auto const r = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// The key exchange of a row: the TLS 1.3 group, else the curve or the size the monitor wrote
// for the suite's kind of exchange.
Kex rowKex(RowCells const& c, SuiteInfo const* suite) {
    uint16_t code = 0;
    uint32_t bits = 0;
    if (parseHex(c[TLS13KEXNamedGroupCodePoint], code) || parseHex(c[TLSKEXParameter], code))
        return {KexKind::Group, code};
    if (!suite) return {};
    bool const haveBits = parseDecimal(c[TLSKEXParameter], bits) && bits < (1u << 20);
    if (!haveBits) bits = 0;
    if (suite->finiteFieldDh) return {KexKind::Ffdh, bits};
    if (suite->staticRsa) return {KexKind::RsaTransport, bits};
    if (suite->keyExchange == KeyExchangeKind::Ecdh) return {KexKind::EcdhUnknownCurve, 0};
    return {};
}

bool isDigest(std::string_view text) {
    return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

CbomCollector::CbomCollector() = default;
CbomCollector::~CbomCollector() = default;

CbomCollector::Endpoint& CbomCollector::endpoint(RowCells const& c) {
    keyBuffer.clear();
    keyBuffer.append(c[ProtocolType]).append(1, '\0').append(c[TLSVersion]).append(1, '\0');
    size_t const serverStart = keyBuffer.size();
    bool const v6 = c[ServerIPAddress].find(':') != std::string_view::npos;
    if (v6) keyBuffer += '[';
    keyBuffer.append(c[ServerIPAddress]);
    if (v6) keyBuffer += ']';
    keyBuffer.append(1, ':').append(c[ServerPortNumber]);
    auto found = index.find(std::string_view(keyBuffer));
    if (found != index.end()) return list[found->second];
    index.emplace(keyBuffer, static_cast<uint32_t>(list.size()));
    Endpoint& e = list.emplace_back();
    e.server = keyBuffer.substr(serverStart);
    e.protocolType = c[ProtocolType];
    e.versionText = c[TLSVersion];
    return e;
}

void CbomCollector::add(RowCells const& c) {
    Endpoint& e = endpoint(c);
    ++e.handshakes;
    int64_t ms = 0;
    if (parseDecimal(c[ConnectionTimestamp], ms) && ms > 0) {
        if (e.firstMs == 0 || ms < e.firstMs) e.firstMs = ms;
        e.lastMs = std::max(e.lastMs, ms);
    }
    std::string_view const sni = c[SNI];
    if (!sni.empty() && e.snis.size() < maxSnis && std::find(e.snis.begin(), e.snis.end(), sni) == e.snis.end())
        e.snis.emplace_back(sni);

    uint16_t suite = 0;
    bool const haveSuite = parseHex(c[CipherSuiteCodePoint], suite);
    Kex const kex = rowKex(c, haveSuite ? &suiteInfo(suite) : nullptr);
    if (haveSuite) {
        auto use = std::find_if(e.suites.begin(), e.suites.end(),
                                [&](SuiteUse const& u) { return u.suite == suite && u.kex == kex; });
        if (use != e.suites.end())
            ++use->handshakes;
        else if (e.suites.size() < maxSuites)
            e.suites.push_back({suite, kex, 1});
    }

    for (std::string_view chain = c[ServerCertificateChain]; !chain.empty();) {
        auto const colon = chain.find(':');
        std::string_view const digest = chain.substr(0, colon);
        chain = colon == std::string_view::npos ? std::string_view{} : chain.substr(colon + 1);
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
