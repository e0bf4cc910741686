// The real binary against the independent oracle: for every capture, varno's rows must be
// the rows the oracle predicts from tshark's dissection, with the matching switches.
//
// Every capture is checked with each of the eight combinations of -c -k -m. An oracle
// comparison costs about a second (two tshark runs); VARNO_ORACLE_QUICK=1 in the
// environment checks only all switches on plus one set that rotates over none, -c, -k
// and -m, for a quicker run while developing.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/e2e_support.h"

namespace {

using namespace e2e;

struct FlagSet {
    bool certificates = false, keyShare = false, messages = false;

    std::string forVarno() const {
        return std::string(certificates ? " -c" : "") + (keyShare ? " -k" : "") + (messages ? " -m" : "");
    }
    // --messages goes last: it takes an optional value.
    std::string forOracle() const {
        return std::string(certificates ? " -c --check-store" : "") + (keyShare ? " -k" : "") +
               (messages ? " --messages" : "");
    }
};

std::vector<FlagSet> flagSetsFor(size_t captureIndex) {
    FlagSet const all{true, true, true};
    if (!std::getenv("VARNO_ORACLE_QUICK")) {
        std::vector<FlagSet> sets;
        for (int mask = 0; mask < 8; ++mask) sets.push_back({(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0});
        return sets;
    }
    std::vector<FlagSet> const rotating = {{}, {true, false, false}, {false, true, false}, {false, false, true}};
    return {all, rotating[captureIndex % rotating.size()]};
}

// True when the oracle's report shows exactly the rows tshark misses in the capture.
bool onlyKnownDifference(std::string const& capture, std::string const& report) {
    size_t const extra = rowsTsharkMisses(fs::path(capture).filename().string());
    return extra != 0 && report.find("extra:         " + std::to_string(extra) + "\n") != std::string::npos &&
           report.find("missing:       0\n") != std::string::npos &&
           report.find("different:     0\n") != std::string::npos;
}

// Problems of one capture and flag set, or an empty text when varno and the oracle agree.
std::string compareWithOracle(std::string const& capture, std::string const& rules, FlagSet const& flags) {
    ScratchDir scratch;
    std::string const output = scratch / "out";
    std::string const what = fs::path(capture).filename().string() + " [" + flags.forVarno() + " ]: ";
    auto const run = runVarno("-p " + shellQuote(capture) + " -o " + shellQuote(output) + flags.forVarno());
    if (run.status != 0) return what + "varno ended with " + std::to_string(run.status) + ": " + run.err;
    auto const oracle = runShell("python3 " + shellQuote(sharedPath("tools/oracle.py")) + " compare " +
                                 shellQuote(capture) + " " + shellQuote(output) + " --rules " + rules +
                                 flags.forOracle());
    if (oracle.status == 0 || onlyKnownDifference(capture, oracle.out)) return "";
    return what + "oracle exit " + std::to_string(oracle.status) + "\n" + oracle.out;
}

struct Capture {
    std::string path;
    std::string rules;
};

void expectOracleAgrees(std::string const& group, std::vector<Capture> const& captures) {
    struct Job {
        Capture capture;
        FlagSet flags;
    };
    std::vector<Job> jobs;
    for (size_t i = 0; i < captures.size(); ++i)
        for (auto const& flags : flagSetsFor(i)) jobs.push_back({captures[i], flags});

    auto const start = std::chrono::steady_clock::now();
    auto const problems =
        runInParallel(jobs.size(), [&](size_t i) {
            return compareWithOracle(jobs[i].capture.path, jobs[i].capture.rules, jobs[i].flags);
        });
    auto const seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();

    for (auto const& problem : problems) ADD_FAILURE() << problem;
    std::cout << "[          ] " << group << ": " << jobs.size() - problems.size() << " of " << jobs.size()
              << " runs agree with the oracle (" << captures.size() << " captures, " << seconds << " s)\n";
}

std::vector<Capture> manifestCaptures(std::string const& directory) {
    std::vector<Capture> captures;
    for (auto const& entry : readManifest(directory + "/MANIFEST.tsv"))
        captures.push_back({directory + "/" + entry.at("file"), "dtls"});
    return captures;
}

#define SKIP_WITHOUT_ORACLE()                                                                         \
    SKIP_WITHOUT_SHARED_DIR();                                                                        \
    if (!haveTool("tshark -v")) GTEST_SKIP() << "tshark not installed: the oracle needs it";         \
    if (!haveTool("python3 -c pass")) GTEST_SKIP() << "python3 not installed: the oracle needs it"

TEST(EndToEndOracle, OwnCapturesAndDemo) {
    SKIP_WITHOUT_ORACLE();
    auto captures = manifestCaptures(sourcePath("tests/data"));
    captures.push_back({sourcePath("examples/demo.pcap"), "dtls"});
    expectOracleAgrees("own captures", captures);
}

TEST(EndToEndOracle, SharedGeneratedCaptures) {
    SKIP_WITHOUT_ORACLE();
    expectOracleAgrees("generated", manifestCaptures(sharedPath("captures/generated")));
}

TEST(EndToEndOracle, SharedPublicCaptures) {
    SKIP_WITHOUT_ORACLE();
    expectOracleAgrees("public", manifestCaptures(sharedPath("captures/public")));
}

}  // namespace
