// What each algorithm of a handshake or certificate is, in CycloneDX terms. Security levels:
// classical bits from NIST SP 800-57-1 (Table 2) and RFC 7748; NIST quantum categories
// from the post-quantum evaluation criteria (1: AES-128 key search, 2: SHA-256 collision,
// 3: AES-192, 4: SHA-384, 5: AES-256), 0 for what Shor's algorithm breaks.
#include <openssl/objects.h>

#include <array>

#include "report/cbom.h"

namespace report {

namespace {

struct CurveInfo {
    std::string_view name;  // IANA group name or OpenSSL's curve name
    std::string_view cyclonedx;
    int classical;
};
constexpr std::array curves{
    CurveInfo{"x25519", "other/Curve25519", 128},
    CurveInfo{"x448", "other/Curve448", 224},
    CurveInfo{"secp256r1", "secg/secp256r1", 128},
    CurveInfo{"prime256v1", "x962/prime256v1", 128},
    CurveInfo{"secp384r1", "secg/secp384r1", 192},
    CurveInfo{"secp521r1", "secg/secp521r1", 256},
    CurveInfo{"secp224r1", "secg/secp224r1", 112},
    CurveInfo{"secp192r1", "secg/secp192r1", 80},
    CurveInfo{"prime192v1", "x962/prime192v1", 80},
    CurveInfo{"secp256k1", "secg/secp256k1", 128},
    CurveInfo{"brainpoolP256r1", "brainpool/brainpoolP256r1", 128},
    CurveInfo{"brainpoolP384r1", "brainpool/brainpoolP384r1", 192},
    CurveInfo{"brainpoolP512r1", "brainpool/brainpoolP512r1", 256},
    CurveInfo{"brainpoolP256r1tls13", "brainpool/brainpoolP256r1", 128},
    CurveInfo{"brainpoolP384r1tls13", "brainpool/brainpoolP384r1", 192},
    CurveInfo{"brainpoolP512r1tls13", "brainpool/brainpoolP512r1", 256},
};

CurveInfo const* findCurve(std::string_view name) {
    for (auto const& c : curves)
        if (c.name == name) return &c;
    return nullptr;
}

// RSA, DSA and finite-field DH by the size of the modulus or prime; -1 under 1024 bits.
int modulusLevel(uint32_t bits) {
    if (bits >= 15360) return 256;
    if (bits >= 7680) return 192;
    if (bits >= 3072) return 128;
    if (bits >= 2048) return 112;
    if (bits >= 1024) return 80;
    return -1;
}

// Elliptic curves by field size, for curves not in the table.
int fieldLevel(int bits) {
    if (bits >= 512) return 256;
    if (bits >= 384) return 192;
    if (bits >= 256) return 128;
    if (bits >= 224) return 112;
    if (bits >= 160) return 80;
    return -1;
}

// Post-quantum groups by code point: the ML-KEM parameter set each holds (alone or beside a
// classical curve), and the Kyber drafts that came before it.
struct PqGroup {
    uint16_t code;
    bool mlKem;  // false: Kyber draft, no registered family
    std::string_view parameterSet;
    int classical, quantum;
};
constexpr std::array pqGroups{
    PqGroup{0x0200, true, "512", 128, 1},   PqGroup{0x0201, true, "768", 192, 3},
    PqGroup{0x0202, true, "1024", 256, 5},  PqGroup{0x11eb, true, "768", 192, 3},
    PqGroup{0x11ec, true, "768", 192, 3},   PqGroup{0x11ed, true, "1024", 256, 5},
    PqGroup{0x6399, false, "768", 192, 3},  PqGroup{0x639a, false, "768", 192, 3},
};

CbomAlgorithm make(std::string name, std::string_view primitive, std::string_view family, int classical,
                   int quantum) {
    CbomAlgorithm a;
    a.ref = "algorithm/" + name;
    a.name = std::move(name);
    a.primitive = primitive;
    a.family = family;
    a.classicalLevel = classical;
    a.quantumLevel = quantum;
    return a;
}

CbomAlgorithm ffdh(uint32_t bits) {
    if (bits == 0) return make("FFDH", "key-agree", "FFDH", -1, 0);
    CbomAlgorithm a = make("FFDH-" + std::to_string(bits), "key-agree", "FFDH", modulusLevel(bits), 0);
    a.parameterSet = std::to_string(bits);
    return a;
}

CbomAlgorithm groupAlgorithm(uint16_t code) {
    std::string const name = plainGroupName(code);
    for (auto const& g : pqGroups)
        if (g.code == code) {
            CbomAlgorithm a = make(name, "kem", g.mlKem ? "ML-KEM" : "", g.classical, g.quantum);
            a.parameterSet = g.parameterSet;
            return a;
        }
    if (code >= 0x0100 && code <= 0x01ff && name.rfind("ffdhe", 0) == 0)
        return ffdh(static_cast<uint32_t>(std::stoul(name.substr(5))));
    if (groupKind(code) != GroupKind::Classical) return make("group-" + name, "unknown", "", -1, -1);
    CurveInfo const* curve = findCurve(name);
    CbomAlgorithm a = make("ECDH-" + name, "key-agree", "ECDH", curve ? curve->classical : -1, 0);
    if (curve) a.curve = curve->cyclonedx;
    return a;
}

}  // namespace

std::string plainGroupName(uint16_t code) {
    std::string name = groupName(code);
    auto const space = name.find(" (");
    if (space != std::string::npos) name.erase(space);
    return name;
}

std::optional<CbomAlgorithm> keyExchangeAlgorithm(Kex kex) {
    switch (kex.kind) {
    case KexKind::None: return std::nullopt;
    case KexKind::Group: return groupAlgorithm(static_cast<uint16_t>(kex.value));
    case KexKind::Ffdh: return ffdh(kex.value);
    case KexKind::EcdhUnknownCurve: return make("ECDH", "key-agree", "ECDH", -1, 0);
    case KexKind::RsaTransport: {
        // TLS encrypts the premaster secret with PKCS #1 v1.5.
        std::string const bits = kex.value ? "-" + std::to_string(kex.value) : "";
        CbomAlgorithm a = make("RSAES-PKCS1" + bits, "pke", "RSAES-PKCS1", modulusLevel(kex.value), 0);
        if (kex.value) a.parameterSet = std::to_string(kex.value);
        a.padding = "pkcs1v15";
        return a;
    }
    }
    return std::nullopt;
}

namespace {

struct CipherInfo {
    std::string_view token;  // as in the suite name, e.g. "AES_128_GCM"
    std::string_view name, primitive, family, mode, parameterSet;
    int classical, quantum;
};
// Bulk ciphers of the registered suites. Levels are left out where NIST rates none (RC4,
// IDEA, SEED, SM4, AEGIS); broken or short-keyed ciphers meet no quantum category.
constexpr std::array ciphers{
    CipherInfo{"AES_128_GCM", "AES-128-GCM", "ae", "AES", "gcm", "128", 128, 1},
    CipherInfo{"AES_256_GCM", "AES-256-GCM", "ae", "AES", "gcm", "256", 256, 5},
    CipherInfo{"AES_128_CCM", "AES-128-CCM", "ae", "AES", "ccm", "128", 128, 1},
    CipherInfo{"AES_256_CCM", "AES-256-CCM", "ae", "AES", "ccm", "256", 256, 5},
    CipherInfo{"AES_128_CCM_8", "AES-128-CCM-8", "ae", "AES", "ccm", "128", 128, 1},
    CipherInfo{"AES_256_CCM_8", "AES-256-CCM-8", "ae", "AES", "ccm", "256", 256, 5},
    CipherInfo{"AES_128_CBC", "AES-128-CBC", "block-cipher", "AES", "cbc", "128", 128, 1},
    CipherInfo{"AES_256_CBC", "AES-256-CBC", "block-cipher", "AES", "cbc", "256", 256, 5},
    CipherInfo{"CAMELLIA_128_CBC", "CAMELLIA-128-CBC", "block-cipher", "CAMELLIA", "cbc", "128", 128, 1},
    CipherInfo{"CAMELLIA_256_CBC", "CAMELLIA-256-CBC", "block-cipher", "CAMELLIA", "cbc", "256", 256, 5},
    CipherInfo{"CAMELLIA_128_GCM", "CAMELLIA-128-GCM", "ae", "CAMELLIA", "gcm", "128", 128, 1},
    CipherInfo{"CAMELLIA_256_GCM", "CAMELLIA-256-GCM", "ae", "CAMELLIA", "gcm", "256", 256, 5},
    CipherInfo{"ARIA_128_CBC", "ARIA-128-CBC", "block-cipher", "ARIA", "cbc", "128", 128, 1},
    CipherInfo{"ARIA_256_CBC", "ARIA-256-CBC", "block-cipher", "ARIA", "cbc", "256", 256, 5},
    CipherInfo{"ARIA_128_GCM", "ARIA-128-GCM", "ae", "ARIA", "gcm", "128", 128, 1},
    CipherInfo{"ARIA_256_GCM", "ARIA-256-GCM", "ae", "ARIA", "gcm", "256", 256, 5},
    CipherInfo{"CHACHA20_POLY1305", "ChaCha20-Poly1305", "ae", "ChaCha20", "", "256", 256, 5},
    CipherInfo{"3DES_EDE_CBC", "3DES-EDE-CBC", "block-cipher", "3DES", "cbc", "168", 112, 0},
    CipherInfo{"DES_CBC", "DES-CBC", "block-cipher", "DES", "cbc", "56", 56, 0},
    CipherInfo{"DES40_CBC", "DES40-CBC", "block-cipher", "DES", "cbc", "40", 40, 0},
    CipherInfo{"DES_CBC_40", "DES40-CBC", "block-cipher", "DES", "cbc", "40", 40, 0},
    CipherInfo{"RC4_128", "RC4-128", "stream-cipher", "RC4", "", "128", -1, 0},
    CipherInfo{"RC4_40", "RC4-40", "stream-cipher", "RC4", "", "40", -1, 0},
    CipherInfo{"RC2_CBC_40", "RC2-40-CBC", "block-cipher", "RC2", "cbc", "40", 40, 0},
    CipherInfo{"IDEA_CBC", "IDEA-CBC", "block-cipher", "IDEA", "cbc", "128", -1, -1},
    CipherInfo{"SEED_CBC", "SEED-CBC", "block-cipher", "SEED", "cbc", "128", -1, -1},
    CipherInfo{"SM4_GCM", "SM4-GCM", "ae", "SM4", "gcm", "128", -1, -1},
    CipherInfo{"SM4_CCM", "SM4-CCM", "ae", "SM4", "ccm", "128", -1, -1},
    CipherInfo{"AEGIS_128L", "AEGIS-128L", "ae", "", "", "128", -1, -1},
    CipherInfo{"AEGIS_256", "AEGIS-256", "ae", "", "", "256", -1, -1},
};

struct HashInfo {
    std::string_view token, name, family, parameterSet;
    int classical, quantum;  // collision resistance
};
constexpr std::array hashes{
    HashInfo{"SHA", "SHA-1", "SHA-1", "160", -1, 0},
    HashInfo{"SHA256", "SHA-256", "SHA-2", "256", 128, 2},
    HashInfo{"SHA384", "SHA-384", "SHA-2", "384", 192, 4},
    HashInfo{"MD5", "MD5", "MD5", "128", -1, 0},
    HashInfo{"SM3", "SM3", "SM3", "256", -1, -1},
};

// The signature the server makes over its key exchange in TLS 1.2 and earlier. The suite
// does not say which padding an RSA signature uses.
std::optional<CbomAlgorithm> suiteAuthentication(std::string_view exchange) {
    if (exchange == "ECDHE_RSA" || exchange == "DHE_RSA" || exchange == "SRP_SHA_RSA")
        return make("RSA", "signature", "", -1, 0);
    if (exchange == "ECDHE_ECDSA") return make("ECDSA", "signature", "ECDSA", -1, 0);
    if (exchange == "DHE_DSS" || exchange == "SRP_SHA_DSS") return make("DSA", "signature", "DSA", -1, 0);
    return std::nullopt;
}

}  // namespace

std::vector<CbomAlgorithm> suiteAlgorithms(uint16_t suite) {
    std::vector<CbomAlgorithm> out;
    std::string_view name = suiteInfo(suite).name;
    if (name.rfind("TLS_", 0) != 0) return out;
    name.remove_prefix(4);
    std::string_view exchange, rest = name;
    if (auto const with = name.find("_WITH_"); with != std::string_view::npos) {
        exchange = name.substr(0, with);
        rest = name.substr(with + 6);
    }
    if (auto auth = suiteAuthentication(exchange)) out.push_back(std::move(*auth));
    std::string_view cipher = rest;
    HashInfo const* hash = nullptr;
    if (auto const last = rest.rfind('_'); last != std::string_view::npos)
        for (auto const& h : hashes)
            if (rest.substr(last + 1) == h.token) {
                hash = &h;
                cipher = rest.substr(0, last);
            }
    for (auto const& c : ciphers)
        if (c.token == cipher) {
            CbomAlgorithm a = make(std::string(c.name), c.primitive, c.family, c.classical, c.quantum);
            a.mode = c.mode;
            a.parameterSet = c.parameterSet;
            out.push_back(std::move(a));
        }
    if (hash) {
        CbomAlgorithm a = make(std::string(hash->name), "hash", hash->family, hash->classical, hash->quantum);
        a.parameterSet = hash->parameterSet;
        out.push_back(std::move(a));
    }
    return out;
}

namespace {

// Dotted OID of an algorithm OpenSSL knows by its long name; empty otherwise.
std::string oidOf(std::string const& longName) {
    int const nid = OBJ_ln2nid(longName.c_str());
    if (nid == NID_undef) return {};
    char buffer[80];
    int const length = OBJ_obj2txt(buffer, sizeof buffer, OBJ_nid2obj(nid), 1);
    return length > 0 && static_cast<size_t>(length) < sizeof buffer ? std::string(buffer, static_cast<size_t>(length)) : "";
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// ML-DSA parameter sets: NIST categories 2, 3 and 5, the OIDs of FIPS 204 (which an OpenSSL
// without ML-DSA cannot give).
std::optional<CbomAlgorithm> mlDsa(std::string const& name) {
    struct Set {
        std::string_view id;
        int classical, quantum;
        std::string_view oid;
    };
    static constexpr Set sets[] = {{"44", 128, 2, "2.16.840.1.101.3.4.3.17"},
                                   {"65", 192, 3, "2.16.840.1.101.3.4.3.18"},
                                   {"87", 256, 5, "2.16.840.1.101.3.4.3.19"}};
    for (auto const& s : sets)
        if (name == "ML-DSA-" + std::string(s.id) || name == "id-ml-dsa-" + std::string(s.id)) {
            CbomAlgorithm a = make(name, "signature", "ML-DSA", s.classical, s.quantum);
            a.parameterSet = s.id;
            a.oid = s.oid;
            return a;
        }
    return std::nullopt;
}

}  // namespace

CbomAlgorithm signatureAlgorithm(records::CertificateFacts const& f) {
    std::string const& name = f.signatureAlgorithm;
    if (auto a = mlDsa(name)) return *a;
    // The strength of a signature lies in the signer's key, which the issuer's certificate
    // holds: no classical level here.
    CbomAlgorithm a = make(name, "signature", "", -1, 0);
    if (contains(name, "WithRSAEncryption"))
        a.family = "RSASSA-PKCS1";
    else if (name == "rsassaPss")
        a.family = "RSASSA-PSS";
    else if (contains(name, "ecdsa"))
        a.family = "ECDSA";
    else if (name == "ED25519" || name == "ED448")
        a.family = "EdDSA";
    else if (contains(name, "dsa"))
        a.family = "DSA";
    else
        a.quantumLevel = -1;  // not an algorithm this table knows
    a.oid = oidOf(name);
    return a;
}

CbomAlgorithm publicKeyAlgorithm(records::CertificateFacts const& f) {
    auto const bits = static_cast<uint32_t>(f.keyBits > 0 ? f.keyBits : 0);
    std::string const size = bits ? "-" + std::to_string(bits) : "";
    if (f.keyType == "RSA" || f.keyType == "DSA") {
        bool const rsa = f.keyType == "RSA";
        CbomAlgorithm a = make(f.keyType + size, rsa ? "pke" : "signature", rsa ? "" : "DSA", modulusLevel(bits), 0);
        if (bits) a.parameterSet = std::to_string(bits);
        return a;
    }
    if (f.keyType == "EC") {
        CurveInfo const* curve = findCurve(f.curve);
        std::string const name = f.curve.empty() ? "EC" + size : "EC-" + f.curve;
        CbomAlgorithm a = make(name, "signature", "ECDSA", curve ? curve->classical : fieldLevel(f.keyBits), 0);
        if (curve) a.curve = curve->cyclonedx;
        return a;
    }
    if (f.keyType == "ED25519" || f.keyType == "ED448") {
        bool const small = f.keyType == "ED25519";
        CbomAlgorithm a = make(f.keyType, "signature", "EdDSA", small ? 128 : 224, 0);
        a.curve = small ? "other/Ed25519" : "other/Ed448";
        return a;
    }
    if (auto a = mlDsa(f.keyType)) return *a;
    return make(f.keyType + size, "unknown", "", -1, -1);
}

}  // namespace report
