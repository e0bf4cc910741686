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

    flowEngine.reset(new FlowEngine(1));
    signalEngine.store(flowEngine.get());

    FlowEngineConfig& config = FlowEngineConfig::instance();
    config.output.outputDir = outputDir;
    config.output.outputPrefix = options.prefix;
    config.output.exportThreshold = options.exportThreshold;
    config.output.exportDuration = options.exportDuration;
    config.analysis.keyShare = options.keyShare;
    config.analysis.certificates = options.certificates;
    if (options.hasMessageTypes) {
        config.analysis.messageTypes = options.messageTypes;
        config.analysis.hasMessageTypes = true;
    }

    if (options.interface) {
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
        if (!flowEngine->open(interface))
            return startupError("Could not open interface \"" + name + "\"",
                                "Could not open interface \"" + name +
                                    "\".  Please ensure sufficient user privileges.");
        VARNO_LOG(info) << "Listening on " << interface;
    } else {
        std::string const line = openCaptureInput(*options.pcap);
        if (!line.empty()) return startupError(line, line);
    }

    // Rows of a run that was killed stay in its ".tmp" files: they are published first.
    FlowExporter::finishLeftovers(outputDir, options.prefix);

    std::signal(SIGINT, asyncSignalHandler);
    std::signal(SIGTERM, asyncSignalHandler);

    {
        // Only for a person watching: scripts, cron and systemd see standard error as before.
        std::optional<ProgressLine> progress;
        if (options.pcap && ::isatty(STDERR_FILENO)) progress.emplace(*flowEngine, STDERR_FILENO);
        flowEngine->processPackets();
    }
    return 0;
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
    if (status == 0 || created) removeIfEmpty(outputDir);
    return status;
}
