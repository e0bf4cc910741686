// Row formatting, the HandshakeMessages cell and the certificate store, written to a real
// temporary directory and read back byte for byte.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "export/export_fixture.h"
#include "record/base64.h"
#include "record/cells.h"
#include "support/csv.h"

using namespace export_test;

namespace {

std::string const& header = varno_test::csv::csvHeader;

const std::string abcDigest = "a9993e364706816aba3e25717850c26c9cd0d89d";
const std::string emptyDigest = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

std::string pem(std::string const& base64) {
    return "-----BEGIN CERTIFICATE-----\n" + base64 + "\n-----END CERTIFICATE-----\n";
}

// Writes the rows into one file through openFile/closeFile and returns its text.
std::string writeFileWith(std::vector<TLSFeatures> const& rows) {
    FlowExporter exporter;
    exporter.openFile();
    std::string path = exporter.currentFile();
    for (auto const& row : rows) exporter.writeRow(row);
    exporter.closeFile();
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    return readFile(path);
}

}  // namespace

TEST_F(ExportTest, RowHoldsEveryColumnKind) {
    TLSFeatures full;
    full.connectionTimestamp = 1700000000123;
    full.clientIPAddress = "10.0.0.1";
    full.clientPortNumber = "51234";
    full.clientMACAddress = "00:1b:2c:3d:4e:5f";
    full.serverIPAddress = "93.184.216.34";
    full.serverPortNumber = "443";
    full.serverMACAddress = "66:77:88:99:aa:bb";
    full.tlsVersion = "TLSv1.2";
    full.versionCode = 0x0303;
    full.sni = "example.com";
    full.cipherSuiteCodePoint = "0xc02f";
    full.kexParameter = "0x0017";
    full.tls13KexNamedGroupCodePoint = "0x001d";
    full.serverCertificateChain = {"abc", ""};
    full.isClientAuthRequested = true;
    full.clientCertificateChain = {"abc"};
    full.isCompressed = true;
    full.keyShareExtension = std::string("\x00\x1d\x00\x01\xff", 5);
    full.handshakeMessages["ServerHello"] = std::string("\x02\x00\x00\x00", 4);
    full.handshakeMessages["ClientHello"] = std::string("\x01\x00\x00\x01\x00", 5);

    TLSFeatures ssl;
    ssl.tlsVersion = "SSLv3.0";
    ssl.versionCode = 0x0300;
    ssl.isRenegotiated = true;
    ssl.sni = "a,b\"c\nd";  // hostile: needs quoting
    ssl.kexParameter = "x\ry";
    ssl.clientIPAddress = std::string("\xff;'", 3);  // unusual but harmless: unchanged

    TLSFeatures quic;
    quic.transport = TLSFeatures::Transport::Quic;
    quic.tlsVersion = "TLSv1.3";
    quic.versionCode = 0x0304;

    std::string text = writeFileWith({full, TLSFeatures{}, ssl, quic});
    EXPECT_EQ(text,
              std::string(header) + "\n" +
                  "1700000000123,TLS,10.0.0.1,51234,00:1b:2c:3d:4e:5f,93.184.216.34,443,66:77:88:99:aa:bb,TLSv1.2,"
                  "example.com,0xc02f,0x0017,0x001d," +
                  abcDigest + ":" + emptyDigest + ",1," + abcDigest +
                  ",0,1,AB0AAf8=,\"{\"\"ClientHello\"\":\"\"AQAAAQA=\"\",\"\"ServerHello\"\":\"\"AgAAAA==\"\"}\"\n"
                  "0,SSL,,,,,,,,,,,,,0,,0,0,,\"\"\n"
                  "0,SSL,\xff;',,,,,,SSLv3.0,\"a,b\"\"c\nd\",,\"x\ry\",,,0,,1,0,,\"\"\n"
                  "0,QUIC,,,,,,,TLSv1.3,,,,,,0,,0,0,,\"\"\n");
    EXPECT_EQ(std::string(header).size(), 344u);

    EXPECT_EQ(readFile(dir / "a9" / "99" / (abcDigest + ".pem")), pem("YWJj"));
    EXPECT_EQ(readFile(dir / "da" / "39" / (emptyDigest + ".pem")), pem(""));
}

TEST_F(ExportTest, HandshakeMessagesCell) {
    auto const encode = [](std::map<std::string, std::string> const& messages) {
        std::string cell;
        records::appendHandshakeMessages(cell, messages);
        return cell;
    };
    EXPECT_EQ(encode({}), "");

    std::map<std::string, std::string> messages;
    messages["ServerHello"] = "abc";
    messages["ClientHello"] = std::string("\0\xff", 2);
    messages["ClientCertificates"] = "";
    std::string cell = encode(messages);
    EXPECT_EQ(cell, R"({"ClientCertificates":"","ClientHello":"AP8=","ServerHello":"YWJj"})");

    messages["Certificate"] = std::string(5000, '\0');
    cell = encode(messages);
    // The reference: nlohmann's compact serialisation of the object.
    nlohmann::json object = nlohmann::json::object();
    for (auto const& [name, bytes] : messages) object[name] = base64Text(bytes);
    EXPECT_EQ(cell, object.dump());
    EXPECT_TRUE(std::all_of(cell.begin(), cell.end(), [](char c) { return c > ' ' && c < 0x7f; }));
}

TEST_F(ExportTest, CertificateStoreWritesEachDigestOnce) {
    FlowExporter exporter;
    EXPECT_EQ(exporter.writeCertificates({}), "");
    EXPECT_TRUE(fs::is_empty(dir));

    std::string big(5000, '\x30');
    std::string bigDigest = sha1Hex(big);
    EXPECT_EQ(exporter.writeCertificates({"abc", big, "abc"}), abcDigest + ":" + bigDigest + ":" + abcDigest);
    std::vector<std::string> lines = splitLines(readFile(dir / bigDigest.substr(0, 2) / bigDigest.substr(2, 2) /
                                                         (bigDigest + ".pem")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].size(), 6668u);

    // Existing entries, whatever they hold or are, are never rewritten.
    fs::path abcFile = dir / "a9" / "99" / (abcDigest + ".pem");
    writeFile(abcFile, "other content");
    std::string fooDigest = "0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33";
    fs::create_directories(dir / "0b" / "ee" / (fooDigest + ".pem"));
    EXPECT_EQ(exporter.writeCertificates({"abc", "foo"}), abcDigest + ":" + fooDigest);
    EXPECT_EQ(readFile(abcFile), "other content");
    EXPECT_TRUE(fs::is_directory(dir / "0b" / "ee" / (fooDigest + ".pem")));
}

TEST_F(ExportTest, CertificateThatCannotBeStoredIsLoggedAndSkipped) {
    LogCapture log;
    writeFile(dir / "a9", "a file where the directory belongs");
    FlowExporter exporter;
    EXPECT_EQ(exporter.writeCertificates({"abc", "foo"}), abcDigest + ":0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33");
    EXPECT_TRUE(fs::exists(dir / "0b" / "ee" / "0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33.pem"));
    EXPECT_NE(log.text().find("error Cannot store certificate " + abcDigest), std::string::npos) << log.text();
}

TEST_F(ExportTest, FileNamesCarryTimestampAndSameSecondSuffix) {
    FlowExporter exporter;
    // Retry until three names fall into one second; a second boundary can split them.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string a = exporter.getOutputFilename(""), b = exporter.getOutputFilename("p"),
                    c = exporter.getOutputFilename("p");
        if (a.substr(1, 14) != c.substr(2, 14)) continue;
        EXPECT_EQ(a.size(), 19u);  // "_" + 14 digits + ".csv"
        EXPECT_EQ(a.find_first_not_of("0123456789", 1), 15u);
        EXPECT_EQ(b, "p" + a.substr(0, 15) + "_1.csv");
        EXPECT_EQ(c, "p" + a.substr(0, 15) + "_2.csv");
        return;
    }
    FAIL() << "names never fell into one second";
}

TEST_F(ExportTest, ClosingNeverReplacesAFileThatAppearedMeanwhile) {
    LogCapture log;
    FlowExporter exporter;
    exporter.openFile();
    std::string path = exporter.currentFile();
    writeFile(path, "someone else's data");
    exporter.writeRow(TLSFeatures{});
    exporter.closeFile();
    EXPECT_EQ(readFile(path), "someone else's data");
    EXPECT_EQ(splitLines(readFile(path + ".tmp")).size(), 2u);
    EXPECT_NE(log.text().find("error Cannot rename output file " + path + ".tmp"), std::string::npos) << log.text();
}
