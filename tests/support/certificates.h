#pragma once
// Real self-signed DER certificates made with libcrypto, for the key-size column, and ML-DSA
// ones, which this libcrypto cannot make: an Ed25519 certificate with its algorithm
// identifiers rewritten (both have no parameters), so only its signature is not genuine.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <string>

#include "support/builders.h"

namespace build {

// "RSA", "RSA-PSS" or "EC" (P-256); bits for the RSA kinds. Keys are made once per kind
// and size, since large RSA keys take a while.
inline Bytes selfSignedCertificate(std::string const& kind, size_t bits = 0) {
    static std::map<std::pair<std::string, size_t>, Bytes> made;
    auto& der = made[{kind, bits}];
    if (!der.empty()) return der;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(nullptr, &EVP_PKEY_free);
    if (kind == "EC") {
        key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    } else {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_from_name(nullptr, kind.c_str(), nullptr), &EVP_PKEY_CTX_free);
        EVP_PKEY* made = nullptr;
        if (context && EVP_PKEY_keygen_init(context.get()) > 0 &&
            EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) > 0)
            EVP_PKEY_generate(context.get(), &made);
        key.reset(made);
    }
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    if (!key || !cert) return {};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return {};
    const int length = i2d_X509(cert.get(), nullptr);
    if (length <= 0) return {};
    der.resize(static_cast<size_t>(length));
    unsigned char* out = der.data();
    i2d_X509(cert.get(), &out);
    return der;
}

// DER with every TLV whose bytes equal from replaced by to, constructed values re-encoded
// around them: enough DER to swap an OID of one length for one of another.
inline Bytes replaceTlv(Bytes const& der, size_t& at, size_t end, Bytes const& from, Bytes const& to) {
    Bytes out;
    while (at + 2 <= end) {
        size_t const start = at;
        uint8_t const tag = der[at++];
        size_t length = der[at++];
        if (length & 0x80) {
            size_t const n = length & 0x7f;
            length = 0;
            for (size_t i = 0; i < n; ++i) length = (length << 8) | der[at++];
        }
        Bytes content;
        if (tag & 0x20) {
            size_t inner = at;
            content = replaceTlv(der, inner, at + length, from, to);
        } else {
            content.assign(der.begin() + static_cast<long>(at), der.begin() + static_cast<long>(at + length));
        }
        at += length;
        if (Bytes(der.begin() + static_cast<long>(start), der.begin() + static_cast<long>(at)) == from) {
            append(out, to);
            continue;
        }
        put8(out, tag);
        if (content.size() < 0x80) {
            put8(out, static_cast<unsigned>(content.size()));
        } else {
            put8(out, 0x82);
            put16(out, static_cast<unsigned>(content.size()));
        }
        append(out, content);
    }
    return out;
}

// A self-signed certificate for cn whose key and signature claim ML-DSA-44, -65 or -87
// (FIPS 204 OIDs 2.16.840.1.101.3.4.3.17 to .19), valid 2000 to 2099.
inline Bytes mlDsaCertificate(int set, std::string const& cn) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), set);
    ASN1_TIME_set_string(X509_getm_notBefore(cert.get()), "20000101000000Z");
    ASN1_TIME_set_string(X509_getm_notAfter(cert.get()), "20990101000000Z");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), nullptr) <= 0) return {};
    Bytes der(static_cast<size_t>(i2d_X509(cert.get(), nullptr)));
    unsigned char* out = der.data();
    i2d_X509(cert.get(), &out);
    uint8_t const last = set == 44 ? 0x11 : set == 65 ? 0x12 : 0x13;
    size_t at = 0;
    return replaceTlv(der, at, der.size(), {0x06, 0x03, 0x2b, 0x65, 0x70},
                      {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x03, last});
}

}  // namespace build
