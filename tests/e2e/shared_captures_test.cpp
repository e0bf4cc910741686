// The real binary over every shared capture: each one gives the number of rows its
// manifest expects, in well-formed files, the same handshakes in its JSON lines, and the
// end-of-run record gives every flow without a row one reason, the reasons adding up to
// "flows dropped incomplete".
#include <gtest/gtest.h>

#include <regex>

#include "e2e/e2e_support.h"

namespace {

using namespace e2e;

// "flows dropped incomplete N (reason n, ...)": the parts must add up to N.
std::string reasonsProblem(std::string const& log) {
    std::smatch total;
    if (!std::regex_search(log, total, std::regex("flows dropped incomplete (\\d+)( \\(([^)]*)\\))?\n")))
        return "no end-of-run record; ";
    uint64_t sum = 0;
    std::string const parts = total[3];
    for (auto const& part : split(parts, ','))  // "no ServerHello 9", " gap in the TCP stream 4"
        if (!part.empty()) sum += std::stoull(part.substr(part.rfind(' ') + 1));
    if (sum != std::stoull(total[1])) return "reasons add up to " + std::to_string(sum) + ": " + total.str() + "; ";
    return "";
}

// Problems of one run, or an empty text when it gave the expected rows.
std::string checkRowCount(std::string const& capture, size_t expected) {
    ScratchDir scratch;
    std::string const output = scratch / "out";
    ScratchDir logs;
    auto const result = runVarno("-p " + shellQuote(capture) + " -o " + shellQuote(output) + " -s info -g " +
                                 shellQuote(logs.path().string()) + " -c -m --format both");
    std::ostringstream problems;
    problems << reasonsProblem(logText(logs.path()));
    if (result.status != 0 || !result.err.empty())
        problems << "status " << result.status << ", stderr: " << result.err << "; ";
    auto const csv = readCsvOutput(output);
    if (csv.rows.size() != expected) problems << csv.rows.size() << " rows, expected " << expected << "; ";
    if (!csv.tmpFiles.empty()) problems << "file left as .tmp; ";
    // The JSON lines hold the same handshakes, every line an object the reader takes.
    if (recordsIn(output, ".json") != recordsIn(output, ".csv")) problems << "JSON lines differ from CSV; ";
    if (!csv.rows.empty() && runShell("jq -e -c . " + shellQuote(output) + "/*.json >/dev/null").status != 0)
        problems << "jq does not read every JSON line; ";
    for (auto const& header : csv.headers)
        if (header != csvHeader) problems << "wrong header: " << header << "; ";
    for (auto const& row : csv.rows)
        if (row.size() != ColumnCount) problems << row.size() << " cells in: " << joinCells(row) << "; ";
    std::string const text = problems.str();
    return text.empty() ? "" : fs::path(capture).filename().string() + ": " + text;
}

void expectManifestRows(std::string const& group) {
    std::string const directory = sharedPath("captures/" + group);
    auto const manifest = readManifest(directory + "/MANIFEST.tsv");
    ASSERT_FALSE(manifest.empty()) << directory << "/MANIFEST.tsv";
    auto const problems = runInParallel(manifest.size(), [&](size_t i) {
        auto const& entry = manifest[i];
        return checkRowCount(directory + "/" + entry.at("file"), expectedRows(entry));
    });
    for (auto const& problem : problems) ADD_FAILURE() << problem;
    std::cout << "[          ] " << manifest.size() - problems.size() << " of " << manifest.size() << " " << group
              << " captures give their expected rows\n";
}

TEST(EndToEndShared, GeneratedCapturesGiveTheirExpectedRows) {
    SKIP_WITHOUT_SHARED_DIR();
    expectManifestRows("generated");
}

TEST(EndToEndShared, PublicCapturesGiveTheirExpectedRows) {
    SKIP_WITHOUT_SHARED_DIR();
    expectManifestRows("public");
}

}  // namespace
