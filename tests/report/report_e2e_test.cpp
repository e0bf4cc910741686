// varno-report end to end: the monitor runs over real captures (the project's own, and one
// whose servers carry weak certificates made with openssl), the report reads what it wrote,
// and every finding must name the right server; damaged input is counted, never fatal.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "e2e/e2e_support.h"
#include "record/base64.h"
#include "report/hello_builder.h"
#include "support/certificates.h"

namespace {

using namespace e2e;
using Json = nlohmann::json;

struct ReportRun {
    int status = -1;
    std::string out, err;
    Json json;
};

// Runs varno-report with the arguments (shell text) plus --json; parses what it wrote.
ReportRun runReport(std::string const& arguments) {
    ScratchDir scratch;
    std::string const json = scratch / "summary.json";
    std::string const command = std::string(VARNO_REPORT_BINARY) + " --json " + shellQuote(json) + " " + arguments +
                                " >" + shellQuote(scratch / "out") + " 2>" + shellQuote(scratch / "err");
    int const raw = std::system(command.c_str());
    ReportRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readFile(scratch / "out");
    run.err = readFile(scratch / "err");
    if (fs::exists(json)) run.json = Json::parse(readFile(json));
    return run;
}

void record(std::string const& capture, fs::path const& dir) {
    fs::create_directories(dir);
    auto const run = runVarno("-p " + shellQuote(capture) + " -o " + shellQuote(dir.string()) + " -c -m 1");
    ASSERT_EQ(run.status, 0) << capture << ": " << run.err;
}

Json const* serverEntry(Json const& report, std::string const& server) {
    for (auto const& s : report["servers"])
        if (s["server"] == server) return &s;
    return nullptr;
}

std::set<std::string> findingsOf(Json const& report, std::string const& server) {
    std::set<std::string> ids;
    for (auto const& f : report["findings"])
        if (f["server"] == server) ids.insert(f["id"].get<std::string>());
    return ids;
}

// Every capture of tests/data in a directory of its own under "own" (a folder of output
// directories, as one per sensor), and the weak servers' capture.
class ReportEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = new ScratchDir;
        for (auto const& entry : readManifest(sourcePath("tests/data/MANIFEST.tsv"))) {
            if (entry.at("expected_rows") == "0") continue;
            fs::path const dir = scratch->path() / "own" / entry.at("file");
            record(sourcePath("tests/data/" + entry.at("file")), dir);
            ownDirs.push_back(dir.string());
            expectedRows += std::stoull(entry.at("expected_rows"));
        }
        record(sourcePath("tests/data/report/weak_servers.pcap"), scratch->path() / "weak");
        // Chains are judged against a root of the test's own, never the system's.
        auto const root = build::selfSignedCertificate("EC");
        std::ofstream(scratch->path() / "root.pem") << "-----BEGIN CERTIFICATE-----\n"
                                                    << base64_encode(root.data(), static_cast<uint32_t>(root.size()))
                                                    << "\n-----END CERTIFICATE-----\n";
    }
    static std::string trustStore() { return " --trust-store " + shellQuote((scratch->path() / "root.pem").string()) + " "; }
    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
    }
    // The server address of the first row a capture gave.
    static std::string serverOf(std::string const& capture) {
        auto const rows = readCsvOutput(scratch->path() / "own" / capture).rows;
        return rows.empty() ? "" : rows.front()[ServerIPAddress] + ":" + rows.front()[ServerPortNumber];
    }
    static std::string weakDir() { return (scratch->path() / "weak").string(); }

    static inline ScratchDir* scratch = nullptr;
    static inline std::vector<std::string> ownDirs;
    static inline uint64_t expectedRows = 0;
};

TEST_F(ReportEndToEnd, OwnCapturesFromAFolderOfDirectories) {
    std::string const parent = (scratch->path() / "own").string();
    auto const run = runReport("--now 2030-01-01" + trustStore() + shellQuote(parent));
    ASSERT_EQ(run.status, 0) << run.err;
    Json const& r = run.json;
    std::vector<std::string> read = r["input"]["directories"];
    std::sort(ownDirs.begin(), ownDirs.end());
    EXPECT_EQ(read, ownDirs);
    EXPECT_EQ(r["input"]["parent_directories"][0]["directory"], parent);
    EXPECT_NE(run.out.find(parent + " holds no CSV file: read the " + std::to_string(ownDirs.size()) +
                           " output directories below it"), std::string::npos) << run.out;
    EXPECT_EQ(r["input"]["rows"], expectedRows);
    EXPECT_EQ(r["input"]["malformed_lines"], 0);
    EXPECT_EQ(r["input"]["missing_certificates"], 0);
    // An SSL 2.0-format ClientHello is not saved: its row has none.
    EXPECT_EQ(r["client_hellos"]["rows"], expectedRows - 1);
    EXPECT_EQ(r["client_hellos"]["unreadable"], 0);

    for (auto const* capture : {"t10_ecdhe_rsa.pcap", "t11_ecdhe_rsa.pcap"}) {
        auto const ids = findingsOf(r, serverOf(capture));
        EXPECT_TRUE(ids.count("legacy-tls") && ids.count("weak-cipher-suite")) << capture;
    }
    EXPECT_TRUE(findingsOf(r, serverOf("t12_rsa_kx_chain2.pcap")).count("weak-cipher-suite"));
    EXPECT_TRUE(findingsOf(r, serverOf("t13_x25519.pcap")).empty());
    // RSA key exchange with leaves of 1024, 2048 and 4096 bits: only the first is flagged, on its server.
    std::map<int, std::string> rsa;
    for (auto const& t : r["key_exchange"]["rsa_key_bits"]) rsa[t["bits"].get<int>()] = t["class"];
    EXPECT_EQ(rsa, (std::map<int, std::string>{{1024, "flagged"}, {2048, ""}, {4096, ""}}));
    std::string const small = serverOf("t12_rsa_kx_leaf1024_frag512.pcap");
    EXPECT_TRUE(findingsOf(r, small).count("rsa-under-2048")) << small;
    EXPECT_EQ((*serverEntry(r, small))["key"], "RSA 1024");
    for (auto const& t : r["key_exchange"]["dh_prime_bits"]) EXPECT_EQ(t["class"], "");

    Json const* auth = serverEntry(r, serverOf("t12_client_auth.pcap"));
    ASSERT_TRUE(auth);
    EXPECT_EQ((*auth)["client_certificates"], 1);
    EXPECT_EQ((*auth)["client_auth_requested"], 1);
    Json const* hrr = serverEntry(r, serverOf("t13_hrr.pcap"));
    ASSERT_TRUE(hrr);
    EXPECT_EQ((*hrr)["groups"], Json::array({"secp256r1"}));

    std::regex const ja4("([tq]1[0-3]|dd[1-3])[di][0-9]{4}[0-9a-z]{2}_[0-9a-f]{12}_[0-9a-f]{12}");
    ASSERT_FALSE(r["client_hellos"]["ja4_top"].empty());
    for (auto const& t : r["client_hellos"]["ja4_top"]) EXPECT_TRUE(std::regex_match(t["ja4"].get<std::string>(), ja4)) << t;
}

TEST_F(ReportEndToEnd, EveryFindingOnTheRightServer) {
    auto const run = runReport("--now 2030-01-01" + trustStore() + shellQuote(weakDir()));
    ASSERT_EQ(run.status, 0) << run.err;
    auto const manifest = readManifest(sourcePath("tests/data/report/MANIFEST.tsv"));
    ASSERT_EQ(manifest.size(), 10u);
    EXPECT_EQ(run.json["input"]["rows"], manifest.size());
    for (auto const& entry : manifest) {
        std::string const server = "127.0.0.1:" + entry.at("port");
        std::set<std::string> expected;
        for (auto const& id : split(entry.at("findings"), ','))
            if (!id.empty()) expected.insert(id);
        EXPECT_EQ(findingsOf(run.json, server), expected) << entry.at("sni") << ": " << entry.at("notes");
        Json const* row = serverEntry(run.json, server);
        ASSERT_TRUE(row) << server;
        EXPECT_EQ((*row)["snis"], Json::array({entry.at("sni")}));
    }

    // The text summary: the same findings, most severe first, every line within 100 columns
    // and wrapped, not cut: each finding's server, names, last seen time and whole detail are
    // there once the lines are joined.
    auto const text = runReport("--now 2030-01-01" + trustStore() + shellQuote(weakDir()));
    std::istringstream lines(text.out);
    std::string line, joined;
    std::vector<std::string> severities;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 100u) << line;
        for (auto const* s : {"CRITICAL", "HIGH", "MEDIUM", "LOW", "INFO"})
            if (line.rfind(s, 0) == 0) severities.push_back(s);
        joined += " " + line.substr(std::min(line.find_first_not_of(' '), line.size()));
    }
    std::vector<std::string> const order = {"CRITICAL", "HIGH", "MEDIUM", "LOW", "INFO"};
    auto rank = [&](std::string const& s) { return std::find(order.begin(), order.end(), s) - order.begin(); };
    EXPECT_TRUE(std::is_sorted(severities.begin(), severities.end(),
                               [&](auto const& a, auto const& b) { return rank(a) < rank(b); }));
    std::map<std::string, size_t> shown;  // the text lists the first five servers of a kind
    for (auto const& f : run.json["findings"]) {
        if (++shown[f["id"]] > 5) continue;
        std::string const entry = f["server"].get<std::string>() + " (" + f["snis"][0].get<std::string>() +
                                  "), last seen " + f["last_seen"].get<std::string>() + ": " + f["detail"].get<std::string>();
        EXPECT_NE(joined.find(entry), std::string::npos) << entry;
    }

    // Grouped by kind: one text line and one <details> of the page per kind, each counting the
    // servers and handshakes of the findings of its kind.
    ScratchDir page;
    ASSERT_EQ(runReport("--now 2030-01-01" + trustStore() + "-o " + shellQuote(page / "r.html") + " " + shellQuote(weakDir())).status, 0);
    std::string const htmlText = readFile(page / "r.html");
    std::map<std::string, std::set<std::string>> servers;
    for (auto const& f : run.json["findings"]) servers[f["id"]].insert(f["server"].get<std::string>());
    ASSERT_EQ(run.json["finding_groups"].size(), servers.size());
    for (auto const& g : run.json["finding_groups"]) {
        std::string const id = g["id"], title = g["title"];
        EXPECT_EQ(g["servers"], servers[id].size()) << id;
        EXPECT_EQ(g["handshakes"], servers[id].size()) << id;  // one handshake per server in this capture
        std::string const n = std::to_string(servers[id].size());
        std::string const counts = n == "1" ? " (1 server, 1 handshake)" : " (" + n + " servers, " + n + " handshakes)";
        EXPECT_NE(text.out.find(title + counts), std::string::npos) << title + counts << "\n" << text.out;
        EXPECT_NE(joined.find("Advice: " + g["advice"].get<std::string>()), std::string::npos) << id;
        EXPECT_NE(htmlText.find("<details class=\"group\" id=\"finding-" + id + "\"><summary>"), std::string::npos) << id;
    }
    EXPECT_EQ(severities.size(), servers.size()) << "one line per kind";
}

TEST_F(ReportEndToEnd, DamagedInputIsCountedNotFatal) {
    ScratchDir copy;
    fs::copy(weakDir(), copy.path(), fs::copy_options::recursive);
    auto const csv = readCsvOutput(copy.path());
    ASSERT_EQ(csv.files.size(), 1u);
    std::string const original = copy / csv.files.front();
    // A file still being written is read up to its last whole row.
    fs::copy_file(original, original + ".tmp");
    std::ofstream(original + ".tmp", std::ios::app) << "1700000000000,TLS,192.0.2.9,\"cut";
    // An SNI with commas and quotes stays one cell; a line of garbage is counted.
    auto cells = csv.rows.front();
    std::string const server = "192.0.2.7:8443";
    cells[ServerIPAddress] = "192.0.2.7";
    cells[ServerPortNumber] = "8443";
    cells[SNI] = "\"odd,\"\"name\"\",here\"";
    {
        std::ofstream extra(copy / "z_extra.csv");
        extra << csvHeader << "\n" << joinCells(cells) << "\nthis is no row\n";
    }
    // JSON lines are read, but not the JSON twin of a CSV file (both formats of the same rows).
    std::ofstream(copy / "z_extra.json") << R"({"destination":{"ip":"192.0.2.8","port":443}})" << "\n";
    std::ofstream(copy / "y.json.tmp") << R"({"@timestamp":"2023-11-14T22:13:20.000Z","network":{"protocol":"tls"},)"
                                       << R"("destination":{"ip":"192.0.2.9","port":443},"tls":{"version":"1.2",)"
                                       << R"("version_protocol":"tls","client":{"server_name":"json.example"}}})" << "\n";
    // A certificate that the store lost.
    std::string leaf;
    for (auto const& row : csv.rows)
        if (!row[ServerCertificateChain].empty()) leaf = split(row[ServerCertificateChain], ':').front();
    ASSERT_EQ(leaf.size(), 40u);
    fs::remove(copy.path() / leaf.substr(0, 2) / leaf.substr(2, 2) / (leaf + ".pem"));

    auto const run = runReport("--now 2030-01-01 " + shellQuote(copy.path().string()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.json["input"]["files"], 4);
    EXPECT_EQ(run.json["input"]["json_files"], 1);
    EXPECT_EQ(run.json["input"]["open_files"], 2);
    EXPECT_EQ(run.json["input"]["open_file_rows"], csv.rows.size() + 1);
    EXPECT_EQ(run.json["input"]["rows"], 2 * csv.rows.size() + 2);
    EXPECT_EQ(run.json["input"]["malformed_lines"], 1);
    EXPECT_EQ(run.json["input"]["missing_certificates"], 1);
    Json const* odd = serverEntry(run.json, server);
    ASSERT_TRUE(odd);
    EXPECT_EQ((*odd)["snis"], Json::array({"odd,\"name\",here"}));
    ASSERT_TRUE(serverEntry(run.json, "192.0.2.9:443"));
    EXPECT_EQ((*serverEntry(run.json, "192.0.2.9:443"))["snis"], Json::array({"json.example"}));
    EXPECT_FALSE(serverEntry(run.json, "192.0.2.8:443"));

    auto const missing = runReport(shellQuote(copy.path().string()) + " " + shellQuote(copy / "no-such-dir"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    EXPECT_TRUE(missing.out.empty());

    // A page that cannot be written says why.
    auto const unwritable = runReport(shellQuote(copy.path().string()) + " -o " + shellQuote(copy / "no-such-dir/r.html"));
    EXPECT_NE(unwritable.status, 0);
    EXPECT_EQ(unwritable.err, "varno-report: cannot write " + copy / "no-such-dir/r.html" + ": No such file or directory\n");
}

TEST_F(ReportEndToEnd, PostQuantumOfferedAndPicked) {
    // Rows as the monitor writes them with -m 1, each with a ClientHello that offers
    // X25519MLKEM768; the servers pick x25519, X25519MLKEM768 and (over IPv6) x25519.
    auto const hello = report_test::exampleHello();
    std::string const cell = "\"{\"\"ClientHello\"\":\"\"" + base64_encode(hello.data(), uint32_t(hello.size())) + "\"\"}\"";
    ScratchDir dir;
    {
        std::ofstream out(dir / "pq.csv");
        out << csvHeader << "\n";
        auto row = [&](char const* server, char const* group, uint64_t ms) {
            out << ms << ",TLS,192.0.2.1,50000,," << server << ",443,,TLSv1.3,example.com,0x1301,," << group
                << ",,0,,0,0,," << cell << "\n";
        };
        row("198.51.100.1", "0x001d", 1700000000000);
        row("198.51.100.2", "0x11ec", 1700003600000);
        row("2001:db8::1", "0x001d", 1700007200000);
    }
    auto const run = runReport(shellQuote(dir.path().string()));
    ASSERT_EQ(run.status, 0) << run.err;
    Json const& r = run.json;
    EXPECT_EQ(r["tls13_groups"]["handshakes"], 3);
    EXPECT_EQ(r["tls13_groups"]["post_quantum"], 1);
    EXPECT_EQ(r["tls13_groups"]["trend"].size(), 3u);
    EXPECT_EQ(r["client_hellos"]["post_quantum_offered"], 3);
    EXPECT_EQ(r["client_hellos"]["post_quantum_picked"], 1);
    EXPECT_EQ(r["client_hellos"]["ja4_top"][0]["ja4"], "t13d1516h2_8daaf6152771_e5627efa2ab1");
    EXPECT_EQ(findingsOf(r, "198.51.100.1:443"), std::set<std::string>{"pq-offered-not-picked"});
    EXPECT_EQ(findingsOf(r, "[2001:db8::1]:443"), std::set<std::string>{"pq-offered-not-picked"});
    EXPECT_TRUE(findingsOf(r, "198.51.100.2:443").empty());
}

}  // namespace
