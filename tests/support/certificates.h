#pragma once
// Real self-signed DER certificates made with libcrypto, for the key-size column.
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

}  // namespace build
