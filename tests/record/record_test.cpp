// The record's column table against the ClickHouse schema and loader that repeat it, and the
// row reader over CSV and JSON lines text as sensors write it (and as they must not).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "record/row_reader.h"
#include "support/files.h"

namespace {

std::string sourceFile(std::string const& relative) {
    return varno_test::readFile(std::string(VARNO_SOURCE_DIR) + "/" + relative);
}

TEST(ColumnTable, SchemaAndLoaderFollowIt) {
    std::string expectedColumns, expectedHeader;
    for (auto const& column : records::columns) {
        expectedColumns += (expectedColumns.empty() ? "" : ", ") + std::string(column.clickHouse);
        expectedHeader += (expectedHeader.empty() ? "" : ",") + std::string(column.name);
    }
    EXPECT_EQ(records::csvHeader(), expectedHeader);

    // The handshakes table's columns up to those the loader adds (Sensor, FileId, ...).
    std::string const schema = sourceFile("scripts/clickhouse/schema.sql");
    std::smatch table;
    ASSERT_TRUE(std::regex_search(schema, table, std::regex(R"(CREATE TABLE IF NOT EXISTS handshakes\s*\(([^;]*?)\n\s*Sensor )")));
    std::string columns;
    std::istringstream lines(table[1].str());
    for (std::string line; std::getline(lines, line);) {
        line = std::regex_replace(line, std::regex(R"(^\s+|,?\s*$)"), "");
        if (!line.empty()) columns += (columns.empty() ? "" : ", ") + line;
    }
    EXPECT_EQ(columns, expectedColumns);

    std::string const loader = sourceFile("scripts/clickhouse/varno_clickhouse_load.py");
    std::smatch header;
    ASSERT_TRUE(std::regex_search(loader, header, std::regex(R"(\nHEADER = \[([^\]]*)\])")));
    std::string const names = std::regex_replace(header[1].str(), std::regex(R"([\s"])"), "");
    EXPECT_EQ(names, expectedHeader + ",");
}

// Cells of a row by the table's names; the rest of the 20 are empty.
using Cells = std::map<records::Column, std::string>;

std::vector<std::string> rowOf(Cells const& cells) {
    std::vector<std::string> row(records::columnCount);
    for (auto const& [column, text] : cells) row[column] = text;
    return row;
}

std::string const empties(records::columnCount - 2, ',');  // after two cells

struct ReaderCase {
    char const* what;
    std::string file;  // its name decides the format and whether it is still being written
    std::string text;
    std::vector<std::vector<std::string>> rows;  // read, in order
    size_t malformed;
};

std::vector<ReaderCase> readerCases() {
    std::string const header = records::csvHeader() + "\n";
    auto row = [](Cells const& cells) { return rowOf(cells); };
    return {
        {"plain rows, CRLF and a last line without its break", "a.csv",
         header + "1,TLS" + empties + "\r\n\n2,QUIC" + empties,
         {row({{records::ConnectionTimestamp, "1"}, {records::ProtocolType, "TLS"}}),
          row({{records::ConnectionTimestamp, "2"}, {records::ProtocolType, "QUIC"}})},
         0},
        {"quoted commas, quotes and line breaks", "a.csv",
         "1,TLS,,,,,,,,\"a,\"\"b\"\"\nc\r\nd\",,,,,0,,0,0,,\"{\"\"ClientHello\"\":\"\"AA==\"\"}\"\n",
         {row({{records::ConnectionTimestamp, "1"},
               {records::ProtocolType, "TLS"},
               {records::SNI, "a,\"b\"\nc\r\nd"},
               {records::IsClientAuthRequested, "0"},
               {records::IsRenegotiated, "0"},
               {records::IsCompressed, "0"},
               {records::HandshakeMessages, "{\"ClientHello\":\"AA==\"}"}})},
         0},
        {"damage costs the lines it is on", "a.csv",
         "this is no row\n1,\"open" + empties + "\n3,TLS" + empties + ",extra\n4,a\"b" + empties + "\n5,TLS" + empties +
             "\n",
         {row({{records::ConnectionTimestamp, "5"}, {records::ProtocolType, "TLS"}})},
         4},
        {"a file being written: its last row is not whole yet", "a.csv.tmp",
         header + "1,TLS" + empties + "\n2,TLS,,,,,,,,\"cut\nshort",
         {row({{records::ConnectionTimestamp, "1"}, {records::ProtocolType, "TLS"}})},
         0},
        {"JSON lines, nested and flat, flags left out as not set", "a.json.tmp",
         R"({"@timestamp":"2023-11-14T22:13:20.123Z","network":{"protocol":"tls"},"source":{"ip":"192.0.2.1","port":5,"mac":"0A-0B-0C-0D-0E-0F"},)"
         R"("tls":{"version":"1.2","version_protocol":"tls","client":{"server_name":"a\nb"}},)"
         R"("varno":{"compressed":true,"server":{"certificate_digests":["ab","cd"]},"handshake_messages":{"ClientHello":"AA=="}}})"
         "\n"
         R"({"network.protocol":"tls","tls.version":"3.0","tls.version_protocol":"ssl","varno.renegotiated":false})"
         "\nnot json\n"
         R"({"network.protocol":"quic")",
         {row({{records::ConnectionTimestamp, "1700000000123"},
               {records::ProtocolType, "TLS"},
               {records::ClientIPAddress, "192.0.2.1"},
               {records::ClientPortNumber, "5"},
               {records::ClientMACAddress, "0a:0b:0c:0d:0e:0f"},
               {records::TLSVersion, "TLSv1.2"},
               {records::SNI, "a\nb"},
               {records::ServerCertificateChain, "ab:cd"},
               {records::IsClientAuthRequested, "0"},
               {records::IsRenegotiated, "0"},
               {records::IsCompressed, "1"},
               {records::HandshakeMessages, R"({"ClientHello":"AA=="})"}}),
          row({{records::ProtocolType, "SSL"},
               {records::TLSVersion, "SSLv3.0"},
               {records::IsClientAuthRequested, "0"},
               {records::IsRenegotiated, "0"},
               {records::IsCompressed, "0"}})},
         1},
    };
}

TEST(RowReader, ReadsWhatIsWholeAndCountsTheRest) {
    varno_test::ScratchDir dir;
    for (auto const& c : readerCases()) {
        std::string const path = dir / c.file;
        varno_test::writeFile(path, c.text);
        records::RowReader reader(path);
        ASSERT_TRUE(reader.opened()) << c.what;
        std::vector<std::vector<std::string>> rows;
        size_t malformed = 0;
        records::RowCells cells;
        for (records::RowReader::Result r; (r = reader.next(cells)) != records::RowReader::Result::End;) {
            if (r == records::RowReader::Result::Row)
                rows.emplace_back(cells.begin(), cells.end());
            else
                ++malformed;
        }
        EXPECT_EQ(rows, c.rows) << c.what;
        EXPECT_EQ(malformed, c.malformed) << c.what;
    }
}

TEST(RowCells, TypedReading) {
    uint16_t code = 0;
    uint64_t number = 0;
    EXPECT_TRUE(records::parseCode("0x13aF", code) && code == 0x13af);
    for (char const* bad : {"", "0x13a", "13af00", "0x13ag", "0X13af"}) EXPECT_FALSE(records::parseCode(bad, code)) << bad;
    EXPECT_TRUE(records::parseNumber("2048", number) && number == 2048);
    for (char const* bad : {"", "-1", "2048 ", "0x10"}) EXPECT_FALSE(records::parseNumber(bad, number)) << bad;
    std::string_view chain = "a94a8fe5ccb19ba61c4c0873d391e987982fbbd3:x:";
    EXPECT_TRUE(records::isDigest(records::takeDigest(chain)));
    EXPECT_EQ(records::takeDigest(chain), "x");
    EXPECT_EQ(records::takeDigest(chain), "");
    EXPECT_TRUE(chain.empty());
    std::string key;
    records::serverKey(key, "2001:db8::1", "443");
    EXPECT_EQ(key, "[2001:db8::1]:443");
    records::serverKey(key, "192.0.2.1", "8443");
    EXPECT_EQ(key, "192.0.2.1:8443");
    EXPECT_EQ(records::messageValue(R"({"Certificate":"QQ==","ClientHello":"AA=="})", "ClientHello"), "AA==");
    EXPECT_EQ(records::messageValue(R"({"ClientHelloX":"QQ=="})", "ClientHello"), "");
}

}  // namespace
