#pragma once
// What the report flags, how bad each kind is, the order in which they are shown, and every
// rule that decides whether a handshake, a certificate or a server earns a finding. The
// inventory only gathers facts; it asks these functions what they mean.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record/certificate.h"
#include "report/registry.h"

namespace report {

enum class Severity : uint8_t { Info, Low, Medium, High, Critical };
std::string_view severityName(Severity s);  // "info" .. "critical"

// Kinds in the order a reader should meet them within one severity.
enum class FindingKind : uint8_t {
    Ssl3,
    InsecureSuite,
    CertificateInvalidWhenUsed,
    CertificateMd5,
    LegacyTls,
    SmallRsa,
    SmallDh,
    CertificateSha1,
    CertificateSelfSigned,
    CertificateUntrusted,
    CertificateNameMismatch,
    Compression,
    WeakSuite,
    CertificateMissingIntermediate,
    CertificateLifetimeOverLimit,
    CertificateExpiring,
    PqNotPicked,
    CertificateExpiredSinceSeen,
    Renegotiation,
    Count  // not a kind: how many there are, for tables indexed by kind
};
constexpr int findingKindCount = static_cast<int>(FindingKind::Count);

struct FindingKindInfo {
    std::string_view id;     // stable identifier used in the JSON output
    Severity severity;
    std::string_view title;  // one line, for people
    std::string_view advice;  // what to change, one line
};
FindingKindInfo const& kindInfo(FindingKind kind);

struct Finding {
    FindingKind kind;
    std::string server;  // "address:port"
    std::string detail;
    Severity severity() const { return kindInfo(kind).severity; }
};

// Most severe first, then by kind, then by server.
bool moreSevere(Finding const& a, Finding const& b);

// A set of kinds, one bit each.
using KindMask = uint32_t;
constexpr KindMask kindBit(FindingKind kind) { return KindMask{1} << static_cast<int>(kind); }

// --- the rules ---------------------------------------------------------------------------
constexpr int minimumKeyBits = 2048;
constexpr int64_t expiringDays = 30;  // "expiring" and "seen lately" both look this far

std::optional<FindingKind> versionFinding(Version version);
std::optional<FindingKind> suiteFinding(SuiteInfo const& suite);

// One handshake as the rules see it; the certificate kinds come from certificateFindings.
struct HandshakeFacts {
    Version version = Version::Unknown;
    SuiteInfo const* suite = nullptr;
    int dhBits = 0;      // prime of a DHE key exchange
    int rsaKexBits = 0;  // key of a static RSA key exchange (the leaf's, when it is known)
    bool compressed = false, renegotiated = false, pqNotPicked = false;
};
KindMask handshakeFindings(HandshakeFacts const& h);

// What is wrong with a certificate whatever the time: weak signature hash (not of a
// self-signed one), self-signed leaf, small RSA key. leaf: it stood first in the chain.
KindMask certificateFindings(records::CertificateFacts const& f, bool leaf);
// Whether the certificate was valid at this time (seconds since the epoch).
bool validAt(records::CertificateFacts const& f, int64_t seconds);

// The judgement against the day of the report: a certificate seen in the last days of the
// data that expires soon, or one that has expired since it was last seen. Times in seconds.
std::optional<FindingKind> certificateDateFinding(records::CertificateFacts const& f, int64_t lastSeen, int64_t dataEnd,
                                                  int64_t now);

// Whether a leaf names the server a client asked for (RFC 6125, as browsers apply it): only
// the DNS names of subjectAltName count, never the common name, which clients gave up;
// compared without regard to ASCII case; "*" may stand for the whole left-most label alone,
// and only above two more labels ("*.example.com" covers "a.example.com", not
// "a.b.example.com", "example.com" or anything under "*.com"). Partial-label wildcards such
// as "f*.example.com" match nothing: CAs may not sign them and browsers refuse them.
bool nameMatches(records::CertificateFacts const& f, std::string_view serverName);
// An SNI that the name check judges: not empty and not an IP address literal, which RFC 6066
// does not allow there.
bool judgedServerName(std::string_view serverName);

// The longest lifetime the CA/Browser Forum allowed a publicly trusted leaf issued at this
// time (seconds), 0 when no limit held yet: 398 days from 2020-09-01, then 200, 100 and 47
// days from 2026-03-15, 2027-03-15 and 2029-03-15.
int64_t lifetimeLimitDays(int64_t notBefore);
// Over that limit. The lifetime counts both ends, notAfter - notBefore + 1 second (RFC 5280
// takes both instants as valid), against days of 86400 seconds: a 398-day leaf ends at
// notBefore + 398 * 86400 - 1.
bool lifetimeOverLimit(records::CertificateFacts const& f);

// The one-line explanation of a certificate finding, as a server showed the certificate.
struct CertificateUse {
    bool leaf = false;
    std::string_view digest;  // SHA-1, hex: its start tells apart certificates of one subject
    std::string note;         // what the kind needs said besides: the names, the path's fault
    uint64_t invalidHandshakes = 0;  // handshakes at a time the certificate was not valid
    int64_t firstSeen = 0, lastSeen = 0;  // seconds
};
std::string certificateDetail(FindingKind kind, records::CertificateFacts const& f, CertificateUse const& use, int64_t now);

// What a server's certificate findings could not cover, as the end of their detail: its
// handshakes that showed no certificate (TLS 1.3, QUIC, resumed) and the certificates of its
// chains that the store could not give. Empty when everything was judged.
std::string notJudged(uint64_t withoutCertificate, uint64_t handshakes, size_t unreadCertificates);

// Whole days from one time to another (seconds), rounded towards the past.
int64_t daysBetween(int64_t from, int64_t to);

}  // namespace report
