#include "report/inventory.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "record/base64.h"
#include "record/certificate_path.h"
#include "report/render.h"

namespace report {

namespace {

constexpr size_t maxSnisPerServer = 32;
constexpr size_t maxCertsPerServer = 32;
constexpr size_t maxProblems = 20;
constexpr size_t maxDistinctNames = 100000;  // ALPN names and JA4 fingerprints: beyond, "other"
constexpr int64_t msPerHour = 3600 * 1000;

using SmallCounts = std::vector<std::pair<uint16_t, uint64_t>>;

void addSmall(SmallCounts& counts, uint16_t code) {
    for (auto& [c, n] : counts)
        if (c == code) {
            ++n;
            return;
        }
    counts.emplace_back(code, 1);
}

using records::isDigest;
using records::isFlag;
using records::parseCode;
using records::parseNumber;

void countName(StringMap<uint64_t>& counts, std::string_view name, uint64_t& other) {
    auto found = counts.find(name);
    if (found != counts.end())
        ++found->second;
    else if (counts.size() < maxDistinctNames)
        counts.emplace(std::string(name), 1);
    else
        ++other;
}

std::string shorten(std::string_view text, size_t max) {
    std::string out(text.substr(0, max));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (text.size() > max) out += "...";
    return out;
}

std::vector<Tally> codeTallies(std::vector<uint64_t> const& counts, std::function<Tally(uint16_t)> const& make) {
    std::vector<Tally> out;
    for (size_t code = 0; code < counts.size(); ++code)
        if (counts[code]) {
            Tally t = make(static_cast<uint16_t>(code));
            t.code = static_cast<uint32_t>(code);
            t.count = counts[code];
            out.push_back(std::move(t));
        }
    std::stable_sort(out.begin(), out.end(), [](Tally const& a, Tally const& b) { return a.count > b.count; });
    return out;
}

std::vector<Tally> nameTallies(StringMap<uint64_t> const& counts, size_t limit) {
    std::vector<Tally> out;
    for (auto const& [name, count] : counts) out.push_back({0, name, count, {}});
    std::sort(out.begin(), out.end(),
              [](Tally const& a, Tally const& b) { return a.count != b.count ? a.count > b.count : a.name < b.name; });
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::vector<Tally> bitTallies(std::map<int, uint64_t> const& counts) {
    std::vector<Tally> out;
    for (auto const& [bits, count] : counts)
        out.push_back({static_cast<uint32_t>(bits), std::to_string(bits) + " bits", count, bits < 2048 ? "flagged" : ""});
    return out;
}

// A DTLS version counts as the TLS version it is built on (RFC 6347, RFC 9147): DTLS 1.0
// as TLS 1.1, a legacy version.
Version rowVersion(std::string_view text) {
    if (text == "DTLSv1.0") return Version::Tls11;
    if (text == "DTLSv1.2") return Version::Tls12;
    if (text == "DTLSv1.3") return Version::Tls13;
    return versionFromText(text);
}

std::string versionClass(Version v) {
    switch (v) {
    case Version::Ssl3: return "insecure";
    case Version::Tls10:
    case Version::Tls11: return "legacy";
    case Version::Tls12:
    case Version::Tls13: return "good";
    default: return "unknown";
    }
}

}  // namespace

struct Inventory::ServerState {
    struct Cert {
        uint32_t index = 0;
        bool leaf = false;  // stood first in at least one chain
        uint64_t handshakes = 0, invalid = 0;
        int64_t firstMs = 0, lastMs = 0;
    };
    std::string name;
    uint64_t handshakes = 0;
    uint8_t versions = 0;  // bit per Version
    bool dtls10 = false;   // DTLS 1.0 negotiated
    SmallCounts suites, tls13Groups, curves;
    std::vector<std::string> snis;
    bool moreSnis = false;
    int minDh = 0, minRsaKex = 0;
    std::vector<Cert> certs;
    int64_t lastLeaf = -1;  // index of the leaf of the latest row
    int64_t firstMs = 0, lastMs = 0;
    uint64_t withoutCertificate = 0;
    uint64_t clientAuthRequested = 0, clientCertificates = 0, renegotiated = 0, compressed = 0;
    uint64_t pqOffered = 0, pqNotPicked = 0;
    SmallCounts pqOfferedGroups, pickedInstead;
    std::array<uint64_t, findingKindCount> kindHandshakes{};
};

struct Inventory::CertState {
    std::string digest;
    std::optional<records::CertificateFacts> facts;
    bool missing = false, unreadable = false;
    std::vector<uint32_t> triedDirs;
    uint64_t handshakes = 0, invalid = 0;
    int64_t firstMs = 0, lastMs = 0;
    bool leaf = false;
    KindMask leafMask = 0, chainMask = 0;  // what the rules say of it as leaf and further up
};

// What one row's server chain contributed.
struct Inventory::ChainFacts {
    int leaf = -1;  // certificate index
    KindMask findings = 0;
};

Inventory::Inventory(int64_t nowSeconds)
    : now(nowSeconds),
      suites(65536),
      curves(65536),
      tls13Groups(65536),
      offeredVersions(65536),
      offeredGroups(65536),
      keyShareGroups(65536),
      pickedGroups(65536) {}

Inventory::~Inventory() = default;

bool Inventory::addDirectory(std::string const& dir, std::string& error) {
    auto const files = recordFiles(dir, error);
    if (!error.empty()) return false;
    if (!files.empty()) {
        readFiles(dir, files);
        return true;
    }
    ParentDirectory parent{dir, {}};
    auto const subdirectories = subdirectoriesOf(dir, error);
    if (!error.empty()) return false;
    for (auto const& sub : subdirectories) {
        auto const subFiles = recordFiles(sub, error);
        if (!error.empty()) return false;
        if (subFiles.empty()) continue;
        parent.below.push_back(sub);
        readFiles(sub, subFiles);
    }
    if (parent.below.empty()) {
        readFiles(dir, {});  // listed as read, with no rows
    } else {
        parents.push_back(std::move(parent));
    }
    return true;
}

void Inventory::readFiles(std::string const& dir, std::vector<std::string> const& paths) {
    size_t const dirIndex = directories.size();
    directories.push_back(dir);
    directoryRows.emplace_back();
    for (auto const& path : paths) readFile(path, dirIndex);
}

void Inventory::readFile(std::string path, size_t dirIndex) {
    bool open = records::recordFile(path).open;
    auto reader = std::make_unique<records::RowReader>(path);
    if (!reader->opened() && open) {
        // Finished since the directory was listed: read under its final name.
        path.resize(path.size() - 4);
        open = false;
        reader = std::make_unique<records::RowReader>(path);
    }
    if (!reader->opened()) {
        malformed(path, "cannot be opened");
        return;
    }
    ++files;
    openFiles += open;
    jsonFiles += records::recordFile(path).kind == records::FileKind::Json;
    RowCells cells;
    for (records::RowReader::Result r; (r = reader->next(cells)) != records::RowReader::Result::End;) {
        char const* why = r == records::RowReader::Result::Row ? addCells(cells, dirIndex) : reader->problem();
        if (!why) {
            openRows += open;
            continue;
        }
        malformed(path + ":" + std::to_string(reader->line()), std::string(why) + ": " + shorten(reader->text(), 60));
    }
    if (reader->failed()) malformed(path + ":" + std::to_string(reader->line() + 1), "read error, the rest is not read");
}

void Inventory::malformed(std::string_view where, std::string_view why) {
    ++malformedLines;
    if (problems.size() < maxProblems) problems.push_back(std::string(where) + ": " + std::string(why));
}

char const* Inventory::addCells(RowCells const& cells, size_t dirIndex) {
    uint64_t timestamp = 0;
    uint16_t code = 0;
    bool const valid = parseNumber(cells[ConnectionTimestamp], timestamp) &&
                       (cells[CipherSuiteCodePoint].empty() || parseCode(cells[CipherSuiteCodePoint], code)) &&
                       (cells[TLS13KEXNamedGroupCodePoint].empty() ||
                        parseCode(cells[TLS13KEXNamedGroupCodePoint], code)) &&
                       isFlag(cells[IsClientAuthRequested]) && isFlag(cells[IsRenegotiated]) &&
                       isFlag(cells[IsCompressed]) && !cells[ServerIPAddress].empty();
    if (!valid) return "a cell does not hold what its column does";
    addRow(cells, dirIndex);
    return nullptr;
}

Inventory::ServerState& Inventory::server(std::string_view address, std::string_view port) {
    records::serverKey(keyBuffer, address, port);
    auto found = serverIndex.find(std::string_view(keyBuffer));
    if (found != serverIndex.end()) {
        lastServer = found->second;
        return *servers[found->second];
    }
    lastServer = static_cast<uint32_t>(servers.size());
    serverIndex.emplace(keyBuffer, static_cast<uint32_t>(servers.size()));
    servers.push_back(std::make_unique<ServerState>());
    servers.back()->name = keyBuffer;
    return *servers.back();
}

uint32_t Inventory::certificate(std::string_view digest, size_t dirIndex) {
    auto found = certIndex.find(digest);
    uint32_t index;
    if (found == certIndex.end()) {
        index = static_cast<uint32_t>(certs.size());
        certIndex.emplace(std::string(digest), index);
        certs.emplace_back();
        certs.back().digest = digest;
    } else {
        index = found->second;
    }
    CertState& cert = certs[index];
    // Read once; a certificate missing from one sensor's store may be in another's.
    if (!cert.facts && std::find(cert.triedDirs.begin(), cert.triedDirs.end(), dirIndex) == cert.triedDirs.end()) {
        cert.triedDirs.push_back(static_cast<uint32_t>(dirIndex));
        std::string const path = records::certificatePath(directories[dirIndex], digest);
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            cert.missing = true;
        } else {
            std::ostringstream text;
            text << in.rdbuf();
            auto const der = records::pemToDer(text.str());
            if (der) cert.facts = records::readCertificateDer(*der);
            cert.unreadable = !cert.facts;
            if (cert.facts) {
                cert.missing = false;
                cert.leafMask = certificateFindings(*cert.facts, true);
                cert.chainMask = certificateFindings(*cert.facts, false);
            }
        }
    }
    return index;
}

void Inventory::addRow(RowCells const& c, size_t dirIndex) {
    ++rows;
    uint64_t timestamp = 0;
    parseNumber(c[ConnectionTimestamp], timestamp);
    auto const ms = static_cast<int64_t>(timestamp);
    if (ms > 0) {
        if (firstMs == 0 || ms < firstMs) firstMs = ms;
        if (ms > lastMs) lastMs = ms;
    }
    ServerState& s = server(c[ServerIPAddress], c[ServerPortNumber]);
    ++s.handshakes;
    if (ms > 0) {
        if (s.firstMs == 0 || ms < s.firstMs) s.firstMs = ms;
        s.lastMs = std::max(s.lastMs, ms);
    }
    addNames(c, s);

    HandshakeFacts facts;
    facts.version = rowVersion(c[TLSVersion]);
    ++versions[static_cast<int>(facts.version)];
    if (c[TLSVersion] == "DTLSv1.0")
        s.dtls10 = true;  // named apart from TLS 1.1 in the server's findings
    else
        s.versions |= static_cast<uint8_t>(1u << static_cast<int>(facts.version));
    uint16_t suite = 0;
    if (parseCode(c[CipherSuiteCodePoint], suite)) {
        facts.suite = &suiteInfo(suite);
        ++suites[suite];
        addSmall(s.suites, suite);
    }
    ChainFacts const chain = addChain(c[ServerCertificateChain], s, dirIndex, ms);
    addCoverage(c, facts.version, s, dirIndex);
    int const pickedGroup = addGroups(c, s, facts.version, ms, facts, chain.leaf);
    addFlags(c, s);
    facts.compressed = c[IsCompressed] == "1";
    facts.renegotiated = c[IsRenegotiated] == "1";
    if (!c[HandshakeMessages].empty())
        facts.pqNotPicked =
            addHello(c[HandshakeMessages], s, versionCode(facts.version), pickedGroup,
                     c[ProtocolType] == "DTLS" ? 'd' : c[ProtocolType] == "QUIC" ? 'q' : 't');
    if (rowSink) rowSink(c, RowFacts{lastServer, ms, facts.suite ? suite : -1, pickedGroup});
    for (KindMask mask = handshakeFindings(facts) | chain.findings; mask; mask &= mask - 1)
        ++s.kindHandshakes[static_cast<size_t>(__builtin_ctz(mask))];
}

// Whether the row let the certificate checks see the server's chain, and if not, why.
void Inventory::addCoverage(RowCells const& c, Version version, ServerState& s, size_t dirIndex) {
    bool const quic = c[ProtocolType] == "QUIC";
    DirectoryRows& d = directoryRows[dirIndex];
    if (!quic && version != Version::Unknown && version != Version::Tls13) ++d.older;
    if (!c[ServerCertificateChain].empty()) {
        ++coverage.visible;
        ++d.withChain;
        return;
    }
    ++s.withoutCertificate;
    ++(quic || version == Version::Tls13 ? coverage.hidden : coverage.none);
}

void Inventory::addNames(RowCells const& c, ServerState& s) {
    if (clients.find(c[ClientIPAddress]) == clients.end()) clients.emplace(c[ClientIPAddress]);
    if (c[SNI].empty()) return;
    if (snis.find(c[SNI]) == snis.end()) snis.emplace(c[SNI]);
    if (std::find(s.snis.begin(), s.snis.end(), c[SNI]) == s.snis.end()) {
        if (s.snis.size() < maxSnisPerServer)
            s.snis.emplace_back(c[SNI]);
        else
            s.moreSnis = true;
    }
}

// The server's chain, leaf first: each certificate is judged as it stands and at the time of
// this handshake.
Inventory::ChainFacts Inventory::addChain(std::string_view chain, ServerState& s, size_t dirIndex, int64_t ms) {
    ChainFacts out;
    bool anyInvalid = false;
    for (bool first = true; !chain.empty(); first = false) {
        std::string_view const digest = records::takeDigest(chain);
        if (!isDigest(digest)) continue;
        uint32_t const index = certificate(digest, dirIndex);
        CertState& cert = certs[index];
        ++cert.handshakes;
        if (cert.firstMs == 0 || ms < cert.firstMs) cert.firstMs = ms;
        cert.lastMs = std::max(cert.lastMs, ms);
        bool const invalid = cert.facts && !validAt(*cert.facts, ms / 1000);
        cert.invalid += invalid;
        anyInvalid = anyInvalid || invalid;
        out.findings |= first ? cert.leafMask : cert.chainMask;
        if (first) {
            cert.leaf = true;
            out.leaf = static_cast<int>(index);
        }
        auto known = std::find_if(s.certs.begin(), s.certs.end(), [&](auto const& e) { return e.index == index; });
        if (known == s.certs.end()) {
            if (s.certs.size() >= maxCertsPerServer) continue;
            known = s.certs.insert(s.certs.end(), ServerState::Cert{index, false, 0, 0, ms, ms});
        }
        known->leaf = known->leaf || first;
        ++known->handshakes;
        known->invalid += invalid;
        known->firstMs = std::min(known->firstMs, ms);
        known->lastMs = std::max(known->lastMs, ms);
    }
    if (out.leaf >= 0) s.lastLeaf = out.leaf;
    if (anyInvalid) {
        ++expiredWhenUsedHandshakes;
        out.findings |= kindBit(FindingKind::CertificateInvalidWhenUsed);
    }
    return out;
}

// The key exchange: curve, prime or RSA key size, and the TLS 1.3 group. Returns the group the
// server picked, -1 when none.
int Inventory::addGroups(RowCells const& c, ServerState& s, Version version, int64_t ms, HandshakeFacts& facts,
                         int leaf) {
    int pickedGroup = -1;
    std::string_view const kex = c[TLSKEXParameter];
    uint16_t curve = 0;
    uint64_t bits = 0;
    if (parseCode(kex, curve)) {
        ++curves[curve];
        addSmall(s.curves, curve);
        pickedGroup = curve;
    } else if (parseNumber(kex, bits) && facts.suite && bits < 1u << 20) {
        int const b = static_cast<int>(bits);
        if (facts.suite->finiteFieldDh) {
            ++dhBits[b];
            facts.dhBits = b;
            if (s.minDh == 0 || b < s.minDh) s.minDh = b;
        } else if (facts.suite->staticRsa) {
            // The leaf's own key when its certificate is in the store (the same size the
            // monitor writes); the cell alone otherwise.
            int rsa = b;
            if (leaf >= 0 && certs[leaf].facts && certs[leaf].facts->keyType == "RSA") rsa = certs[leaf].facts->keyBits;
            ++rsaBits[rsa];
            facts.rsaKexBits = rsa;
            if (s.minRsaKex == 0 || rsa < s.minRsaKex) s.minRsaKex = rsa;
        }
    }
    uint16_t group = 0;
    bool const tls13 = version == Version::Tls13 && parseCode(c[TLS13KEXNamedGroupCodePoint], group);
    bool postQuantum = false;
    if (tls13) {
        ++tls13Groups[group];
        addSmall(s.tls13Groups, group);
        pickedGroup = group;
        GroupKind const kind = groupKind(group);
        postQuantum = isPostQuantum(kind);
        TrendPoint& hour = trendHours[ms / msPerHour];
        ++hour.tls13;
        if (postQuantum) ++hour.postQuantum;
        if (kind == GroupKind::ObsoletePq) ++hour.obsolete;
    }
    addTransport(c[ProtocolType], tls13, postQuantum);
    return pickedGroup;
}

void Inventory::addTransport(std::string_view protocolType, bool tls13, bool postQuantum) {
    constexpr size_t maxTransports = 8;  // a damaged file cannot make this list grow
    auto found = std::find_if(transports.begin(), transports.end(),
                              [&](TransportTally const& t) { return t.protocolType == protocolType; });
    if (found == transports.end()) {
        if (transports.size() >= maxTransports) protocolType = "other";
        found = std::find_if(transports.begin(), transports.end(),
                             [&](TransportTally const& t) { return t.protocolType == protocolType; });
        if (found == transports.end()) found = transports.insert(transports.end(), {std::string(protocolType)});
    }
    ++found->handshakes;
    found->tls13 += tls13;
    found->postQuantum += postQuantum;
}

void Inventory::addFlags(RowCells const& c, ServerState& s) {
    if (c[IsClientAuthRequested] == "1") {
        ++clientAuthRequested;
        ++s.clientAuthRequested;
    }
    if (!c[ClientCertificateChain].empty()) {
        ++clientCertificateRows;
        ++s.clientCertificates;
        std::string_view digests = c[ClientCertificateChain];
        std::string_view const first = digests.substr(0, digests.find(':'));
        if (clientCertificates.find(first) == clientCertificates.end() && clientCertificates.size() < maxDistinctNames)
            clientCertificates.emplace(first);
    }
    if (c[IsRenegotiated] == "1") {
        ++renegotiated;
        ++s.renegotiated;
    }
    if (c[IsCompressed] == "1") {
        ++compressed;
        ++s.compressed;
    }
}

bool Inventory::addHello(std::string_view cell, ServerState& s, uint16_t version, int pickedGroup, char protocol) {
    std::string_view const clientHello = records::messageValue(cell, "ClientHello");
    if (clientHello.empty()) return false;
    ++helloRows;
    if (!base64_decode(clientHello.data(), clientHello.size(), decoded) ||
        !parseClientHello({reinterpret_cast<uint8_t const*>(decoded.data()), decoded.size()}, hello, protocol)) {
        ++helloUnreadable;
        return false;
    }
    // Each offered value counts once per hello.
    auto countOnce = [](std::vector<uint16_t> const& values, std::vector<uint64_t>& counts) {
        for (size_t i = 0; i < values.size(); ++i)
            if (!isGrease(values[i]) && std::find(values.begin(), values.begin() + i, values[i]) == values.begin() + i)
                ++counts[values[i]];
    };
    if (hello.supportedVersions.empty())
        ++offeredVersions[hello.legacyVersion];
    else
        countOnce(hello.supportedVersions, offeredVersions);
    countOnce(hello.groups, offeredGroups);
    countOnce(hello.keyShares, keyShareGroups);
    ++pickedVersions[static_cast<int>(versionFromCode(version))];
    if (pickedGroup >= 0) ++pickedGroups[static_cast<size_t>(pickedGroup)];
    for (size_t i = 0; i < hello.alpn.size(); ++i)
        if (std::find(hello.alpn.begin(), hello.alpn.begin() + i, hello.alpn[i]) == hello.alpn.begin() + i)
            countName(alpnOffered, hello.alpn[i], namesDropped);

    std::string_view const serverHelloText = records::messageValue(cell, "ServerHello");
    if (!serverHelloText.empty() && base64_decode(serverHelloText.data(), serverHelloText.size(), decoded) &&
        parseServerHello({reinterpret_cast<uint8_t const*>(decoded.data()), decoded.size()}, serverHello) &&
        !serverHello.alpn.empty())
        countName(alpnPicked, serverHello.alpn, namesDropped);

    uint16_t pqGroup = 0;
    for (auto const* list : {&hello.keyShares, &hello.groups})
        for (uint16_t g : *list)
            if (!pqGroup && isPostQuantum(groupKind(g))) pqGroup = g;
    bool const pickedPq = version == 0x0304 && pickedGroup >= 0 && isPostQuantum(groupKind(static_cast<uint16_t>(pickedGroup)));
    if (pickedPq) ++pqPickedRows;
    if (pqGroup) {
        ++pqOfferedRows;
        ++s.pqOffered;
        addSmall(s.pqOfferedGroups, pqGroup);
        if (!pickedPq) {
            ++s.pqNotPicked;
            if (pickedGroup >= 0) addSmall(s.pickedInstead, static_cast<uint16_t>(pickedGroup));
        }
    }

    countName(ja4Counts, ja4.fingerprint(hello), ja4Other);
    return pqGroup && !pickedPq;
}

namespace {

std::string keyText(records::CertificateFacts const& f) {
    std::string text = f.keyType;
    if (f.keyBits) text += " " + std::to_string(f.keyBits);
    if (!f.curve.empty()) text += " (" + f.curve + ")";
    return text;
}

std::string joined(std::vector<std::string> const& items) {
    std::string out;
    for (auto const& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::vector<Tally> mapTallies(std::map<std::string, uint64_t> const& m) {
    std::vector<Tally> t;
    for (auto const& [name, count] : m) t.push_back({0, name, count, {}});
    std::stable_sort(t.begin(), t.end(), [](Tally const& a, Tally const& b) { return a.count > b.count; });
    return t;
}

int worstFlag(CertificateSummary const& c) {
    int worst = -1;
    for (auto kind : c.flags) worst = std::max(worst, static_cast<int>(kindInfo(kind).severity));
    return worst;
}

// Findings of one kind sit together once sorted; each group counts its servers and the
// handshakes that showed the kind.
std::vector<FindingGroup> groupFindings(std::vector<Finding> const& findings,
                                        std::vector<ServerSummary> const& table) {
    StringMap<ServerSummary const*> byName;
    for (auto const& row : table) byName.emplace(row.server, &row);
    std::vector<FindingGroup> groups;
    for (size_t i = 0; i < findings.size(); ++i) {
        Finding const& f = findings[i];
        if (groups.empty() || groups.back().kind != f.kind) groups.push_back({f.kind, i, 0, 0, 0});
        FindingGroup& g = groups.back();
        ++g.count;
        if (g.count == 1 || findings[i - 1].server != f.server) {
            ++g.servers;
            g.handshakes += byName.at(f.server)->kindHandshakes[static_cast<size_t>(f.kind)];
        }
    }
    return groups;
}

}  // namespace

Summary Inventory::summarize() const {
    Summary out;
    out.directories = directories;
    out.parents = parents;
    out.coverage = coverage;
    for (size_t i = 0; i < directories.size(); ++i)
        if (directoryRows[i].older && !directoryRows[i].withChain) out.coverage.withoutStore.push_back(directories[i]);
    out.files = files;
    out.rows = rows;
    out.malformedLines = malformedLines;
    out.jsonFiles = jsonFiles;
    out.openFiles = openFiles;
    out.openRows = openRows;
    out.problems = problems;
    out.nowSeconds = now;
    out.firstMs = firstMs;
    out.lastMs = lastMs;
    out.servers = servers.size();
    out.snis = snis.size();
    out.clients = clients.size();
    summarizeProtocol(out);
    summarizeTrend(out);
    summarizeCertificates(out);
    summarizeServers(out);
    out.clientAuthRequested = clientAuthRequested;
    out.clientCertificates = clientCertificateRows;
    out.renegotiated = renegotiated;
    out.compressed = compressed;
    summarizeHellos(out);
    out.transports = transports;
    std::stable_sort(out.transports.begin(), out.transports.end(),
                     [](TransportTally const& a, TransportTally const& b) { return a.handshakes > b.handshakes; });
    return out;
}

// Versions, suites, key exchange and TLS 1.3 groups.
void Inventory::summarizeProtocol(Summary& out) const {
    // Newest first, unknown last.
    for (int v : {5, 4, 3, 2, 1, 0})
        if (versions[v]) {
            auto const version = static_cast<Version>(v);
            out.versions.push_back({versionCode(version), std::string(versionName(version)), versions[v], versionClass(version)});
        }
    for (size_t code = 0; code < suites.size(); ++code)
        if (suites[code]) {
            SuiteInfo const& info = suiteInfo(static_cast<uint16_t>(code));
            out.suites.push_back({static_cast<uint16_t>(code), &info, suites[code]});
            out.suiteClasses[static_cast<int>(info.cls)] += suites[code];
        }
    std::stable_sort(out.suites.begin(), out.suites.end(),
                     [](SuiteTally const& a, SuiteTally const& b) { return a.count > b.count; });
    auto namedGroup = [](uint16_t code) {
        return Tally{0, groupName(code), 0, std::string(groupKindName(groupKind(code)))};
    };
    out.curves = codeTallies(curves, namedGroup);
    out.dhBits = bitTallies(dhBits);
    out.rsaBits = bitTallies(rsaBits);
    out.tls13Groups = codeTallies(tls13Groups, namedGroup);
    for (auto const& t : out.tls13Groups) {
        out.tls13 += t.count;
        GroupKind const kind = groupKind(static_cast<uint16_t>(t.code));
        if (isPostQuantum(kind)) out.postQuantum += t.count;
        if (kind == GroupKind::ObsoletePq) out.obsoletePostQuantum += t.count;
    }
}

// At most 48 buckets of a whole number of hours, empty ones included.
void Inventory::summarizeTrend(Summary& out) const {
    if (trendHours.empty()) return;
    int64_t const first = trendHours.begin()->first, last = trendHours.rbegin()->first;
    int64_t width = 1;
    for (int64_t w : {1, 3, 6, 12, 24, 24 * 7, 24 * 30, 24 * 365}) {
        width = w;
        if ((last - first) / w < 48) break;
    }
    out.trendBucketHours = width;
    auto bucketOf = [&](int64_t hour) { return hour - (((hour % width) + width) % width); };
    std::map<int64_t, TrendPoint> buckets;
    for (int64_t b = bucketOf(first); b <= last; b += width) buckets[b].startMs = b * msPerHour;
    for (auto const& [hour, point] : trendHours) {
        TrendPoint& b = buckets[bucketOf(hour)];
        b.tls13 += point.tls13;
        b.postQuantum += point.postQuantum;
        b.obsolete += point.obsolete;
    }
    for (auto const& [start, point] : buckets) out.trend.push_back(point);
}

// Certificates, worst first, and the servers that showed each.
void Inventory::summarizeCertificates(Summary& out) const {
    std::vector<std::vector<std::string>> certServers(certs.size());
    std::vector<size_t> certServerCount(certs.size());
    for (auto const& s : servers)
        for (auto const& entry : s->certs) {
            certServers[entry.index].push_back(s->name);  // at most maxCertsPerServer a server
            ++certServerCount[entry.index];
        }
    std::map<std::string, uint64_t> keys, signatures;
    std::array<uint64_t, 5> validity{};
    for (size_t i = 0; i < certs.size(); ++i) {
        CertState const& cert = certs[i];
        CertificateSummary c;
        c.digest = cert.digest;
        c.facts = cert.facts;
        c.missing = !cert.facts && cert.missing;
        c.handshakes = cert.handshakes;
        c.leaf = cert.leaf;
        c.servers = certServers[i];
        c.serverCount = certServerCount[i];
        c.invalidHandshakes = cert.invalid;
        c.firstSeenMs = cert.firstMs;
        c.lastSeenMs = cert.lastMs;
        if (cert.invalid) ++out.expiredWhenUsedCertificates;
        if (!cert.facts) {
            ++(cert.missing ? out.missingCertificates : out.unreadableCertificates);
        } else {
            records::CertificateFacts const& f = *cert.facts;
            c.daysLeft = daysBetween(now, f.notAfter);
            KindMask mask = cert.leaf ? cert.leafMask : cert.chainMask;
            if (cert.invalid) mask |= kindBit(FindingKind::CertificateInvalidWhenUsed);
            if (auto kind = certificateDateFinding(f, cert.lastMs / 1000, lastMs / 1000, now)) mask |= kindBit(*kind);
            for (int k = 0; k < findingKindCount; ++k)
                if (mask & kindBit(static_cast<FindingKind>(k))) c.flags.push_back(static_cast<FindingKind>(k));
            ++keys[keyText(f)];
            ++signatures[f.signatureAlgorithm];
            ++validity[f.notAfter < now ? 0 : c.daysLeft <= 30 ? 1 : c.daysLeft <= 90 ? 2 : c.daysLeft <= 365 ? 3 : 4];
        }
        out.certificates.push_back(std::move(c));
    }
    out.expiredWhenUsedHandshakes = expiredWhenUsedHandshakes;
    std::stable_sort(out.certificates.begin(), out.certificates.end(),
                     [&](CertificateSummary const& a, CertificateSummary const& b) {
                         int const wa = worstFlag(a), wb = worstFlag(b);
                         if (wa != wb) return wa > wb;
                         if (a.flags.size() != b.flags.size()) return a.flags.size() > b.flags.size();
                         return a.handshakes > b.handshakes;
                     });
    out.certificateKeys = mapTallies(keys);
    for (auto& t : out.certificateKeys)
        if (t.name.rfind("RSA ", 0) == 0 && std::atoi(t.name.c_str() + 4) < minimumKeyBits) t.cls = "flagged";
    out.signatureAlgorithms = mapTallies(signatures);
    for (auto& t : out.signatureAlgorithms)
        if (t.name.find("sha1") != std::string::npos || t.name.find("md5") != std::string::npos) t.cls = "flagged";
    static constexpr char const* validityNames[] = {"expired", "within 30 days", "within 90 days", "within a year",
                                                    "later"};
    for (int b = 0; b < 5; ++b)
        out.validity.push_back({0, validityNames[b], validity[b], b == 0 ? "insecure" : b == 1 ? "flagged" : ""});
    out.distinctClientCertificates = clientCertificates.size();
}

// One row per server, worst first, and every finding.
void Inventory::summarizeServers(Summary& out) const {
    for (auto const& sp : servers) {
        ServerState const& s = *sp;
        ServerSummary row;
        row.server = s.name;
        row.handshakes = s.handshakes;
        row.snis = s.snis;
        row.sniCount = s.snis.size() + (s.moreSnis ? 1 : 0);
        row.kindHandshakes = s.kindHandshakes;
        row.clientAuthRequested = s.clientAuthRequested;
        row.clientCertificates = s.clientCertificates;
        row.renegotiated = s.renegotiated;
        row.compressed = s.compressed;
        row.pqOffered = s.pqOffered;
        row.pqNotPicked = s.pqNotPicked;
        row.firstSeenMs = s.firstMs;
        row.lastSeenMs = s.lastMs;
        row.withoutCertificate = s.withoutCertificate;
        std::vector<Finding> found = serverFindings(s, row);
        std::sort(found.begin(), found.end(), moreSevere);
        for (auto const& f : found) {
            if (std::find(row.findings.begin(), row.findings.end(), f.kind) == row.findings.end())
                row.findings.push_back(f.kind);
            if (!row.anyFinding || f.severity() > row.worst) row.worst = f.severity();
            row.anyFinding = true;
        }
        out.findings.insert(out.findings.end(), found.begin(), found.end());
        out.serverTable.push_back(std::move(row));
    }
    std::sort(out.findings.begin(), out.findings.end(), moreSevere);
    out.findingGroups = groupFindings(out.findings, out.serverTable);
    std::sort(out.serverTable.begin(), out.serverTable.end(), [](ServerSummary const& a, ServerSummary const& b) {
        if (a.anyFinding != b.anyFinding) return a.anyFinding;
        if (a.worst != b.worst) return a.worst > b.worst;
        if (a.findings.size() != b.findings.size()) return a.findings.size() > b.findings.size();
        if (a.handshakes != b.handshakes) return a.handshakes > b.handshakes;
        return a.server < b.server;
    });
}

// The findings of one server, with the text that explains each; fills the row's protocol
// columns on the way.
std::vector<Finding> Inventory::serverFindings(ServerState const& s, ServerSummary& row) const {
    std::vector<Finding> found;
    auto add = [&](FindingKind kind, std::string detail) { found.push_back({kind, s.name, std::move(detail)}); };
    std::vector<std::string> legacy;
    for (int v : {5, 4, 3, 2, 1, 0}) {
        if (!(s.versions & (1u << v))) continue;
        auto const version = static_cast<Version>(v);
        row.versions.emplace_back(versionName(version));
        auto const kind = versionFinding(version);
        if (kind == FindingKind::Ssl3) add(*kind, "SSL 3.0");
        if (kind == FindingKind::LegacyTls) legacy.insert(legacy.begin(), std::string(versionName(version)));
    }
    if (s.dtls10) {
        row.versions.emplace_back("DTLS 1.0");
        legacy.emplace_back("DTLS 1.0");
    }
    if (!legacy.empty()) add(FindingKind::LegacyTls, joined(legacy));

    auto suiteList = s.suites;
    std::stable_sort(suiteList.begin(), suiteList.end(), [](auto const& a, auto const& b) { return a.second > b.second; });
    int worstClass = -1;
    for (auto const& [code, count] : suiteList) {
        SuiteInfo const& info = suiteInfo(code);
        row.suites.push_back(info.name);
        // Classes run from insecure (0) to unknown; "other" and "unknown" say nothing worse.
        if (info.cls <= SuiteClass::Good && (worstClass < 0 || static_cast<int>(info.cls) < worstClass))
            worstClass = static_cast<int>(info.cls);
        if (auto kind = suiteFinding(info)) add(*kind, info.name + " (" + joined(info.reasons) + ")");
    }
    if (worstClass >= 0) row.suiteClass = suiteClassName(static_cast<SuiteClass>(worstClass));
    bool classical = false, postQuantum = false;
    for (auto const* list : {&s.tls13Groups, &s.curves})
        for (auto const& [code, count] : *list) {
            (isPostQuantum(groupKind(code)) ? postQuantum : classical) = true;
            if (std::find(row.groups.begin(), row.groups.end(), groupName(code)) == row.groups.end())
                row.groups.push_back(groupName(code));
        }
    row.groupKinds = classical && postQuantum ? "classical, post-quantum" : postQuantum ? "post-quantum" : classical ? "classical" : "";
    if (s.kindHandshakes[static_cast<size_t>(FindingKind::SmallDh)])
        add(FindingKind::SmallDh, std::to_string(s.minDh) + "-bit prime");

    bool const certificateRsaKnown = addCertificateFindings(s, row, found);
    if (!certificateRsaKnown && s.minRsaKex > 0 && s.minRsaKex < minimumKeyBits)
        add(FindingKind::SmallRsa, "RSA key exchange with a " + std::to_string(s.minRsaKex) + "-bit key");
    if (s.lastLeaf >= 0 && certs[s.lastLeaf].facts) {
        row.key = keyText(*certs[s.lastLeaf].facts);
        row.leafNotAfter = certs[s.lastLeaf].facts->notAfter;
    } else if (s.minRsaKex > 0) {
        row.key = "RSA " + std::to_string(s.minRsaKex) + " (key exchange)";
    }
    if (s.compressed) add(FindingKind::Compression, counted(s.compressed, "handshake", "handshakes"));
    if (s.pqNotPicked) {
        std::string offered, picked;
        for (auto const& [code, n] : s.pqOfferedGroups) offered += (offered.empty() ? "" : ", ") + groupName(code);
        for (auto const& [code, n] : s.pickedInstead) picked += (picked.empty() ? "" : ", ") + groupName(code);
        add(FindingKind::PqNotPicked, std::to_string(s.pqNotPicked) + " of " +
                                          counted(s.handshakes, "handshake", "handshakes") + " offer " + offered + "; picked " +
                                          (picked.empty() ? std::string("no group") : picked));
    }
    if (s.renegotiated) add(FindingKind::Renegotiation, counted(s.renegotiated, "handshake", "handshakes"));
    return found;
}

// The findings on the certificates a server showed, each naming what it could not judge.
// True when the server's leaf is a known RSA key (its size then comes from the certificate).
bool Inventory::addCertificateFindings(ServerState const& s, ServerSummary& row, std::vector<Finding>& found) const {
    size_t unread = 0;
    for (auto const& entry : s.certs) unread += !certs[entry.index].facts;
    std::string const unjudged = notJudged(s.withoutCertificate, s.handshakes, unread);
    bool rsaKnown = false;
    for (auto const& entry : s.certs) {
        CertState const& cert = certs[entry.index];
        if (!cert.facts) continue;
        records::CertificateFacts const& f = *cert.facts;
        if (entry.leaf && f.keyType == "RSA") rsaKnown = true;
        CertificateUse const use{entry.leaf, entry.invalid, entry.firstMs / 1000, entry.lastMs / 1000};
        KindMask mask = certificateFindings(f, entry.leaf);
        if (entry.invalid) mask |= kindBit(FindingKind::CertificateInvalidWhenUsed);
        if (auto kind = certificateDateFinding(f, cert.lastMs / 1000, lastMs / 1000, now)) {
            mask |= kindBit(*kind);
            auto& n = row.kindHandshakes[static_cast<size_t>(*kind)];
            n = std::min(s.handshakes, n + entry.handshakes);
        }
        for (int k = 0; k < findingKindCount; ++k)
            if (mask & kindBit(static_cast<FindingKind>(k)))
                found.push_back({static_cast<FindingKind>(k), s.name,
                                 certificateDetail(static_cast<FindingKind>(k), f, use, now) + unjudged});
    }
    return rsaKnown;
}

// What clients offer (rows saved with their ClientHello).
void Inventory::summarizeHellos(Summary& out) const {
    out.helloRows = helloRows;
    out.helloUnreadable = helloUnreadable;
    out.offeredVersions = codeTallies(offeredVersions, [](uint16_t code) { return Tally{0, versionCodeName(code), 0, {}}; });
    for (int v : {5, 4, 3, 2, 1, 0})
        if (pickedVersions[v]) {
            auto const version = static_cast<Version>(v);
            out.pickedVersionsOfHellos.push_back(
                {versionCode(version), std::string(versionName(version)), pickedVersions[v], versionClass(version)});
        }
    for (size_t code = 0; code < 65536; ++code)
        if (offeredGroups[code] || keyShareGroups[code] || pickedGroups[code]) {
            auto const c = static_cast<uint16_t>(code);
            out.groupOffers.push_back({c, groupName(c), groupKind(c), offeredGroups[code], keyShareGroups[code], pickedGroups[code]});
        }
    std::stable_sort(out.groupOffers.begin(), out.groupOffers.end(),
                     [](GroupOffer const& a, GroupOffer const& b) { return a.offered > b.offered; });
    out.alpnOffered = nameTallies(alpnOffered, 20);
    out.alpnPicked = nameTallies(alpnPicked, 20);
    out.pqOfferedRows = pqOfferedRows;
    out.pqPickedRows = pqPickedRows;
    out.ja4 = nameTallies(ja4Counts, 20);
    out.ja4Distinct = ja4Counts.size() + (ja4Other ? 1 : 0);
}

}  // namespace report
