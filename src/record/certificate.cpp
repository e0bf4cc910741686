#include "record/certificate.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <ctime>
#include <memory>

#include "record/base64.h"

namespace records {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

std::string nameText(X509_NAME const* name) {
    if (!name) return {};
    int const index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index >= 0) {
        ASN1_STRING const* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
        unsigned char* utf8 = nullptr;
        int const length = ASN1_STRING_to_UTF8(&utf8, data);
        if (length >= 0) {
            std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
            OPENSSL_free(utf8);
            return text;
        }
    }
    char buffer[512];
    X509_NAME_oneline(name, buffer, sizeof buffer);
    return buffer;
}

std::string serialText(ASN1_INTEGER const* serial) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(ASN1_INTEGER_to_BN(serial, nullptr), BN_free);
    char* hex = number ? BN_bn2hex(number.get()) : nullptr;
    if (!hex) return {};
    std::string text(hex);
    OPENSSL_free(hex);
    return text;
}

std::string utf8(ASN1_STRING const* data) {
    unsigned char* text = nullptr;
    int const length = data ? ASN1_STRING_to_UTF8(&text, data) : -1;
    if (length < 0) return {};
    std::string out(reinterpret_cast<char*>(text), static_cast<size_t>(length));
    OPENSSL_free(text);
    return out;
}

// RFC 2253 escaping, in the order the certificate holds the names, UTF-8 left as it is.
std::string distinguishedName(X509_NAME const* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    if (!name || !out) return {};
    unsigned long const flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    if (X509_NAME_print_ex(out.get(), name, 0, flags) < 0) return {};
    char* data = nullptr;
    long const length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::vector<std::string> commonNames(X509_NAME const* name) {
    std::vector<std::string> names;
    for (int i = -1; name && (i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) >= 0;)
        names.push_back(utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i))));
    return names;
}

std::vector<std::string> alternativeNames(X509* x, std::vector<std::string>& dnsNames) {
    std::vector<std::string> names;
    auto* general = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(general); ++i) {
        GENERAL_NAME const* name = sk_GENERAL_NAME_value(general, i);
        if (name->type == GEN_DNS || name->type == GEN_EMAIL || name->type == GEN_URI) {
            names.push_back(utf8(name->d.ia5));
            if (name->type == GEN_DNS) dnsNames.push_back(names.back());
        } else if (name->type == GEN_IPADD) {
            char text[64] = {};
            int const length = ASN1_STRING_length(name->d.iPAddress);
            unsigned char const* bytes = ASN1_STRING_get0_data(name->d.iPAddress);
            if ((length == 4 || length == 16) && inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text))
                names.emplace_back(text);
        }
    }
    GENERAL_NAMES_free(general);
    return names;
}

// ML-DSA (FIPS 204) by its OID, the same for the key and the signature: OpenSSL 3.0 does not
// know it, and would call both "unknown".
std::string mlDsaName(ASN1_OBJECT const* oid) {
    char text[80];
    int const length = oid ? OBJ_obj2txt(text, sizeof text, oid, 1) : -1;
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return {};
    std::string_view const dotted(text, static_cast<size_t>(length));
    if (dotted == "2.16.840.1.101.3.4.3.17") return "ML-DSA-44";
    if (dotted == "2.16.840.1.101.3.4.3.18") return "ML-DSA-65";
    if (dotted == "2.16.840.1.101.3.4.3.19") return "ML-DSA-87";
    return {};
}

int64_t epochSeconds(ASN1_TIME const* time) {
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
    return static_cast<int64_t>(timegm(&tm));
}

}  // namespace

std::optional<CertificateFacts> readCertificateDer(std::string_view der) {
    auto const* bytes = reinterpret_cast<unsigned char const*>(der.data());
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
    if (!cert) return std::nullopt;
    X509* x = cert.get();
    CertificateFacts facts;
    facts.subject = nameText(X509_get_subject_name(x));
    facts.issuer = nameText(X509_get_issuer_name(x));
    facts.serialNumber = serialText(X509_get0_serialNumber(x));
    facts.subjectDn = distinguishedName(X509_get_subject_name(x));
    facts.issuerDn = distinguishedName(X509_get_issuer_name(x));
    facts.subjectCommonNames = commonNames(X509_get_subject_name(x));
    facts.issuerCommonNames = commonNames(X509_get_issuer_name(x));
    facts.alternativeNames = alternativeNames(x, facts.dnsNames);
    facts.version = static_cast<int>(X509_get_version(x)) + 1;
    if (EVP_PKEY* key = X509_get0_pubkey(x)) {
        int const id = EVP_PKEY_get_base_id(key);
        char const* name = OBJ_nid2sn(id);
        facts.keyType = id == EVP_PKEY_RSA ? "RSA" : id == EVP_PKEY_EC ? "EC" : id == EVP_PKEY_DSA ? "DSA"
                        : name                                       ? name
                                                                     : "unknown";
        facts.keyBits = EVP_PKEY_get_bits(key);
        char group[80];
        size_t groupLength = 0;
        if (id == EVP_PKEY_EC && EVP_PKEY_get_group_name(key, group, sizeof group, &groupLength) == 1)
            facts.curve.assign(group, groupLength);
    } else {
        ASN1_OBJECT* keyOid = nullptr;
        X509_PUBKEY_get0_param(&keyOid, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(x));
        facts.keyType = mlDsaName(keyOid);
        if (facts.keyType.empty()) facts.keyType = "unknown";
    }
    int const signatureNid = X509_get_signature_nid(x);
    facts.signatureAlgorithm = signatureNid != NID_undef ? OBJ_nid2ln(signatureNid) : "unknown";
    if (signatureNid == NID_undef) {
        X509_ALGOR const* algorithm = nullptr;
        X509_get0_signature(nullptr, &algorithm, x);
        ASN1_OBJECT const* oid = nullptr;
        if (algorithm) X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
        if (std::string name = mlDsaName(oid); !name.empty()) facts.signatureAlgorithm = name;
    }
    int hashNid = NID_undef, keyNid = NID_undef;
    if (OBJ_find_sigid_algs(signatureNid, &hashNid, &keyNid) && hashNid != NID_undef)
        facts.signatureHash = OBJ_nid2sn(hashNid);
    for (auto& c : facts.signatureHash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (facts.signatureHash.rfind("SHA", 0) == 0 && facts.signatureHash.find('-') == 3)
        facts.signatureHash.erase(3, 1);  // "SHA-1" -> "SHA1", the spelling used throughout
    facts.notBefore = epochSeconds(X509_get0_notBefore(x));
    facts.notAfter = epochSeconds(X509_get0_notAfter(x));
    // Issuer and subject match, the key identifiers (when present) agree, and the
    // certificate's own key verifies its signature.
    facts.selfSigned = X509_self_signed(x, 1) == 1;
    return facts;
}

std::optional<std::string> pemToDer(std::string_view pem) {
    static constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view end = "-----END CERTIFICATE-----";
    auto const first = pem.find(begin);
    if (first == std::string_view::npos) return std::nullopt;
    auto const last = pem.find(end, first + begin.size());
    if (last == std::string_view::npos) return std::nullopt;
    std::string text;
    for (char c : pem.substr(first + begin.size(), last - first - begin.size()))
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t') text += c;
    std::string der;
    if (!base64_decode(text.data(), text.size(), der)) return std::nullopt;
    return der;
}

}  // namespace records
