// The log sink: severity filter, record layout, rotation by size, and the records still
// queued when it is destroyed.
#include <gtest/gtest.h>

#include <regex>

#include "base/log.h"
#include "app/logging.h"
#include "support/process.h"

using varno_test::readFile;
using varno_test::ScratchDir;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> logFiles(fs::path const& directory) {
    std::vector<fs::path> files;
    for (auto const& entry : fs::directory_iterator(directory)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string allLogText(fs::path const& directory) {
    std::string text;
    for (auto const& file : logFiles(directory)) text += readFile(file);
    return text;
}

void logOneOfEach() {
    VARNO_LOG(trace) << "record trace";
    VARNO_LOG(debug) << "record debug";
    VARNO_LOG(info) << "record info";
    VARNO_LOG(warning) << "record warning";
    VARNO_LOG(error) << "record error";
    VARNO_LOG(fatal) << "record fatal";
}

std::vector<std::string> severitiesWritten(fs::path const& directory) {
    std::vector<std::string> found;
    std::regex const line(R"(\] (\w+) - record (\w+)\n)");
    std::string const text = allLogText(directory);
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        EXPECT_EQ((*it)[1], (*it)[2]);
        found.push_back((*it)[2]);
    }
    return found;
}

TEST(Logging, SeverityFilter) {
    using Names = std::vector<std::string>;
    struct Case {
        char const* severity;
        Names expected;
    };
    Names const all = {"trace", "debug", "info", "warning", "error", "fatal"};
    for (Case const& c : {Case{"error", {"error", "fatal"}}, Case{"warning", {"warning", "error", "fatal"}},
                          Case{"fatal", {"fatal"}}, Case{"trace", all}, Case{"loud", all}, Case{"", all},
                          Case{"ERROR", all}}) {
        ScratchDir scratch;
        {
            Logging logging(scratch.path().string(), c.severity);
            logOneOfEach();
        }
        EXPECT_EQ(severitiesWritten(scratch.path()), c.expected) << "severity text \"" << c.severity << "\"";
    }
}

TEST(Logging, RecordLayoutAndFileName) {
    ScratchDir scratch;
    {
        Logging logging(scratch.path().string() + "/", "info");
        VARNO_LOG(info) << "layout check";
        // While the log is open it is written to the active file.
        for (int attempt = 0; attempt < 200 && !fs::exists(scratch.path() / "varno.log"); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(fs::exists(scratch.path() / "varno.log"));
    }
    std::regex const layout(
        R"(\[\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\]: \[0x[0-9a-f]+\] info - layout check\n)");
    EXPECT_TRUE(std::regex_match(allLogText(scratch.path()), layout)) << allLogText(scratch.path());
    for (auto const& file : logFiles(scratch.path()))
        EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(varno(_\d{5})?\.log)")));
}

// A burst past the queue's bound loses records, never the count of them: every record is
// either in the file or counted in the next one written, and the queue is written out
// when the sink goes.
TEST(Logging, QueueIsBoundedAndDroppedRecordsAreCounted) {
    ScratchDir scratch;
    int const count = 100000;
    {
        Logging logging(scratch.path().string(), "trace");
        for (int i = 0; i < count; ++i) VARNO_LOG(debug) << "queued " << i;
        logging.flush();
        VARNO_LOG(info) << "last";
        VARNO_LOG(info) << "after the last";
    }
    std::string const text = allLogText(scratch.path());
    std::regex const note(R"( \((\d+) log records dropped before this one: the log's queue was full\)\n)");
    long dropped = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), note), end; it != end; ++it) dropped += std::stol((*it)[1]);
    long const written = std::count(text.begin(), text.end(), '\n');
    EXPECT_EQ(written + dropped, count + 2);
    EXPECT_GT(dropped, 0) << "the sink's thread writing each record kept up with a loop that only queues them";
    EXPECT_GE(written, long(Logging::maxQueuedRecords)) << "what fits in the queue is never dropped";
    EXPECT_NE(text.find("] debug - queued 0\n"), std::string::npos);
    EXPECT_NE(text.find("] info - after the last\n"), std::string::npos) << "written out when the sink goes";
}

TEST(Logging, RotatesAtFiveMebibytes) {
    ScratchDir scratch;
    std::string const padding(1000, 'x');
    int const count = 6000;  // about 6.2 MB of records
    {
        Logging logging(scratch.path().string(), "info");
        for (int i = 0; i < count; ++i) VARNO_LOG(info) << padding;
    }
    auto const files = logFiles(scratch.path());
    ASSERT_GE(files.size(), 2u);
    std::uintmax_t total = 0;
    for (auto const& file : files) {
        EXPECT_LE(fs::file_size(file), 5242880u) << file;
        total += fs::file_size(file);
    }
    EXPECT_GT(total, 5242880u);
    std::string const text = allLogText(scratch.path());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), count);
}

// Rotated files of earlier runs count: numbering goes on after the highest, and only the
// newest maxRotatedFiles stay.
TEST(Logging, RotationContinuesNumberingAndKeepsTheNewestFifty) {
    ScratchDir scratch;
    std::ofstream(scratch / "varno_00007.log") << "an earlier run\n";
    std::string const padding(200, 'x');
    {
        Logging logging(scratch.path().string(), "info", 1000);  // a rotation every few records
        for (int i = 0; i < 400; ++i) VARNO_LOG(info) << i << " " << padding;
    }
    std::vector<int> numbers;
    for (auto const& file : logFiles(scratch.path())) {
        std::smatch match;
        std::string const name = file.filename().string();
        ASSERT_TRUE(std::regex_match(name, match, std::regex(R"(varno_(\d{5})\.log)"))) << name;
        numbers.push_back(std::stoi(match[1]));
    }
    ASSERT_EQ(numbers.size(), Logging::maxRotatedFiles);
    EXPECT_GT(numbers.front(), 8) << "the earlier run's file was the oldest";
    EXPECT_EQ(numbers.back() - numbers.front() + 1, int(numbers.size())) << "no gap";
    EXPECT_NE(readFile(scratch.path() / ("varno_" + std::string(5 - std::to_string(numbers.back()).size(), '0') +
                                         std::to_string(numbers.back()) + ".log"))
                  .find(" 399 "),
              std::string::npos)
        << "the last record is in the newest file";
}

TEST(Logging, UnwritableDirectoryDropsRecordsQuietly) {
    ScratchDir scratch;
    std::ofstream(scratch / "plain-file") << "x";
    {
        Logging logging(scratch / "plain-file", "trace");
        logOneOfEach();
    }
    EXPECT_EQ(readFile(scratch / "plain-file"), "x");
}

}  // namespace
