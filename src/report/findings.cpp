#include "report/findings.h"

#include <array>
#include <tuple>

#include "report/render.h"

namespace report {

namespace {
constexpr int64_t secondsPerDay = 86400;
}

std::string_view severityName(Severity s) {
    static constexpr std::string_view names[] = {"info", "low", "medium", "high", "critical"};
    return names[static_cast<int>(s)];
}

FindingKindInfo const& kindInfo(FindingKind kind) {
    static constexpr FindingKindInfo kinds[] = {
        {"ssl3", Severity::Critical, "SSL 3.0 negotiated", "disable SSL 3.0 on this server"},
        {"insecure-cipher-suite", Severity::Critical, "insecure cipher suite (NULL, EXPORT, anonymous, RC4, DES, 3DES)",
         "remove these suites from the server's list"},
        {"certificate-expired-when-used", Severity::Critical, "certificate expired or not yet valid when presented",
         "install a valid certificate and watch its expiry"},
        {"certificate-md5", Severity::Critical, "certificate signed with MD5", "reissue the certificate signed with SHA-256"},
        {"legacy-tls", Severity::High, "TLS 1.0 or 1.1 negotiated", "disable TLS 1.0/1.1 on this server"},
        {"rsa-under-2048", Severity::High, "RSA key under 2048 bits", "use an RSA key of 2048 bits or more, or an EC key"},
        {"dh-under-2048", Severity::High, "Diffie-Hellman prime under 2048 bits",
         "use a DH prime of 2048 bits or more, or ECDHE only"},
        {"certificate-sha1", Severity::High, "certificate signed with SHA-1", "reissue the certificate signed with SHA-256"},
        {"certificate-self-signed", Severity::High, "self-signed certificate",
         "use a certificate from a CA the clients trust"},
        {"certificate-untrusted", Severity::High, "certificate chain does not lead to a trusted root",
         "use a certificate from a CA the clients trust, or add the private root to --trust-store"},
        {"certificate-name-mismatch", Severity::High, "certificate does not name the server the client asked for",
         "add the name to the certificate's subjectAltName or fix the server's virtual host"},
        {"compression", Severity::High, "TLS compression (CRIME)", "disable TLS compression"},
        {"weak-cipher-suite", Severity::Medium, "weak cipher suite (static key exchange or CBC)",
         "prefer ECDHE with AES-GCM or ChaCha20-Poly1305"},
        {"certificate-missing-intermediate", Severity::Medium,
         "certificate chain lacks an intermediate (the root is trusted)",
         "send the intermediate certificates with the leaf"},
        {"certificate-lifetime-over-limit", Severity::Medium,
         "trusted leaf valid longer than the CA/Browser Forum allowed when it was issued",
         "reissue the certificate with a shorter lifetime and automate renewal"},
        {"certificate-expiring", Severity::Medium, "certificate seen lately expires within 30 days",
         "renew the certificate before it expires"},
        {"pq-offered-not-picked", Severity::Low, "clients offer a post-quantum group, the server picks a classical one",
         "enable X25519MLKEM768 on this server"},
        {"certificate-expired-since-last-seen", Severity::Info, "certificate has expired since it was last seen",
         "check that the server now presents a renewed certificate"},
        {"renegotiation", Severity::Info, "renegotiation seen", "disable client-initiated renegotiation if unused"},
    };
    static_assert(std::size(kinds) == findingKindCount, "an entry for every kind");
    return kinds[static_cast<size_t>(kind)];
}

bool moreSevere(Finding const& a, Finding const& b) {
    return std::make_tuple(-static_cast<int>(a.severity()), a.kind, a.server, a.detail) <
           std::make_tuple(-static_cast<int>(b.severity()), b.kind, b.server, b.detail);
}

std::optional<FindingKind> versionFinding(Version version) {
    if (version == Version::Ssl3) return FindingKind::Ssl3;
    if (version == Version::Tls10 || version == Version::Tls11) return FindingKind::LegacyTls;
    return std::nullopt;
}

std::optional<FindingKind> suiteFinding(SuiteInfo const& suite) {
    if (suite.cls == SuiteClass::Insecure) return FindingKind::InsecureSuite;
    if (suite.cls == SuiteClass::Weak) return FindingKind::WeakSuite;
    return std::nullopt;
}

KindMask handshakeFindings(HandshakeFacts const& h) {
    KindMask mask = 0;
    if (auto kind = versionFinding(h.version)) mask |= kindBit(*kind);
    if (h.suite)
        if (auto kind = suiteFinding(*h.suite)) mask |= kindBit(*kind);
    if (h.dhBits > 0 && h.dhBits < minimumKeyBits) mask |= kindBit(FindingKind::SmallDh);
    if (h.rsaKexBits > 0 && h.rsaKexBits < minimumKeyBits) mask |= kindBit(FindingKind::SmallRsa);
    if (h.compressed) mask |= kindBit(FindingKind::Compression);
    if (h.renegotiated) mask |= kindBit(FindingKind::Renegotiation);
    if (h.pqNotPicked) mask |= kindBit(FindingKind::PqNotPicked);
    return mask;
}

KindMask certificateFindings(records::CertificateFacts const& f, bool leaf) {
    KindMask mask = 0;
    // Nobody checks a self-signed certificate's signature on itself, so its hash does not
    // matter: a trust anchor is trusted as it stands, and a self-signed leaf has its own finding.
    if (!f.selfSigned) {
        if (f.signatureHash == "MD5") mask |= kindBit(FindingKind::CertificateMd5);
        if (f.signatureHash == "SHA1") mask |= kindBit(FindingKind::CertificateSha1);
    }
    if (leaf && f.selfSigned) mask |= kindBit(FindingKind::CertificateSelfSigned);
    if (f.keyType == "RSA" && f.keyBits > 0 && f.keyBits < minimumKeyBits) mask |= kindBit(FindingKind::SmallRsa);
    return mask;
}

bool validAt(records::CertificateFacts const& f, int64_t seconds) { return seconds >= f.notBefore && seconds <= f.notAfter; }

std::optional<FindingKind> certificateDateFinding(records::CertificateFacts const& f, int64_t lastSeen, int64_t dataEnd,
                                                  int64_t now) {
    if (f.notAfter < now) {
        // Expired while valid at its last use: nothing was wrong when it was seen.
        if (f.notAfter >= lastSeen) return FindingKind::CertificateExpiredSinceSeen;
        return std::nullopt;
    }
    bool const seenLately = lastSeen >= dataEnd - expiringDays * secondsPerDay;
    if (seenLately && daysBetween(now, f.notAfter) <= expiringDays) return FindingKind::CertificateExpiring;
    return std::nullopt;
}

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool namePatternMatches(std::string_view pattern, std::string_view name) {
    if (pattern.size() > 2 && pattern.back() == '.') pattern.remove_suffix(1);
    if (pattern.rfind("*.", 0) != 0) return pattern.find('*') == std::string_view::npos && sameName(pattern, name);
    std::string_view const parent = pattern.substr(2);
    if (parent.find('*') != std::string_view::npos || parent.find('.') == std::string_view::npos) return false;
    auto const dot = name.find('.');
    return dot != std::string_view::npos && dot > 0 && sameName(name.substr(dot + 1), parent);
}

}  // namespace

bool judgedServerName(std::string_view name) {
    if (name.empty()) return false;
    if (name.find(':') != std::string_view::npos) return false;  // IPv6
    return name.find_first_not_of("0123456789.") != std::string_view::npos;  // IPv4
}

bool nameMatches(records::CertificateFacts const& f, std::string_view name) {
    if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
    for (auto const& pattern : f.dnsNames)
        if (namePatternMatches(pattern, name)) return true;
    return false;
}

int64_t lifetimeLimitDays(int64_t notBefore) {
    // (first second of the day the limit took effect, UTC; days)
    static constexpr std::pair<int64_t, int64_t> limits[] = {
        {1868227200, 47},   // 2029-03-15
        {1805068800, 100},  // 2027-03-15
        {1773532800, 200},  // 2026-03-15
        {1598918400, 398},  // 2020-09-01
    };
    for (auto const& [from, days] : limits)
        if (notBefore >= from) return days;
    return 0;
}

bool lifetimeOverLimit(records::CertificateFacts const& f) {
    int64_t const days = lifetimeLimitDays(f.notBefore);
    return days > 0 && f.notAfter - f.notBefore + 1 > days * secondsPerDay;
}

int64_t daysBetween(int64_t from, int64_t to) {
    int64_t const d = to - from;
    return d >= 0 ? d / secondsPerDay : -((-d + secondsPerDay - 1) / secondsPerDay);
}

std::string notJudged(uint64_t withoutCertificate, uint64_t handshakes, size_t unreadCertificates) {
    std::string text;
    if (withoutCertificate)
        text = std::to_string(withoutCertificate) + " of " + counted(handshakes, "handshake", "handshakes") +
               " without a visible certificate (TLS 1.3, QUIC or resumed)";
    if (unreadCertificates)
        text += (text.empty() ? "" : ", ") + counted(unreadCertificates, "certificate", "certificates") +
                " not in the store";
    return text.empty() ? text : "; not judged: " + text;
}

std::string certificateDetail(FindingKind kind, records::CertificateFacts const& f, CertificateUse const& use, int64_t now) {
    std::string const who = (use.leaf ? "" : "chain certificate ") + f.subject +
                            (use.digest.empty() ? "" : " (SHA-1 " + std::string(use.digest.substr(0, 8)) + ")") + ": ";
    switch (kind) {
    case FindingKind::CertificateInvalidWhenUsed: {
        bool const early = use.firstSeen < f.notBefore;
        std::string const limit = early ? "not valid before " + isoDate(f.notBefore) : "expired " + isoDate(f.notAfter);
        return who + limit + ", presented in " + counted(use.invalidHandshakes, "handshake", "handshakes") + " up to " +
               isoDate(use.lastSeen);
    }
    case FindingKind::CertificateExpiring:
        return who + "expires " + isoDate(f.notAfter) + ", in " + std::to_string(daysBetween(now, f.notAfter)) + " days";
    case FindingKind::CertificateExpiredSinceSeen:
        return who + "expired " + isoDate(f.notAfter) + ", last seen " + isoDate(use.lastSeen);
    case FindingKind::CertificateMd5:
    case FindingKind::CertificateSha1: return who + f.signatureAlgorithm;
    case FindingKind::CertificateSelfSigned: return who + "issuer is the subject";
    case FindingKind::SmallRsa: return who + "RSA " + std::to_string(f.keyBits) + " bits";
    case FindingKind::CertificateLifetimeOverLimit:
        return who + "valid " + std::to_string((f.notAfter - f.notBefore + 1 + secondsPerDay - 1) / secondsPerDay) +
               " days from " + isoDate(f.notBefore) + ", over the " + std::to_string(lifetimeLimitDays(f.notBefore)) +
               "-day limit in force on that day";
    case FindingKind::CertificateNameMismatch:
    case FindingKind::CertificateUntrusted:
    case FindingKind::CertificateMissingIntermediate: return who + use.note;
    default: return who + std::string(kindInfo(kind).title);
    }
}

}  // namespace report
