// varno-report over rows and certificate stores that the test writes, so that every date and
// every difference is known: certificate validity judged at the time of each handshake and
// against --now with what could not be judged, two sets of directories compared with
// --baseline (options after its "--"), and transports.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "e2e/e2e_support.h"
#include "record/base64.h"
#include "record/sha1.h"

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
std::string storeCertificate(fs::path const& dir, std::string const& cn, int64_t notBefore, int64_t notAfter,
                             EVP_PKEY* key, EVP_PKEY* issuerKey = nullptr, std::string const& issuerName = "") {
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
    EXPECT_GT(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()), 0);
    int const length = i2d_X509(cert.get(), nullptr);
    std::string der(static_cast<size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(cert.get(), &out);
    Sha1 sha1;
    sha1.update(reinterpret_cast<unsigned char const*>(der.data()), der.size());
    std::string const digest = sha1.finalHex();
    fs::path const path = dir / digest.substr(0, 2) / digest.substr(2, 2) / (digest + ".pem");
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "-----BEGIN CERTIFICATE-----\n"
                        << base64_encode(reinterpret_cast<unsigned char const*>(der.data()), static_cast<uint32_t>(der.size()))
                        << "\n-----END CERTIFICATE-----\n";
    return digest;
}

struct Row {
    int64_t seconds;
    std::string server;  // IPv4 address, port 443
    std::string chain, version, suite, group, protocol;
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
            << ",example.test," << r.suite << ',' << (tls13 ? "" : "0x001d") << ',' << (tls13 ? r.group : "") << ','
            << r.chain << ",0,,0,0,,\"{}\"\n";
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
    std::string const ca = storeCertificate(dir.path(), "Test CA", day("2000-01-01"), day("2040-01-01"), caKey.get());
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
    auto const r = report("--now 2030-01-01 " + shellQuote(dir.path().string()));
    EXPECT_EQ(r.json["expired_when_used"], Json({{"certificates", 2}, {"handshakes", 3}}));
    EXPECT_EQ(findingsOf(r.json, "10.0.0.1:443"), std::set<std::string>{"certificate-expired-when-used"});
    EXPECT_EQ(findingsOf(r.json, "10.0.0.2:443"), std::set<std::string>{"certificate-expired-when-used"});
    EXPECT_EQ(findingsOf(r.json, "10.0.0.3:443"), std::set<std::string>{"certificate-expired-since-last-seen"});
    EXPECT_EQ(findingsOf(r.json, "10.0.0.4:443"), std::set<std::string>{"certificate-expiring"});
    EXPECT_TRUE(findingsOf(r.json, "10.0.0.5:443").empty()) << "not seen in the last 30 days of the data";
    std::map<std::string, std::string> details;
    for (auto const& f : r.json["findings"]) details[f["server"]] = f["detail"];
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
                                                       {"certificate-expiring", 1},
                                                       {"certificate-expired-since-last-seen", 1}}));
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
