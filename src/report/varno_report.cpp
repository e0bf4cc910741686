// varno-report: reads the CSV rows and certificate stores that varno wrote and tells a
// security team what its TLS looks like.
#include <boost/program_options.hpp>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>

#include "base/error_text.h"

#include "report/cbom.h"
#include "report/drift.h"
#include "report/inventory.h"
#include "report/render.h"

namespace po = boost::program_options;

namespace {

constexpr int usageError = 2;

// "YYYY-MM-DD" as seconds at the start of that day, UTC; -1 when it is no such date.
int64_t parseDate(std::string const& text) {
    std::tm tm{};
    char* end = strptime(text.c_str(), "%Y-%m-%d", &tm);
    if (!end || *end != '\0' || text.size() != 10) return -1;
    int const day = tm.tm_mday, month = tm.tm_mon;
    int64_t const t = timegm(&tm);
    if (tm.tm_mday != day || tm.tm_mon != month) return -1;  // 2024-02-31 and the like
    return t;
}

// Writes a file through `render`; when it cannot be written, says so on standard error
// with the system's reason.
bool writeOutput(std::string const& path, std::function<void(std::ostream&)> const& render) {
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    int failure = out ? 0 : errno;
    if (out) {
        render(out);
        out.flush();
        if (!out) failure = errno;
    }
    out.close();
    if (out) return true;
    if (failure == 0) failure = errno;
    std::cerr << "varno-report: cannot write " << path << (failure != 0 ? ": " + errorText(failure) : "") << '\n';
    return false;
}

bool writeFile(std::string const& path, void (*render)(report::Summary const&, std::ostream&), report::Summary const& s) {
    return writeOutput(path, [&](std::ostream& out) { render(s, out); });
}

bool writeCbom(std::string const& path, report::Summary const& s, report::CbomCollector const& rows) {
    auto const nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    return writeOutput(path, [&](std::ostream& out) { report::renderCbom(s, rows, nowMs, out); });
}

// Reads the directories into one summary; false (with the message printed) when one cannot
// be read. cbom, when given, sees every row as well.
bool summarizeDirectories(std::vector<std::string> const& dirs, int64_t now, report::Summary& summary,
                          std::shared_ptr<records::TrustStore> const& trust, report::CbomCollector* cbom = nullptr) {
    for (auto const& dir : dirs) {
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) {
            std::cerr << "varno-report: " << dir << " is not a directory\n";
            return false;
        }
    }
    report::Inventory inventory(now);
    inventory.useTrustStore(trust);
    if (cbom) inventory.onRow([cbom](report::RowCells const& cells, report::Inventory::RowFacts const& facts) {
        cbom->add(cells, facts);
    });
    for (auto const& dir : dirs) {
        std::string error;
        if (!inventory.addDirectory(dir, error)) {
            std::cerr << "varno-report: cannot read " << dir << ": " << error << '\n';
            return false;
        }
    }
    summary = inventory.summarize();
    return true;
}

// Takes "--baseline DIR... --" out of the arguments, so that options may stand before or after
// it and what follows its "--" is still read as options and directories. An empty message
// when the arguments hold no baseline or a well-ended one.
std::string takeBaseline(std::vector<std::string>& args, std::vector<std::string>& baseline) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") break;  // everything after it is a directory
        bool const joined = args[i].rfind("--baseline=", 0) == 0;
        if (args[i] != "--baseline" && !joined) continue;
        if (joined) baseline.push_back(args[i].substr(11));
        size_t end = i + 1;
        while (end < args.size() && args[end] != "--") baseline.push_back(args[end++]);
        if (end == args.size()) return "--baseline wants its directories ended by --";
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(end + 1));
        if (baseline.empty()) return "--baseline wants at least one directory before --";
        --i;
    }
    return {};
}

po::options_description visibleOptions() {
    po::options_description visible(
        "Usage: varno-report [-o report.html] [--json summary.json] [--now YYYY-MM-DD] [--trust-store FILE|DIR]\n"
        "                    DIR [DIR ...]\n"
        "       varno-report [options] --baseline DIR [DIR ...] -- DIR [DIR ...] [options]\n"
        "A DIR without CSV files of its own is read as a folder of output directories.\n\nOptions");
    visible.add_options()
        ("help,h", "show this help")
        ("output,o", po::value<std::string>(), "write the HTML report to this file (without it: a text summary on standard output)")
        ("json", po::value<std::string>(), "write the figures and findings as JSON to this file")
        ("cbom", po::value<std::string>(), "write a CycloneDX 1.7 Cryptography Bill of Materials (JSON) to this file")
        ("now", po::value<std::string>(), "judge certificate validity on this day (YYYY-MM-DD, UTC; default today)")
        ("trust-store", po::value<std::string>(),
         "verify server chains against the roots of this PEM bundle or directory of PEM files (default: the system's)")
        ("baseline", po::value<std::vector<std::string>>()->multitoken(),
         "compare with these earlier output directories (end the list with --)");
    return visible;
}

}  // namespace

int main(int argc, char** argv) {
    po::options_description const visible = visibleOptions();
    po::options_description hidden;
    hidden.add_options()("dir", po::value<std::vector<std::string>>());
    po::options_description all;
    all.add(visible).add(hidden);
    po::positional_options_description positional;
    positional.add("dir", -1);

    std::vector<std::string> args(argv + 1, argv + argc), baseline;
    if (std::string const error = takeBaseline(args, baseline); !error.empty()) {
        std::cerr << "varno-report: " << error << "\n" << visible;
        return usageError;
    }
    po::variables_map values;
    try {
        po::store(po::command_line_parser(args).options(all).positional(positional).run(), values);
        po::notify(values);
    } catch (po::error const& e) {
        std::cerr << "varno-report: " << e.what() << "\n" << visible;
        return usageError;
    }
    if (values.count("help")) {
        std::cout << visible;
        return 0;
    }
    if (!values.count("dir")) {
        std::cerr << "varno-report: no directory given\n" << visible;
        return usageError;
    }
    int64_t now = std::time(nullptr);
    if (values.count("now")) {
        now = parseDate(values["now"].as<std::string>());
        if (now < 0) {
            std::cerr << "varno-report: --now wants a date as YYYY-MM-DD, not " << values["now"].as<std::string>() << '\n';
            return usageError;
        }
    }

    std::string trustError;
    std::shared_ptr<records::TrustStore> const trust = records::TrustStore::open(
        values.count("trust-store") ? values["trust-store"].as<std::string>() : std::string(), trustError);
    if (!trust) {
        std::cerr << "varno-report: --trust-store: " << trustError << '\n';
        return usageError;
    }

    report::Summary summary;
    report::CbomCollector cbom;
    if (!summarizeDirectories(values["dir"].as<std::vector<std::string>>(), now, summary, trust,
                              values.count("cbom") ? &cbom : nullptr))
        return usageError;
    if (!baseline.empty()) {
        report::Summary then;
        if (!summarizeDirectories(baseline, now, then, trust)) return usageError;
        summary.drift = report::compareSummaries(then, summary);
    }

    bool ok = true;
    if (values.count("json")) ok = writeFile(values["json"].as<std::string>(), report::renderJson, summary) && ok;
    if (values.count("cbom")) ok = writeCbom(values["cbom"].as<std::string>(), summary, cbom) && ok;
    if (values.count("output")) {
        ok = writeFile(values["output"].as<std::string>(), report::renderHtml, summary) && ok;
    } else {
        report::renderText(summary, std::cout);
    }
    return ok ? 0 : 1;
}
