// The real binary over our own captures: row counts against the manifest, the exact rows of
// a few known connections, the certificate store, key shares, saved messages, the log, a
// capture without TLS, and several connections still live when the file ends.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <regex>
#include <set>

#include "e2e/e2e_support.h"
#include "support/builders.h"
#include "support/certificates.h"
#include "support/tmpfs.h"
#include "tls/handshake_stream.h"

namespace {

using namespace e2e;

std::string dataCapture(std::string const& name) { return sourcePath("tests/data/" + name); }

// Runs varno over a capture into scratch/out and reads the CSV files back.
struct FileRun {
    ScratchDir scratch;
    std::string output = scratch / "out";
    RunResult result;
    CsvOutput csv;

    // `capture` is a path, or shell text when not `quote`.
    FileRun(std::string const& capture, std::string const& flags = "", bool quote = true) {
        result = runVarno("-p " + (quote ? shellQuote(capture) : capture) + " -o " + shellQuote(output) + " " + flags);
        csv = readCsvOutput(output);
    }
};

// The run ended well, printed nothing, and left only complete files with the exact header
// and 20 cells a row.
void expectWellFormed(FileRun const& run, std::string const& what) {
    EXPECT_EQ(run.result.status, 0) << what << ": " << run.result.err;
    EXPECT_EQ(run.result.err, "") << what;
    EXPECT_EQ(run.result.out, "") << what;
    EXPECT_TRUE(run.csv.tmpFiles.empty()) << what << ": a file was left under its .tmp name";
    for (auto const& header : run.csv.headers) EXPECT_EQ(header, csvHeader) << what;
    for (auto const& row : run.csv.rows) EXPECT_EQ(row.size(), size_t{ColumnCount}) << what << ": " << joinCells(row);
}

std::set<std::string> column(CsvOutput const& csv, Column which) {
    std::set<std::string> values;
    for (auto const& row : csv.rows) values.insert(row.at(which));
    return values;
}

// Values read from the captures with tshark (hello fields, ServerKeyExchange) and the
// manifest (RSA key sizes: the modulus length of the leaf certificate's key).
TEST(EndToEndFile, KnownConnectionsColumnByColumn) {
    struct Case {
        std::string capture;
        std::vector<std::string> rows;
    };
    std::vector<Case> const cases = {
        {"t12_ecdhe_rsa_sni.pcap",
         {"1796635315293,TLS,127.0.0.1,38488,00:00:00:00:00:00,127.0.0.1,47401,00:00:00:00:00:00,"
          "TLSv1.2,demo.example,0xc02f,0x001d,,,0,,0,0,,\"\""}},
        {"t12_rsa_kx_chain2.pcap",
         {"1796635316325,TLS,127.0.0.1,40728,00:00:00:00:00:00,127.0.0.1,47402,00:00:00:00:00:00,"
          "TLSv1.2,,0x009c,2048,,,0,,0,0,,\"\""}},
        {"t12_dhe_rsa_ffdhe2048.pcap",
         {"1796635317409,TLS,127.0.0.1,35484,00:00:00:00:00:00,127.0.0.1,47403,00:00:00:00:00:00,"
          "TLSv1.2,,0x009f,2048,,,0,,0,0,,\"\""}},
        {"t10_ecdhe_rsa.pcap",
         {"1796635318453,TLS,127.0.0.1,33522,00:00:00:00:00:00,127.0.0.1,47404,00:00:00:00:00:00,"
          "TLSv1.0,demo.example,0xc014,0x001d,,,0,,0,0,,\"\""}},
        {"t12_client_auth.pcap",
         {"1796635320838,TLS,127.0.0.1,36142,00:00:00:00:00:00,127.0.0.1,47406,00:00:00:00:00:00,"
          "TLSv1.2,demo.example,0xc030,0x001d,,,1,,0,0,,\"\""}},
        {"t13_hrr.pcap",
         {"1796635327393,TLS,127.0.0.1,59376,00:00:00:00:00:00,127.0.0.1,47411,00:00:00:00:00:00,"
          "TLSv1.3,demo.example,0x1302,,0x0017,,0,,0,0,,\"\""}},
        // Linux cooked capture: no MAC addresses.
        {"lt_linux_sll.pcap",
         {"1796635331989,TLS,127.0.0.1,52368,,127.0.0.1,47421,,TLSv1.2,demo.example,0xc02f,0x001d,,,0,,0,0,,\"\"",
          "1796635332003,TLS,127.0.0.1,52380,,127.0.0.1,47421,,TLSv1.3,demo.example,0x1302,,0x001d,,0,,0,0,,\"\""}},
        // Certificates over many 512-byte records; the key size is the leaf's.
        {"t12_rsa_kx_leaf1024_frag512.pcap",
         {"1796650321087,TLS,127.0.0.1,56946,00:00:00:00:00:00,127.0.0.1,47440,00:00:00:00:00:00,"
          "TLSv1.2,,0x009c,1024,,,0,,0,0,,\"\""}},
        {"t12_rsa_kx_leaf4096_frag512_client_auth.pcap",
         {"1796650322489,TLS,127.0.0.1,58768,00:00:00:00:00:00,127.0.0.1,47441,00:00:00:00:00:00,"
          "TLSv1.2,,0x003d,4096,,,1,,0,0,,\"\""}},
        // The ClientHello rides on the SYN (TCP Fast Open).
        {"tfo_clienthello_in_syn.pcap",
         {"1796650323958,TLS,127.0.0.1,42626,00:00:00:00:00:00,127.0.0.1,47442,00:00:00:00:00:00,"
          "TLSv1.2,,0xc030,0x001d,,,0,,0,0,,\"\""}},
        // The demo's second row: RSA key exchange with a 2048-bit leaf.
        {"examples/demo.pcap",
         {"1796635335655,TLS,127.0.0.1,58460,00:00:00:00:00:00,127.0.0.1,47430,00:00:00:00:00:00,"
          "TLSv1.2,demo.example,0xc02f,0x001d,,,1,,0,0,,\"\"",
          "1796635335669,TLS,127.0.0.1,58464,00:00:00:00:00:00,127.0.0.1,47430,00:00:00:00:00:00,"
          "TLSv1.2,demo.example,0x009c,2048,,,1,,0,0,,\"\"",
          "1796635335677,TLS,127.0.0.1,58474,00:00:00:00:00:00,127.0.0.1,47430,00:00:00:00:00:00,"
          "TLSv1.3,demo.example,0x1302,,0x001d,,0,,0,0,,\"\"",
          "1796635335688,TLS,127.0.0.1,58476,00:00:00:00:00:00,127.0.0.1,47430,00:00:00:00:00:00,"
          "TLSv1.3,www.demo.example,0x1302,,0x0017,,0,,0,0,,\"\""}},
    };
    for (auto const& [capture, rows] : cases) {
        FileRun run(capture.find('/') == std::string::npos ? dataCapture(capture) : sourcePath(capture));
        expectWellFormed(run, capture);
        std::vector<std::string> lines;
        for (auto const& row : run.csv.rows) lines.push_back(joinCells(row));
        EXPECT_EQ(lines, rows) << capture;
    }
}

TEST(EndToEndFile, CertificatesAreStoredOnceByTheirDigest) {
    if (!haveTool("openssl version")) GTEST_SKIP() << "openssl not installed";
    FileRun run(dataCapture("t12_client_auth.pcap"), "-c");
    expectWellFormed(run, "t12_client_auth -c");
    ASSERT_EQ(run.csv.rows.size(), 1u);
    auto const& row = run.csv.rows[0];

    auto const serverChain = split(row[ServerCertificateChain], ':');
    auto const clientChain = split(row[ClientCertificateChain], ':');
    EXPECT_EQ(serverChain.size(), 2u) << row[ServerCertificateChain];
    EXPECT_EQ(clientChain.size(), 2u) << row[ClientCertificateChain];
    EXPECT_EQ(row[IsClientAuthRequested], "1");
    // Both peers send the same intermediate; the leaves differ.
    EXPECT_EQ(serverChain.back(), clientChain.back());
    EXPECT_NE(serverChain.front(), clientChain.front());

    std::set<std::string> digests(serverChain.begin(), serverChain.end());
    digests.insert(clientChain.begin(), clientChain.end());
    size_t pemFiles = 0;
    for (auto const& entry : fs::recursive_directory_iterator(run.output))
        if (entry.path().extension() == ".pem") ++pemFiles;
    EXPECT_EQ(pemFiles, digests.size()) << "one file per distinct certificate";

    for (auto const& digest : digests) {
        ASSERT_EQ(digest.size(), 40u) << digest;
        fs::path const pem = fs::path(run.output) / digest.substr(0, 2) / digest.substr(2, 2) / (digest + ".pem");
        ASSERT_TRUE(fs::is_regular_file(pem)) << pem;
        auto const lines = split(readFile(pem), '\n');
        ASSERT_EQ(lines.size(), 4u) << pem << ": BEGIN, one Base64 line, END, then the final line feed";
        EXPECT_EQ(lines[0], "-----BEGIN CERTIFICATE-----");
        EXPECT_GT(lines[1].size(), 1000u) << "the Base64 text is not wrapped";
        EXPECT_EQ(lines[2], "-----END CERTIFICATE-----");
        EXPECT_EQ(lines[3], "");
        EXPECT_EQ(certificateDigest(pem.string()), digest) << "the digest of the DER bytes";
    }

    // The switch adds the chains and changes nothing else.
    FileRun plain(dataCapture("t12_client_auth.pcap"));
    ASSERT_EQ(plain.csv.rows.size(), 1u);
    auto withoutChains = row;
    withoutChains[ServerCertificateChain] = withoutChains[ClientCertificateChain] = "";
    EXPECT_EQ(withoutChains, plain.csv.rows[0]);
}

// A Certificate message of over 90 KB in six records: every certificate of the chain.
TEST(EndToEndFile, LongChainIsReadWhole) {
    FileRun run(dataCapture("t12_long_chain.pcap"), "-c");
    expectWellFormed(run, "t12_long_chain -c");
    ASSERT_EQ(run.csv.rows.size(), 1u);
    auto const chain = split(run.csv.rows[0][ServerCertificateChain], ':');
    EXPECT_EQ(std::set<std::string>(chain.begin(), chain.end()).size(), 51u);
    size_t pemFiles = 0;
    for (auto const& entry : fs::recursive_directory_iterator(run.output)) pemFiles += entry.path().extension() == ".pem";
    EXPECT_EQ(pemFiles, 51u);
}

// Every own capture gives the rows its manifest counts (their content is the oracle's
// test), in well-formed files, and a key share exactly on the TLS 1.3 rows.
TEST(EndToEndFile, EveryOwnCaptureGivesItsRowsWithKeySharesOnTls13) {
    auto const manifest = readManifest(dataCapture("MANIFEST.tsv"));
    ASSERT_GE(manifest.size(), 20u);
    for (auto const& entry : manifest) {
        FileRun run(dataCapture(entry.at("file")), "-k");
        expectWellFormed(run, entry.at("file"));
        EXPECT_EQ(run.csv.rows.size(), std::stoul(entry.at("expected_rows"))) << entry.at("file");
        EXPECT_LE(run.csv.files.size(), 1u) << entry.at("file");
        for (auto const& row : run.csv.rows) {
            // Only a TLS 1.3 ServerHello carries a key share.
            EXPECT_EQ(row[KeyShareExtension].empty(), row[TLSVersion] != "TLSv1.3") << entry.at("file") << ": "
                                                                                    << joinCells(row);
        }
    }
    // x25519 (0x001d), length 32, then the server's public key as tshark shows it.
    FileRun run(dataCapture("t13_x25519.pcap"), "-k");
    ASSERT_EQ(run.csv.rows.size(), 1u);
    EXPECT_EQ(run.csv.rows[0][KeyShareExtension], "AB0AIPfxvoGehRTID4GeAGqTl+IMJc4Qia9RMfdDX73DfyxT");
}

TEST(EndToEndFile, SavedMessagesAreAQuotedJsonObject) {
    FileRun run(dataCapture("several_connections.pcap"), "-m");
    expectWellFormed(run, "several_connections -m");
    ASSERT_EQ(run.csv.rows.size(), 4u);
    for (auto const& row : run.csv.rows) {
        std::string const& cell = row[HandshakeMessages];
        ASSERT_GE(cell.size(), 2u);
        EXPECT_EQ(cell.front(), '"');
        EXPECT_EQ(cell.back(), '"');
        std::string json;
        for (size_t i = 1; i + 1 < cell.size(); ++i) {
            json += cell[i];
            if (cell[i] == '"') ++i;  // quotes inside the cell are doubled
        }
        auto const messages = nlohmann::json::parse(json, nullptr, false);
        ASSERT_TRUE(messages.is_object()) << cell;
        ASSERT_TRUE(messages.contains("ClientHello")) << cell;
        ASSERT_TRUE(messages.contains("ServerHello")) << cell;
        // Base64 of the whole message: handshake type 1 and 2 in the first byte.
        EXPECT_EQ(messages["ClientHello"].get<std::string>().substr(0, 2), "AQ");
        EXPECT_EQ(messages["ServerHello"].get<std::string>().substr(0, 2), "Ag");
        // The server's Certificate is in the clear before TLS 1.3 only.
        EXPECT_EQ(messages.contains("ServerCertificates"), row[TLSVersion] != "TLSv1.3") << cell;
    }
}

TEST(EndToEndFile, DebugLogTellsTheStartAndEachStep) {
    FileRun run(dataCapture("t12_ecdhe_rsa_sni.pcap"), "-s debug");
    expectWellFormed(run, "t12_ecdhe_rsa_sni -s debug");
    std::string const log = logText(run.output);
    EXPECT_NE(log.find("] info - Starting VARNO v1.0.4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("processed ClientHello -> [127.0.0.1:38488 - 127.0.0.1:47401 (6)]"), std::string::npos) << log;
    EXPECT_NE(log.find("processed ServerHello -> [127.0.0.1:47401 - 127.0.0.1:38488 (6)]"), std::string::npos) << log;
    EXPECT_NE(log.find("ChangeCipherSpec -> [127.0.0.1:38488 - 127.0.0.1:47401 (6)]"), std::string::npos) << log;
    EXPECT_NE(log.find("ChangeCipherSpec -> [127.0.0.1:47401 - 127.0.0.1:38488 (6)]"), std::string::npos) << log;
    // The active log is rotated away when the program ends.
    EXPECT_FALSE(fs::exists(fs::path(run.output) / "varno.log"));
}

// One info record at the end says what was read, skipped, followed and written.
TEST(EndToEndFile, EndOfRunRecordCountsWhatWasSeen) {
    std::vector<std::pair<std::string, std::string>> const cases = {
        {"reuse_port.pcap",
         "frames read 25; skipped: not IP 0, other IP protocols 0, IP fragments 0, more than 8 encapsulations or "
         "VLAN tags 0, cut short 0, malformed 0; flows opened 3, rows written 3, flows dropped incomplete 0\n"},
        // Each flow without a row is counted under one reason.
        {"t12_alert_unknown_ca.pcap", "; flows opened 1, rows written 0, flows dropped incomplete 1 (fatal alert 1)\n"},
        {"no_answer.pcap", "; flows opened 1, rows written 0, flows dropped incomplete 1 (no ServerHello 1)\n"},
        {"gap_server_segment.pcap", "flows dropped incomplete 1 (gap in the TCP stream 1)\n"},
        {"cut_before_server_ccs.pcap", "flows dropped incomplete 1 (no ChangeCipherSpec from the server 1)\n"},
        {"vlan_nine_tags.pcap", "frames read 29; skipped: not IP 0, other IP protocols 0, IP fragments 0, "
                                "more than 8 encapsulations or VLAN tags 29, cut short 0, malformed 0; flows opened 0"},
    };
    for (auto const& [capture, counts] : cases) {
        ScratchDir logs;
        FileRun run(dataCapture(capture), "-s info -g " + shellQuote(logs.path().string()));
        expectWellFormed(run, capture);
        std::string const log = logText(logs.path());
        EXPECT_NE(log.find("] info - End of run: "), std::string::npos) << capture << ": " << log;
        EXPECT_NE(log.find(counts), std::string::npos) << capture << ": " << log;
    }
    // Forged QUIC Initials (random connection ID and payload) open nothing and are counted.
    ScratchDir forged;
    std::vector<build::Frame> frames;
    for (uint8_t i = 0; i < 3; ++i) {
        build::Bytes initial = {0xc3, 0, 0, 0, 1, 8, 1, 2, 3, 4, 5, 6, 7, i, 0, 0, 0x44, 0x00};
        initial.resize(1200, uint8_t(0x5a + i));
        namespace w = build::wrap;
        frames.push_back({w::ethernetFrame(w::ip(w::ipOver(false, 17, w::udp(443, initial, 50000 + i))))});
    }
    ASSERT_TRUE(build::writePcap(forged / "forged.pcap", DLT_EN10MB, frames));
    FileRun quic(forged / "forged.pcap", "-s info -g " + shellQuote(forged.path().string()));
    EXPECT_NE(logText(forged.path()).find(", malformed 0, QUIC Initials that did not decrypt 3; flows opened 0"),
              std::string::npos)
        << logText(forged.path());

    // A Certificate message one byte longer than is joined, whole in 17 segments: no row
    // rather than a chain cut short, and a reason of its own.
    build::Segment client, server;
    std::tie(server.src, server.dst, server.srcPort, server.dstPort) = std::tuple("10.0.0.2", "10.0.0.1", 443, 50000);
    client.payload = build::record(22, build::clientHello({}));
    build::Bytes flight = build::record(22, build::serverHello({}));
    build::Bytes const chain = build::handshake(11, build::Bytes(HandshakeStream::maxJoined - 3, 0x30));
    for (size_t at = 0; at < chain.size(); at += 16384)
        build::append(flight, build::record(22, build::Bytes(chain.begin() + long(at),
                                                             chain.begin() + long(std::min(chain.size(), at + 16384)))));
    std::vector<build::Frame> segments = {{build::ethernet(build::ipv4(client))}};
    for (size_t at = 0; at < flight.size(); at += 64000, server.seq += 64000) {
        server.payload.assign(flight.begin() + long(at), flight.begin() + long(std::min(flight.size(), at + 64000)));
        segments.push_back({build::ethernet(build::ipv4(server)), 1700000000, long(segments.size())});
    }
    ScratchDir tooLong;
    ASSERT_TRUE(build::writePcap(tooLong / "long.pcap", DLT_EN10MB, segments));
    FileRun longRun(tooLong / "long.pcap", "-c -s info -g " + shellQuote(tooLong.path().string()));
    EXPECT_TRUE(longRun.csv.rows.empty());
    EXPECT_NE(logText(tooLong.path()).find("flows dropped incomplete 1 (handshake message too long 1)"),
              std::string::npos)
        << logText(tooLong.path());

    // At debug level each such flow is logged once with its reason.
    ScratchDir logs;
    FileRun run(dataCapture("no_answer.pcap"), "-s debug -g " + shellQuote(logs.path().string()));
    std::string const log = logText(logs.path());
    EXPECT_NE(log.find("] debug - no row (no ServerHello) -> [127.0.0.1:38488 - 127.0.0.1:47401 (6)]"),
              std::string::npos)
        << log;
}

// A flood of unanswered hellos past a small flow memory budget goes first: the real
// handshake after it keeps its row, and the evicted flows are counted and warned about.
TEST(EndToEndFile, HelloFloodPastTheFlowMemoryBudgetIsEvictedFirst) {
    ScratchDir scratch;
    std::string const real = dataCapture("t12_ecdhe_rsa_sni.pcap");
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(real.c_str(), error);
    ASSERT_NE(handle, nullptr) << error;
    pcap_pkthdr* header = nullptr;
    u_char const* bytes = nullptr;
    ASSERT_EQ(pcap_next_ex(handle, &header, &bytes), 1);
    long const start = header->ts.tv_sec;
    pcap_close(handle);

    std::vector<build::Frame> flood;
    build::Segment hello;
    hello.payload = build::record(0x16, build::clientHello({}));
    // A flow holding one such hello costs about 600 bytes, so 40,000 pass 16 MiB.
    for (unsigned i = 0; i < 40000; ++i) {
        hello.src = "10.1." + std::to_string(i >> 8) + "." + std::to_string(i & 0xff);
        flood.push_back({build::ethernet(build::ipv4(hello)), start - 1, long(i) * 100});
    }
    fs::create_directory(scratch / "in");
    ASSERT_TRUE(build::writePcap(scratch / "in/flood.pcap", DLT_EN10MB, flood));
    fs::copy_file(real, scratch / "in/real.pcap");
    FileRun run(scratch / "in", "-F 16 -s info -g " + shellQuote(scratch.path().string()));
    expectWellFormed(run, "flood");
    ASSERT_EQ(run.csv.rows.size(), 1u);
    EXPECT_EQ(run.csv.rows[0][SNI], "demo.example");
    std::string const log = logText(scratch.path());
    EXPECT_NE(log.find("flows dropped incomplete 40000 ("), std::string::npos) << log;
    EXPECT_NE(log.find("flow memory full "), std::string::npos) << log;
    EXPECT_NE(log.find("warning - Flow memory budget of 16 MiB reached: "), std::string::npos) << log;
}

// A RST forged with a sequence number the endpoints ignore, or from a side that has sent
// nothing yet, does not end the connection early: the handshake that goes on three
// seconds later still gets its row.
TEST(EndToEndFile, ForgedResetsDoNotCutAHandshakeShort) {
    ScratchDir scratch;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(dataCapture("t12_ecdhe_rsa_sni.pcap").c_str(), error);
    ASSERT_NE(handle, nullptr) << error;
    std::vector<build::Frame> frames;
    pcap_pkthdr* header = nullptr;
    u_char const* bytes = nullptr;
    for (int i = 0; pcap_next_ex(handle, &header, &bytes) == 1; ++i) {
        long const delay = i > 3 ? 3 : 0;  // everything after the ClientHello, the fourth frame
        frames.push_back({build::Bytes(bytes, bytes + header->caplen), header->ts.tv_sec + delay, header->ts.tv_usec});
        if (i != 3) continue;
        build::Segment rst;
        rst.src = rst.dst = "127.0.0.1";
        rst.tcpFlags = 0x04;
        for (bool fromClient : {true, false}) {
            rst.srcPort = fromClient ? 38488 : 47401;
            rst.dstPort = fromClient ? 47401 : 38488;
            frames.push_back({build::ethernet(build::ipv4(rst)), header->ts.tv_sec, header->ts.tv_usec});
        }
    }
    pcap_close(handle);
    ASSERT_TRUE(build::writePcap(scratch / "forged-resets.pcap", DLT_EN10MB, frames));
    FileRun run(scratch / "forged-resets.pcap", "");
    expectWellFormed(run, "forged resets");
    EXPECT_EQ(run.csv.rows.size(), 1u);
}

TEST(EndToEndFile, CaptureWithoutTlsLeavesNoOutputDirectory) {
    ScratchDir scratch;
    std::string const capture = scratch / "plain-http.pcap";
    build::Segment request;
    request.dstPort = 80;
    request.payload = build::text("GET / HTTP/1.1\r\nHost: example.test\r\n\r\n");
    build::Segment response;
    response.src = request.dst;
    response.dst = request.src;
    response.srcPort = request.dstPort;
    response.dstPort = request.srcPort;
    response.payload = build::text("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(build::writePcap(capture, DLT_EN10MB,
                                 {{build::ethernet(build::ipv4(request))},
                                  {build::ethernet(build::ipv4(response)), 1700000000, 500}}));

    FileRun run(capture);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_FALSE(fs::exists(run.output));
}

// One connection of the capture built below.
struct Peer {
    std::string address;
    uint16_t port;
};

// ClientHello with a server name, ServerHello, and each side's ChangeCipherSpec, 1 ms apart.
std::vector<build::Frame> completeHandshake(Peer const& client, Peer const& server, std::string const& serverName,
                                            long seconds) {
    build::Segment fromClient;
    fromClient.src = client.address;
    fromClient.srcPort = client.port;
    fromClient.dst = server.address;
    fromClient.dstPort = server.port;
    fromClient.seq = 1000;
    fromClient.tcpHeaderWords = 8;  // timestamps option, as real stacks send
    build::Segment fromServer = fromClient;
    std::swap(fromServer.src, fromServer.dst);
    std::swap(fromServer.srcPort, fromServer.dstPort);
    fromServer.seq = 700000;

    auto const changeCipherSpec = build::record(20, {1});
    std::vector<std::pair<build::Segment*, build::Bytes>> const flight = {
        {&fromClient, build::record(22, build::clientHello({.extensions = build::sniExtension(serverName)}))},
        {&fromServer, build::record(22, build::serverHello({}))},
        {&fromServer, changeCipherSpec},
        {&fromClient, changeCipherSpec},
    };
    build::Bytes const clientMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    build::Bytes const serverMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    std::vector<build::Frame> frames;
    long micros = 0;
    for (auto const& [segment, payload] : flight) {
        segment->payload = payload;
        bool const outbound = segment == &fromClient;
        auto const ip = build::ipv4(*segment);
        frames.push_back({outbound ? build::ethernet(ip, 0x0800, serverMac, clientMac)
                                   : build::ethernet(ip, 0x0800, clientMac, serverMac),
                          seconds, micros});
        segment->seq += static_cast<uint32_t>(payload.size());
        micros += 1000;
    }
    return frames;
}

// A capture on the host sees the frames GRO joined: here the server's whole first flight in
// one frame of more than 64 KiB (IPv4 total length 0, IPv6 payload length 0 with BIG TCP),
// holding a chain of real certificates and a request for the client's with many CA names.
TEST(EndToEndFile, FrameOfMoreThan64KiBIsReadWhole) {
    build::Bytes const certificate = build::selfSignedCertificate("RSA", 2048);
    ASSERT_FALSE(certificate.empty());
    std::vector<build::Bytes> const chain(60000 / (certificate.size() + 3), certificate);
    build::Bytes authorities;  // distinguished names, as a server that trusts many CAs sends them
    while (authorities.size() < 12000) {
        build::put16(authorities, 200);
        authorities.resize(authorities.size() + 200, 0x31);
    }
    build::Bytes requestBody = {1, 1, 0, 2, 0x04, 0x01};  // rsa_sign; rsa_pkcs1_sha256
    build::put16(requestBody, static_cast<unsigned>(authorities.size()));
    build::append(requestBody, authorities);
    build::Bytes const flight = build::concat({build::serverHello({}), build::certificateMessage(chain),
                                               build::handshake(13, requestBody), build::handshake(14, {})});
    build::Bytes serverRecords;
    for (size_t at = 0; at < flight.size(); at += 16384)
        build::append(serverRecords, build::record(22, build::Bytes(flight.begin() + at,
                                                                    flight.begin() + std::min(flight.size(), at + 16384))));
    ASSERT_GT(serverRecords.size(), 70000u);

    unsigned char digest[20];
    unsigned int digestLength = 0;
    ASSERT_EQ(EVP_Digest(certificate.data(), certificate.size(), digest, &digestLength, EVP_sha1(), nullptr), 1);
    std::string leaf;
    for (unsigned char byte : digest) leaf += "0123456789abcdef"[byte >> 4], leaf += "0123456789abcdef"[byte & 15];

    for (bool const v6 : {false, true}) {
        build::Segment client;
        client.totalLengthOverride = 0;
        if (v6) client.src = "fd00::1", client.dst = "fd00::2";
        build::Segment server = client;
        std::swap(server.src, server.dst);
        std::swap(server.srcPort, server.dstPort);
        server.seq = 700000;
        auto frame = [&](build::Segment& from, build::Bytes const& payload, long micros) {
            from.payload = payload;
            build::Frame made{v6 ? build::ethernet(build::ipv6(from), 0x86dd) : build::ethernet(build::ipv4(from)),
                              1700000000, micros};
            from.seq += static_cast<uint32_t>(payload.size());
            return made;
        };
        auto const changeCipherSpec = build::record(20, {1});
        std::vector<build::Frame> const frames = {
            frame(client, build::record(22, build::clientHello({.extensions = build::sniExtension("gro.test")})), 0),
            frame(server, serverRecords, 1000), frame(client, changeCipherSpec, 2000),
            frame(server, changeCipherSpec, 3000)};
        ScratchDir scratch;
        ASSERT_TRUE(build::writePcap(scratch / "gro.pcap", DLT_EN10MB, frames));
        FileRun run(scratch / "gro.pcap", "-c");
        expectWellFormed(run, v6 ? "IPv6" : "IPv4");
        ASSERT_EQ(run.csv.rows.size(), 1u) << (v6 ? "IPv6" : "IPv4");
        auto const& row = run.csv.rows[0];
        EXPECT_EQ(row[SNI], "gro.test");
        EXPECT_EQ(row[IsClientAuthRequested], "1");
        std::vector<std::string> const digests = split(row[ServerCertificateChain], ':');
        EXPECT_EQ(digests, std::vector<std::string>(chain.size(), leaf)) << row[ServerCertificateChain].substr(0, 100);
    }
}

TEST(EndToEndFile, FlowsLiveAtTheEndAreAllExportedInKeyOrder) {
    // Four connections opened a second apart, so none has expired when the file ends. The key
    // order compares addresses as little-endian values of their octets (last octet first),
    // then ports; it differs from both the opening order and the dotted-text order.
    struct Connection {
        Peer client, server;
        std::string name;
    };
    std::vector<Connection> const opened = {
        {{"10.0.0.3", 50000}, {"10.0.0.200", 443}, "x.test"},
        {{"200.0.0.9", 50002}, {"10.0.0.2", 8443}, "z.test"},  // the server address is the lower one
        {{"20.0.0.1", 50001}, {"30.0.0.9", 443}, "y.test"},
        {{"10.0.0.3", 40000}, {"10.0.0.200", 443}, "w.test"},
    };
    std::vector<build::Frame> frames;
    long seconds = 1700000000;
    for (auto const& connection : opened)
        for (auto& frame : completeHandshake(connection.client, connection.server, connection.name, seconds++))
            frames.push_back(std::move(frame));

    ScratchDir scratch;
    std::string const capture = scratch / "live-at-end.pcap";
    ASSERT_TRUE(build::writePcap(capture, DLT_EN10MB, frames));
    FileRun run(capture);
    expectWellFormed(run, "live-at-end");
    ASSERT_EQ(run.csv.rows.size(), 4u);

    std::vector<std::string> names, clients, servers;
    for (auto const& row : run.csv.rows) {
        names.push_back(row[SNI]);
        clients.push_back(row[ClientIPAddress] + ":" + row[ClientPortNumber]);
        servers.push_back(row[ServerIPAddress] + ":" + row[ServerPortNumber]);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"y.test", "z.test", "w.test", "x.test"}));
    EXPECT_EQ(clients, (std::vector<std::string>{"20.0.0.1:50001", "200.0.0.9:50002", "10.0.0.3:40000",
                                                 "10.0.0.3:50000"}));
    EXPECT_EQ(servers,
              (std::vector<std::string>{"30.0.0.9:443", "10.0.0.2:8443", "10.0.0.200:443", "10.0.0.200:443"}));
    EXPECT_EQ(run.csv.rows[0][ConnectionTimestamp], "1700000002000");
    EXPECT_EQ(run.csv.rows[0][ClientMACAddress], "02:00:00:00:00:01");
    EXPECT_EQ(run.csv.rows[0][ServerMACAddress], "02:00:00:00:00:02");
}

}  // namespace

namespace {

// A directory is read as one stream in the order of each file's first capture time: one
// connection cut in two across files of different link types is one flow, whatever the
// names say; files that are not captures are left alone.
TEST(EndToEndFile, DirectoryIsOneStreamInCaptureTimeOrder) {
    auto frames = completeHandshake({"10.1.0.1", 50000}, {"10.1.0.2", 443}, "split.test", 1700000000);
    std::vector<build::Frame> secondHalf;
    for (size_t i = 2; i < frames.size(); ++i) {
        build::Frame frame = frames[i];
        frame.bytes.erase(frame.bytes.begin(), frame.bytes.begin() + 14);  // raw IPv4 from here on
        secondHalf.push_back(frame);
    }
    frames.resize(2);

    ScratchDir scratch;
    fs::create_directories(scratch / "archive/nested");
    ASSERT_TRUE(build::writePcap(scratch / "archive/b-first.pcap", DLT_EN10MB, frames));
    ASSERT_TRUE(build::writePcap(scratch / "archive/a-second.pcap", DLT_RAW, secondHalf));
    fs::copy_file(dataCapture("lt_pcapng.pcapng"), scratch / "archive/no-extension");
    varno_test::writeFile(scratch / "archive/notes.txt", "not a capture\n");

    // Files named one by one (a shell's glob, in name order) are the same one stream.
    std::string const archive = shellQuote(scratch / "archive");
    for (std::string const& input : {archive, archive + "/*.pcap " + archive + "/no-extension"}) {
        FileRun run(input, "", false);
        expectWellFormed(run, input);
        EXPECT_EQ(column(run.csv, SNI), (std::set<std::string>{"split.test", "demo.example"}));
        ASSERT_EQ(run.csv.rows.size(), 3u) << "the split connection once, the pcapng file's two";
        EXPECT_EQ(run.csv.rows[0][SNI], "split.test");
        EXPECT_EQ(run.csv.rows[0][ClientMACAddress], "02:00:00:00:00:01");
    }
}

// A pipe (tcpdump -w - | varno -p -) is as live as a device: a connection that both sides
// closed gets its row about a second later, while the pipe stays open and quiet.
TEST(EndToEndFile, PipeGivesEachRowWhileItIsOpen) {
    ScratchDir scratch;
    std::string const output = scratch / "out";
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ChildProcess child({VARNO_BINARY, "-p", "-", "-o", output}, scratch / "stderr", pipeEnds[0]);
    ::close(pipeEnds[0]);
    ASSERT_TRUE(child.started());
    // Rows written so far, in the files still open (".csv.tmp") and those closed.
    auto rowsWritten = [&] {
        size_t rows = 0;
        if (fs::is_directory(output))
            for (auto const& entry : fs::directory_iterator(output)) {
                std::string const text = readFile(entry.path());
                if (entry.path().string().find(".csv") != std::string::npos && !text.empty())
                    rows += size_t(std::count(text.begin(), text.end(), '\n')) - 1;
            }
        return rows;
    };
    // Two captures of one link type, each a whole connection ending with both FINs: one
    // header, then the first connection's frames, later the second's.
    std::vector<std::string> const parts = {readFile(dataCapture("t12_ecdhe_rsa_sni.pcap")),
                                            readFile(dataCapture("t13_x25519.pcap")).substr(24)};
    for (size_t expected = 1; expected <= parts.size(); ++expected) {
        std::string const& frames = parts[expected - 1];
        ASSERT_EQ(::write(pipeEnds[1], frames.data(), frames.size()), ssize_t(frames.size()));
        auto const start = std::chrono::steady_clock::now();
        while (rowsWritten() < expected && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(rowsWritten(), expected) << "after " << seconds << " s: " << readFile(scratch / "stderr");
        std::cout << "row " << expected << " of the open pipe after " << seconds << " s\n";
    }
    ::close(pipeEnds[1]);
    EXPECT_EQ(child.wait(std::chrono::seconds(20)), 0) << readFile(scratch / "stderr");
    EXPECT_EQ(readCsvOutput(output).rows.size(), 2u);
}

// A person at a terminal sees one line rewritten in place and left with the final state;
// standard error that is not a terminal stays empty.
TEST(EndToEndFile, ProgressLineOnlyOnATerminal) {
    if (!haveTool("script --version")) GTEST_SKIP() << "script (util-linux) not installed";
    ScratchDir scratch;
    std::string const output = scratch / "out";
    std::string const command = std::string(VARNO_BINARY) + " -p " +
                                shellQuote(dataCapture("t12_ecdhe_rsa_sni.pcap")) + " -o " + shellQuote(output);
    // script gives the command a pseudo-terminal, wide enough for the whole line here, and
    // copies what it shows to its own output.
    auto const terminal = runShell("script -qec " + shellQuote("stty cols 200; " + command) + " /dev/null");
    ASSERT_EQ(terminal.status, 0) << terminal.out;
    EXPECT_EQ(terminal.out.front(), '\r') << terminal.out;
    std::string const last = terminal.out.substr(terminal.out.rfind('\r', terminal.out.size() - 3) + 1);
    EXPECT_TRUE(std::regex_match(last, std::regex(R"([\d.]+ KiB of [\d.]+ KiB \(100%\), \d+ packets, 0 flows open, )"
                                                  R"(1 row, [\d.]+ [KMG]?i?B/s, done in 0:0\d\x1b\[K\r?\n)")))
        << last;
    EXPECT_EQ(readCsvOutput(output).rows.size(), 1u);

    FileRun piped(dataCapture("t12_ecdhe_rsa_sni.pcap"));
    EXPECT_EQ(piped.result.err, "");
}

}  // namespace

namespace {

// A capture of `count` complete handshakes, one a second, from client ports 20000 on.
std::string manyHandshakes(ScratchDir const& scratch, int count) {
    std::vector<build::Frame> frames;
    for (int i = 0; i < count; ++i)
        for (auto& frame : completeHandshake({"10.2.0.1", uint16_t(20000 + i)}, {"10.2.0.2", 443},
                                             "host-" + std::to_string(i) + ".full-disk.test", 1700000000 + i))
            frames.push_back(std::move(frame));
    std::string const capture = scratch / "many.pcap";
    EXPECT_TRUE(build::writePcap(capture, DLT_EN10MB, frames));
    return capture;
}

// A disk that fills up during a file run: every file holds whole rows only, the run ends
// with status 1 and one line, and the counts it gives match the files.
TEST(EndToEndFile, FullDiskLosesRowsVisiblyNeverCutsOne) {
    if (::geteuid() != 0) GTEST_SKIP() << varno_test::Tmpfs::skipReason;
    constexpr int handshakes = 2000;  // about 240 KB of rows
    for (std::string const flags : {"-t 0", "-t 100"}) {
        ScratchDir scratch;
        varno_test::Tmpfs disk(scratch.path() / "out", 64 * 1024);
        ASSERT_TRUE(disk.mounted()) << varno_test::Tmpfs::skipReason;
        std::string const logs = scratch / "logs";
        auto const result = runVarno("-s info -p " + shellQuote(manyHandshakes(scratch, handshakes)) + " -o " +
                                     shellQuote(scratch / "out") + " -g " + shellQuote(logs) + " " + flags);
        auto const csv = readCsvOutput(scratch / "out");
        size_t const written = csv.rows.size(), lost = handshakes - written;
        EXPECT_GT(written, 100u) << flags;
        EXPECT_GT(lost, 100u) << flags;
        EXPECT_EQ(result.status, 1) << flags;
        EXPECT_EQ(result.err, "Output incomplete: " + std::to_string(written) + " rows written, " +
                                  std::to_string(lost) + " rows lost, 0 certificates not stored (see the log)\n");
        EXPECT_TRUE(csv.tmpFiles.empty()) << flags;
        std::set<std::string> ports;
        for (auto const& row : csv.rows) {
            ASSERT_EQ(row.size(), size_t{ColumnCount}) << flags << ": " << joinCells(row);
            ports.insert(row[ClientPortNumber]);
        }
        EXPECT_EQ(ports.size(), written) << flags << ": every row once";
        for (auto const& file : csv.files) EXPECT_EQ(readFile(scratch / ("out/" + file)).back(), '\n') << file;
        std::string const log = logText(logs);
        EXPECT_NE(log.find("rows written " + std::to_string(written) + ", rows lost " + std::to_string(lost) + ","),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("error - Cannot write output file"), std::string::npos) << log;
    }
}

// Records that cannot be written are dropped; the capture goes on and writes every row.
TEST(EndToEndFile, FullLogDirectoryNeverStopsTheRun) {
    if (::geteuid() != 0) GTEST_SKIP() << varno_test::Tmpfs::skipReason;
    ScratchDir scratch;
    varno_test::Tmpfs disk(scratch.path() / "logs", 16 * 1024);
    ASSERT_TRUE(disk.mounted()) << varno_test::Tmpfs::skipReason;
    disk.fill();
    auto const result = runVarno("-s trace -p " + shellQuote(manyHandshakes(scratch, 300)) + " -o " +
                                 shellQuote(scratch / "out") + " -g " + shellQuote(scratch / "logs"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readCsvOutput(scratch / "out").rows.size(), 300u);
}

// Each run appends to the log; what it rotates keeps the numbering going.
TEST(EndToEndFile, LogKeepsTheRecordsOfEveryRun) {
    ScratchDir scratch;
    std::string const logs = scratch / "logs";
    for (int run = 0; run < 3; ++run) {
        auto const result = runVarno("-s info -p " + shellQuote(dataCapture("t13_x25519.pcap")) + " -o " +
                                     shellQuote(scratch / "out") + " -g " + shellQuote(logs));
        ASSERT_EQ(result.status, 0) << result.err;
    }
    std::string const log = logText(logs);
    auto count = [&](std::string const& text) {
        size_t found = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
        return found;
    };
    EXPECT_EQ(count("Starting VARNO"), 3u) << log;
    EXPECT_EQ(count("End of run"), 3u) << log;
}

}  // namespace
