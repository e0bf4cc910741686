// varno-report: reads the CSV rows and certificate stores that varno wrote and tells a
// security team what its TLS looks like.
#include <boost/program_options.hpp>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>

#include "base/error_text.h"

#include "report/cbom.h"
#include "report/clickhouse_input.h"
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

// A --since or --until time as milliseconds: "YYYY-MM-DDTHH:MM:SSZ" (UTC), or a bare date,
// which stands for the start of that day, or with endOfDay for the start of the next; nullopt
// when it is neither.
std::optional<int64_t> parseTime(std::string const& text, bool endOfDay) {
    if (text.size() == 10) {
        int64_t const day = parseDate(text);
        if (day < 0) return std::nullopt;
        return (day + (endOfDay ? 86400 : 0)) * 1000;
    }
    if (text.size() != 20 || text[10] != 'T' || text[19] != 'Z') return std::nullopt;
    int64_t const day = parseDate(text.substr(0, 10));
    std::tm tm{};
    char* end = strptime(text.c_str() + 11, "%H:%M:%S", &tm);
    if (day < 0 || !end || end != text.c_str() + 19 || tm.tm_sec > 59) return std::nullopt;
    return (day + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000;
}

// Where the rows come from: output directories or the ClickHouse store, and the time window.
struct Input {
    std::vector<std::string> dirs;
    std::optional<report::StoreAddress> store;
    report::TimeWindow window;
};

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

// Reads the directories or the store into one summary; false (with the message printed) when
// one cannot be read. cbom, when given, sees every row as well.
bool summarize(Input const& input, int64_t now, report::Summary& summary,
               std::shared_ptr<records::TrustStore> const& trust, report::CbomCollector* cbom = nullptr) {
    for (auto const& dir : input.dirs) {
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) {
            std::cerr << "varno-report: " << dir << " is not a directory\n";
            return false;
        }
    }
    report::Inventory inventory(now);
    inventory.setWindow(input.window.sinceMs, input.window.untilMs);
    inventory.useTrustStore(trust);
    if (cbom) inventory.onRow([cbom](report::RowCells const& cells, report::Inventory::RowFacts const& facts) {
        cbom->add(cells, facts);
    });
    for (auto const& dir : input.dirs) {
        std::string error;
        if (!inventory.addDirectory(dir, error)) {
            std::cerr << "varno-report: cannot read " << dir << ": " << error << '\n';
            return false;
        }
    }
    if (input.store) {
        std::string error = report::addStore(inventory, *input.store, input.window);
        if (error.empty() && cbom)
            error = report::storedCertificates(*input.store, [cbom](std::string_view digest, std::string pem) {
                cbom->addStored(digest, std::move(pem));
            });
        if (!error.empty()) {
            std::cerr << "varno-report: " << error << '\n';
            return false;
        }
    }
    summary = inventory.summarize();
    if (input.store) summary.store = input.store->text();
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
        "       varno-report [options] --clickhouse[=HOST[:PORT]] [--database NAME]\n"
        "A DIR without CSV files of its own is read as a folder of output directories.\n"
        "TIME is YYYY-MM-DDTHH:MM:SSZ (UTC) or a date YYYY-MM-DD: its start with --since,\n"
        "its end with --until.\n\nOptions");
    visible.add_options()
        ("help,h", "show this help")
        ("output,o", po::value<std::string>(), "write the HTML report to this file (without it: a text summary on standard output)")
        ("json", po::value<std::string>(), "write the figures and findings as JSON to this file")
        ("cbom", po::value<std::string>(), "write a CycloneDX 1.7 Cryptography Bill of Materials (JSON) to this file")
        ("now", po::value<std::string>(), "judge certificate validity on this day (YYYY-MM-DD, UTC; default today)")
        ("trust-store", po::value<std::string>(),
         "verify server chains against the roots of this PEM bundle or directory of PEM files (default: the system's)")
        ("baseline", po::value<std::vector<std::string>>()->multitoken(),
         "compare with these earlier output directories (end the list with --)")
        ("since", po::value<std::string>(), "read only the handshakes at or after TIME")
        ("until", po::value<std::string>(), "read only the handshakes before TIME")
        ("baseline-since", po::value<std::string>(),
         "compare with the handshakes from TIME on: of the --baseline directories, else of the store")
        ("baseline-until", po::value<std::string>(), "the same, before TIME")
        ("clickhouse", po::value<std::string>()->implicit_value("localhost:8123"),
         "read the rows and certificates from the ClickHouse store over its HTTP interface (default localhost:8123)")
        ("database", po::value<std::string>()->default_value("varno"), "the store's database")
        ("user", po::value<std::string>(), "ClickHouse user (default: $CLICKHOUSE_USER, else the server's default)")
        ("password", po::value<std::string>(), "ClickHouse password (default: $CLICKHOUSE_PASSWORD)");
    return visible;
}

// The window of one pair of options; an empty message when they are well formed.
std::string readWindow(po::variables_map const& values, std::string const& since, std::string const& until,
                       report::TimeWindow& window) {
    for (auto const& [name, endOfDay] : {std::pair{since, false}, std::pair{until, true}}) {
        if (!values.count(name)) continue;
        std::string const text = values[name].as<std::string>();
        auto const ms = parseTime(text, endOfDay);
        if (!ms) return "--" + name + " wants YYYY-MM-DDTHH:MM:SSZ (UTC) or YYYY-MM-DD, not " + text;
        (endOfDay ? window.untilMs : window.sinceMs) = *ms;
    }
    if (window.sinceMs >= window.untilMs) return "--" + since + " must come before --" + until;
    return {};
}

std::optional<report::StoreAddress> readStore(po::variables_map const& values, std::string& error) {
    if (!values.count("clickhouse")) return std::nullopt;
    report::StoreAddress store;
    std::string const host = values["clickhouse"].as<std::string>();
    if (!report::parseStoreHost(host, store)) {
        error = "--clickhouse wants HOST, HOST:PORT or [IPv6]:PORT, not " + host;
        return std::nullopt;
    }
    store.database = values["database"].as<std::string>();
    bool plain = !store.database.empty() && !std::isdigit(static_cast<unsigned char>(store.database[0]));
    for (char c : store.database) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!plain) {
        error = "--database wants a plain name (letters, digits, _), not " + store.database;
        return std::nullopt;
    }
    char const* user = std::getenv("CLICKHOUSE_USER");
    char const* password = std::getenv("CLICKHOUSE_PASSWORD");
    store.user = values.count("user") ? values["user"].as<std::string>() : user ? user : "";
    store.password = values.count("password") ? values["password"].as<std::string>() : password ? password : "";
    return store;
}

// What to read now and, with a baseline, then; an empty message when the options make sense.
std::string readInputs(po::variables_map const& values, std::vector<std::string> const& baseline, Input& current,
                       std::optional<Input>& then) {
    std::string error;
    current.store = readStore(values, error);
    if (!error.empty()) return error;
    if (values.count("dir")) current.dirs = values["dir"].as<std::vector<std::string>>();
    if (current.dirs.empty() && !current.store) return "no directory given, and no --clickhouse";
    if (!current.dirs.empty() && current.store) return "read either directories or --clickhouse, not both";
    if (error = readWindow(values, "since", "until", current.window); !error.empty()) return error;
    bool const baselineWindow = values.count("baseline-since") || values.count("baseline-until");
    if (baseline.empty() && !baselineWindow) return {};
    if (baseline.empty() && !current.store) return "--baseline-since and --baseline-until want --baseline directories or --clickhouse";
    then.emplace();
    then->dirs = baseline;
    if (baseline.empty()) then->store = current.store;
    return readWindow(values, "baseline-since", "baseline-until", then->window);
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
    int64_t now = std::time(nullptr);
    if (values.count("now")) {
        now = parseDate(values["now"].as<std::string>());
        if (now < 0) {
            std::cerr << "varno-report: --now wants a date as YYYY-MM-DD, not " << values["now"].as<std::string>() << '\n';
            return usageError;
        }
    }
    Input current;
    std::optional<Input> then;
    if (std::string const error = readInputs(values, baseline, current, then); !error.empty()) {
        std::cerr << "varno-report: " << error << "\n" << visible;
        return usageError;
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
    if (!summarize(current, now, summary, trust, values.count("cbom") ? &cbom : nullptr)) return usageError;
    if (then) {
        report::Summary before;
        if (!summarize(*then, now, before, trust)) return usageError;
        summary.drift = report::compareSummaries(before, summary);
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
