#pragma once
// Whether a server's chain leads to a root the clients trust: OpenSSL's own path building
// over the roots of a trust store, the certificates the server sent as the only help.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace records {

enum class ChainVerdict : uint8_t {
    NotJudged,            // no trust store, or the leaf could not be read
    Trusted,              // leads to a root of the store
    MissingIntermediate,  // leads to a root only with a certificate the server did not send
    Untrusted,            // leads to no root of the store
};

class TrustStore {
public:
    // The roots of a PEM bundle, or of every PEM file of a directory; the system's own
    // roots when path is empty. Null, with the reason, when it holds no root.
    static std::unique_ptr<TrustStore> open(std::string const& path, std::string& error);
    ~TrustStore();
    TrustStore(TrustStore const&) = delete;
    TrustStore& operator=(TrustStore const&) = delete;

    // A CA certificate some server sent: the pool that tells a missing intermediate from an
    // unknown root. Others, and any beyond a bound, are left out.
    void addKnown(std::string_view der);
    size_t knownCount() const;

    // The chain as the server sent it (DER, leaf first) at a time (seconds since the epoch).
    // Expiry is not judged here: the report judges it on its own. reason: OpenSSL's words for
    // a chain that is not trusted.
    ChainVerdict verify(std::vector<std::string> const& chain, int64_t atSeconds, std::string& reason) const;

private:
    struct State;
    explicit TrustStore(std::unique_ptr<State> state);
    std::unique_ptr<State> state;
};

}  // namespace records
