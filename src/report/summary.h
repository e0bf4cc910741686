#pragma once
// The finished figures of a report: everything the text, HTML and JSON renderers show,
// computed once from the inventory so that the three outputs always agree.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record/certificate.h"
#include "report/findings.h"
#include "report/registry.h"

namespace report {

// One bar of a chart or one line of a table: a code point (or number) with its name.
struct Tally {
    uint32_t code = 0;     // code point, bit count, or 0 where the name alone matters
    std::string name;
    uint64_t count = 0;
    std::string cls;       // suite class, group kind, or "flagged"; empty when none applies
};

struct SuiteTally {
    uint16_t code = 0;
    SuiteInfo const* info = nullptr;
    uint64_t count = 0;
};

struct TrendPoint {
    int64_t startMs = 0;
    uint64_t tls13 = 0, postQuantum = 0, obsolete = 0;
};

struct CertificateSummary {
    std::string digest;
    std::optional<records::CertificateFacts> facts;  // nullopt: PEM missing or unreadable
    bool missing = false;
    uint64_t handshakes = 0;                // rows whose server chain holds it
    bool leaf = false;                      // first in at least one chain
    std::vector<std::string> servers;       // every server that showed it
    size_t serverCount = 0;
    int64_t daysLeft = 0;
    uint64_t invalidHandshakes = 0;       // presented when expired or not yet valid
    int64_t firstSeenMs = 0, lastSeenMs = 0;
    std::vector<FindingKind> flags;
};

struct ServerSummary {
    std::string server;  // "address:port", IPv6 addresses in brackets
    uint64_t handshakes = 0;
    std::vector<std::string> snis;
    size_t sniCount = 0;
    std::vector<std::string> versions, suites, groups;
    std::string suiteClass;  // the worst class among its suites
    std::string groupKinds;  // "classical", "post-quantum" or both, from the groups it picked
    std::string key;        // e.g. "RSA 2048", "EC 256 (prime256v1)", "RSA 1024 (key exchange)"
    int64_t leafNotAfter = 0;  // seconds; 0 when unknown
    std::vector<FindingKind> findings;
    Severity worst = Severity::Info;
    bool anyFinding = false;
    std::array<uint64_t, findingKindCount> kindHandshakes{};  // handshakes that show each kind
    uint64_t clientAuthRequested = 0, clientCertificates = 0, renegotiated = 0, compressed = 0;
    uint64_t pqOffered = 0, pqNotPicked = 0;
    int64_t firstSeenMs = 0, lastSeenMs = 0;
    uint64_t withoutCertificate = 0;  // handshakes that showed no certificate to judge
};

struct GroupOffer {
    uint16_t code = 0;
    std::string name;
    GroupKind kind = GroupKind::Unknown;
    uint64_t offered = 0, keyShare = 0, picked = 0;
};

// All findings of one kind: findings[first .. first + count) of the summary.
struct FindingGroup {
    FindingKind kind{};
    size_t first = 0, count = 0;
    uint64_t servers = 0, handshakes = 0;
};

// Handshakes by the CSV's ProtocolType ("TLS" and "SSL" run over TCP, "QUIC" over UDP).
struct TransportTally {
    std::string protocolType;
    uint64_t handshakes = 0, tls13 = 0, postQuantum = 0;
    std::string_view transport() const {
        return protocolType == "QUIC" ? "QUIC" : protocolType == "DTLS" ? "UDP" : "TCP";
    }
};

// What changed between a baseline set of directories and the current one.
struct ServerChange {
    std::string server, what, before, after;
};
struct FindingChange {
    FindingKind kind{};
    std::string server;
    bool serverSeen = true;  // of a gone finding: the server is still seen (so it was fixed)
};
struct Drift {
    std::vector<std::string> directories;  // the baseline's
    uint64_t rows = 0;
    int64_t firstMs = 0, lastMs = 0;
    std::vector<std::string> newServers, goneServers;
    std::vector<ServerChange> changed;
    std::vector<FindingChange> appeared, disappeared;  // most severe first
    uint64_t tls13Then = 0, postQuantumThen = 0, tls13Now = 0, postQuantumNow = 0;
};

// Which handshakes showed a certificate that the report could judge.
struct CertificateCoverage {
    uint64_t visible = 0;  // rows with a server chain
    uint64_t hidden = 0;   // TLS 1.3 and QUIC rows without one: the certificate travels encrypted
    uint64_t none = 0;     // other rows without one: resumed sessions, anonymous suites, cut short
    // Directories whose TLS 1.2 and older rows carry no certificate at all: written without -c.
    std::vector<std::string> withoutStore;
};

// A directory without CSV files of its own, read as a folder of output directories.
struct ParentDirectory {
    std::string directory;
    std::vector<std::string> below;  // the output directories read under it
};

struct Summary {
    // Input
    std::vector<std::string> directories;  // every output directory read (of a store: its sensors)
    std::vector<ParentDirectory> parents;
    std::string store;                     // "HOST:PORT/DATABASE" when the rows came from ClickHouse
    uint64_t files = 0, rows = 0, malformedLines = 0, missingCertificates = 0, unreadableCertificates = 0;
    uint64_t jsonFiles = 0;              // of files: JSON lines, the others CSV
    uint64_t openFiles = 0, openRows = 0;  // files still being written (".tmp") and the rows read from them
    std::vector<std::string> problems;  // first few malformed lines and missing files, for the reader
    int64_t nowSeconds = 0;

    // Overview
    int64_t firstMs = 0, lastMs = 0;
    uint64_t servers = 0, snis = 0, clients = 0;

    std::vector<Tally> versions;  // cls: "insecure", "legacy", "good"
    std::vector<SuiteTally> suites;
    std::array<uint64_t, suiteClassCount> suiteClasses{};

    std::vector<Tally> curves;   // TLS 1.2 and older: named curve of the ServerKeyExchange
    std::vector<Tally> dhBits;   // cls "flagged" under 2048
    std::vector<Tally> rsaBits;  // static RSA key exchange, the real key size where the certificate is known

    std::vector<Tally> tls13Groups;  // cls: group kind
    uint64_t tls13 = 0, postQuantum = 0, obsoletePostQuantum = 0;
    std::vector<TrendPoint> trend;
    int64_t trendBucketHours = 1;

    CertificateCoverage coverage;
    std::vector<CertificateSummary> certificates;  // worst first
    std::vector<Tally> certificateKeys, signatureAlgorithms;
    std::vector<Tally> validity;  // expired, <=30 d, <=90 d, <=1 y, >1 y
    uint64_t distinctClientCertificates = 0;

    std::vector<ServerSummary> serverTable;  // worst first

    uint64_t clientAuthRequested = 0, clientCertificates = 0, renegotiated = 0, compressed = 0;

    // ClientHello analysis (rows saved with -m 1)
    uint64_t helloRows = 0, helloUnreadable = 0;
    std::vector<Tally> offeredVersions;         // hellos that offer each version
    std::vector<Tally> pickedVersionsOfHellos;  // the version servers picked for those hellos
    std::vector<GroupOffer> groupOffers;
    std::vector<Tally> alpnOffered, alpnPicked;
    uint64_t pqOfferedRows = 0, pqPickedRows = 0;
    uint64_t echOfferedRows = 0;  // hellos with an encrypted_client_hello extension (0xfe0d), grease or real
    // Hellos that offer ML-DSA signatures: any of them, and each of ML-DSA-44, -65, -87.
    uint64_t mlDsaOfferedRows = 0;
    std::array<uint64_t, 3> mlDsaOffered{};
    std::vector<Tally> ja4;  // most common first
    uint64_t ja4Distinct = 0;

    std::vector<TransportTally> transports;  // most handshakes first

    uint64_t expiredWhenUsedCertificates = 0, expiredWhenUsedHandshakes = 0;

    std::vector<Finding> findings;  // most severe first
    std::vector<FindingGroup> findingGroups;

    std::optional<Drift> drift;  // with a baseline
};

}  // namespace report
