#pragma once
// What the end-to-end tests share: reading an output directory back as CSV rows, the
// capture manifests, shell commands with their output, child processes with a deadline,
// and a small pool that runs independent jobs side by side.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/csv.h"
#include "support/process.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using varno_test::readFile;
using varno_test::RunResult;
using varno_test::runVarno;
using varno_test::ScratchDir;
using varno_test::ChildProcess;
using varno_test::logText;
using namespace varno_test::csv;

// Shell text for one argument (a plain call to quoted would also find std::quoted).
inline std::string shellQuote(std::string const& text) { return varno_test::quoted(text); }

using varno_test::haveSharedDir;
using varno_test::sharedPath;
using varno_test::sourcePath;

// A tab-separated manifest: one map from column name to cell per line after the header.
inline std::vector<std::map<std::string, std::string>> readManifest(std::string const& path) {
    std::vector<std::map<std::string, std::string>> entries;
    std::istringstream in(readFile(path));
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        auto cells = split(line, '\t');
        if (names.empty()) {
            names = cells;
            continue;
        }
        std::map<std::string, std::string> entry;
        for (size_t i = 0; i < names.size() && i < cells.size(); ++i) entry[names[i]] = cells[i];
        entries.push_back(entry);
    }
    return entries;
}

// Rows of complete handshakes that tshark, and so the oracle and the manifests, miss in a
// shared capture.
inline size_t rowsTsharkMisses(std::string const& file) {
    // tshark cannot decrypt the client's version 1 Initials (packet numbers 1 and 2, the
    // second after a Retry) that follow its Initial of the greased version 0xbabababa,
    // which the server answered with Version Negotiation: it carries packet-number state
    // over from that one. They authenticate (AES-128-GCM tag) with the client Initial
    // keys of their own DCIDs, and the server's Initial holds the ServerHello.
    return file == "ndpi-quic-forcing-vn-with-data.pcapng" ? 1 : 0;
}

// The rows a shared capture gives: the manifest's count under the oracle's dtls rules
// (tunnels, QUIC, SSL 2.0-format hellos, TLS 1.3 without ChangeCipherSpec, DTLS, the
// ServerHello after a HelloRetryRequest).
inline size_t expectedRows(std::map<std::string, std::string> const& entry) {
    return std::stoul(entry.at("expected_rows_dtls")) + rowsTsharkMisses(entry.at("file"));
}

// A shell command's exit status and its standard output and error together.
inline RunResult runShell(std::string const& command) {
    RunResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    size_t count;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.out.append(buffer.data(), count);
    int const raw = ::pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

inline bool haveTool(std::string const& probe) { return runShell(probe + " >/dev/null").status == 0; }

// SHA-1 of a PEM certificate's DER bytes as openssl computes it; empty when openssl fails.
inline std::string certificateDigest(std::string const& pemFile) {
    auto const result = runShell("openssl x509 -in " + shellQuote(pemFile) + " -outform der | openssl dgst -sha1 -r");
    return result.status == 0 ? result.out.substr(0, 40) : "";
}

// Polls until the condition holds or the timeout passes; returns the last result.
inline bool waitFor(std::function<bool()> const& condition, std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Runs job(i) for every i below count on a few threads; returns the non-empty results
// (problem reports) in index order, so a failing test reads the same on every run.
inline std::vector<std::string> runInParallel(size_t count, std::function<std::string(size_t)> const& job,
                                              unsigned threads = 2) {
    std::vector<std::string> reports(count);
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (size_t i = next++; i < count; i = next++) reports[i] = job(i);
        });
    for (auto& thread : pool) thread.join();
    std::vector<std::string> problems;
    for (auto& report : reports)
        if (!report.empty()) problems.push_back(std::move(report));
    return problems;
}

}  // namespace e2e
