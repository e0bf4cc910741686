#include "tls/registry.h"

#include "base/hex.h"

#include <array>
#include <cstdlib>
#include <memory>

extern const std::string_view ianaCipherSuitesCsv;
extern const std::string_view ianaSupportedGroupsCsv;

namespace tls {

std::string hexCode(uint16_t value) { return hex4(value); }

namespace {

// Records of an RFC 4180 CSV text: quoted fields may hold commas, line breaks and doubled
// quotes. Surrounding white space of each field is dropped.
std::vector<std::vector<std::string>> csvRecords(std::string_view text) {
    std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char const c = text[i];
        auto& field = records.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c == '\r' || c == '\n' ? ' ' : c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().emplace_back();
        } else if (c == '\n') {
            records.emplace_back(1);
        } else if (c != '\r') {
            field += c;
        }
    }
    for (auto& record : records)
        for (auto& field : record) {
            auto const first = field.find_first_not_of(' ');
            auto const last = field.find_last_not_of(' ');
            field = first == std::string::npos ? "" : field.substr(first, last - first + 1);
        }
    return records;
}

// Unassigned and reserved entries carry no name of a code point.
bool isName(std::string const& description) {
    return !description.empty() && description != "Unassigned" && description.rfind("Reserved", 0) != 0;
}

// Single-value entries only: a range never names one of its members.
template <typename ParseValue>
std::unique_ptr<std::array<std::string, 65536>> loadNames(std::string_view csv, ParseValue parse) {
    auto names = std::make_unique<std::array<std::string, 65536>>();
    auto const records = csvRecords(csv);
    for (size_t i = 1; i < records.size(); ++i) {
        auto const& r = records[i];
        if (r.size() < 2 || !isName(r[1]) || r[0].find('-') != std::string::npos) continue;
        long const value = parse(r[0]);
        if (value >= 0 && value <= 0xffff) (*names)[static_cast<size_t>(value)] = r[1];
    }
    for (size_t code = 0; code < names->size(); ++code)
        if ((*names)[code].empty()) (*names)[code] = hexCode(static_cast<uint16_t>(code));
    return names;
}

long parseSuiteValue(std::string const& value) {  // "0xC0,0x2F"
    if (value.size() != 9 || value[4] != ',') return -1;
    char* end = nullptr;
    long const high = std::strtol(value.substr(0, 4).c_str(), &end, 16);
    long const low = std::strtol(value.substr(5).c_str(), &end, 16);
    return high << 8 | low;
}

long parseGroupValue(std::string const& value) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::strtol(value.c_str(), nullptr, 10);
}

// The key-exchange part of a registered suite name, between "TLS_" and "_WITH_"; empty
// for names without one (TLS 1.3 suites, SM4, signalling values).
std::string_view keyExchangePart(std::string_view name) {
    auto const with = name.find("_WITH_");
    return with == std::string_view::npos || with < 4 ? std::string_view() : name.substr(4, with - 4);
}

KeyExchangeKind kindOf(std::string_view kx) {
    if (kx == "RSA" || kx == "RSA_EXPORT" || kx == "RSA_EXPORT1024") return KeyExchangeKind::Rsa;
    if (kx.starts_with("ECDH_") || kx.starts_with("ECDHE_")) return KeyExchangeKind::Ecdh;
    // Export variants exchange keys the same way as their plain suites.
    for (std::string_view suffix : {"_EXPORT1024", "_EXPORT"})
        if (kx.ends_with(suffix)) kx.remove_suffix(suffix.size());
    if (kx == "DHE_RSA" || kx == "DHE_DSS" || kx == "DH_anon") return KeyExchangeKind::FiniteField;
    return KeyExchangeKind::Other;
}

struct Tables {
    std::unique_ptr<std::array<std::string, 65536>> suiteNames = loadNames(ianaCipherSuitesCsv, parseSuiteValue);
    std::unique_ptr<std::array<std::string, 65536>> groupNames = loadNames(ianaSupportedGroupsCsv, parseGroupValue);
    std::unique_ptr<std::array<SuiteInfo, 65536>> suites = std::make_unique<std::array<SuiteInfo, 65536>>();
    size_t namedSuites = 0, namedGroups = 0;

    Tables() {
        for (size_t code = 0; code < 65536; ++code) {
            auto const& name = (*suiteNames)[code];
            if (name.rfind("0x", 0) == 0) {
                (*suites)[code].name = name;
            } else {
                (*suites)[code] = classifySuite(name);
                ++namedSuites;
            }
            if ((*groupNames)[code].rfind("0x", 0) != 0) ++namedGroups;
        }
    }
};

Tables const& tables() {
    static Tables const instance;
    return instance;
}

// The monitor needs only the kinds: a small table of its own, from the same registry rows.
struct KeyExchangeKinds {
    std::array<KeyExchangeKind, 65536> kinds{};
    KeyExchangeKinds() {
        auto const records = csvRecords(ianaCipherSuitesCsv);
        for (size_t i = 1; i < records.size(); ++i) {
            auto const& r = records[i];
            if (r.size() < 2 || !isName(r[1])) continue;
            long const value = parseSuiteValue(r[0]);
            if (value >= 0 && value <= 0xffff) kinds[static_cast<size_t>(value)] = kindOf(keyExchangePart(r[1]));
        }
    }
};

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

// --- versions --------------------------------------------------------------------------

Version versionFromCode(uint16_t code) {
    switch (code) {
    case 0x0300: return Version::Ssl3;
    case 0x0301: return Version::Tls10;
    case 0x0302: return Version::Tls11;
    case 0x0303: return Version::Tls12;
    case 0x0304: return Version::Tls13;
    default: return Version::Unknown;
    }
}

Version versionFromText(std::string_view text) {
    for (int v = 1; v < versionCount; ++v)
        if (text == versionText(static_cast<Version>(v))) return static_cast<Version>(v);
    return Version::Unknown;
}

std::string_view versionText(Version version) {
    static constexpr std::string_view texts[] = {"", "SSLv3.0", "TLSv1.0", "TLSv1.1", "TLSv1.2", "TLSv1.3"};
    return texts[static_cast<int>(version)];
}

std::string_view versionName(Version version) {
    static constexpr std::string_view names[] = {"unknown", "SSL 3.0", "TLS 1.0", "TLS 1.1", "TLS 1.2", "TLS 1.3"};
    return names[static_cast<int>(version)];
}

uint16_t versionCode(Version version) {
    static constexpr uint16_t codes[] = {0, 0x0300, 0x0301, 0x0302, 0x0303, 0x0304};
    return codes[static_cast<int>(version)];
}

std::string versionCodeName(uint16_t code) {
    Version const v = versionFromCode(code);
    return v == Version::Unknown ? hexCode(code) : std::string(versionName(v));
}

// --- cipher suites ---------------------------------------------------------------------

std::string_view suiteClassName(SuiteClass c) {
    static constexpr std::string_view names[] = {"insecure", "weak", "good", "other", "unknown"};
    return names[static_cast<int>(c)];
}

SuiteInfo classifySuite(std::string const& name) {
    SuiteInfo info;
    info.name = name;
    auto const with = name.find("_WITH_");
    if (with == std::string::npos) {
        // TLS 1.3 suites name only the AEAD and hash; the integrity-only ones encrypt nothing.
        if (contains(name, "SCSV")) {
            info.cls = SuiteClass::Other;
        } else if (name == "TLS_SHA256_SHA256" || name == "TLS_SHA384_SHA384") {
            info.cls = SuiteClass::Insecure;
            info.reasons = {"NULL encryption"};
        } else {
            info.cls = SuiteClass::Good;
        }
        return info;
    }
    std::string const kx = name.substr(4, with - 4);  // after "TLS_"
    std::string const cipher = name.substr(with + 6);
    info.keyExchange = kindOf(kx);

    std::vector<std::string> insecure;
    if (contains(kx, "EXPORT") || contains(cipher, "EXPORT") || contains(cipher, "_40")) insecure.push_back("EXPORT");
    if (kx == "NULL" || cipher.rfind("NULL", 0) == 0) insecure.push_back("NULL encryption");
    if (contains(kx, "anon")) insecure.push_back("anonymous");
    if (contains(cipher, "RC4")) insecure.push_back("RC4");
    if (contains(cipher, "RC2")) insecure.push_back("RC2");
    if (contains(cipher, "3DES"))
        insecure.push_back("3DES");
    else if (contains(cipher, "DES"))
        insecure.push_back("DES");
    if (contains(cipher, "IDEA")) insecure.push_back("IDEA");
    if (contains(kx, "KRB5")) insecure.push_back("Kerberos 5");

    info.staticRsa = kx == "RSA" || kx == "RSA_EXPORT" || kx == "RSA_EXPORT1024" || kx == "RSA_PSK";
    info.finiteFieldDh = kx.rfind("DH_", 0) == 0 || kx.rfind("DHE_", 0) == 0;
    if (!insecure.empty()) {
        info.cls = SuiteClass::Insecure;
        info.reasons = std::move(insecure);
        return info;
    }

    bool const forwardSecret = kx.rfind("DHE_", 0) == 0 || kx.rfind("ECDHE_", 0) == 0 || kx == "PSK_DHE";
    bool const staticKx = info.staticRsa || kx == "DH_DSS" || kx == "DH_RSA" || kx == "ECDH_ECDSA" ||
                          kx == "ECDH_RSA" || kx == "PSK";
    bool const aead = contains(cipher, "_GCM") || contains(cipher, "_CCM") || contains(cipher, "CHACHA20_POLY1305");
    std::vector<std::string> weak;
    if (info.staticRsa) weak.push_back("static RSA key exchange");
    else if (staticKx) weak.push_back("no forward secrecy");
    if (contains(cipher, "_CBC")) weak.push_back("CBC");
    if (!weak.empty()) {
        info.cls = SuiteClass::Weak;
        info.reasons = std::move(weak);
    } else {
        info.cls = aead && forwardSecret ? SuiteClass::Good : SuiteClass::Other;
    }
    return info;
}

KeyExchangeKind keyExchangeKind(uint16_t code) {
    static KeyExchangeKinds const table;
    return table.kinds[code];
}

SuiteInfo const& suiteInfo(uint16_t code) { return (*tables().suites)[code]; }
size_t namedSuiteCount() { return tables().namedSuites; }

// --- named groups ----------------------------------------------------------------------

std::string_view groupKindName(GroupKind kind) {
    static constexpr std::string_view names[] = {"classical", "hybrid-pq", "pure-pq", "obsolete-pq", "unknown"};
    return names[static_cast<int>(kind)];
}

GroupKind groupKind(uint16_t code) {
    if (code >= 0x11eb && code <= 0x11ed) return GroupKind::HybridPq;
    if (code >= 0x0200 && code <= 0x0202) return GroupKind::PurePq;
    if (code == 0x6399 || code == 0x639a) return GroupKind::ObsoletePq;
    return groupName(code).rfind("0x", 0) == 0 ? GroupKind::Unknown : GroupKind::Classical;
}

std::string const& groupName(uint16_t code) { return (*tables().groupNames)[code]; }
size_t namedGroupCount() { return tables().namedGroups; }

}  // namespace tls
