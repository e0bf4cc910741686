#include "record/trust_store.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace records {

namespace {

// Enough CA certificates for any real network; a flood of made-up ones stops here.
constexpr size_t maxKnown = 20000;
// A trust store bigger than this is not a bundle of roots.
constexpr uintmax_t maxStoreFileBytes = 64u << 20;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using Cert = std::unique_ptr<X509, X509Free>;

Cert fromDer(std::string_view der) {
    auto const* bytes = reinterpret_cast<unsigned char const*>(der.data());
    return Cert(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

// The certificates of one PEM file; other blocks (keys, CRLs) are passed over.
size_t loadPemFile(X509_STORE* store, std::string const& path) {
    std::error_code ec;
    auto const size = std::filesystem::file_size(path, ec);
    if (ec || size > maxStoreFileBytes) return 0;
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(path.c_str(), "r"), BIO_free);
    if (!in) return 0;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(in.get(), nullptr, nullptr, nullptr);
    size_t added = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1) ++added;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();  // a file that is not PEM leaves its complaint behind
    return added;
}

// Lifetimes are judged apart (expired when used), so a chain used after its end is judged on
// its path alone.
int ignoreTimes(int ok, X509_STORE_CTX* ctx) {
    int const error = X509_STORE_CTX_get_error(ctx);
    if (!ok && (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID)) return 1;
    return ok;
}

// 0 when the leaf leads to a root of the store, else OpenSSL's error.
int verifyOnce(X509_STORE* store, X509* leaf, STACK_OF(X509)* untrusted, int64_t at) {
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, leaf, untrusted) != 1) return X509_V_ERR_UNSPECIFIED;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(at));
    // Only a path to a root counts: a trusted intermediate alone does not.
    X509_VERIFY_PARAM_clear_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_CTX_set_verify_cb(ctx.get(), ignoreTimes);
    int const verified = X509_verify_cert(ctx.get());
    ERR_clear_error();
    if (verified == 1) return X509_V_OK;
    int const error = X509_STORE_CTX_get_error(ctx.get());
    return error == X509_V_OK ? X509_V_ERR_UNSPECIFIED : error;
}

bool issuerMissing(int error) {
    return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
}

}  // namespace

struct TrustStore::State {
    X509_STORE* store = X509_STORE_new();
    STACK_OF(X509)* known = sk_X509_new_null();
    std::set<std::string> knownDigests;  // SHA-256 of each, so that one read twice counts once
    ~State() {
        X509_STORE_free(store);
        sk_X509_pop_free(known, X509_free);
    }
};

TrustStore::TrustStore(std::unique_ptr<State> s) : state(std::move(s)) {}
TrustStore::~TrustStore() = default;

std::unique_ptr<TrustStore> TrustStore::open(std::string const& path, std::string& error) {
    auto s = std::make_unique<State>();
    if (!s->store || !s->known) {
        error = "out of memory";
        return nullptr;
    }
    if (path.empty()) {
        X509_STORE_set_default_paths(s->store);
        return std::unique_ptr<TrustStore>(new TrustStore(std::move(s)));
    }
    std::error_code ec;
    size_t roots = 0;
    if (!std::filesystem::exists(path, ec)) {
        error = path + ": no such file or directory";
        return nullptr;
    }
    if (std::filesystem::is_directory(path, ec)) {
        // Every file, not only the hashed names that c_rehash makes.
        for (auto const& entry : std::filesystem::directory_iterator(path, ec))
            if (entry.is_regular_file(ec)) roots += loadPemFile(s->store, entry.path().string());
        if (ec) {
            error = "cannot list " + path + ": " + ec.message();
            return nullptr;
        }
    } else {
        roots = loadPemFile(s->store, path);
    }
    if (roots == 0) {
        error = path + " holds no PEM certificate";
        return nullptr;
    }
    return std::unique_ptr<TrustStore>(new TrustStore(std::move(s)));
}

void TrustStore::addKnown(std::string_view der) {
    if (static_cast<size_t>(sk_X509_num(state->known)) >= maxKnown) return;
    Cert cert = fromDer(der);
    if (!cert || X509_check_ca(cert.get()) <= 0) return;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1) return;
    if (!state->knownDigests.emplace(reinterpret_cast<char const*>(digest), length).second) return;
    if (sk_X509_push(state->known, cert.get()) > 0) cert.release();
}

size_t TrustStore::knownCount() const { return static_cast<size_t>(sk_X509_num(state->known)); }

ChainVerdict TrustStore::verify(std::vector<std::string> const& chain, int64_t atSeconds, std::string& reason) const {
    if (chain.empty()) return ChainVerdict::NotJudged;
    Cert const leaf = fromDer(chain.front());
    if (!leaf) return ChainVerdict::NotJudged;
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> sent(
        sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); });
    for (size_t i = 1; i < chain.size(); ++i)
        if (Cert c = fromDer(chain[i]); c && sk_X509_push(sent.get(), c.get()) > 0) c.release();
    int const error = verifyOnce(state->store, leaf.get(), sent.get(), atSeconds);
    if (error == X509_V_OK) return ChainVerdict::Trusted;
    reason = X509_verify_cert_error_string(error);
    // The server's chain stops short of a root. Every CA certificate the report has seen is
    // offered as well: if a path to a root then exists, the root is known and the server
    // leaves out an intermediate; if not, the chain leads to a root the store lacks.
    if (!issuerMissing(error)) return ChainVerdict::Untrusted;
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> all(
        sk_X509_dup(sent.get()), [](STACK_OF(X509)* s) { sk_X509_free(s); });
    for (int i = 0; all && i < sk_X509_num(state->known); ++i) sk_X509_push(all.get(), sk_X509_value(state->known, i));
    if (all && verifyOnce(state->store, leaf.get(), all.get(), atSeconds) == X509_V_OK)
        return ChainVerdict::MissingIntermediate;
    return ChainVerdict::Untrusted;
}

}  // namespace records
