#include "report/findings.h"

#include <array>
#include <tuple>

namespace report {

std::string_view severityName(Severity s) {
    static constexpr std::string_view names[] = {"info", "low", "medium", "high", "critical"};
    return names[static_cast<int>(s)];
}

FindingKindInfo const& kindInfo(FindingKind kind) {
    static constexpr std::array<FindingKindInfo, findingKindCount> kinds = {{
        {"ssl3", Severity::Critical, "SSL 3.0 negotiated"},
        {"insecure-cipher-suite", Severity::Critical, "insecure cipher suite (NULL, EXPORT, anonymous, RC4, DES, 3DES)"},
        {"certificate-expired", Severity::Critical, "certificate expired"},
        {"certificate-md5", Severity::Critical, "certificate signed with MD5"},
        {"legacy-tls", Severity::High, "TLS 1.0 or 1.1 negotiated"},
        {"rsa-under-2048", Severity::High, "RSA key under 2048 bits"},
        {"dh-under-2048", Severity::High, "Diffie-Hellman prime under 2048 bits"},
        {"certificate-sha1", Severity::High, "certificate signed with SHA-1"},
        {"certificate-self-signed", Severity::High, "self-signed certificate"},
        {"compression", Severity::High, "TLS compression (CRIME)"},
        {"weak-cipher-suite", Severity::Medium, "weak cipher suite (static key exchange or CBC)"},
        {"certificate-expiring", Severity::Medium, "certificate expires within 30 days"},
        {"pq-offered-not-picked", Severity::Low, "clients offer a post-quantum group, the server picks a classical one"},
        {"renegotiation", Severity::Info, "renegotiation seen"},
    }};
    return kinds[static_cast<size_t>(kind)];
}

bool moreSevere(Finding const& a, Finding const& b) {
    return std::make_tuple(-static_cast<int>(a.severity()), a.kind, a.server, a.detail) <
           std::make_tuple(-static_cast<int>(b.severity()), b.kind, b.server, b.detail);
}

}  // namespace report
