#pragma once
// What the report flags, how bad each kind is, and the order in which they are shown.
#include <cstdint>
#include <string>
#include <string_view>

namespace report {

enum class Severity : uint8_t { Info, Low, Medium, High, Critical };
std::string_view severityName(Severity s);  // "info" .. "critical"

// Kinds in the order a reader should meet them within one severity.
enum class FindingKind : uint8_t {
    Ssl3,
    InsecureSuite,
    CertificateExpired,
    CertificateMd5,
    LegacyTls,
    SmallRsa,
    SmallDh,
    CertificateSha1,
    CertificateSelfSigned,
    Compression,
    WeakSuite,
    CertificateExpiring,
    PqNotPicked,
    Renegotiation,
};
constexpr int findingKindCount = 14;

struct FindingKindInfo {
    std::string_view id;     // stable identifier used in the JSON output
    Severity severity;
    std::string_view title;  // one line, for people
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

}  // namespace report
