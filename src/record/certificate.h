#pragma once
// Facts about one X.509 certificate, read with OpenSSL's libcrypto from the PEM files that
// the exporter stores under DIR/ab/cd/<sha1>.pem.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace records {

struct CertificateFacts {
    std::string subject;             // common name, else the one-line subject
    std::string issuer;
    std::string subjectDn, issuerDn;  // "C=US, O=Example Inc, CN=example.com"
    std::vector<std::string> subjectCommonNames, issuerCommonNames;
    std::vector<std::string> alternativeNames;  // DNS names, IP addresses, e-mail addresses, URIs
    std::vector<std::string> dnsNames;          // the DNS names alone, which name the server
    int version = 0;                            // 1 to 3
    std::string serialNumber;        // hex, as `openssl x509 -serial` writes it
    std::string keyType;             // "RSA", "EC", "ED25519", "DSA", "ML-DSA-65", ...
    int keyBits = 0;
    std::string curve;               // EC named curve, when there is one
    std::string signatureAlgorithm;  // e.g. "sha256WithRSAEncryption", "ML-DSA-65"
    std::string signatureHash;       // e.g. "SHA256", "SHA1", "MD5"; empty when the algorithm has none
    int64_t notBefore = 0;           // seconds since the Unix epoch
    int64_t notAfter = 0;
    bool selfSigned = false;

    bool weakHash() const { return signatureHash == "SHA1" || signatureHash == "MD5"; }
};

// Reads a DER certificate; nullopt when libcrypto cannot decode it.
std::optional<CertificateFacts> readCertificateDer(std::string_view der);

// The DER bytes of the single certificate of a PEM file as the exporter writes it (one
// Base64 line), or of any RFC 7468 PEM (wrapped lines); nullopt when it holds none.
std::optional<std::string> pemToDer(std::string_view pem);

}  // namespace records
