#pragma once
// The inventory as a CycloneDX 1.7 Cryptography Bill of Materials: protocol assets per server
// endpoint and version, the algorithms their handshakes used, and every certificate of the
// stores with its key. Layout and meaning of the assets are in the README.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/csv_input.h"
#include "report/inventory.h"
#include "report/summary.h"

namespace report {

// --- algorithms ------------------------------------------------------------------------
// One algorithm asset, described with the values of the CycloneDX vocabulary. Empty text and
// negative numbers are unknown and left out of the document.
struct CbomAlgorithm {
    std::string ref;        // bom-ref, unique per algorithm and parameters
    std::string name;
    std::string primitive;  // "key-agree", "kem", "pke", "ae", "block-cipher", "hash", "signature", ...
    std::string family;     // from the CycloneDX list of algorithm families
    std::string parameterSet;
    std::string curve;      // from the CycloneDX list of elliptic curves
    std::string mode;
    std::string padding;
    std::string oid;
    int classicalLevel = -1;
    int quantumLevel = -1;  // NIST category; 0 where a quantum computer breaks it
};

// How a handshake agreed on its keys, as the row tells it.
enum class KexKind : uint8_t { None, Group, Ffdh, RsaTransport, EcdhUnknownCurve };
struct Kex {
    KexKind kind = KexKind::None;
    uint32_t value = 0;  // group code point, or the prime's or RSA key's bits (0: unknown)
    bool operator==(Kex const&) const = default;
};

// A group's IANA name without a trailing remark such as " (OBSOLETE)".
std::string plainGroupName(uint16_t code);
// The key exchange of a named group or of a suite's parameter; nullopt for Kex::None.
std::optional<CbomAlgorithm> keyExchangeAlgorithm(Kex kex);
// The algorithms a suite names besides its key exchange: authentication, bulk cipher, hash.
std::vector<CbomAlgorithm> suiteAlgorithms(uint16_t suite);
// A certificate's signature algorithm and the algorithm of its subject key.
CbomAlgorithm signatureAlgorithm(records::CertificateFacts const& facts);
CbomAlgorithm publicKeyAlgorithm(records::CertificateFacts const& facts);

// --- rows ------------------------------------------------------------------------------
// Collects, row by row, what the protocol assets need: per server endpoint, protocol and
// version the suites with their key exchanges, the names, certificates and times. Memory
// grows with endpoints, never with rows.
class CbomCollector {
public:
    struct SuiteUse {
        uint16_t suite = 0;
        Kex kex;
        uint64_t handshakes = 0;
    };
    struct Endpoint {
        std::string server;        // "address:port", IPv6 in brackets
        std::string protocolType;  // the CSV's ProtocolType: "TLS", "SSL", "QUIC", "DTLS"
        std::string versionText;   // the CSV's TLSVersion
        uint64_t handshakes = 0;
        int64_t firstMs = 0, lastMs = 0;
        std::vector<std::string> snis;
        std::vector<SuiteUse> suites;
        std::vector<uint32_t> certificates;  // indexes into digests()
        std::string lastChain;               // the ServerCertificateChain cell of the latest row
    };

    CbomCollector();
    ~CbomCollector();
    // One row, with what the inventory read from it.
    void add(RowCells const& cells, Inventory::RowFacts const& facts);

    std::vector<Endpoint> const& endpoints() const { return list; }
    std::vector<std::string> const& digests() const { return certDigests; }
    // A certificate of a store that is no directory (digest and PEM), listed like the files
    // of a directory's store.
    void addStored(std::string_view digest, std::string pem) { stored.emplace_back(digest, std::move(pem)); }
    std::vector<std::pair<std::string, std::string>> const& storedCertificates() const { return stored; }

private:
    Endpoint& endpoint(RowCells const& cells, uint32_t server);

    std::vector<Endpoint> list;
    std::vector<std::vector<uint32_t>> byServer;  // endpoints of each server, by its number
    std::vector<std::string> certDigests;
    StringMap<uint32_t> certIndex;
    std::vector<std::pair<std::string, std::string>> stored;
};

// --- document --------------------------------------------------------------------------
// Writes the document for a summary and the rows collected beside it; nowMs is the
// document's timestamp.
void renderCbom(Summary const& summary, CbomCollector const& rows, int64_t nowMs, std::ostream& out);

}  // namespace report
