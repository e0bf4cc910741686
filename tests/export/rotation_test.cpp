// The exporter fed row by row, as the analysis thread feeds it: rotation by count and age,
// file names, publication at the end, protection of existing files, hostile cells read
// back by a real CSV parser, and failures that must not stop the export.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <regex>

#include "export/export_fixture.h"
#include "record/columns.h"

using namespace export_test;

namespace {

std::string localStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[16];
    return std::string(text, std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local));
}

std::vector<std::shared_ptr<Flow>> flows(int count) {
    std::vector<std::shared_ptr<Flow>> result;
    for (int i = 0; i < count; ++i) result.push_back(makeFlow("host" + std::to_string(i) + ".example"));
    return result;
}

}  // namespace

class ExportRotationTest : public ExportTest {
protected:
    // Runs the flows and checks what any run must leave: only finished ".csv" files, named
    // prefix_timestamp[_n].csv with timestamps of the run and suffixes counting up within
    // each second, each starting with the header. Returns the row count per file.
    std::vector<size_t> runAndCheck(int count) {
        std::string before = localStamp(std::time(nullptr));
        runExporter(flows(count));
        std::string after = localStamp(std::time(nullptr));

        std::map<std::string, std::set<int>> suffixes;
        std::vector<size_t> rows;
        std::regex pattern(R"(out_(\d{14})(?:_(\d+))?\.csv)");
        for (std::string const& name : outputFiles()) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(name, match, pattern)) << name;
            if (match.empty()) continue;
            EXPECT_GE(match[1].str(), before);
            EXPECT_LE(match[1].str(), after);
            suffixes[match[1]].insert(match[2].matched ? std::stoi(match[2]) : 0);
            std::vector<std::string> lines = splitLines(readFile(dir / name));
            EXPECT_EQ(lines.at(0).substr(0, 20), "ConnectionTimestamp,");
            rows.push_back(lines.size() - 1);
        }
        for (auto const& [stamp, numbers] : suffixes)
            EXPECT_EQ(*numbers.rbegin(), int(numbers.size()) - 1) << "gap in the suffixes of " << stamp;
        return rows;
    }
};

TEST_F(ExportRotationTest, NoFlowsNoFile) {
    runExporter({});
    EXPECT_TRUE(outputFiles().empty());
}

TEST_F(ExportRotationTest, ByRowCount) {
    ExportSettings::instance().exportThreshold = 1;
    EXPECT_EQ(runAndCheck(3), (std::vector<size_t>{1, 1, 1}));

    fs::remove_all(dir);
    fs::create_directories(dir);
    ExportSettings::instance().exportThreshold = 2;
    std::vector<size_t> rows = runAndCheck(5);
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<size_t>{1, 2, 2}));

    fs::remove_all(dir);
    fs::create_directories(dir);
    ExportSettings::instance().exportThreshold = 0;  // the count never equals 0 after a row
    EXPECT_EQ(runAndCheck(3), (std::vector<size_t>{3}));
}

TEST_F(ExportRotationTest, ByAge) {
    ExportSettings::instance().exportThreshold = 0;
    struct Case { int64_t minutes; size_t files; };
    for (Case c : {Case{0, 3}, Case{-5, 3}, Case{std::numeric_limits<int64_t>::min(), 3},
                   // Beyond the 64-bit range once added to the opening time, or already when
                   // turned into nanoseconds: no age limit.
                   Case{153722867, 1}, Case{153722868, 1},
                   Case{std::numeric_limits<int64_t>::max(), 1}}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ExportSettings::instance().exportDuration = c.minutes;
        EXPECT_EQ(runAndCheck(3).size(), c.files) << c.minutes << " minutes";
    }
}

TEST_F(ExportRotationTest, ExistingFilesAreNeverTouched) {
    // Claim the names of this second and the next few, as an earlier run would have.
    std::time_t now = std::time(nullptr);
    std::map<std::string, std::string> existing;
    for (int second = 0; second < 4; ++second) {
        std::string stamp = localStamp(now + second);
        existing["out_" + stamp + ".csv"] = "earlier csv " + stamp;
        existing["out_" + stamp + "_1.csv.tmp"] = "earlier tmp " + stamp;
    }
    for (auto const& [name, text] : existing) writeFile(dir / name, text);

    ExportSettings::instance().exportThreshold = 1;
    runExporter(flows(2));

    std::set<std::string> created;
    for (std::string const& name : outputFiles()) {
        if (existing.count(name)) {
            EXPECT_EQ(readFile(dir / name), existing[name]);
        } else {
            created.insert(name);
        }
    }
    ASSERT_EQ(created.size(), 2u);
    for (std::string const& name : created) {
        EXPECT_EQ(name.substr(name.size() - 4), ".csv") << name;
        std::string stamp = name.substr(4, 14);
        if (existing.count("out_" + stamp + ".csv")) {
            EXPECT_TRUE(name == "out_" + stamp + "_2.csv" || name == "out_" + stamp + "_3.csv") << name;
        }
    }
}

TEST_F(ExportTest, HostileCellsReadBackAsTwentyColumns) {
    if (std::system("python3 -c 'import csv' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not available";
    std::vector<std::string> hostile = {"a,b", "q\"uote", "line\nfeed", "cr\rhere", "all,\"\r\n", "plain.example"};
    std::vector<std::shared_ptr<Flow>> input;
    for (std::string const& sni : hostile) input.push_back(makeFlow(sni));
    input.back()->features().handshakeMessages["ClientHello"] = "\x01\x00\x00\x00";
    runExporter(input);

    std::set<std::string> files = outputFiles();
    ASSERT_EQ(files.size(), 1u);
    std::string path = (dir / *files.begin()).string();
    EXPECT_NE(readFile(path).find(",plain.example,"), std::string::npos);  // plain cells stay unquoted

    fs::path reader = dir / "read.py";
    writeFile(reader,
              "import csv,sys\n"
              "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='latin-1')))\n"
              "for row in rows[1:]: print(len(row), row[9].encode('latin-1').hex())\n");
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(("python3 '" + reader.string() + "' '" + path + "'").c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string out;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) out.append(chunk, n);

    std::string expected;
    for (std::string const& sni : hostile) {
        expected += "20 ";
        for (unsigned char c : sni) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", c);
            expected += hex;
        }
        expected += "\n";
    }
    EXPECT_EQ(out, expected);
}

TEST_F(ExportTest, UnstorableCertificateDoesNotStopLaterRows) {
    LogCapture log;
    writeFile(dir / "a9", "a file where the certificate directory belongs");
    auto first = makeFlow("first.example");
    first->features().serverCertificateChain = {"abc"};
    auto second = makeFlow("second.example");
    second->features().serverCertificateChain = {"foo"};
    runExporter({first, second, makeFlow("third.example")});

    std::set<std::string> files = outputFiles();
    files.erase("a9");
    ASSERT_EQ(files.size(), 1u);
    std::vector<std::string> lines = splitLines(readFile(dir / *files.begin()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find(",a9993e364706816aba3e25717850c26c9cd0d89d,"), std::string::npos);
    EXPECT_NE(lines[2].find(",0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33,"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "0b" / "ee" / "0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33.pem"));
    EXPECT_NE(log.text().find("error Cannot store certificate a9993e36"), std::string::npos) << log.text();
}

// Rows that cannot be written wait, up to the bound, and go into the file in order once the
// directory is back; rows beyond the bound and certificates that could not be stored are
// counted. One error for the outage, then warnings with the counts.
TEST_F(ExportTest, RowsWaitWhileTheDirectoryIsMissingAndResumeInOrder) {
    LogCapture log;
    fs::path const output = dir / "missing";
    ExportSettings::instance().outputDir = output.string();
    std::string const big(1 << 20, 'k');  // 1.3 MiB of Base64 a row: 47 fit the 64 MiB bound
    FlowExporter exporter;
    for (int i = 0; i < 50; ++i) {
        auto flow = makeFlow("host" + std::to_string(i) + ".example");
        flow->features().keyShareExtension = big;
        if (i == 0) flow->features().serverCertificateChain = {"abc"};
        exporter.exportRow(flow->features());
    }
    EXPECT_EQ(exporter.rowsLost(), 3u);
    EXPECT_EQ(exporter.rowsWritten(), 0u);
    fs::create_directories(output);
    exporter.exportRow(makeFlow("after.example")->features());
    exporter.finish();
    EXPECT_EQ(exporter.rowsWritten(), 48u);
    EXPECT_EQ(exporter.rowsLost(), 3u);
    EXPECT_EQ(exporter.certificatesLost(), 1u);

    std::vector<std::string> rows;
    for (auto const& entry : fs::directory_iterator(output)) {
        std::vector<std::string> const lines = splitLines(readFile(entry.path()));
        rows.insert(rows.end(), lines.begin() + 1, lines.end());
    }
    ASSERT_EQ(rows.size(), 48u);
    for (size_t i = 0; i < 47; ++i) EXPECT_NE(rows[i].find(",host" + std::to_string(i) + ".example,"), std::string::npos);
    EXPECT_NE(rows[47].find(",after.example,"), std::string::npos);
    std::string const text = log.text();
    size_t const at = text.find("error Cannot create output file ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find("Cannot create output file", at + 7), std::string::npos) << text;
    EXPECT_NE(text.find("warning Output incomplete: 0 rows (0 bytes) wait in memory, 3 rows lost, 1 certificates"),
              std::string::npos)
        << text;
}

// What a killed run left: complete rows are published as ".csv" (".json"), a partial last row is
// cut (a quoted cell may hold a line break), files without a row go, names that are taken
// are kept, and files of another prefix or still locked by a running exporter stay.
TEST_F(ExportTest, LeftoversOfAKilledRunArePublished) {
    std::string const header = records::csvHeader() + "\n";
    std::string const row = "1700000000000,TLS,10.0.0.1,5000,,10.0.0.2,443,,TLSv1.3,a.example,,,,,0,,0,0,,\"\"\n";
    std::string const quotedRow = "1700000000000,TLS,10.0.0.1,5001,,10.0.0.2,443,,TLSv1.3,\"two\nlines\",,,,,0,,0,0,,\"\"\n";
    std::string const jsonLine = R"({"tls":{"client":{"server_name":"a\"b"}}})" "\n";
    struct Case {
        std::string name, content;
        std::string publishedAs, published;  // empty: gone, or left as it was
    };
    std::vector<Case> const cases = {
        {"out_20240101000000.csv.tmp", header + row + row + "1700000000000,TLS,10.0", "out_20240101000000.csv",
         header + row + row},
        {"out_20240101000001.csv.tmp", header + quotedRow + "1700000000000,TLS,10.0.0.1,5002,,10.0.0.2,443,,x,\"cut\nhere",
         "out_20240101000001.csv", header + quotedRow},
        {"out_20240101000002.csv.tmp", header, "", ""},
        {"out_20240101000003.csv.tmp", "", "", ""},
        {"out_20240101000004.csv.tmp", header + row, "out_20240101000004_recovered.csv", header + row},
        {"other_20240101000005.csv.tmp", header + row, "other_20240101000005.csv.tmp", header + row},
        {"out_20240101000006.csv.tmp", header + row, "out_20240101000006.csv.tmp", header + row},
        // JSON lines have no header, and a quote inside a string is escaped, not doubled.
        {"out_20240101000007.json.tmp", jsonLine + jsonLine + "{\"@timestamp\":\"20", "out_20240101000007.json",
         jsonLine + jsonLine},
        {"out_20240101000008.json.tmp", "{\"@time", "", ""},
    };
    for (auto const& c : cases) writeFile(dir / c.name, c.content);
    writeFile(dir / "out_20240101000004.csv", "someone else's");
    int locked = ::open((dir / "out_20240101000006.csv.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(locked, LOCK_EX), 0);

    LogCapture log;
    EXPECT_EQ(FlowExporter::finishLeftovers(dir.string(), "out"), 7);
    ::close(locked);

    std::set<std::string> expected = {"out_20240101000004.csv"};
    for (auto const& c : cases) {
        if (c.publishedAs.empty()) continue;
        expected.insert(c.publishedAs);
        EXPECT_EQ(readFile(dir / c.publishedAs), c.published) << c.name;
    }
    EXPECT_EQ(outputFiles(), expected);
    EXPECT_EQ(readFile(dir / "out_20240101000004.csv"), "someone else's");
    std::string const text = log.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
    EXPECT_NE(text.find("warning Finished leftover output file " + (dir / "out_20240101000000.csv.tmp").string() +
                        " of an earlier run as " + (dir / "out_20240101000000.csv").string() +
                        ": 2 rows, a partial last row of 22 bytes cut\n"),
              std::string::npos)
        << text;
}
