#include <unistd.h>

#include <atomic>
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/program_options/errors.hpp>

#include "app/command_line.h"
#include "app/config.h"
#include "base/log.h"
#include "app/logging.h"
#include "app/privileges.h"
#include "app/progress.h"
#include "capture/capture_files.h"
#include "capture/interfaces.h"
#include "pipeline/engine.h"

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
    if (FlowEngine* engine = signalEngine.load()) engine->interupt();
}

namespace {

// Writes a start-up error to standard error and to the log.
int startupError(std::string const& logLine, std::string const& consoleLine) {
    VARNO_LOG(error) << logLine;
    std::cerr << consoleLine << "\n";
    return -1;
}

// Opens -p: one file, or every capture file of a directory as one stream. Returns the
// error line, or empty.
std::string openCaptureInput(std::string const& path) {
    boost::system::error_code failure;
    if (!boost::filesystem::is_directory(path, failure)) {
        if (!flowEngine->open(path)) return "Could not open file \"" + path + "\"";
        return {};
    }
    CaptureDirectory directory = listCaptureFiles(path);
    if (!directory.failedPath.empty())
        return "Could not read capture file \"" + directory.failedPath + "\": " + directory.failure;
    if (directory.files.empty()) return "No capture file in directory \"" + path + "\"";
    VARNO_LOG(info) << "Reading " << directory.files.size() << " capture files from " << path;
    if (!flowEngine->open(std::move(directory.files))) return "Could not open file \"" + path + "\"";
    return {};
}

void fillSettings(CommandLineOptions const& options) {
    FlowEngineConfig& config = FlowEngineConfig::instance();
    config.output.outputDir = *options.output;
    config.output.outputPrefix = options.prefix;
    config.output.exportThreshold = options.exportThreshold;
    config.output.exportDuration = options.exportDuration;
    config.analysis.keyShare = options.keyShare;
    config.analysis.certificates = options.certificates;
    if (options.hasMessageTypes) {
        config.analysis.messageTypes = options.messageTypes;
        config.analysis.hasMessageTypes = true;
    }
}

// Opens -i or -p; returns the start-up status (-1) after an error, or 0.
int openInput(CommandLineOptions const& options, InterfaceManager* interfaceManager,
              std::string const& listingFailure) {
    if (!options.interface) {
        std::string const line = openCaptureInput(*options.pcap);
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
    if (!flowEngine->open(interface, options.bufferMiB << 20))
        return startupError("Could not open interface \"" + name + "\"",
                            "Could not open interface \"" + name + "\".  Please ensure sufficient user privileges.");
    if (interface.index >= 0)
        VARNO_LOG(info) << "Listening on " << interface;
    else
        VARNO_LOG(info) << "Listening on " << name << " (a device without an address)";
    if (!options.user && ::geteuid() == 0)
        VARNO_LOG(warning) << "Capturing as root: the whole run keeps root's privileges; -Z USER drops them "
                              "once the device is open";
    return 0;
}

// -Z: the directories the run writes in go to the user, then the process becomes it.
int runAsUser(RunAs const& user, std::string const& outputDir, std::string const& logDirectory) {
    for (std::string const& directory : {outputDir, logDirectory}) {
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
    return 0;
}

// Status of a run that went to its end: 1 when rows or certificates could not be written.
int endOfRun(RunCounts const& counts) {
    if (counts.rowsLost == 0 && counts.certificatesLost == 0) return 0;
    std::cerr << "Output incomplete: " << counts.rowsWritten << " rows written, " << counts.rowsLost
              << " rows lost, " << counts.certificatesLost << " certificates not stored (see the log)\n";
    return 1;
}

int run(CommandLineOptions const& options, InterfaceManager* interfaceManager, std::string const& listingFailure) {
    std::string const& outputDir = *options.output;
    std::string const logDirectory = options.logDirectory.value_or(outputDir);
    // Without this check a log that cannot be written would be dropped silently all run.
    std::string const logProblem = Logging::directoryProblem(logDirectory);
    if (!logProblem.empty()) {
        std::cerr << "Could not write to log directory \"" << logDirectory << "\": " << logProblem << "\n";
        return -1;
    }
    Logging logging(logDirectory, options.severity);
    VARNO_LOG(info) << "Starting VARNO v" << VARNO_VERSION;
    std::optional<RunAs> user;
    if (options.user && !(user = findUser(*options.user))) {
        std::string const line = "Unknown user \"" + *options.user + "\"";
        return startupError(line, line);
    }

    flowEngine.reset(new FlowEngine());
    signalEngine.store(flowEngine.get());
    fillSettings(options);
    if (int status = openInput(options, interfaceManager, listingFailure)) return status;

    // Rows of a run that was killed stay in its ".tmp" files: they are published first.
    FlowExporter::finishLeftovers(outputDir, options.prefix);
    if (user)
        if (int status = runAsUser(*user, outputDir, logDirectory)) return status;

    std::signal(SIGINT, asyncSignalHandler);
    std::signal(SIGTERM, asyncSignalHandler);
    {
        // Only for a person watching: scripts, cron and systemd see standard error as before.
        std::optional<ProgressLine> progress;
        if (options.pcap && ::isatty(STDERR_FILENO)) progress.emplace(*flowEngine, STDERR_FILENO);
        flowEngine->processPackets();
    }
    return endOfRun(flowEngine->counts());
}

void removeIfEmpty(std::string const& directory) {
    boost::system::error_code failure;
    if (boost::filesystem::is_directory(directory, failure) && boost::filesystem::is_empty(directory, failure) &&
        !failure)
        boost::filesystem::remove(directory, failure);
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

    // The directory is made before the log, whose file may live in it, and before any
    // capture, which must not start without a place for its output.
    std::string const& outputDir = *options.output;
    boost::system::error_code failure;
    bool const created = boost::filesystem::create_directory(outputDir, failure);
    if (failure) {
        std::cerr << "Could not create output directory \"" << outputDir << "\": " << failure.message() << "\n";
        return -1;
    }

    int const status = run(options, interfaceManager.get(), listingFailure);
    // After a run an empty output directory goes, also one that existed before; after an
    // error only one that this run made.
    if (status >= 0 || created) removeIfEmpty(outputDir);
    return status;
}
