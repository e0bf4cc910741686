// A whole capture file through the pipeline: the input is written as it is to a file
// (classic pcap or pcapng, whatever libpcap makes of it) and run through a FlowEngine with
// every optional column on, into a temporary directory (see replay::capture).
#include <boost/filesystem.hpp>

#include "app/config.h"
#include "fuzz_support.h"
#include "robustness/replay.h"

namespace fs = boost::filesystem;

namespace {
struct Workspace {
    fs::path root = fs::temp_directory_path() / fs::unique_path("varno-fuzz-%%%%-%%%%-%%%%");

    Workspace() {
        fs::create_directories(root);
        FlowEngineConfig& settings = FlowEngineConfig::instance();
        ExportSettings& output = settings.output;
        output.outputPrefix = "output";
        output.exportThreshold = 1000000;
        output.exportDuration = 60;
        AnalysisSettings& config = settings.analysis;
        config.keyShare = true;
        config.certificates = true;
        config.hasMessageTypes = true;
        config.messageTypes.clear();
        fuzz::quietLog();
    }
    ~Workspace() {
        boost::system::error_code ignored;
        fs::remove_all(root, ignored);
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Workspace workspace;  // removed when the fuzzer exits normally
    replay::capture(workspace.root, data, size);
    return 0;
}
