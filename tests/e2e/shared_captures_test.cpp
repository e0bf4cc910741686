// The real binary over every shared capture: each one gives the number of rows its
// manifest expects, in well-formed files.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace {

using namespace e2e;

// Problems of one run, or an empty text when it gave the expected rows.
std::string checkRowCount(std::string const& capture, size_t expected) {
    ScratchDir scratch;
    std::string const output = scratch / "out";
    auto const result = runVarno("-p " + shellQuote(capture) + " -o " + shellQuote(output));
    std::ostringstream problems;
    if (result.status != 0 || !result.err.empty())
        problems << "status " << result.status << ", stderr: " << result.err << "; ";
    auto const csv = readCsvOutput(output);
    if (csv.rows.size() != expected) problems << csv.rows.size() << " rows, expected " << expected << "; ";
    if (!csv.tmpFiles.empty()) problems << "file left as .tmp; ";
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
