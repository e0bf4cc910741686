#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options/errors.hpp>

#include "app/command_line.h"
#include "base/log.h"
#include "app/logging.h"
#include "app/metrics_server.h"
#include "app/privileges.h"
#include "app/progress.h"
#include "app/run_directory.h"
#include "base/error_text.h"
#include "capture/capture_files.h"
#include "capture/interfaces.h"
#include "export/settings.h"
#include "pipeline/engine.h"
#include "tls/settings.h"

namespace {

// What the signal handler may reach: a lock-free copy of the engine pointer, cleared
// before the engine is destroyed so a late signal finds nothing to stop.
std::atomic<FlowEngine*> signalEngine{nullptr};
static_assert(std::atomic<FlowEngine*>::is_always_lock_free, "read from a signal handler");

}  // namespace

// Owning pointer whose deletion first hides the engine from the signal handler.
struct FlowEngineDeleter {
    void operator()(FlowEngine* engine) const {
        signalEngine.store(nullptr);
        delete engine;
    }
};

std::unique_ptr<FlowEngine, FlowEngineDeleter> flowEngine;

void asyncSignalHandler(int) {
    if (FlowEngine* engine = signalEngine.load()) engine->interrupt();
}

namespace {

// Writes a start-up error to standard error and to the log.
int startupError(std::string const& logLine, std::string const& consoleLine) {
    VARNO_LOG(error) << logLine;
    std::cerr << consoleLine << "\n";
    return -1;
}

// Opens -p with one file, or every capture file of a directory as one stream. Returns
// the error line, or empty.
std::string openCaptureInput(std::string const& path) {
    boost::system::error_code failure;
    if (!boost::filesystem::is_directory(path, failure)) {
        if (!flowEngine->open(path)) return "Could not open file \"" + path + "\": " + flowEngine->openFailure();
        return {};
    }
    CaptureDirectory directory = listCaptureFiles(path);
    if (!directory.failedPath.empty())
        return "Could not read capture file \"" + directory.failedPath + "\": " + directory.failure;
    if (directory.files.empty()) return "No capture file in directory \"" + path + "\"";
    VARNO_LOG(info) << "Reading " << directory.files.size() << " capture files from " << path;
    if (!flowEngine->open(std::move(directory.files)))
        return "Could not open file \"" + path + "\": " + flowEngine->openFailure();
    return {};
}

// Several files and directories (a shell's glob): every file named and every capture file
// of each directory, read as one stream in the order of their first capture times, as a
// directory's own files are. Returns the error line, or empty.
std::string openCaptureInputs(std::vector<std::string> const& paths) {
    namespace fs = boost::filesystem;
    std::vector<CaptureFile> files;
    for (std::string const& path : paths) {
        boost::system::error_code failure;
        if (fs::is_directory(path, failure)) {
            CaptureDirectory directory = listCaptureFiles(path);
            if (!directory.failedPath.empty())
                return "Could not read capture file \"" + directory.failedPath + "\": " + directory.failure;
            if (directory.files.empty()) return "No capture file in directory \"" + path + "\"";
            files.insert(files.end(), directory.files.begin(), directory.files.end());
            continue;
        }
        // A pipe is read once: its first frame cannot be looked at to find its place.
        if (path == "-" || (fs::exists(path, failure) && !fs::is_regular_file(path, failure)))
            return "Could not open file \"" + path + "\": a pipe or device is read only on its own";
        CaptureFile file;
        if (std::string const reason = readFirstCaptureTime(path, file); !reason.empty())
            return "Could not open file \"" + path + "\": " + reason;
        if (file.size != 0) files.push_back(std::move(file));
    }
    if (files.empty()) return openCaptureInput(paths.front());  // nothing but headers: nothing to read
    sortByFirstCapture(files);
    VARNO_LOG(info) << "Reading " << files.size() << " capture files";
    std::string const first = files.front().path;
    if (!flowEngine->open(std::move(files)))
        return "Could not open file \"" + first + "\": " + flowEngine->openFailure();
    return {};
}

// The settings of the analysis and of the output, filled once before any pipeline thread
// exists; the processors, row files and certificate store are handed them when made.
void fillSettings(CommandLineOptions const& options) {
    ExportSettings& output = ExportSettings::instance();
    output.outputDir = *options.output;
    output.outputPrefix = options.prefix;
    output.exportThreshold = options.exportThreshold;
    output.exportDuration = options.exportDuration;
    output.csv = options.format != "json";
    output.json = options.format != "csv";
    AnalysisSettings& analysis = AnalysisSettings::instance();
    // Only the JSON lines carry each handshake's JA4.
    analysis.ja4 = output.json;
    analysis.keyShare = options.keyShare;
    analysis.certificates = options.certificates;
    if (options.hasMessageTypes) {
        analysis.messageTypes = options.messageTypes;
        analysis.hasMessageTypes = true;
    }
}

// Opens -i or -p; returns the start-up status (-1) after an error, or 0.
int openInput(CommandLineOptions const& options, InterfaceManager* interfaceManager,
              std::string const& listingFailure) {
    if (!options.interface) {
        std::string const line =
            options.pcap.size() == 1 ? openCaptureInput(options.pcap.front()) : openCaptureInputs(options.pcap);
        return line.empty() ? 0 : startupError(line, line);
    }
    std::string const& name = *options.interface;
    if (interfaceManager == nullptr) {
        std::string const line = "Could not list capture devices: " + listingFailure;
        return startupError(line, line);
    }
    if (!interfaceManager->hasInterface(name)) {
        std::string const line = "Interface \"" + name + "\" not found";
        return startupError(line, line);
    }
    Interface const interface = interfaceManager->findInterface(name);
    if (!flowEngine->open(interface, options.bufferMiB << 20)) {
        std::string const line = "Could not open interface \"" + name + "\": " + flowEngine->openFailure();
        bool const denied = flowEngine->openFailure().find("ermission") != std::string::npos ||
                            flowEngine->openFailure().find("not permitted") != std::string::npos;
        return startupError(line, denied ? line + ".  Please ensure sufficient user privileges." : line);
    }
    if (interface.index >= 0)
        VARNO_LOG(info) << "Listening on " << interface;
    else
        VARNO_LOG(info) << "Listening on " << name << " (a device without an address)";
    if (!options.user && ::geteuid() == 0)
        VARNO_LOG(warning) << "Capturing as root: the whole run keeps root's privileges; -Z USER drops them "
                              "once the device is open";
    return 0;
}

// With -Z: the directories a run writes in as the user named them (for messages) and as
// root found them, and the log directory held open from before the drop (see
// holdDirectories).
struct HeldDirectories {
    std::string outputName, logName;
    std::string outputPath, logPath;
    int logFd = -1;

    HeldDirectories() = default;
    HeldDirectories(HeldDirectories const&) = delete;
    HeldDirectories& operator=(HeldDirectories const&) = delete;
    ~HeldDirectories() {
        if (logFd >= 0) ::close(logFd);
    }
};

// After the drop the user must be able to make, rename and append files in both
// directories; found now rather than when the first rows or log records are lost.
// Returns the error line, or empty.
std::string userWriteProblem(CommandLineOptions const& options, HeldDirectories const& held) {
    if (std::string const problem = RunDirectory(*options.output).writeProblem(); !problem.empty())
        return "Could not write to output directory \"" + held.outputName + "\": " + problem;
    RunDirectory const log(options.logDirectory.value_or(*options.output));
    std::string problem = log.writeProblem();
    if (problem.empty()) problem = log.writeProblem("varno.log");
    if (!problem.empty()) return "Could not write to log directory \"" + held.logName + "\": " + problem;
    return {};
}

// -Z: the directories the run writes in go to the user, then the process becomes it.
int runAsUser(RunAs const& user, CommandLineOptions const& options, HeldDirectories const& held) {
    for (std::string const& directory : {held.outputPath, held.logPath}) {
        std::string const problem = giveDirectory(directory, user);
        if (!problem.empty()) {
            std::string const line = "Could not give directory \"" + directory + "\" to user \"" + user.name +
                                     "\": " + problem;
            return startupError(line, line);
        }
    }
    std::string const problem = dropPrivileges(user);
    if (!problem.empty()) {
        std::string const line = "Could not run as user \"" + user.name + "\": " + problem;
        return startupError(line, line);
    }
    VARNO_LOG(info) << "Running as user " << user.name << " (uid " << user.uid << ", gid " << user.gid << ")";
    std::string const line = userWriteProblem(options, held);
    return line.empty() ? 0 : startupError(line, line);
}

// Status of a run that went to its end: 1 when the input could not be read to its end or
// rows or certificates could not be written.
int endOfRun(RunCounts const& counts) {
    int status = 0;
    if (!counts.capture.failure.empty()) {
        std::cerr << counts.capture.failure << "\n";
        status = 1;
    }
    if (counts.rowsLost == 0 && counts.certificatesLost == 0) return status;
    std::cerr << "Output incomplete: " << counts.rowsWritten << " rows written, " << counts.rowsLost
              << " rows lost, " << counts.certificatesLost << " certificates not stored (see the log)\n";
    return 1;
}

int run(CommandLineOptions const& options, HeldDirectories const& held, InterfaceManager* interfaceManager,
        std::string const& listingFailure) {
    std::string const& outputDir = *options.output;
    std::string const logDirectory = options.logDirectory.value_or(outputDir);
    Logging logging(logDirectory, options.severity);
    VARNO_LOG(info) << "Starting VARNO v" << VARNO_VERSION;
    std::optional<RunAs> user;
    if (options.user && !(user = findUser(*options.user))) {
        std::string const line = "Unknown user \"" + *options.user + "\"";
        return startupError(line, line);
    }

    // Before the engine: its exporter and processors take the settings as they are made.
    fillSettings(options);
    flowEngine.reset(new FlowEngine());
    signalEngine.store(flowEngine.get());
    flowEngine->setFlowMemory(size_t(options.flowMemoryMiB) << 20);
    if (int status = openInput(options, interfaceManager, listingFailure)) return status;

    // Bound before -Z drops root, so a port below 1024 can be served.
    Monitoring monitoring(*flowEngine);
    if (options.metrics) {
        MetricsAddress const address = *parseMetricsAddress(*options.metrics);
        if (std::string const problem = monitoring.listen(address); !problem.empty()) {
            std::string const line = "Could not serve metrics at " + address.text() + ": " + problem;
            return startupError(line, line);
        }
        VARNO_LOG(info) << "Serving metrics at http://" << address.text() << "/metrics";
    }
    if (varno_log::enabled(boost::log::trivial::info)) monitoring.logSummaries();

    // Rows of a run that was killed stay in its ".tmp" files: they are published first.
    FlowExporter::finishLeftovers(outputDir, options.prefix);
    if (user) {
        // The log file is made by the sink's own thread when its first record arrives: made
        // now, it is there to be given to the user, not made by root after the gift.
        logging.flush();
        if (int status = runAsUser(*user, options, held)) return status;
    }

    std::signal(SIGINT, asyncSignalHandler);
    std::signal(SIGTERM, asyncSignalHandler);
    // A dropped SSH session must not lose the handshakes in flight.
    std::signal(SIGHUP, asyncSignalHandler);
    {
        // Only for a person watching: scripts, cron and systemd see standard error as before.
        std::optional<ProgressLine> progress;
        if (!options.pcap.empty() && ::isatty(STDERR_FILENO)) progress.emplace(*flowEngine, STDERR_FILENO);
        monitoring.start();
        flowEngine->processPackets();
    }
    return endOfRun(flowEngine->counts());
}

// Output directory before the log, whose file may live in it, and before any capture,
// which must not start without a place for its output. Returns the error line, or empty.
std::string prepareDirectories(RunDirectory& output, RunDirectory& log) {
    if (std::string const problem = output.make(false); !problem.empty())
        return "Could not create output directory \"" + output.path + "\": " + problem;
    // Found now rather than when the first rows are lost.
    if (std::string const problem = output.writeProblem(); !problem.empty())
        return "Could not write to output directory \"" + output.path + "\": " + problem;
    // Two runs into one directory would write one log and race over the same file names.
    if (!output.lock()) return "Output directory \"" + output.path + "\" is in use by another run";
    // Without this check a log that cannot be written would be dropped silently all run.
    std::string problem = log.make(true);
    if (problem.empty()) problem = log.writeProblem("varno.log");
    if (!problem.empty()) return "Could not write to log directory \"" + log.path + "\": " + problem;
    return {};
}

// With -Z the run goes on inside its output directory, entered while still root, so that
// the user need not reach it through its parents (a folder only root may enter), as
// tcpdump opens its file before it drops root. A log directory of its own is held open
// too and reached through the process's link to that descriptor, which the process may
// follow whoever it runs as; the log's rotation renames through it. The paths become
// relative to the output directory, or that link. Returns the error line, or empty.
std::string holdDirectories(CommandLineOptions& options, HeldDirectories& held) {
    namespace fs = boost::filesystem;
    held.outputName = *options.output;
    held.logName = options.logDirectory.value_or(*options.output);
    boost::system::error_code failure, logFailure;
    held.outputPath = fs::canonical(*options.output, failure).string();
    held.logPath = options.logDirectory ? fs::canonical(*options.logDirectory, logFailure).string() : held.outputPath;
    if (!failure) failure = logFailure;
    for (std::string& path : options.pcap)
        if (path != "-") path = fs::absolute(path).string();
    if (!failure && ::chdir(held.outputPath.c_str()) != 0) failure.assign(errno, boost::system::generic_category());
    if (failure) return "Could not enter output directory \"" + held.outputName + "\": " + failure.message();
    options.output = ".";
    options.logDirectory = ".";
    if (held.logPath == held.outputPath) return {};
    held.logFd = ::open(held.logPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (held.logFd < 0) return "Could not open log directory \"" + held.logName + "\": " + errorText(errno);
    options.logDirectory = "/proc/self/fd/" + std::to_string(held.logFd);
    return {};
}

}  // namespace

int main(int argc, char* argv[]) {
    boost::program_options::options_description const description = optionsDescription(argv[0]);
    CommandLineOptions options;
    try {
        options = parseCommandLine(description, argc, argv);
    } catch (boost::program_options::error const& error) {
        std::cerr << error.what() << "\n";
        return -1;
    }
    if (options.help) {
        std::cout << description << "\n";
        return 0;
    }
    if (options.version) {
        std::cout << "VARNO v" << VARNO_VERSION << "\n";
        return 0;
    }

    // A -p run does not need the device list, so a failed listing only ends the runs that do.
    std::unique_ptr<InterfaceManager> interfaceManager;
    std::string listingFailure;
    try {
        interfaceManager = std::make_unique<InterfaceManager>();
    } catch (std::exception const& error) {
        listingFailure = error.what();
    }

    if (options.listInterfaces) {
        if (!interfaceManager) {
            std::cerr << "Could not list capture devices: " << listingFailure << "\n";
            return -1;
        }
        std::cout << *interfaceManager;
        return 0;
    }
    if (options.listMessages) {
        writeMessageTypes(std::cout);
        return 0;
    }
    std::string const problem = validateOptions(options);
    if (!problem.empty()) {
        std::cerr << problem << "\n";
        return -1;
    }

    RunDirectory output(*options.output);
    RunDirectory log(options.logDirectory.value_or(*options.output));
    if (std::string const problem = prepareDirectories(output, log); !problem.empty()) {
        std::cerr << problem << "\n";
        log.removeIfMade();
        output.removeIfMade();
        return -1;
    }
    if (!Logging::knownSeverity(options.severity))
        std::cerr << "Unknown severity \"" << options.severity
                  << "\": every record is logged (levels: trace, debug, info, warning, error, fatal)\n";

    HeldDirectories held;
    std::string const entered = options.user ? holdDirectories(options, held) : std::string();
    if (!entered.empty()) std::cerr << entered << "\n";
    int const status = entered.empty() ? run(options, held, interfaceManager.get(), listingFailure) : -1;
    if (status < 0) {
        // A run that never started leaves nothing behind that it made, its log included:
        // the error line on standard error says it all.
        log.removeIfMade();
        output.removeIfMade();
    } else {
        // After a run the directories it made go when they hold nothing; one that was there
        // before is the user's.
        log.removeIfMadeAndEmpty();
        output.removeIfMadeAndEmpty();
    }
    return status;
}
