#pragma once
// The TLS registries that the monitor and the report share: protocol versions, cipher
// suites and named groups. Suite and group names come only from the IANA registries
// embedded from data/iana; a code point without a registered name is shown as its hex
// value. One suite table gives both the key-exchange kind the monitor acts on and the
// class the report gives.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tls {

// "0x" followed by four lower-case hex digits.
std::string hexCode(uint16_t value);

// Reserved GREASE values (RFC 8701), 0x?a?a: clients send them to keep peers tolerant.
constexpr bool isGrease(uint16_t value) { return (value & 0x0f0f) == 0x0a0a && (value >> 12) == ((value >> 4) & 0x0f); }

// --- versions --------------------------------------------------------------------------
// Ranked so that a lower number is worse; used to order and to decide findings.
enum class Version : uint8_t { Unknown, Ssl3, Tls10, Tls11, Tls12, Tls13 };
constexpr int versionCount = 6;
Version versionFromCode(uint16_t code);
// The CSV's TLSVersion text ("SSLv3.0" .. "TLSv1.3"); Unknown for anything else.
Version versionFromText(std::string_view text);
std::string_view versionText(Version version);  // "SSLv3.0" .. "TLSv1.3"; empty for Unknown
std::string_view versionName(Version version);  // "SSL 3.0", "TLS 1.0", ..., "unknown"
uint16_t versionCode(Version version);          // 0 for Unknown
// A version code as a name ("TLS 1.3") or its hex value.
std::string versionCodeName(uint16_t code);

// --- cipher suites ---------------------------------------------------------------------
// What the key exchange of a suite leaves for the monitor to measure.
enum class KeyExchangeKind : uint8_t {
    Other,        // nothing measured (PSK, SRP, TLS 1.3 suites, unregistered code points, ...)
    Rsa,          // static RSA: the size of the server's RSA key
    Ecdh,         // ECDH or ECDHE: the named curve of the ServerKeyExchange
    FiniteField,  // ephemeral finite-field DH (DHE_RSA, DHE_DSS, DH_anon): the prime's size
};
// Looked up per ServerHello on the analysis threads: a plain table, read-only once built.
KeyExchangeKind keyExchangeKind(uint16_t code);

enum class SuiteClass : uint8_t { Insecure, Weak, Good, Other, Unknown };
constexpr int suiteClassCount = 5;
std::string_view suiteClassName(SuiteClass c);  // "insecure", "weak", "good", "other", "unknown"

struct SuiteInfo {
    std::string name;                  // IANA name, or the hex code when unregistered
    SuiteClass cls = SuiteClass::Unknown;
    std::vector<std::string> reasons;  // why insecure or weak: "RC4", "CBC", "static RSA key exchange", ...
    bool staticRsa = false;            // key exchange by RSA encryption: the kex parameter is an RSA key size
    bool finiteFieldDh = false;        // DHE/DH: the kex parameter is a prime size
    KeyExchangeKind keyExchange = KeyExchangeKind::Other;
};
SuiteInfo const& suiteInfo(uint16_t code);
// Classifies a registered suite name; exposed for tests of the rules themselves.
SuiteInfo classifySuite(std::string const& name);
// Number of suites with a registered name.
size_t namedSuiteCount();

// --- named groups ----------------------------------------------------------------------
enum class GroupKind : uint8_t { Classical, HybridPq, PurePq, ObsoletePq, Unknown };
std::string_view groupKindName(GroupKind kind);  // "classical", "hybrid-pq", "pure-pq", "obsolete-pq", "unknown"
GroupKind groupKind(uint16_t code);
constexpr bool isPostQuantum(GroupKind kind) { return kind == GroupKind::HybridPq || kind == GroupKind::PurePq; }
std::string const& groupName(uint16_t code);  // IANA name or hex code
size_t namedGroupCount();

}  // namespace tls
