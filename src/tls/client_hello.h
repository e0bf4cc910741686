#pragma once
// What a client offers in its ClientHello and what the server picks in its ServerHello; and
// the JA4 client fingerprint, which the monitor writes per handshake and the report counts.
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace tls {

// Vectors keep their capacity across parses, so the per-row hot path allocates nothing.
struct ClientHelloInfo {
    uint16_t legacyVersion = 0;
    bool hasSni = false;
    std::vector<uint16_t> cipherSuites;         // in order, GREASE included
    std::vector<uint16_t> extensions;           // extension types in order, GREASE included
    std::vector<uint16_t> supportedVersions;    // supported_versions (43)
    std::vector<uint16_t> groups;               // supported_groups (10)
    std::vector<uint16_t> keyShares;            // groups of the key_share entries (51)
    std::vector<uint16_t> signatureAlgorithms;  // signature_algorithms (13)
    std::vector<std::string> alpn;              // application_layer_protocol_negotiation (16)
    char protocol = 't';                        // JA4's first letter: t over TCP, q for QUIC, d for DTLS

    void clear();
    // Highest offered version, GREASE left out: from supported_versions when present.
    uint16_t highestVersion() const;
};

// Parses a whole ClientHello handshake message (4-byte header included). False when the
// fixed part does not fit; extensions that do not fit end the walk and what came before stays.
// `protocol` is what carried it: 't' (TCP), 'q' (QUIC) or 'd' (DTLS, whose ClientHello has
// a cookie after its session_id).
bool parseClientHello(std::span<const uint8_t> message, ClientHelloInfo& out, char protocol = 't');

struct ServerHelloInfo {
    uint16_t version = 0;  // supported_versions when present, else the legacy version
    uint16_t cipherSuite = 0;
    std::string alpn;      // the protocol picked (TLS 1.2 only: TLS 1.3 encrypts it)
};
bool parseServerHello(std::span<const uint8_t> message, ServerHelloInfo& out);

// JA4 (FoxIO, BSD 3-Clause): "t13d1516h2_8daaf6152771_e5627efa2ab1". The two hashed parts
// repeat across millions of hellos, so their digests are memoised.
class Ja4 {
public:
    std::string const& fingerprint(ClientHelloInfo const& hello);

private:
    std::string compute(ClientHelloInfo const& hello);
    std::string const& truncatedSha256(std::string const& text);
    // Everything the fingerprint depends on, GREASE values made alike, as bytes -> fingerprint.
    std::unordered_map<std::string, std::string> known;
    std::unordered_map<std::string, std::string> digests;
    std::string key, cipherText, extensionText;
    std::vector<uint16_t> scratch;
};

}  // namespace tls
