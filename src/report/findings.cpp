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
        {"compression", Severity::High, "TLS compression (CRIME)", "disable TLS compression"},
        {"weak-cipher-suite", Severity::Medium, "weak cipher suite (static key exchange or CBC)",
         "prefer ECDHE with AES-GCM or ChaCha20-Poly1305"},
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
    // A root's signature on itself is never checked, so its hash does not matter unless it is
    // the certificate the server stands on.
    if (leaf || !f.selfSigned) {
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
    std::string const who = (use.leaf ? "" : "chain certificate ") + f.subject + ": ";
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
    default: return who + std::string(kindInfo(kind).title);
    }
}

}  // namespace report
