// Server names a client may send that break naive CSV or JSON handling: each handshake must
// come out as one row that Python's csv module and the report read back as one handshake, and
// as one JSON line holding the same name, with its name decoded and shown escaped.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e/e2e_support.h"
#include "record/row_reader.h"
#include "support/builders.h"

namespace {

using namespace e2e;
using namespace build;
using Json = nlohmann::json;

struct HostileName {
    std::string name;
    std::string shown;  // in the report: control bytes as '?'
};

std::vector<HostileName> hostileNames() {
    std::string utf8;  // 127 times "é" and an "x": 255 bytes
    for (int i = 0; i < 127; ++i) utf8 += "\xc3\xa9";
    utf8 += "x";
    return {
        {"line\nbreak.example", "line?break.example"},
        {"crlf\r\nbreak.example", "crlf??break.example"},
        {"comma,name.example", "comma,name.example"},
        {"quote\"name\".example", "quote\"name\".example"},
        {"=HYPERLINK(\"http://evil.example\",\"x\")", "=HYPERLINK(\"http://evil.example\",\"x\")"},
        {utf8, utf8},
        {std::string("nul\0name.example", 16), "nul?name.example"},
    };
}

// One TLS 1.2 handshake per name, each to a server of its own (10.9.0.N:443).
void writeCapture(std::string const& path, std::vector<HostileName> const& names) {
    std::vector<Frame> frames;
    long micros = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        Segment client, server;
        client.src = server.dst = "192.0.2.1";
        client.dst = server.src = "10.9.0." + std::to_string(i + 1);
        client.srcPort = server.dstPort = static_cast<uint16_t>(40000 + i);
        client.dstPort = server.srcPort = 443;
        server.seq = 900000;
        ClientHelloFields hello;
        hello.extensions = sniExtension(names[i].name);
        std::pair<Segment*, Bytes> const sends[] = {{&client, record(22, clientHello(hello))},
                                                    {&server, record(22, serverHello({}))},
                                                    {&client, record(20, {1})},
                                                    {&server, record(20, {1})}};
        for (auto const& [segment, payload] : sends) {
            segment->payload = payload;
            frames.push_back({ethernet(ipv4(*segment)), 1700000000 + micros / 1000000, micros % 1000000});
            segment->seq += static_cast<uint32_t>(payload.size());
            micros += 2500;
        }
    }
    ASSERT_TRUE(writePcap(path, DLT_EN10MB, frames));
}

std::string hex(std::string const& bytes) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

TEST(HostileNames, EachIsOneHandshakeThroughCsvJsonAndReport) {
    std::vector<HostileName> const names = hostileNames();
    ASSERT_EQ(names[5].name.size(), 255u);
    ScratchDir scratch;
    writeCapture(scratch / "names.pcap", names);
    auto const run = runVarno("-p " + shellQuote(scratch / "names.pcap") + " -o " + shellQuote(scratch / "out") +
                              " --format both");
    ASSERT_EQ(run.status, 0) << run.err;

    // The rows by the project's reader and by Python's csv module: SNI by server address.
    std::map<std::string, std::string> ours, python, jsonLines;
    for (auto const& entry : fs::directory_iterator(scratch / "out")) {
        if (entry.path().extension() == ".json") {
            std::istringstream lines(readFile(entry.path()));
            for (std::string line; std::getline(lines, line);) {
                Json const object = Json::parse(line);  // throws, failing the test, on a line that is no JSON
                jsonLines[object["destination"]["ip"]] = object["tls"]["client"]["server_name"];
            }
        }
        if (entry.path().extension() != ".csv") continue;
        records::RowReader reader(entry.path().string());
        records::RowCells cells;
        for (records::RowReader::Result r; (r = reader.next(cells)) != records::RowReader::Result::End;) {
            ASSERT_EQ(r, records::RowReader::Result::Row) << reader.problem();
            ours[std::string(cells[records::ServerIPAddress])] = cells[records::SNI];
        }
        auto const read = runShell("python3 -c 'import csv,sys\n"
                                   "rows = list(csv.reader(open(sys.argv[1], newline=\"\", encoding=\"utf-8\")))\n"
                                   "for r in rows[1:]: print(len(r), r[5], r[9].encode().hex())' " +
                                   shellQuote(entry.path().string()));
        ASSERT_EQ(read.status, 0) << read.err;
        std::istringstream lines(read.out);
        for (std::string count, address, name; lines >> count >> address >> name;) {
            EXPECT_EQ(count, "20") << address;
            python[address] = name;
        }
    }

    auto const report = runShell(std::string(VARNO_REPORT_BINARY) + " --json " + shellQuote(scratch / "r.json") +
                                 " --cbom " + shellQuote(scratch / "c.json") + " " + shellQuote(scratch / "out"));
    ASSERT_EQ(report.status, 0) << report.err;
    Json const summary = Json::parse(readFile(scratch / "r.json"));
    std::string const cbom = readFile(scratch / "c.json");
    EXPECT_EQ(summary["input"]["rows"], names.size());
    EXPECT_EQ(summary["input"]["malformed_lines"], 0);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string const address = "10.9.0." + std::to_string(i + 1);
        EXPECT_EQ(ours[address], names[i].name) << i;
        EXPECT_EQ(python[address], hex(names[i].name)) << i;
        EXPECT_EQ(jsonLines[address], names[i].name) << i;
        bool found = false;
        for (auto const& s : summary["servers"])
            if (s["server"] == address + ":443") {
                found = true;
                EXPECT_EQ(s["snis"], Json::array({names[i].shown})) << i;
            }
        EXPECT_TRUE(found) << address;
        EXPECT_NE(cbom.find(Json(names[i].shown).dump()), std::string::npos) << i;
    }
}

}  // namespace
