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
constexpr size_t maxChains = 200000;       // distinct chains verified; beyond, not judged
constexpr size_t maxNameMissesPerServer = 8;
constexpr size_t maxProblems = 20;
constexpr size_t maxDistinctNames = 100000;  // ALPN names and JA4 fingerprints: beyond, "other"
constexpr int64_t msPerHour = 3600 * 1000;

using SmallCounts = std::vector<std::pair<uint16_t, uint64_t>>;

void addSmall(SmallCounts& counts, uint16_t code, uint64_t rows) {
    for (auto& [c, n] : counts)
        if (c == code) {
            n += rows;
            return;
        }
    counts.emplace_back(code, rows);
}

using records::isDigest;
using records::isFlag;
using records::parseCode;
using records::parseNumber;

void countName(StringMap<uint64_t>& counts, std::string_view name, uint64_t& other, uint64_t rows) {
    auto found = counts.find(name);
    if (found != counts.end())
        found->second += rows;
    else if (counts.size() < maxDistinctNames)
        counts.emplace(std::string(name), rows);
    else
        other += rows;
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

// DTLS versions, counted under their own names beside the TLS versions they are built on.
constexpr std::string_view dtlsTexts[] = {"DTLSv1.0", "DTLSv1.2", "DTLSv1.3"};
constexpr char const* dtlsNames[] = {"DTLS 1.0", "DTLS 1.2", "DTLS 1.3"};

// 0, 1, 2 for DTLS 1.0, 1.2, 1.3; -1 for any other version.
int dtlsIndex(std::string_view text) {
    auto const found = std::find(std::begin(dtlsTexts), std::end(dtlsTexts), text);
    return found == std::end(dtlsTexts) ? -1 : static_cast<int>(found - std::begin(dtlsTexts));
}

// Newest first, after the TLS versions.
void addDtlsTallies(std::array<uint64_t, 3> const& counts, std::vector<Tally>& out) {
    static constexpr uint16_t codes[] = {0xfeff, 0xfefd, 0xfefc};
    for (int v : {2, 1, 0})
        if (counts[v]) out.push_back({codes[v], dtlsNames[v], counts[v], v == 0 ? "legacy" : "good"});
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
    uint8_t dtlsVersions = 0;  // bit per DTLS version (0: 1.0, 1: 1.2, 2: 1.3)
    SmallCounts suites, tls13Groups, curves;
    std::vector<std::string> snis;
    bool moreSnis = false;
    int minDh = 0, minRsaKex = 0;
    std::vector<Cert> certs;
    int64_t lastLeaf = -1;  // index of the leaf of the latest row
    int64_t lastLeafMs = 0;
    int64_t firstMs = 0, lastMs = 0;
    uint64_t withoutCertificate = 0;
    uint64_t clientAuthRequested = 0, clientCertificates = 0, renegotiated = 0, compressed = 0;
    uint64_t pqOffered = 0, pqNotPicked = 0;
    SmallCounts pqOfferedGroups, pickedInstead;
    std::array<uint64_t, findingKindCount> kindHandshakes{};
    struct ChainUse {
        uint32_t chain = 0;
        uint64_t handshakes = 0;
    };
    std::vector<ChainUse> chains;
    struct NameMiss {
        uint32_t leaf = 0;
        std::string name;  // the SNI the leaf does not cover
        uint64_t handshakes = 0;
    };
    std::vector<NameMiss> nameMisses;
};

struct Inventory::CertState {
    std::string digest;
    std::optional<records::CertificateFacts> facts;
    bool missing = false, unreadable = false;
    std::vector<uint32_t> triedDirs;
    std::string der;  // its bytes, kept for the chain checks when there is a trust store
    uint64_t handshakes = 0, invalid = 0;
    int64_t firstMs = 0, lastMs = 0;
    bool leaf = false;
    bool nameMismatch = false;  // a client asked one of its servers for a name it does not hold
    KindMask leafMask = 0, chainMask = 0;  // what the rules say of it as leaf and further up
};

// One distinct chain as servers sent it; verified at the last time it was seen.
struct Inventory::ChainState {
    std::vector<uint32_t> certs;  // leaf first
    int64_t lastMs = 0;
};

// What one row's server chain contributed.
struct Inventory::ChainFacts {
    int leaf = -1;  // certificate index
    KindMask findings = 0;
    uint64_t invalidRows = 0;  // rows that showed a certificate outside its validity
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
    size_t const dirIndex = addSource(dir, std::make_shared<DirectoryCertificates>(dir));
    for (auto const& path : paths) readFile(path, dirIndex);
}

size_t Inventory::addSource(std::string name, std::shared_ptr<CertificateSource const> certificates) {
    directories.push_back(std::move(name));
    directoryRows.emplace_back();
    certificateSources.push_back(std::move(certificates));
    return directories.size() - 1;
}

std::optional<std::string> DirectoryCertificates::pem(std::string_view digest) const {
    std::ifstream in(records::certificatePath(dir, digest), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

std::optional<std::string> CertificateMap::pem(std::string_view digest) const {
    auto const found = pems.find(digest);
    if (found == pems.end()) return std::nullopt;
    return found->second;
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
        uint64_t const before = rows;
        char const* why = r == records::RowReader::Result::Row ? addCells(cells, dirIndex) : reader->problem();
        if (!why) {
            openRows += open ? rows - before : 0;
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

char const* Inventory::checkCells(RowCells const& cells) const {
    uint64_t timestamp = 0;
    uint16_t code = 0;
    bool const valid = parseNumber(cells[ConnectionTimestamp], timestamp) &&
                       (cells[CipherSuiteCodePoint].empty() || parseCode(cells[CipherSuiteCodePoint], code)) &&
                       (cells[TLS13KEXNamedGroupCodePoint].empty() ||
                        parseCode(cells[TLS13KEXNamedGroupCodePoint], code)) &&
                       isFlag(cells[IsClientAuthRequested]) && isFlag(cells[IsRenegotiated]) &&
                       isFlag(cells[IsCompressed]) && !cells[ServerIPAddress].empty();
    return valid ? nullptr : "a cell does not hold what its column does";
}

char const* Inventory::addCells(RowCells const& cells, size_t dirIndex) {
    if (char const* why = checkCells(cells)) return why;
    uint64_t timestamp = 0;
    parseNumber(cells[ConnectionTimestamp], timestamp);
    auto const ms = static_cast<int64_t>(std::min<uint64_t>(timestamp, INT64_MAX));
    if (ms < windowSince || ms >= windowUntil) return nullptr;
    current = {1, ms, ms};
    addRow(cells, dirIndex);
    return nullptr;
}

char const* Inventory::addGroup(RowCells const& cells, size_t dirIndex, RowGroup const& group) {
    if (char const* why = checkCells(cells)) return why;
    if (group.count == 0 || group.firstMs > group.lastMs) return "a group of rows without rows";
    // The source applies the window; a group that reaches beyond it is taken whole.
    if (group.lastMs < windowSince || group.firstMs >= windowUntil) return nullptr;
    current = group;
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
        auto const text = certificateSources[dirIndex]->pem(digest);
        if (!text) {
            cert.missing = true;
        } else {
            auto const der = records::pemToDer(*text);
            if (der) cert.facts = records::readCertificateDer(*der);
            cert.unreadable = !cert.facts;
            if (cert.facts) {
                cert.missing = false;
                if (trust) {
                    trust->addKnown(*der);
                    cert.der = std::move(*der);
                }
                cert.leafMask = certificateFindings(*cert.facts, true);
                cert.chainMask = certificateFindings(*cert.facts, false);
            }
        }
    }
    return index;
}

void Inventory::addRow(RowCells const& c, size_t dirIndex) {
    uint64_t const n = current.count;
    int64_t const ms = current.firstMs;
    rows += n;
    if (ms > 0) {
        if (firstMs == 0 || ms < firstMs) firstMs = ms;
        if (current.lastMs > lastMs) lastMs = current.lastMs;
    }
    ServerState& s = server(c[ServerIPAddress], c[ServerPortNumber]);
    s.handshakes += n;
    if (ms > 0) {
        if (s.firstMs == 0 || ms < s.firstMs) s.firstMs = ms;
        s.lastMs = std::max(s.lastMs, current.lastMs);
    }
    addNames(c, s);

    HandshakeFacts facts;
    facts.version = rowVersion(c[TLSVersion]);
    int const dtls = dtlsIndex(c[TLSVersion]);
    if (dtls >= 0) {
        dtlsVersions[static_cast<size_t>(dtls)] += n;
        s.dtlsVersions |= static_cast<uint8_t>(1u << dtls);
    } else {
        versions[static_cast<int>(facts.version)] += n;
        s.versions |= static_cast<uint8_t>(1u << static_cast<int>(facts.version));
    }
    uint16_t suite = 0;
    if (parseCode(c[CipherSuiteCodePoint], suite)) {
        facts.suite = &suiteInfo(suite);
        suites[suite] += n;
        addSmall(s.suites, suite, current.count);
    }
    ChainFacts chain = addChain(c, s, dirIndex);
    if (addNameCheck(c[SNI], chain.leaf, s)) chain.findings |= kindBit(FindingKind::CertificateNameMismatch);
    addCoverage(c, facts.version, s, dirIndex);
    int const pickedGroup = addGroups(c, s, facts.version, facts, chain.leaf);
    addFlags(c, s);
    facts.compressed = c[IsCompressed] == "1";
    facts.renegotiated = c[IsRenegotiated] == "1";
    if (!c[HandshakeMessages].empty())
        facts.pqNotPicked =
            addHello(c[HandshakeMessages], s, versionCode(facts.version), dtls, pickedGroup,
                     c[ProtocolType] == "DTLS" ? 'd' : c[ProtocolType] == "QUIC" ? 'q' : 't');
    if (rowSink) rowSink(c, RowFacts{lastServer, ms, current.lastMs, n, facts.suite ? suite : -1, pickedGroup});
    // Every kind holds for all the rows but the invalid certificate, which holds for some.
    KindMask const invalidBit = kindBit(FindingKind::CertificateInvalidWhenUsed);
    for (KindMask mask = (handshakeFindings(facts) | chain.findings) & ~invalidBit; mask; mask &= mask - 1)
        s.kindHandshakes[static_cast<size_t>(__builtin_ctz(mask))] += n;
    s.kindHandshakes[static_cast<size_t>(FindingKind::CertificateInvalidWhenUsed)] += chain.invalidRows;
}

// Whether the row let the certificate checks see the server's chain, and if not, why.
void Inventory::addCoverage(RowCells const& c, Version version, ServerState& s, size_t dirIndex) {
    uint64_t const n = current.count;
    bool const quic = c[ProtocolType] == "QUIC";
    DirectoryRows& d = directoryRows[dirIndex];
    if (!quic && version != Version::Unknown && version != Version::Tls13) d.older += n;
    if (!c[ServerCertificateChain].empty()) {
        coverage.visible += n;
        d.withChain += n;
        return;
    }
    s.withoutCertificate += n;
    (quic || version == Version::Tls13 ? coverage.hidden : coverage.none) += n;
}

void Inventory::addNames(RowCells const& c, ServerState& s) {
    if (!distinctClients && clients.find(c[ClientIPAddress]) == clients.end()) clients.emplace(c[ClientIPAddress]);
    if (c[SNI].empty()) return;
    if (snis.find(c[SNI]) == snis.end()) snis.emplace(c[SNI]);
    if (keepSmallest(s.snis, c[SNI], maxSnisPerServer)) s.moreSnis = true;
}

// The server's chain, leaf first: each certificate is judged as it stands and at the time of
// these handshakes.
Inventory::ChainFacts Inventory::addChain(RowCells const& c, ServerState& s, size_t dirIndex) {
    uint64_t const n = current.count;
    int64_t const firstMs = current.firstMs, lastMs = current.lastMs;
    ChainFacts out;
    // A row is seen with an invalid certificate when its time lies outside the interval
    // every certificate of the chain is valid in.
    int64_t validFrom = INT64_MIN, validTo = INT64_MAX;
    bool judged = false;
    std::vector<uint32_t>& indices = chainIndices;
    indices.clear();
    for (std::string_view chain = c[ServerCertificateChain]; !chain.empty();) {
        bool const first = chain.data() == c[ServerCertificateChain].data();
        std::string_view const digest = records::takeDigest(chain);
        if (!isDigest(digest)) continue;
        uint32_t const index = certificate(digest, dirIndex);
        indices.push_back(index);
        CertState& cert = certs[index];
        cert.handshakes += n;
        if (cert.firstMs == 0 || firstMs < cert.firstMs) cert.firstMs = firstMs;
        cert.lastMs = std::max(cert.lastMs, lastMs);
        uint64_t invalid = 0;
        if (cert.facts) {
            invalid = outside(c, cert.facts->notBefore, cert.facts->notAfter);
            validFrom = std::max(validFrom, cert.facts->notBefore);
            validTo = std::min(validTo, cert.facts->notAfter);
            judged = true;
        }
        cert.invalid += invalid;
        out.findings |= first ? cert.leafMask : cert.chainMask;
        if (first) {
            cert.leaf = true;
            out.leaf = static_cast<int>(index);
        }
        auto known = std::find_if(s.certs.begin(), s.certs.end(), [&](auto const& e) { return e.index == index; });
        if (known == s.certs.end()) {
            if (s.certs.size() >= maxCertsPerServer) continue;
            known = s.certs.insert(s.certs.end(), ServerState::Cert{index, false, 0, 0, firstMs, lastMs});
        }
        known->leaf = known->leaf || first;
        known->handshakes += n;
        known->invalid += invalid;
        known->firstMs = std::min(known->firstMs, firstMs);
        known->lastMs = std::max(known->lastMs, lastMs);
    }
    if (!indices.empty()) addChainUse(indices, s);
    // The leaf of the latest handshake, whatever the order the rows come in.
    if (out.leaf >= 0 && (s.lastLeaf < 0 || lastMs >= s.lastLeafMs)) {
        s.lastLeaf = out.leaf;
        s.lastLeafMs = lastMs;
    }
    out.invalidRows = judged ? outside(c, validFrom, validTo) : 0;
    expiredWhenUsedHandshakes += out.invalidRows;
    if (out.invalidRows) out.findings |= kindBit(FindingKind::CertificateInvalidWhenUsed);
    return out;
}

uint64_t Inventory::outside(RowCells const& c, int64_t notBefore, int64_t notAfter) const {
    // Whole seconds, as validAt judges them.
    auto const before = [&](int64_t ms) { return ms / 1000 < notBefore; };
    auto const after = [&](int64_t ms) { return ms / 1000 > notAfter; };
    bool const firstIn = !before(current.firstMs) && !after(current.firstMs);
    bool const lastIn = !before(current.lastMs) && !after(current.lastMs);
    // Validity is one interval: rows between two valid times are valid, rows between two
    // times on the same side of it are not.
    if (firstIn && lastIn) return 0;
    if (notBefore > notAfter || (before(current.firstMs) && before(current.lastMs)) ||
        (after(current.firstMs) && after(current.lastMs)))
        return current.count;
    if (outsideCount) return std::min(current.count, outsideCount(c, notBefore, notAfter));
    return current.count;
}

// The chain as a whole, for the trust check: one entry per distinct chain, its handshakes
// counted on the server that sent it.
void Inventory::addChainUse(std::vector<uint32_t> const& indices, ServerState& s) {
    chainKey.assign(reinterpret_cast<char const*>(indices.data()), indices.size() * sizeof(uint32_t));
    auto found = chainIndex.find(std::string_view(chainKey));
    if (found == chainIndex.end()) {
        if (chains.size() >= maxChains) {
            if (!chainsDropped && problems.size() < maxProblems)
                problems.push_back("more than " + std::to_string(maxChains) +
                                   " distinct certificate chains: those beyond are not judged for trust");
            chainsDropped += 1;
            return;
        }
        found = chainIndex.emplace(chainKey, static_cast<uint32_t>(chains.size())).first;
        chains.push_back({indices, current.lastMs});
    }
    ChainState& chain = chains[found->second];
    chain.lastMs = std::max(chain.lastMs, current.lastMs);
    auto use = std::find_if(s.chains.begin(), s.chains.end(), [&](auto const& u) { return u.chain == found->second; });
    if (use == s.chains.end()) {
        if (s.chains.size() >= maxCertsPerServer) return;
        use = s.chains.insert(s.chains.end(), {found->second, 0});
    }
    use->handshakes += current.count;
}

// Whether the leaf fails to name the server the client asked for; the first few such names
// are kept per server.
bool Inventory::addNameCheck(std::string_view serverName, int leaf, ServerState& s) {
    if (leaf < 0 || !certs[leaf].facts || !judgedServerName(serverName)) return false;
    if (nameMatches(*certs[leaf].facts, serverName)) return false;
    auto const index = static_cast<uint32_t>(leaf);
    certs[index].nameMismatch = true;
    auto miss = std::find_if(s.nameMisses.begin(), s.nameMisses.end(),
                             [&](auto const& m) { return m.leaf == index && m.name == serverName; });
    if (miss == s.nameMisses.end()) {
        if (s.nameMisses.size() >= maxNameMissesPerServer) return true;
        miss = s.nameMisses.insert(s.nameMisses.end(), {index, std::string(serverName), 0});
    }
    miss->handshakes += current.count;
    return true;
}

// The key exchange: curve, prime or RSA key size, and the TLS 1.3 group. Returns the group the
// server picked, -1 when none.
int Inventory::addGroups(RowCells const& c, ServerState& s, Version version, HandshakeFacts& facts, int leaf) {
    uint64_t const n = current.count;
    int pickedGroup = -1;
    std::string_view const kex = c[TLSKEXParameter];
    uint16_t curve = 0;
    uint64_t bits = 0;
    if (parseCode(kex, curve)) {
        curves[curve] += n;
        addSmall(s.curves, curve, current.count);
        pickedGroup = curve;
    } else if (parseNumber(kex, bits) && facts.suite && bits < 1u << 20) {
        int const b = static_cast<int>(bits);
        if (facts.suite->finiteFieldDh) {
            dhBits[b] += n;
            facts.dhBits = b;
            if (s.minDh == 0 || b < s.minDh) s.minDh = b;
        } else if (facts.suite->staticRsa) {
            // The leaf's own key when its certificate is in the store (the same size the
            // monitor writes); the cell alone otherwise.
            int rsa = b;
            if (leaf >= 0 && certs[leaf].facts && certs[leaf].facts->keyType == "RSA") rsa = certs[leaf].facts->keyBits;
            rsaBits[rsa] += n;
            facts.rsaKexBits = rsa;
            if (s.minRsaKex == 0 || rsa < s.minRsaKex) s.minRsaKex = rsa;
        }
    }
    uint16_t group = 0;
    bool const tls13 = version == Version::Tls13 && parseCode(c[TLS13KEXNamedGroupCodePoint], group);
    bool postQuantum = false;
    if (tls13) {
        tls13Groups[group] += n;
        addSmall(s.tls13Groups, group, current.count);
        pickedGroup = group;
        GroupKind const kind = groupKind(group);
        postQuantum = isPostQuantum(kind);
        // A group of rows lies within one hour.
        TrendPoint& hour = trendHours[current.firstMs / msPerHour];
        hour.tls13 += n;
        if (postQuantum) hour.postQuantum += n;
        if (kind == GroupKind::ObsoletePq) hour.obsolete += n;
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
    found->handshakes += current.count;
    found->tls13 += tls13 ? current.count : 0;
    found->postQuantum += postQuantum ? current.count : 0;
}

void Inventory::addFlags(RowCells const& c, ServerState& s) {
    uint64_t const n = current.count;
    if (c[IsClientAuthRequested] == "1") {
        clientAuthRequested += n;
        s.clientAuthRequested += n;
    }
    if (!c[ClientCertificateChain].empty()) {
        clientCertificateRows += n;
        s.clientCertificates += n;
        std::string_view digests = c[ClientCertificateChain];
        std::string_view const first = digests.substr(0, digests.find(':'));
        if (clientCertificates.find(first) == clientCertificates.end() && clientCertificates.size() < maxDistinctNames)
            clientCertificates.emplace(first);
    }
    if (c[IsRenegotiated] == "1") {
        renegotiated += n;
        s.renegotiated += n;
    }
    if (c[IsCompressed] == "1") {
        compressed += n;
        s.compressed += n;
    }
}

void Inventory::countMlDsa(std::vector<uint16_t> const& schemes, uint64_t n) {
    std::array<bool, 3> offered{};
    for (uint16_t scheme : schemes)
        if (scheme >= 0x0904 && scheme <= 0x0906) offered[scheme - 0x0904u] = true;
    for (size_t i = 0; i < offered.size(); ++i)
        if (offered[i]) mlDsaOffered[i] += n;
    if (offered[0] || offered[1] || offered[2]) mlDsaOfferedRows += n;
}

bool Inventory::addHello(std::string_view cell, ServerState& s, uint16_t version, int dtls, int pickedGroup,
                         char protocol) {
    std::string_view const clientHello = records::messageValue(cell, "ClientHello");
    if (clientHello.empty()) return false;
    uint64_t const n = current.count;
    helloRows += n;
    if (!base64_decode(clientHello.data(), clientHello.size(), decoded) ||
        !parseClientHello({reinterpret_cast<uint8_t const*>(decoded.data()), decoded.size()}, hello, protocol)) {
        helloUnreadable += n;
        return false;
    }
    // Each offered value counts once per hello.
    auto countOnce = [n](std::vector<uint16_t> const& values, std::vector<uint64_t>& counts) {
        for (size_t i = 0; i < values.size(); ++i)
            if (!isGrease(values[i]) && std::find(values.begin(), values.begin() + i, values[i]) == values.begin() + i)
                counts[values[i]] += n;
    };
    if (hello.supportedVersions.empty())
        offeredVersions[hello.legacyVersion] += n;
    else
        countOnce(hello.supportedVersions, offeredVersions);
    countOnce(hello.groups, offeredGroups);
    countOnce(hello.keyShares, keyShareGroups);
    if (dtls >= 0)
        pickedDtlsVersions[static_cast<size_t>(dtls)] += n;
    else
        pickedVersions[static_cast<int>(versionFromCode(version))] += n;
    if (pickedGroup >= 0) pickedGroups[static_cast<size_t>(pickedGroup)] += n;
    for (size_t i = 0; i < hello.alpn.size(); ++i)
        if (std::find(hello.alpn.begin(), hello.alpn.begin() + i, hello.alpn[i]) == hello.alpn.begin() + i)
            countName(alpnOffered, hello.alpn[i], namesDropped, current.count);

    std::string_view const serverHelloText = records::messageValue(cell, "ServerHello");
    if (!serverHelloText.empty() && base64_decode(serverHelloText.data(), serverHelloText.size(), decoded) &&
        parseServerHello({reinterpret_cast<uint8_t const*>(decoded.data()), decoded.size()}, serverHello) &&
        !serverHello.alpn.empty())
        countName(alpnPicked, serverHello.alpn, namesDropped, current.count);

    uint16_t pqGroup = 0;
    for (auto const* list : {&hello.keyShares, &hello.groups})
        for (uint16_t g : *list)
            if (!pqGroup && isPostQuantum(groupKind(g))) pqGroup = g;
    bool const pickedPq = version == 0x0304 && pickedGroup >= 0 && isPostQuantum(groupKind(static_cast<uint16_t>(pickedGroup)));
    if (pickedPq) pqPickedRows += n;
    if (pqGroup) {
        pqOfferedRows += n;
        s.pqOffered += n;
        addSmall(s.pqOfferedGroups, pqGroup, current.count);
        if (!pickedPq) {
            s.pqNotPicked += n;
            if (pickedGroup >= 0) addSmall(s.pickedInstead, static_cast<uint16_t>(pickedGroup), current.count);
        }
    }

    if (std::find(hello.extensions.begin(), hello.extensions.end(), uint16_t{0xfe0d}) != hello.extensions.end())
        echOfferedRows += n;
    countMlDsa(hello.signatureAlgorithms, n);
    countName(ja4Counts, ja4.fingerprint(hello), ja4Other, current.count);
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

// Each distinct chain verified once, at the time it was last seen; a chain with a certificate
// the store could not give is not judged, since what the server sent is not known.
void Inventory::judgeChains() const {
    judged.leafKinds.resize(certs.size());
    if (!trust) return;
    for (size_t i = judged.verdicts.size(); i < chains.size(); ++i) {
        ChainState const& chain = chains[i];
        std::vector<std::string> der;
        for (uint32_t index : chain.certs)
            if (!certs[index].der.empty()) der.push_back(certs[index].der);
        std::string reason;
        auto const verdict = der.size() == chain.certs.size() ? trust->verify(der, chain.lastMs / 1000, reason)
                                                              : records::ChainVerdict::NotJudged;
        judged.verdicts.push_back(verdict);
        judged.reasons.push_back(std::move(reason));
        if (verdict == records::ChainVerdict::NotJudged) continue;  // the leaf's facts may be missing
        KindMask& leaf = judged.leafKinds[chain.certs.front()];
        records::CertificateFacts const& f = *certs[chain.certs.front()].facts;
        if (verdict == records::ChainVerdict::Trusted && lifetimeOverLimit(f))
            leaf |= kindBit(FindingKind::CertificateLifetimeOverLimit);
        // A self-signed leaf has its own finding, which says the same.
        if (verdict == records::ChainVerdict::Untrusted && !f.selfSigned) leaf |= kindBit(FindingKind::CertificateUntrusted);
        if (verdict == records::ChainVerdict::MissingIntermediate)
            leaf |= kindBit(FindingKind::CertificateMissingIntermediate);
    }
}

Summary Inventory::summarize() const {
    judgeChains();
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
    out.clients = distinctClients ? *distinctClients : clients.size();
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
                     [](TransportTally const& a, TransportTally const& b) {
                         return a.handshakes != b.handshakes ? a.handshakes > b.handshakes : a.protocolType < b.protocolType;
                     });
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
    addDtlsTallies(dtlsVersions, out.versions);
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
        // By name, whatever the order the rows came in.
        auto& names = certServers[i];
        std::sort(names.begin(), names.end());
        c.servers = std::move(names);
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
            KindMask mask = cert.leaf ? cert.leafMask | judged.leafKinds[i] : cert.chainMask;
            if (cert.invalid) mask |= kindBit(FindingKind::CertificateInvalidWhenUsed);
            if (cert.nameMismatch) mask |= kindBit(FindingKind::CertificateNameMismatch);
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
                         if (a.handshakes != b.handshakes) return a.handshakes > b.handshakes;
                         return a.digest < b.digest;  // the same whatever the order the rows came in
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
        std::sort(row.snis.begin(), row.snis.end());  // by name, whatever the order the rows came in
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
        // Two certificates may read alike (say, two of one subject sent by one server): one line.
        found.erase(std::unique(found.begin(), found.end(),
                                [](Finding const& a, Finding const& b) {
                                    return a.kind == b.kind && a.server == b.server && a.detail == b.detail;
                                }),
                    found.end());
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
    for (int v : {2, 1, 0})
        if (s.dtlsVersions & (1u << v)) row.versions.emplace_back(dtlsNames[v]);
    if (s.dtlsVersions & 1u) legacy.emplace_back(dtlsNames[0]);
    if (!legacy.empty()) add(FindingKind::LegacyTls, joined(legacy));

    auto suiteList = s.suites;
    std::sort(suiteList.begin(), suiteList.end(),
              [](auto const& a, auto const& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; });
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
    // Code point order: the same whatever the order the rows came in.
    auto byCode = [](SmallCounts list) {
        std::sort(list.begin(), list.end());
        return list;
    };
    for (auto const& list : {byCode(s.tls13Groups), byCode(s.curves)})
        for (auto const& [code, count] : list) {
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
        for (auto const& [code, n] : byCode(s.pqOfferedGroups)) offered += (offered.empty() ? "" : ", ") + groupName(code);
        for (auto const& [code, n] : byCode(s.pickedInstead)) picked += (picked.empty() ? "" : ", ") + groupName(code);
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
        CertificateUse const use{entry.leaf, cert.digest, {}, entry.invalid, entry.firstMs / 1000, entry.lastMs / 1000};
        KindMask mask = certificateFindings(f, entry.leaf);
        if (entry.leaf && (judged.leafKinds[entry.index] & kindBit(FindingKind::CertificateLifetimeOverLimit))) {
            mask |= kindBit(FindingKind::CertificateLifetimeOverLimit);
            auto& n = row.kindHandshakes[static_cast<size_t>(FindingKind::CertificateLifetimeOverLimit)];
            n = std::min(s.handshakes, n + entry.handshakes);
        }
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
    addChainFindings(s, row, found);
    addNameFindings(s, found);
    return rsaKnown;
}

// Chains that lead to no trusted root, or only through a certificate the server left out:
// one finding per leaf and kind, with the handshakes of all its chains.
void Inventory::addChainFindings(ServerState const& s, ServerSummary& row, std::vector<Finding>& found) const {
    struct Fault {
        FindingKind kind;
        uint32_t leaf;
        uint64_t handshakes;
        std::string reason;
    };
    std::vector<Fault> faults;
    for (auto const& use : s.chains) {
        if (use.chain >= judged.verdicts.size()) continue;
        uint32_t const leaf = chains[use.chain].certs.front();
        KindMask const kinds = judged.leafKinds[leaf];
        auto const verdict = judged.verdicts[use.chain];
        FindingKind kind;
        if (verdict == records::ChainVerdict::Untrusted && (kinds & kindBit(FindingKind::CertificateUntrusted)))
            kind = FindingKind::CertificateUntrusted;
        else if (verdict == records::ChainVerdict::MissingIntermediate)
            kind = FindingKind::CertificateMissingIntermediate;
        else
            continue;
        auto fault = std::find_if(faults.begin(), faults.end(), [&](Fault const& f) { return f.kind == kind && f.leaf == leaf; });
        if (fault == faults.end()) fault = faults.insert(faults.end(), {kind, leaf, 0, judged.reasons[use.chain]});
        fault->handshakes += use.handshakes;
    }
    for (auto const& fault : faults) {
        CertState const& cert = certs[fault.leaf];
        CertificateUse use{true, cert.digest, {}, 0, 0, 0};
        use.note = (fault.kind == FindingKind::CertificateUntrusted ? fault.reason : "the root is trusted, an intermediate is not sent") +
                   " (" + counted(fault.handshakes, "handshake", "handshakes") + ")";
        found.push_back({fault.kind, s.name, certificateDetail(fault.kind, *cert.facts, use, now)});
        auto& n = row.kindHandshakes[static_cast<size_t>(fault.kind)];
        n = std::min(s.handshakes, n + fault.handshakes);
    }
}

// Leaves that do not name the server the clients asked for.
void Inventory::addNameFindings(ServerState const& s, std::vector<Finding>& found) const {
    for (auto const& miss : s.nameMisses) {
        CertState const& cert = certs[miss.leaf];
        records::CertificateFacts const& f = *cert.facts;
        std::string names;
        for (size_t i = 0; i < f.dnsNames.size() && i < 3; ++i) names += (i ? ", " : "") + f.dnsNames[i];
        if (f.dnsNames.size() > 3) names += ", +" + std::to_string(f.dnsNames.size() - 3);
        CertificateUse use{true, cert.digest, {}, 0, 0, 0};
        use.note = "clients asked for " + miss.name + " in " + counted(miss.handshakes, "handshake", "handshakes") +
                   "; it names " + (names.empty() ? std::string("no DNS name") : names);
        found.push_back({FindingKind::CertificateNameMismatch, s.name,
                         certificateDetail(FindingKind::CertificateNameMismatch, f, use, now)});
    }
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
    addDtlsTallies(pickedDtlsVersions, out.pickedVersionsOfHellos);
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
    out.echOfferedRows = echOfferedRows;
    out.mlDsaOfferedRows = mlDsaOfferedRows;
    out.mlDsaOffered = mlDsaOffered;
    out.ja4 = nameTallies(ja4Counts, 20);
    out.ja4Distinct = ja4Counts.size() + (ja4Other ? 1 : 0);
}

}  // namespace report
