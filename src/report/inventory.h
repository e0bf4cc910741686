#pragma once
// Streams the rows of the exporter's CSV files into counts per server, certificate, code
// point and hour. Memory grows with the number of distinct servers, certificates, names and
// fingerprints seen, never with the number of rows.
#include <algorithm>
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

// Adds name to a bounded list of names that keeps the smallest ones, so that the list does
// not hang on the order of the rows; true when a name was left out, now or before.
inline bool keepSmallest(std::vector<std::string>& names, std::string_view name, size_t max) {
    if (std::find(names.begin(), names.end(), name) != names.end()) return false;
    if (names.size() < max) {
        names.emplace_back(name);
        return false;
    }
    auto const largest = std::max_element(names.begin(), names.end());
    if (name < *largest) *largest = name;
    return true;
}

// Where the inventory finds the certificates that rows name by digest: an output
// directory's store on disk, or PEM texts fetched from a central store.
class CertificateSource {
public:
    virtual ~CertificateSource() = default;
    // The PEM text of the certificate; nullopt when this source does not hold it.
    virtual std::optional<std::string> pem(std::string_view digest) const = 0;
};

// The store that varno -c writes beside its rows (record/certificate_path.h).
class DirectoryCertificates : public CertificateSource {
public:
    explicit DirectoryCertificates(std::string dir) : dir(std::move(dir)) {}
    std::optional<std::string> pem(std::string_view digest) const override;

private:
    std::string dir;
};

// PEM texts by digest, filled by whoever fetched them.
class CertificateMap : public CertificateSource {
public:
    std::optional<std::string> pem(std::string_view digest) const override;
    StringMap<std::string> pems;
};

// Identical rows taken at once: how many, and the first and last of their times (ms).
struct RowGroup {
    uint64_t count = 1;
    int64_t firstMs = 0, lastMs = 0;
};

class Inventory {
public:
    explicit Inventory(int64_t nowSeconds);
    ~Inventory();

    // Reads every CSV and JSON lines file of dir, those still being written up to their last
    // complete row; a dir without any is taken as a folder of output directories, and those
    // one level below it that hold such files are read. False (with a reason) when a
    // directory cannot be listed.
    bool addDirectory(std::string const& dir, std::string& error);
    // A source of rows other than a directory (a sensor of a central store): its name as the
    // summary lists it and where its certificates are. Returns its number for addGroup.
    size_t addSource(std::string name, std::shared_ptr<CertificateSource const> certificates);
    // One row of a file of directory dirIndex (numbered in the order of addDirectory and
    // addSource); nullptr when it was taken or lies outside the window, else why it was not.
    char const* addCells(RowCells const& cells, size_t dirIndex);
    // group.count identical rows at once (their ConnectionTimestamp cell is not read): every
    // count is raised by group.count, and times come from group.
    char const* addGroup(RowCells const& cells, size_t dirIndex, RowGroup const& group);

    // Only rows with sinceMs <= time < untilMs are taken.
    void setWindow(int64_t sinceMs, int64_t untilMs) {
        windowSince = sinceMs;
        windowUntil = untilMs;
    }
    // The number of distinct clients, counted by the source of the rows; their
    // ClientIPAddress cells are then not read.
    void setDistinctClients(uint64_t count) { distinctClients = count; }
    // Of a group's rows, how many were seen outside [notBefore, notAfter] (seconds): asked
    // only when the group's first and last time lie on different sides of a bound.
    using OutsideCount = std::function<uint64_t(RowCells const&, int64_t notBefore, int64_t notAfter)>;
    void onStraddle(OutsideCount count) { outsideCount = std::move(count); }

    Summary summarize() const;

    // The roots that server chains are verified against; without one, trust is not judged.
    // Set before the first directory: every CA certificate read is offered to it.
    void useTrustStore(std::shared_ptr<records::TrustStore> store) { trust = std::move(store); }

    // What the inventory read from a row, handed on with its cells.
    struct RowFacts {
        uint32_t server = 0;         // number of its "address:port", from 0 in order of appearance
        int64_t ms = 0;              // of a group: its first time
        int64_t lastMs = 0;
        uint64_t count = 1;          // identical rows it stands for
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
    char const* checkCells(RowCells const& cells) const;
    void addRow(RowCells const& cells, size_t dirIndex);
    // Of the current rows, those seen outside [notBefore, notAfter] (seconds).
    uint64_t outside(RowCells const& cells, int64_t notBefore, int64_t notAfter) const;
    void addCoverage(RowCells const& cells, Version version, ServerState& s, size_t dirIndex);
    void addNames(RowCells const& cells, ServerState& s);
    ChainFacts addChain(RowCells const& cells, ServerState& s, size_t dirIndex);
    int addGroups(RowCells const& cells, ServerState& s, Version version, HandshakeFacts& facts, int leaf);
    void addFlags(RowCells const& cells, ServerState& s);
    void addChainUse(std::vector<uint32_t> const& indices, ServerState& s);
    bool addNameCheck(std::string_view serverName, int leaf, ServerState& s);
    void judgeChains() const;
    void addTransport(std::string_view protocolType, bool tls13, bool postQuantum);
    void malformed(std::string_view where, std::string_view why);
    ServerState& server(std::string_view address, std::string_view port);
    uint32_t certificate(std::string_view digest, size_t dirIndex);
    // True when the client offered a post-quantum group that the server did not pick.
    // dtls: 0, 1, 2 for DTLS 1.0, 1.2, 1.3, else -1.
    // ML-DSA signature schemes (0x0904-0x0906) a hello offers, each counted once per hello.
    void countMlDsa(std::vector<uint16_t> const& signatureSchemes, uint64_t n);
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
    OutsideCount outsideCount;
    // The rows being added: one row, or a group of identical ones. Every count a row adds
    // is raised by current.count, never by one.
    RowGroup current;
    int64_t windowSince = INT64_MIN, windowUntil = INT64_MAX;
    std::optional<uint64_t> distinctClients;
    std::vector<std::shared_ptr<CertificateSource const>> certificateSources;  // by dirIndex
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
    uint64_t helloRows = 0, helloUnreadable = 0, pqOfferedRows = 0, pqPickedRows = 0, echOfferedRows = 0, mlDsaOfferedRows = 0;
    std::array<uint64_t, 3> mlDsaOffered{};
    std::vector<uint64_t> offeredVersions, offeredGroups, keyShareGroups, pickedGroups;
    std::array<uint64_t, versionCount> pickedVersions{};
    StringMap<uint64_t> alpnOffered, alpnPicked, ja4Counts;
    uint64_t ja4Other = 0, namesDropped = 0;
};

}  // namespace report
