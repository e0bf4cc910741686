#pragma once
// Streams the rows of the exporter's CSV files into counts per server, certificate, code
// point and hour. Memory grows with the number of distinct servers, certificates, names and
// fingerprints seen, never with the number of rows.
#include <cstdint>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "record/trust_store.h"
#include "tls/client_hello.h"
#include "report/csv_input.h"
#include "report/summary.h"

namespace report {

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
template <typename V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

class Inventory {
public:
    explicit Inventory(int64_t nowSeconds);
    ~Inventory();

    // Reads every CSV and JSON lines file of dir, those still being written up to their last
    // complete row; a dir without any is taken as a folder of output directories, and those
    // one level below it that hold such files are read. False (with a reason) when a
    // directory cannot be listed.
    bool addDirectory(std::string const& dir, std::string& error);
    // One row of a file of directory dirIndex (numbered in the order of addDirectory);
    // nullptr when it was taken, else why it was not.
    char const* addCells(RowCells const& cells, size_t dirIndex);

    Summary summarize() const;

    // The roots that server chains are verified against; without one, trust is not judged.
    // Set before the first directory: every CA certificate read is offered to it.
    void useTrustStore(std::shared_ptr<records::TrustStore> store) { trust = std::move(store); }

    // What the inventory read from a row, handed on with its cells.
    struct RowFacts {
        uint32_t server = 0;         // number of its "address:port", from 0 in order of appearance
        int64_t ms = 0;
        int suite = -1, group = -1;  // code points (the curve, or the TLS 1.3 group); -1: none
    };
    // Called with every row taken, after the inventory counted it: the CBOM's collector.
    using RowSink = std::function<void(RowCells const&, RowFacts const&)>;
    void onRow(RowSink sink) { rowSink = std::move(sink); }

private:
    struct ServerState;
    struct CertState;

    struct ChainFacts;
    struct ChainState;
    // Verdicts on the distinct chains, made on the first summary and kept.
    struct Judged {
        std::vector<records::ChainVerdict> verdicts;  // per chain
        std::vector<std::string> reasons;             // per chain: why it is not trusted
        std::vector<KindMask> leafKinds;              // per certificate: what its chains say of it as leaf
    };

    void readFiles(std::string const& dir, std::vector<std::string> const& files);
    void readFile(std::string path, size_t dirIndex);
    void addRow(RowCells const& cells, size_t dirIndex);
    void addCoverage(RowCells const& cells, Version version, ServerState& s, size_t dirIndex);
    void addNames(RowCells const& cells, ServerState& s);
    ChainFacts addChain(std::string_view chain, ServerState& s, size_t dirIndex, int64_t ms);
    int addGroups(RowCells const& cells, ServerState& s, Version version, int64_t ms, HandshakeFacts& facts,
                  int leaf);
    void addFlags(RowCells const& cells, ServerState& s);
    void addChainUse(std::vector<uint32_t> const& indices, ServerState& s, int64_t ms);
    bool addNameCheck(std::string_view serverName, int leaf, ServerState& s);
    void judgeChains() const;
    std::optional<std::string> certificateDer(uint32_t index) const;
    void addTransport(std::string_view protocolType, bool tls13, bool postQuantum);
    void malformed(std::string_view where, std::string_view why);
    ServerState& server(std::string_view address, std::string_view port);
    uint32_t certificate(std::string_view digest, size_t dirIndex);
    // True when the client offered a post-quantum group that the server did not pick.
    // dtls: 0, 1, 2 for DTLS 1.0, 1.2, 1.3, else -1.
    bool addHello(std::string_view messagesCell, ServerState& server, uint16_t version, int dtls, int pickedGroup,
                  char protocol);

    // The sections of summarize().
    void summarizeProtocol(Summary& out) const;
    void summarizeTrend(Summary& out) const;
    void summarizeCertificates(Summary& out) const;
    void summarizeServers(Summary& out) const;
    std::vector<Finding> serverFindings(ServerState const& s, ServerSummary& row) const;
    bool addCertificateFindings(ServerState const& s, ServerSummary& row, std::vector<Finding>& found) const;
    void addChainFindings(ServerState const& s, ServerSummary& row, std::vector<Finding>& found) const;
    void addNameFindings(ServerState const& s, std::vector<Finding>& found) const;
    void summarizeHellos(Summary& out) const;

    int64_t now;
    RowSink rowSink;
    uint32_t lastServer = 0;  // number of the server of the latest row
    std::vector<std::string> directories;
    std::vector<ParentDirectory> parents;
    struct DirectoryRows {
        uint64_t older = 0, withChain = 0;  // TLS 1.2 and older over TCP; rows with a server chain
    };
    std::vector<DirectoryRows> directoryRows;
    CertificateCoverage coverage;
    uint64_t files = 0, rows = 0, malformedLines = 0;
    uint64_t jsonFiles = 0, openFiles = 0, openRows = 0;  // of files: JSON lines; still being written
    std::vector<std::string> problems;
    int64_t firstMs = 0, lastMs = 0;

    std::vector<std::unique_ptr<ServerState>> servers;
    StringMap<uint32_t> serverIndex;
    StringSet snis, clients, clientCertificates;
    std::string keyBuffer;

    std::array<uint64_t, versionCount> versions{};
    std::array<uint64_t, 3> dtlsVersions{}, pickedDtlsVersions{};  // DTLS 1.0, 1.2, 1.3: counted apart from TLS
    std::vector<uint64_t> suites, curves, tls13Groups;  // indexed by code point
    std::map<int, uint64_t> dhBits, rsaBits;
    std::map<int64_t, TrendPoint> trendHours;

    std::vector<CertState> certs;
    StringMap<uint32_t> certIndex;
    std::vector<ChainState> chains;
    StringMap<uint32_t> chainIndex;  // by the certificate numbers of the chain
    std::string chainKey;
    std::vector<uint32_t> chainIndices;  // of the row being read
    uint64_t chainsDropped = 0;  // rows whose chain came after the bound on distinct chains
    std::shared_ptr<records::TrustStore> trust;
    mutable Judged judged;

    uint64_t clientAuthRequested = 0, clientCertificateRows = 0, renegotiated = 0, compressed = 0;
    uint64_t expiredWhenUsedHandshakes = 0;
    std::vector<TransportTally> transports;

    // ClientHello analysis
    tls::ClientHelloInfo hello;
    tls::ServerHelloInfo serverHello;
    tls::Ja4 ja4;
    std::string decoded;
    uint64_t helloRows = 0, helloUnreadable = 0, pqOfferedRows = 0, pqPickedRows = 0, echOfferedRows = 0;
    std::vector<uint64_t> offeredVersions, offeredGroups, keyShareGroups, pickedGroups;
    std::array<uint64_t, versionCount> pickedVersions{};
    StringMap<uint64_t> alpnOffered, alpnPicked, ja4Counts;
    uint64_t ja4Other = 0, namesDropped = 0;
};

}  // namespace report
