// Start-up and run of the real binary: input errors, the output directory, the log,
// settings reaching the output, and stopping a live capture by signal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/csv.h"
#include "support/process.h"
#include "support/tmpfs.h"

using varno_test::quoted;
using varno_test::readFile;
using varno_test::runVarno;
using varno_test::ScratchDir;
using varno_test::ChildProcess;
using varno_test::logText;
namespace fs = std::filesystem;

extern char** environ;

namespace {


#define REQUIRE_CAPTURE(path)                                                   \
    if (!fs::exists(path)) GTEST_SKIP() << "capture not available: " << (path)

// What a directory holds after a run, as the kinds of its entries ("csv log": a log is
// rotated at the end, so "varno.log" shows one the run could not finish), "empty",
// or "none" when it is not there; for several directories (separated by spaces) their
// holdings joined by " | ".
std::string leftIn(std::string const& directories) {
    if (size_t const space = directories.find(' '); space != std::string::npos)
        return leftIn(directories.substr(0, space)) + " | " + leftIn(directories.substr(space + 1));
    fs::path const directory(directories);
    if (!fs::exists(directory)) return "none";
    std::set<std::string> kinds;
    for (auto const& entry : fs::directory_iterator(directory)) {
        std::string const name = entry.path().filename().string();
        kinds.insert(entry.path().extension() == ".csv"                         ? "csv"
                     : name.rfind("varno_", 0) == 0 && entry.path().extension() == ".log" ? "log"
                                                                                          : name);
    }
    std::string text;
    for (auto const& kind : kinds) text += (text.empty() ? "" : " ") + kind;
    return text.empty() ? "empty" : text;
}

// One command line of the table below and what it must give.
struct Mistake {
    std::string arguments;  // S is the scratch directory, @C the capture, @N one without a handshake
    int status;
    std::string err;   // the start of standard error, which has as many lines
    std::string left;  // what the directory of `look` holds afterwards
    std::string look = "S/out";
    std::string workIn = "S/.";
    int rows = -1;  // in the CSV files of `look`, when not -1
};

std::vector<Mistake> startupMistakes(bool haveMergecap) {
    std::string const readAll = "(levels: trace, debug, info, warning, error, fatal)";
    std::string const notAName = "Prefix (-P) must be a file name: no \"/\", \"..\" or NUL.\n";
    std::vector<Mistake> cases = {
        {"-p S/missing.pcap -o S/out", 255, "Could not open file \"S/missing.pcap\": No such file or directory\n",
         "none"},
        {"-p S/cut.pcap -o S/out", 1,
         "Could not read capture file \"S/cut.pcap\" to its end: truncated dump file; ", "csv log"},
        {"-i no-such-device0 -o S/out", 255, "Interface \"no-such-device0\" not found\n", "none"},
        {"-i lo -Z no-such-user0 -o S/out -g S/logs", 255, "Unknown user \"no-such-user0\"\n", "none", "S/logs"},
        {"-p @C -o . -g .", 0, "", "csv", "S/work", "S/work"},
        {"-p - -o S/out < @C", 0, "", "csv"},
        {"-p @C -o S/out -s warn", 0, "Unknown severity \"warn\": every record is logged " + readAll + "\n",
         "csv log"},
        {"-p @C -o S/locked", 255, "Output directory \"S/locked\" is in use by another run\n", "empty",
         "S/locked"},
        {"-p @C -o S/readonly", 255, "Could not write to output directory \"S/readonly\": ",
         "empty", "S/readonly"},
        // Several files and directories, as a shell's glob gives them: one stream.
        {"-p @C S/glob/*.pcap -o S/out", 0, "", "csv", "S/out", "S/.", 6},
        {"-p S/glob @C -o S/out -P run", 0, "", "csv", "S/out", "S/.", 6},
        {"-p @C -o S/out extra", 255, "unexpected argument 'extra'\n", "none"},
        {"-p @C - -o S/out", 255, "Could not open file \"-\": a pipe or device is read only on its own\n", "none"},
        {"-p @C -o S/out -P ../escape", 255, notAName, "none"},
        {"-p @C -o S/out -P a/b", 255, notAName, "none"},
        {"-p @C -o S/out -P ..", 255, notAName, "none"},
        {"-p @N -o S/work -s warning", 0, "", "empty", "S/work"},
        {"-p @N -o S/out -g S/work", 0, "", "none | empty", "S/out S/work"},
        {"-p @N -o S/out -g S/logs/run", 0, "", "none | none", "S/out S/logs"},
    };
    // The scratch directory is root's alone: the user reaches its output and log only
    // through what was opened before the drop. A directory root may write but the user may
    // not (mode 555, which the gift of its owner keeps) ends the run before any row.
    if (::geteuid() == 0 && ::getpwnam("nobody") != nullptr) {
        cases.push_back({"-p @C -o S/out -Z nobody", 0, "", "csv"});
        cases.push_back({"-p @C -o S/out -g S/log -Z nobody -s info", 0, "", "csv | log", "S/out S/log"});
        cases.push_back({"-p @C -o S/closed -Z nobody", 255,
                         "Could not write to output directory \"S/closed\": Permission denied\n", "empty",
                         "S/closed"});
        cases.push_back({"-p @C -o S/work -g S/closed -Z nobody", 255,
                         "Could not write to log directory \"S/closed\": Permission denied\n", "empty | empty",
                         "S/work S/closed"});
    }
    if (haveMergecap)
        cases.push_back({"-p S/merged.pcapng -o S/out", 1,
                         "Could not read capture file \"S/merged.pcapng\" to its end: an interface has a snapshot length",
                         "log"});
    return cases;
}

// The scratch directory of one case: a cut copy of the capture, directories that exist
// before the run, files for a glob, and (with mergecap) a capture libpcap refuses part-way.
void prepareScratch(ScratchDir const& scratch, std::string const& capture, bool haveMergecap) {
    // A third of the capture: its first handshakes are whole, the last record is cut.
    std::ifstream in(capture, std::ios::binary);
    std::string const bytes((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(scratch / "cut.pcap", std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
    fs::permissions(scratch.path(), fs::perms::owner_all);
    fs::create_directories(scratch / "work");
    fs::create_directories(scratch / "glob");
    fs::copy_file(varno_test::dataFile("t13_x25519.pcap"), scratch / "glob/b.pcap");
    fs::copy_file(varno_test::dataFile("t12_ecdhe_rsa_sni.pcap"), scratch / "glob/a.pcap");
    fs::create_directories(scratch / "closed");
    fs::permissions(scratch / "closed", fs::perms(0555));
    if (haveMergecap) {
        // The same capture with another snapshot length in its header, appended as a
        // second interface: libpcap refuses that interface.
        std::string shorter = bytes;
        shorter.replace(16, 4, std::string("\xc8\0\0\0", 4));
        std::ofstream(scratch / "short.pcap", std::ios::binary) << shorter;
        std::string const make = "mergecap -a -F pcapng -w " + quoted(scratch / "merged.pcapng") + " " +
                                 quoted(capture) + " " + quoted(scratch / "short.pcap");
        ASSERT_EQ(std::system(make.c_str()), 0);
    }
}

// Mistakes of the user and failures of the input: each line is the command, its status,
// the start of its standard error (S stands for the scratch directory) and what is left in
// the directory it names. A run that never started leaves nothing it made, its log
// included; a capture read only in part keeps its rows and ends with status 1. A directory
// that was there before the run is the user's and stays, even empty.
TEST(Startup, MistakesAndFailures) {
    std::string const capture = varno_test::dataFile("several_connections.pcap");
    std::string const noHandshake = varno_test::dataFile("no_answer.pcap");
    REQUIRE_CAPTURE(capture);
    bool const haveMergecap = std::system("command -v mergecap >/dev/null && command -v editcap >/dev/null") == 0;
    std::vector<Mistake> const cases = startupMistakes(haveMergecap);
    for (Mistake const& c : cases) {
        ScratchDir scratch;
        auto expand = [&](std::string text) {
            for (auto [from, to] : {std::pair<std::string, std::string>{"S/", scratch / ""}, {"@C", capture},
                                    {"@N", noHandshake}})
                for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
                    text.replace(at, from.size(), to);
            return text;
        };
        prepareScratch(scratch, capture, haveMergecap);
        fs::create_directories(scratch / "locked");
        int const lock = ::open((scratch / "locked").c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(::flock(lock, LOCK_EX), 0);
        varno_test::Tmpfs readOnly(scratch / "readonly", 1 << 20, true);
        if (!readOnly.mounted()) fs::permissions(scratch / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
        auto const result = runVarno(expand(c.arguments), "", expand(c.workIn));
        EXPECT_EQ(result.status, c.status) << c.arguments << ": " << result.err;
        EXPECT_EQ(result.err.substr(0, expand(c.err).size()), expand(c.err)) << c.arguments;
        auto lines = [](std::string const& text) { return std::count(text.begin(), text.end(), '\n'); };
        EXPECT_EQ(lines(result.err), lines(c.err) + (c.err.empty() || c.err.back() == '\n' ? 0 : 1)) << result.err;
        EXPECT_EQ(leftIn(expand(c.look)), c.left) << c.arguments;
        if (c.rows >= 0) {
            EXPECT_EQ(varno_test::csv::readCsvOutput(expand(c.look)).rows.size(), size_t(c.rows)) << c.arguments;
        }
        EXPECT_EQ(result.out, "");
        ::close(lock);
    }
}

// The string literals of the sources under `directory`, adjacent ones joined as the
// compiler joins them, escapes read back; comments and character literals left out.
std::string sourceLiterals(fs::path const& directory) {
    std::string all;
    for (auto const& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
        std::string const code = readFile(entry.path());
        bool joining = false;
        for (size_t i = 0; i < code.size(); ++i) {
            char const c = code[i];
            std::string const next = code.substr(i, 2);
            if (next == "//" || next == "/*") {
                i = code.find(next == "//" ? "\n" : "*/", i + 2);
                if (i == std::string::npos) break;
                if (next == "/*") ++i;
            } else if (c == '\'' && i > 0 && std::isalnum(static_cast<unsigned char>(code[i - 1]))) {
                // a digit separator
            } else if (c == '\'') {
                for (++i; i < code.size() && code[i] != '\''; ++i) i += code[i] == '\\';
            } else if (c == '"' && i > 0 && code[i - 1] == 'R') {
                std::string const delimiter = code.substr(i + 1, code.find('(', i) - i - 1);
                size_t const end = code.find(")" + delimiter + "\"", i);
                all += "\n" + code.substr(i, end - i);
                i = end + delimiter.size() + 1;
            } else if (c == '"') {
                if (!joining) all += '\n';
                for (++i; i < code.size() && code[i] != '"'; ++i) {
                    if (code[i] == '\\') ++i;
                    all += code[i];
                }
                joining = true;
            } else if (!std::isspace(static_cast<unsigned char>(c))) {
                joining = false;
            }
        }
    }
    return all;
}

// Every record the README's log table names is one the program writes: each literal part
// of it (between placeholders such as PATH or N, "..." and optional parts in brackets) is
// in a string of the sources.
TEST(Startup, ReadmeLogTableNamesOnlyMessagesOfTheCode) {
    std::string const readme = readFile(varno_test::sourcePath("README.md"));
    size_t const start = readme.find("## What is logged");
    ASSERT_NE(start, std::string::npos);
    std::istringstream table(readme.substr(start, readme.find("\n## ", start + 1) - start));
    std::string const code = sourceLiterals(varno_test::sourcePath("src"));
    size_t checked = 0;
    std::string line;
    while (std::getline(table, line)) {
        if (line.rfind("|", 0) != 0) continue;
        for (size_t open = line.find('`'); open != std::string::npos; open = line.find('`', open + 1)) {
            size_t const close = line.find('`', open + 1);
            std::string const record = line.substr(open + 1, close - open - 1);
            open = close;
            std::vector<std::string> parts(1);
            for (size_t i = 0; i < record.size(); ++i) {
                bool const placeholder = std::isupper(static_cast<unsigned char>(record[i])) &&
                                         (i == 0 || !std::isalpha(static_cast<unsigned char>(record[i - 1]))) &&
                                         (i + 1 == record.size() || !std::islower(static_cast<unsigned char>(record[i + 1])));
                if (placeholder) {
                    while (i < record.size() && record[i] != ' ') ++i;
                    --i;
                    parts.emplace_back();
                } else if (record[i] == '[' || record[i] == ']' || record.compare(i, 3, "...") == 0) {
                    i += record[i] == '.' ? 2 : 0;
                    parts.emplace_back();
                } else {
                    parts.back() += record[i];
                }
            }
            for (std::string part : parts) {
                part.erase(0, part.find_first_not_of(' '));
                part.erase(part.find_last_not_of(' ') + 1);
                if (part.size() < 3) continue;
                ++checked;
                EXPECT_NE(code.find(part), std::string::npos) << "\"" << part << "\" of `" << record << "`";
            }
        }
    }
    EXPECT_GT(checked, 20u);
}

TEST(Startup, OutputDirectoryThatCannotBeMade) {
    ScratchDir scratch;
    std::string const capture = scratch / "missing.pcap";
    std::ofstream(scratch / "plain-file") << "x";

    struct Case {
        std::string directory;
        std::string reason;
    };
    std::vector<Case> cases = {{scratch / "plain-file", "File exists"},
                               {scratch / "no-parent/out", "No such file or directory"},
                               {scratch / "plain-file/out", "Not a directory"}};
    for (auto const& [directory, reason] : cases) {
        // Verbose logging into that directory must not bring the process down either.
        auto const result = runVarno("-p " + quoted(capture) + " -o " + quoted(directory) + " -s trace");
        EXPECT_EQ(result.status, 255) << directory;
        EXPECT_EQ(result.err, "Could not create output directory \"" + directory + "\": " + reason + "\n");
    }
    EXPECT_FALSE(fs::exists(scratch / "no-parent"));

    if (::geteuid() != 0) {
        fs::create_directory(scratch / "locked");
        fs::permissions(scratch / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        std::string const locked = scratch / "locked/out";
        auto const result = runVarno("-p " + quoted(capture) + " -o " + quoted(locked));
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.err, "Could not create output directory \"" + locked + "\": Permission denied\n");
    }
}

TEST(Startup, LogDirectoryThatCannotBeWritten) {
    std::string const capture = varno_test::dataFile("t12_ecdhe_rsa_sni.pcap");
    REQUIRE_CAPTURE(capture);
    ScratchDir scratch;
    std::ofstream(scratch / "plain-file") << "x";
    struct Case {
        std::string directory;
        std::string reason;
    };
    std::vector<Case> cases = {{scratch / "plain-file", "File exists"}, {scratch / "plain-file/logs", "Not a directory"}};
    if (::geteuid() != 0) {
        fs::create_directory(scratch / "locked");
        fs::permissions(scratch / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        cases.push_back({scratch / "locked", "Permission denied"});
    }
    for (auto const& [directory, reason] : cases) {
        auto const result = runVarno("-p " + quoted(capture) + " -o " + quoted(scratch / "out") + " -s trace -g " +
                                     quoted(directory));
        EXPECT_EQ(result.status, 255) << directory;
        EXPECT_EQ(result.err, "Could not write to log directory \"" + directory + "\": " + reason + "\n");
        EXPECT_FALSE(fs::exists(scratch / "out")) << "nothing was written";
    }
    // A log directory that is missing is made.
    auto const made = runVarno("-p " + quoted(capture) + " -o " + quoted(scratch / "out") + " -s info -g " +
                               quoted(scratch / "new/logs"));
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_NE(logText(scratch / "new/logs").find("Starting VARNO"), std::string::npos);
}

// -p with a directory: a file that looks like a capture but cannot be read, or no capture
// at all, ends the run before anything is written.
TEST(Startup, CaptureDirectoryThatCannotBeRead) {
    std::string const capture = varno_test::dataFile("t12_ecdhe_rsa_sni.pcap");
    REQUIRE_CAPTURE(capture);
    struct Case {
        std::vector<std::pair<std::string, std::string>> files;  // name, content ("=" copies the capture)
        std::string error;                                      // after the directory path
    };
    std::string const pcapMagic("\xd4\xc3\xb2\xa1", 4);
    std::vector<Case> const cases = {
        {{{"a.pcap", "="}, {"b.pcap", pcapMagic}}, "/b.pcap\": truncated dump file"},
        {{{"a.pcap", "="}, {"c.pcapng", std::string("\x0a\x0d\x0d\x0a\x1c\x00\x00\x00", 8)}},
         "/c.pcapng\": "},
        {{{"notes.txt", "no capture here"}}, "\""},
    };
    for (auto const& c : cases) {
        ScratchDir scratch;
        std::string const directory = scratch / "archive";
        fs::create_directory(directory);
        for (auto const& [name, content] : c.files) {
            if (content == "=")
                fs::copy_file(capture, directory + "/" + name);
            else
                std::ofstream(directory + "/" + name, std::ios::binary) << content;
        }
        auto const result = runVarno("-p " + quoted(directory) + " -o " + quoted(scratch / "out"));
        EXPECT_EQ(result.status, 255) << c.error;
        std::string const expected = c.error == "\"" ? "No capture file in directory \"" + directory + "\"\n"
                                                     : "Could not read capture file \"" + directory + c.error;
        EXPECT_EQ(result.err.substr(0, expected.size()), expected);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        bool wroteRows = false;
        if (fs::exists(scratch / "out"))
            for (auto const& entry : fs::directory_iterator(scratch / "out"))
                wroteRows = wroteRows || entry.path().extension() == ".csv" || entry.path().extension() == ".tmp";
        EXPECT_FALSE(wroteRows);
    }
}

TEST(Startup, FileRunWritesRowsLogAndUsesSettings) {
    std::string const capture = varno_test::dataFile("t12_ecdhe_rsa_sni.pcap");
    REQUIRE_CAPTURE(capture);
    ScratchDir scratch;
    std::string const output = scratch / "out";
    auto const result = runVarno("-p " + quoted(capture) + " -o " + quoted(output) + " -s info -P run -m 1 -m 2");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");

    std::vector<fs::path> csvFiles;
    for (auto const& entry : fs::directory_iterator(output))
        if (entry.path().extension() == ".csv") csvFiles.push_back(entry.path());
    ASSERT_EQ(csvFiles.size(), 1u);
    EXPECT_TRUE(std::regex_match(csvFiles[0].filename().string(), std::regex(R"(run_\d{14}\.csv)")));
    std::string const csv = readFile(csvFiles[0]);
    EXPECT_NE(csv.find("\"{\"\"ClientHello\"\":"), std::string::npos);
    EXPECT_NE(csv.find("\"\"ServerHello\"\":"), std::string::npos);
    EXPECT_EQ(csv.find("Certificate\"\":"), std::string::npos);

    std::string const log = logText(output);
    std::regex const firstLine(R"(^\[\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\]: \[0x[0-9a-f]+\] info - Starting VARNO v1\.0\.4\n)");
    EXPECT_TRUE(std::regex_search(log, firstLine)) << log.substr(0, 200);
    EXPECT_EQ(log.find("Listening on"), std::string::npos);
}

TEST(Startup, SignalStopsLiveCaptureAndRunEndsCleanly) {
    ScratchDir scratch;
    std::string const output = scratch / "out";
    std::string const errors = scratch / "stderr";
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ChildProcess child({VARNO_BINARY, "-i", "lo", "-o", output, "-s", "info"}, errors);
        ASSERT_TRUE(child.started());
        int const early = child.wait(std::chrono::seconds(2));
        if (early == 255) GTEST_SKIP() << "cannot capture on lo here: " << readFile(errors);
        ASSERT_EQ(early, ChildProcess::stillRunning) << "ended before the signal: " << readFile(errors);
        ASSERT_TRUE(child.signal(signal));
        // A quiet link must not keep the capture from noticing the stop request.
        ASSERT_EQ(child.wait(std::chrono::seconds(10)), 0) << "signal " << signal << ": " << readFile(errors);
        EXPECT_EQ(readFile(errors), "");
        EXPECT_NE(logText(output).find("] info - Listening on  "), std::string::npos);
    }
}

TEST(Startup, FailedDeviceListingEndsOnlyRunsThatNeedIt) {
    std::string const capture = varno_test::dataFile("t12_ecdhe_rsa_sni.pcap");
    REQUIRE_CAPTURE(capture);
    ScratchDir scratch;
    // A stand-in libpcap device listing that always fails, put in front of the real one.
    std::ofstream(scratch / "nodevs.c") << "#include <string.h>\n"
                                           "int pcap_findalldevs(void** list, char* error) {\n"
                                           "    *list = 0; strcpy(error, \"no devices today\"); return -1;\n"
                                           "}\n";
    std::string const library = scratch / "libnodevs.so";
    std::string const build = "cc -shared -fPIC -o " + quoted(library) + " " + quoted(scratch / "nodevs.c") +
                              " >/dev/null 2>&1";
    if (std::system(build.c_str()) != 0) GTEST_SKIP() << "no C compiler to build the failing device listing";
    std::string const environment = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" + quoted(library);

    auto const list = runVarno("-l", environment);
    EXPECT_EQ(list.status, 255);
    EXPECT_EQ(list.err, "Could not list capture devices: no devices today\n");
    EXPECT_EQ(list.out, "");

    auto const live = runVarno("-i lo -o " + quoted(scratch / "live"), environment);
    EXPECT_EQ(live.status, 255);
    EXPECT_EQ(live.err, "Could not list capture devices: no devices today\n");

    auto const messages = runVarno("-M", environment);
    EXPECT_EQ(messages.status, 0);
    EXPECT_EQ(messages.out.substr(0, 25), "Handshake Message Types:\n");

    auto const file = runVarno("-p " + quoted(capture) + " -o " + quoted(scratch / "file"), environment);
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.err, "");
}

}  // namespace
