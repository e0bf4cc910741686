// varno-report over rows and certificate stores that the test writes, so that every date and
// every difference is known: certificate validity judged at the time of each handshake and
// against --now with what could not be judged, two sets of directories compared with
// --baseline (options after its "--"), and transports.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "e2e/e2e_support.h"
#include "record/base64.h"
#include "record/sha1.h"
#include "report/hello_builder.h"
#include "support/certificates.h"

namespace {

using namespace e2e;
using Json = nlohmann::json;

int64_t day(char const* date) {  // "YYYY-MM-DD" as seconds, UTC
    std::tm tm{};
    strptime(date, "%Y-%m-%d", &tm);
    return timegm(&tm);
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
Key newKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free); }

// A certificate for cn, valid from notBefore to notAfter, signed by issuerKey under issuerName
// (its own key and name when none), stored as the monitor stores it; returns its digest.
// What a certificate holds besides: its DNS names, whether it is a CA, the hash it is signed with.
struct Extras {
    std::vector<std::string> dns{"example.test"};
    bool ca = false;
    EVP_MD const* md = EVP_sha256();
};

void storeDer(fs::path const& dir, std::string const& der, std::string const& digest) {
    fs::path const path = dir / digest.substr(0, 2) / digest.substr(2, 2) / (digest + ".pem");
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "-----BEGIN CERTIFICATE-----\n"
                        << base64_encode(reinterpret_cast<unsigned char const*>(der.data()), static_cast<uint32_t>(der.size()))
                        << "\n-----END CERTIFICATE-----\n";
}

std::string digestOf(std::string const& der) {
    Sha1 sha1;
    sha1.update(reinterpret_cast<unsigned char const*>(der.data()), der.size());
    return sha1.finalHex();
}

std::string storeCertificate(fs::path const& dir, std::string const& cn, int64_t notBefore, int64_t notAfter,
                             EVP_PKEY* key, EVP_PKEY* issuerKey = nullptr, std::string const& issuerName = "",
                             Extras const& extras = {}) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(notAfter % 100000));
    ASN1_TIME_set(X509_getm_notBefore(cert.get()), static_cast<time_t>(notBefore));
    ASN1_TIME_set(X509_getm_notAfter(cert.get()), static_cast<time_t>(notAfter));
    auto name = [](std::string const& text) {
        X509_NAME* n = X509_NAME_new();
        X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC, reinterpret_cast<unsigned char const*>(text.c_str()), -1, -1, 0);
        return n;
    };
    X509_NAME* subject = name(cn);
    X509_NAME* issuer = name(issuerName.empty() ? cn : issuerName);
    X509_set_subject_name(cert.get(), subject);
    X509_set_issuer_name(cert.get(), issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    X509_set_pubkey(cert.get(), key);
    auto extension = [&](int nid, std::string const& value) {
        X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, nullptr, nid, value.c_str());
        X509_add_ext(cert.get(), e, -1);
        X509_EXTENSION_free(e);
    };
    std::string names;
    for (auto const& n : extras.dns) names += (names.empty() ? "DNS:" : ",DNS:") + n;
    if (!names.empty()) extension(NID_subject_alt_name, names);
    if (extras.ca) extension(NID_basic_constraints, "critical,CA:TRUE");
    EXPECT_GT(X509_sign(cert.get(), issuerKey ? issuerKey : key, extras.md), 0);
    int const length = i2d_X509(cert.get(), nullptr);
    std::string der(static_cast<size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(cert.get(), &out);
    std::string const digest = digestOf(der);
    storeDer(dir, der, digest);
    return digest;
}

// The PEM file of a stored certificate, for a trust store.
fs::path pemOf(fs::path const& dir, std::string const& digest) {
    return dir / digest.substr(0, 2) / digest.substr(2, 2) / (digest + ".pem");
}

struct Row {
    int64_t seconds;
    std::string server;  // IPv4 address, port 443
    std::string chain, version, suite, group, protocol;
    std::string sni = "example.test", messages = "\"{}\"";
};
Row row(char const* date, std::string server, std::string chain = "", std::string version = "TLSv1.3",
        std::string suite = "0x1301", std::string group = "0x001d", std::string protocol = "TLS") {
    return {day(date), std::move(server), std::move(chain), std::move(version), std::move(suite), std::move(group),
            std::move(protocol)};
}

void writeRows(fs::path const& dir, std::vector<Row> const& rows) {
    fs::create_directories(dir);
    std::ofstream out(dir / "output_20240101000000.csv");
    out << csvHeader << "\n";
    for (auto const& r : rows) {
        bool const tls13 = r.version == "TLSv1.3";
        out << r.seconds * 1000 << ',' << r.protocol << ",192.0.2.1,50000,," << r.server << ",443,," << r.version
            << ',' << r.sni << ',' << r.suite << ',' << (tls13 ? "" : "0x001d") << ',' << (tls13 ? r.group : "") << ','
            << r.chain << ",0,,0,0,," << r.messages << "\n";
    }
}

struct Report {
    Json json;
    std::string text, html;
};

// The options follow the directories, after a --baseline list's "--" too.
Report report(std::string const& arguments) {
    ScratchDir scratch;
    std::string const json = scratch / "r.json", html = scratch / "r.html";
    std::string const base = std::string(VARNO_REPORT_BINARY) + " " + arguments + " --json " + shellQuote(json);
    auto const text = runShell(base);
    EXPECT_EQ(text.status, 0) << text.out;
    EXPECT_EQ(runShell(base + " -o " + shellQuote(html)).status, 0);
    Report r{Json::parse(readFile(json)), text.out, readFile(html)};
    std::regex const wrongPlural("\\b1 (handshakes|servers|rows|CSV files|certificates|kinds)\\b");
    EXPECT_FALSE(std::regex_search(r.text, wrongPlural) || std::regex_search(r.html, wrongPlural)) << r.text;
    return r;
}

std::set<std::string> findingsOf(Json const& r, std::string const& server) {
    std::set<std::string> ids;
    for (auto const& f : r["findings"])
        if (f["server"] == server) ids.insert(f["id"].get<std::string>());
    return ids;
}

TEST(ReportRows, ExpiryJudgedAtTheTimeOfUseAndAgainstNow) {
    ScratchDir dir;
    Key const caKey = newKey(), key = newKey();
    std::string const ca = storeCertificate(dir.path(), "Test CA", day("2000-01-01"), day("2040-01-01"), caKey.get(),
                                            nullptr, "", {{}, true});
    auto leaf = [&](char const* cn, char const* from, char const* until) {
        return storeCertificate(dir.path(), cn, day(from), day(until), key.get(), caKey.get(), "Test CA") + ":" + ca;
    };
    // Each server shows its leaf before, during or after the leaf's validity; the report is
    // made on 2030-01-01 and the data end on 2029-12-15.
    std::string const late = leaf("late.test", "2020-01-01", "2021-01-01");
    std::string const early = leaf("early.test", "2022-01-01", "2032-01-01");
    std::string const since = leaf("since.test", "2020-01-01", "2029-12-20");
    std::string const soon = leaf("soon.test", "2020-01-01", "2030-01-20");
    std::string const old = leaf("old.test", "2020-01-01", "2030-01-25");
    writeRows(dir.path(), {row("2020-06-01", "10.0.0.1", late),
                           row("2021-06-01", "10.0.0.1", late),
                           row("2021-07-01", "10.0.0.1", late),
                           row("2021-12-01", "10.0.0.2", early),
                           row("2022-06-01", "10.0.0.2", early),
                           row("2029-12-15", "10.0.0.3", since),
                           row("2029-12-15", "10.0.0.4", soon),
                           row("2021-06-01", "10.0.0.5", old),
                           row("2021-08-01", "10.0.0.1")});  // TLS 1.3: the certificate is hidden
    auto const r = report("--now 2030-01-01 --trust-store " + shellQuote(pemOf(dir.path(), ca).string()) + " " +
                          shellQuote(dir.path().string()));
    EXPECT_EQ(r.json["expired_when_used"], Json({{"certificates", 2}, {"handshakes", 3}}));
    EXPECT_EQ(findingsOf(r.json, "10.0.0.1:443"), std::set<std::string>{"certificate-expired-when-used"});
    EXPECT_EQ(findingsOf(r.json, "10.0.0.2:443"),
              (std::set<std::string>{"certificate-expired-when-used", "certificate-lifetime-over-limit"}));
    EXPECT_EQ(findingsOf(r.json, "10.0.0.3:443"), std::set<std::string>{"certificate-expired-since-last-seen"});
    EXPECT_EQ(findingsOf(r.json, "10.0.0.4:443"), std::set<std::string>{"certificate-expiring"});
    EXPECT_TRUE(findingsOf(r.json, "10.0.0.5:443").empty()) << "not seen in the last 30 days of the data";
    std::map<std::string, std::string> details;
    for (auto const& f : r.json["findings"])
        if (f["id"] != "certificate-lifetime-over-limit") details[f["server"]] = f["detail"];
    EXPECT_NE(details["10.0.0.2:443"].find("not valid before 2022-01-01"), std::string::npos);
    EXPECT_NE(details["10.0.0.1:443"].find("; not judged: 1 of 4 handshakes without a visible certificate"),
              std::string::npos) << details["10.0.0.1:443"];
    EXPECT_EQ(details["10.0.0.2:443"].find("not judged"), std::string::npos);
    EXPECT_EQ(r.json["certificate_coverage"], Json({{"handshakes", 9}, {"visible", 8}, {"hidden_tls13_quic", 1},
                                                    {"none_other", 0}, {"directories_without_store", Json::array()}}));
    EXPECT_NE(r.text.find("Coverage     certificates visible in 8 of 9 handshakes (88.9%); TLS 1.3 and QUIC hide them in 1\n"),
              std::string::npos) << r.text;
    std::map<std::string, uint64_t> groups;
    for (auto const& g : r.json["finding_groups"]) groups[g["id"]] = g["handshakes"];
    EXPECT_EQ(groups, (std::map<std::string, uint64_t>{{"certificate-expired-when-used", 3},
                                                       {"certificate-lifetime-over-limit", 2},
                                                       {"certificate-expiring", 1},
                                                       {"certificate-expired-since-last-seen", 1}}));
}

// Beside the findings of CertificateChecksOneServerEach: the counts and names its rows make.
void expectCountsAndAlgorithms(Report const& r, std::string const& cbom) {
    // Two certificates of one subject: two lines, told apart by their digests.
    std::set<std::string> small;
    for (auto const& f : r.json["findings"])
        if (f["server"] == "10.0.1.13:443") small.insert(f["detail"].get<std::string>());
    EXPECT_EQ(small.size(), 2u);
    // DTLS counted as DTLS in every output; ECH offered by the one hello of the rows.
    EXPECT_NE(r.text.find("; DTLS over UDP 1\n"), std::string::npos) << r.text;
    EXPECT_NE(r.html.find("DTLS over UDP 1 handshake "), std::string::npos);
    std::set<std::string> versions;
    for (auto const& v : r.json["versions"]) versions.insert(v["name"].get<std::string>());
    EXPECT_TRUE(versions.count("DTLS 1.0") && !versions.count("TLS 1.1")) << r.json["versions"];
    EXPECT_NE(r.html.find("<td><code>10.0.1.12<wbr>:443</code></td><td>DTLS 1.0</td>"), std::string::npos);
    EXPECT_EQ(r.json["client_hellos"]["ech_offered"], 1);
    EXPECT_NE(r.text.find("ECH          100.0% (1) offer Encrypted Client Hello; grease ECH"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("ML-DSA       100.0% (1) offer ML-DSA signatures: ML-DSA-65 1, ML-DSA-87 1\n"), std::string::npos);
    // ML-DSA named in the tallies and, post-quantum, in the CBOM.
    for (auto const* tally : {"keys", "signature_algorithms"})
        EXPECT_NE(r.json["certificates"][tally].dump().find("\"ML-DSA-65\""), std::string::npos) << tally;
    Json const document = Json::parse(readFile(cbom));
    bool found = false;
    std::set<std::string> cbomFindings;
    for (auto const& c : document["components"]) {
        if (c["name"] == "ML-DSA-65")
            found = c["cryptoProperties"]["algorithmProperties"]["nistQuantumSecurityLevel"] == 3 &&
                    c["cryptoProperties"]["oid"] == "2.16.840.1.101.3.4.3.18";
        for (auto const& p : c.value("properties", Json::array()))
            if (p["name"] == "varno:finding") cbomFindings.insert(c["name"].get<std::string>() + " " + p["value"].get<std::string>());
    }
    EXPECT_TRUE(found) << document.dump();
    EXPECT_TRUE(cbomFindings.count("ok.test certificate-name-mismatch") && cbomFindings.count("long.test certificate-lifetime-over-limit") &&
                cbomFindings.count("missing.test certificate-missing-intermediate"))
        << testing::PrintToString(cbomFindings);
}

// The certificate checks and the counts beside them: one server per case, all in one report
// against a trust store (a directory of PEM files) of the test's own roots.
TEST(ReportRows, CertificateChecksOneServerEach) {
    ScratchDir dir, roots;
    Key const rootKey = newKey(), interKey = newKey(), leafKey = newKey(), otherKey = newKey(), sha1Key = newKey();
    std::string const root = storeCertificate(dir.path(), "Test Root", day("2020-01-01"), day("2040-01-01"),
                                              rootKey.get(), nullptr, "", {{}, true});
    std::string const sha1Root = storeCertificate(dir.path(), "SHA-1 Root", day("2020-01-01"), day("2040-01-01"),
                                                  sha1Key.get(), nullptr, "", {{}, true, EVP_sha1()});
    std::string const other = storeCertificate(dir.path(), "Other Root", day("2020-01-01"), day("2040-01-01"),
                                               otherKey.get(), nullptr, "", {{}, true});
    std::string const inter = storeCertificate(dir.path(), "Test Intermediate", day("2020-01-01"), day("2040-01-01"),
                                               interKey.get(), rootKey.get(), "Test Root", {{}, true});
    fs::copy_file(pemOf(dir.path(), root), roots / "root.pem");
    fs::copy_file(pemOf(dir.path(), sha1Root), roots / "sha1-root.crt");
    // A leaf for names, valid for days from a date, under an issuer.
    auto leaf = [&](std::vector<std::string> names, char const* from, int64_t days, EVP_PKEY* issuerKey = nullptr,
                    std::string const& issuer = "Test Intermediate", EVP_PKEY* key = nullptr) {
        return storeCertificate(dir.path(), names.front(), day(from), day(from) + days * 86400 - 1,
                                key ? key : leafKey.get(), issuerKey ? issuerKey : interKey.get(), issuer, {names});
    };
    std::string const ok = leaf({"ok.test"}, "2026-01-10", 300) + ":" + inter + ":" + root;
    std::string const wild = leaf({"*.wild.test"}, "2026-01-10", 300) + ":" + inter;
    Key const small1(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}), &EVP_PKEY_free);
    Key const small2(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}), &EVP_PKEY_free);
    auto const mlDsa = build::mlDsaCertificate(65, "ml-dsa.test");
    std::string const mlDsaDer(mlDsa.begin(), mlDsa.end()), mlDsaDigest = digestOf(mlDsaDer);
    storeDer(dir.path(), mlDsaDer, mlDsaDigest);
    auto const hello = report_test::exampleHello({"h2"}, false, build::extension(0xfe0d, {0, 0, 1, 0, 1, 0x42, 0, 0, 0, 0}),
                                                 {0x0905, 0x0403, 0x0906, 0x0905});
    std::string const echCell = "\"{\"\"ClientHello\"\":\"\"" + base64_encode(hello.data(), uint32_t(hello.size())) + "\"\"}\"";

    struct Case {
        char const* what;
        std::string server, sni;
        std::vector<std::string> chains;  // one row each
        std::set<std::string> expected;
        std::string version = "TLSv1.2", protocol = "TLS", messages = "\"{}\"";
    };
    std::vector<Case> const cases = {
        {"trusted chain, name in SAN, 300 days issued 2026-01-10", "10.0.1.1", "ok.test", {ok}, {}},
        {"name mismatch", "10.0.1.2", "other.test", {ok}, {"certificate-name-mismatch"}},
        {"wildcard, any case", "10.0.1.3", "A.Wild.TEST", {wild}, {}},
        {"wildcard too deep", "10.0.1.4", "a.b.wild.test", {wild}, {"certificate-name-mismatch"}},
        {"wildcard without a label", "10.0.1.5", "wild.test", {wild}, {"certificate-name-mismatch"}},
        {"IP address SNI not judged", "10.0.1.6", "192.0.2.80", {ok}, {}},
        {"root not in the store", "10.0.1.7", "untrusted.test",
         {leaf({"untrusted.test"}, "2026-01-10", 300, otherKey.get(), "Other Root") + ":" + other},
         {"certificate-untrusted"}},
        {"intermediate not sent", "10.0.1.8", "missing.test", {leaf({"missing.test"}, "2026-01-10", 300)},
         {"certificate-missing-intermediate"}},
        {"398 days issued 2025-09-01", "10.0.1.16", "limit.test",
         {leaf({"limit.test"}, "2025-09-01", 398) + ":" + inter}, {}},
        {"399 days issued 2025-09-01", "10.0.1.17", "older.test",
         {leaf({"older.test"}, "2025-09-01", 399) + ":" + inter}, {"certificate-lifetime-over-limit"}},
        {"300 days issued 2026-04-01", "10.0.1.9", "long.test", {leaf({"long.test"}, "2026-04-01", 300) + ":" + inter},
         {"certificate-lifetime-over-limit"}},
        {"SHA-1 self-signed anchor", "10.0.1.10", "anchored.test",
         {leaf({"anchored.test"}, "2026-01-10", 300, sha1Key.get(), "SHA-1 Root") + ":" + sha1Root}, {}},
        {"ML-DSA-65 leaf, its signature not genuine", "10.0.1.11", "", {mlDsaDigest}, {"certificate-untrusted"}},
        {"DTLS 1.0", "10.0.1.12", "", {""}, {"legacy-tls"}, "DTLSv1.0", "DTLS"},
        {"two certificates of one subject", "10.0.1.13", "dup.test",
         {leaf({"dup.test"}, "2026-01-10", 300, nullptr, "Test Intermediate", small1.get()) + ":" + inter,
          leaf({"dup.test"}, "2026-01-10", 300, nullptr, "Test Intermediate", small2.get()) + ":" + inter},
         {"rsa-under-2048"}},
        {"ECH offered", "10.0.1.14", "", {""}, {}, "TLSv1.3", "TLS", echCell},
        {"SHA-1 self-signed leaf", "10.0.1.15", "self.test",
         {storeCertificate(dir.path(), "self.test", day("2026-01-10"), day("2026-11-01"), leafKey.get(), nullptr, "",
                           {{"self.test"}, false, EVP_sha1()})},
         {"certificate-self-signed"}},
    };
    std::vector<Row> rows;
    for (auto const& c : cases)
        for (auto const& chain : c.chains) {
            rows.push_back(row("2026-06-01", c.server, chain, c.version, c.version == "TLSv1.3" ? "0x1301" : "0xc02b",
                               "0x11ec", c.protocol));
            rows.back().sni = c.sni;
            rows.back().messages = c.messages;
        }
    writeRows(dir.path(), rows);
    ScratchDir out;
    std::string const cbom = out / "cbom.json";
    auto const r = report("--now 2026-06-15 --trust-store " + shellQuote(roots.path().string()) + " --cbom " +
                          shellQuote(cbom) + " " + shellQuote(dir.path().string()));
    for (auto const& c : cases) EXPECT_EQ(findingsOf(r.json, c.server + ":443"), c.expected) << c.what;

    expectCountsAndAlgorithms(r, cbom);
}

TEST(ReportRows, BaselineTransportsAndEveryNamedMember) {
    ScratchDir then, now;
    // Then: A on TLS 1.2 with a classical group and a CBC suite, B on TLS 1.0 with a CBC suite.
    writeRows(then.path(), {row("2025-01-01", "10.0.0.1", "", "TLSv1.2", "0xc013"),
                            row("2025-01-02", "10.0.0.2", "", "TLSv1.0", "0xc013")});
    // Now: A on TLS 1.3 with X25519MLKEM768 (one handshake over QUIC), B gone, C new on TLS 1.2
    // written without -c.
    writeRows(now.path(), {row("2025-02-01", "10.0.0.1", "", "TLSv1.3", "0x1301", "0x11ec"),
                           row("2025-02-01", "10.0.0.1", "", "TLSv1.3", "0x1301", "0x11ec", "QUIC"),
                           row("2025-02-02", "10.0.0.3", "", "TLSv1.2", "0xc02f")});
    auto const r = report("--baseline " + shellQuote(then.path().string()) + " -- " + shellQuote(now.path().string()));
    EXPECT_EQ(r.json["format"], "varno-report/2");
    Json const& d = r.json["drift"];
    EXPECT_EQ(d["new_servers"], Json::array({"10.0.0.3:443"}));
    EXPECT_EQ(d["gone_servers"], Json::array({"10.0.0.2:443"}));
    std::set<std::string> changed;
    for (auto const& c : d["changed_servers"])
        changed.insert(c["server"].get<std::string>() + " " + c["what"].get<std::string>() + ": " +
                       c["before"].get<std::string>() + " -> " + c["after"].get<std::string>());
    EXPECT_EQ(changed, (std::set<std::string>{"10.0.0.1:443 versions: TLS 1.2 -> TLS 1.3",
                                              "10.0.0.1:443 worst finding: medium -> none",
                                              "10.0.0.1:443 suite class: weak -> good",
                                              "10.0.0.1:443 group kind: classical -> post-quantum"}));
    std::set<std::string> gone;
    for (auto const& f : d["findings_disappeared"])
        gone.insert(f["id"].get<std::string>() + " " + f["server"].get<std::string>() + (f["server_seen"] ? " seen" : ""));
    EXPECT_EQ(gone, (std::set<std::string>{"weak-cipher-suite 10.0.0.1:443 seen", "weak-cipher-suite 10.0.0.2:443",
                                           "legacy-tls 10.0.0.2:443"}));
    EXPECT_TRUE(d["findings_appeared"].empty());
    EXPECT_EQ(r.json["certificate_coverage"]["directories_without_store"], Json::array({now.path().string()}));
    EXPECT_EQ(d["post_quantum_share"]["then"]["tls13"], 0);
    EXPECT_EQ(d["post_quantum_share"]["now"]["post_quantum"], 2);
    std::map<std::string, std::vector<uint64_t>> transports;
    for (auto const& t : r.json["transports"])
        transports[t["protocol_type"].get<std::string>() + "/" + t["transport"].get<std::string>()] = {
            t["handshakes"], t["tls13"], t["post_quantum"]};
    EXPECT_EQ(transports, (std::map<std::string, std::vector<uint64_t>>{{"TLS/TCP", {2, 1, 1}}, {"QUIC/QUIC", {1, 1, 1}}}));

    EXPECT_NE(r.text.find("New servers  10.0.0.3:443"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("Gone servers 10.0.0.2:443"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("Post-quantum 0.0% of TLS 1.3 then, 100.0% now"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("Findings gone fixed on servers still seen: weak-cipher-suite on 10.0.0.1:443\n"),
              std::string::npos) << r.text;
    EXPECT_NE(r.html.find("no certificate store in " + now.path().string() + ": run varno with -c"), std::string::npos);
    EXPECT_NE(r.html.find("<section id=\"drift\">"), std::string::npos);
    EXPECT_NE(r.html.find("<h3>Findings gone: fixed on servers still seen</h3>"), std::string::npos);
    auto const unended = runShell(std::string(VARNO_REPORT_BINARY) + " --baseline " + shellQuote(then.path().string()) +
                                  " " + shellQuote(now.path().string()) + " 2>&1");
    EXPECT_EQ(unended.status, 2) << unended.out;
    for (auto const* member : {"format", "now", "input", "overview", "transports", "versions", "cipher_suites",
                               "cipher_suite_classes", "key_exchange", "tls13_groups", "certificates",
                               "expired_when_used", "servers", "client_features", "client_hellos", "finding_groups",
                               "findings", "drift", "certificate_coverage"})
        EXPECT_TRUE(r.json.contains(member)) << member;
}

}  // namespace
