#pragma once
// Shared set-up for the export tests: a real temporary output directory, saved and
// restored settings, a log capture, and a helper that runs the exporter.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/settings.h"
#include "export/exporter.h"
#include "record/sha1.h"
#include "flow/flow.h"

namespace export_test {

inline std::string sha1Hex(std::string const& bytes) {
    Sha1 sha1;
    sha1.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return sha1.finalHex();
}

namespace fs = boost::filesystem;

inline std::string readFile(fs::path const& path) { return varno_test::readFile(path.string()); }
inline void writeFile(fs::path const& path, std::string const& text) { varno_test::writeFile(path.string(), text); }

inline std::vector<std::string> splitLines(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using varno_test::LogCapture;

inline std::shared_ptr<Flow> makeFlow(std::string const& sni, uint64_t timestamp = 1700000000000) {
    auto flow = std::make_shared<Flow>(FlowKey{});
    flow->features().connectionTimestamp = timestamp;
    flow->features().tlsVersion = "TLSv1.3";
    flow->features().versionCode = 0x0304;
    flow->features().sni = sni;
    return flow;
}

// Writes the flows' rows as the analysis thread does, then ends as the engine does.
inline void runExporter(std::vector<std::shared_ptr<Flow>> const& flows) {
    FlowExporter exporter;
    for (auto const& flow : flows) exporter.exportRow(flow->features());
    exporter.finish();
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ExportSettings& config = guard.output;
        dir = fs::temp_directory_path() / fs::unique_path("varno-export-%%%%-%%%%-%%%%");
        fs::create_directories(dir);
        config.outputDir = dir.string();
        config.outputPrefix = "out";
        config.exportThreshold = 1000000;
        config.exportDuration = 60;
    }

    void TearDown() override {
        boost::system::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Names of the regular files directly in the output directory.
    std::set<std::string> outputFiles() const {
        std::set<std::string> names;
        for (auto const& entry : fs::directory_iterator(dir))
            if (fs::is_regular_file(entry.status())) names.insert(entry.path().filename().string());
        return names;
    }

    SettingsGuard guard;
    fs::path dir;
};

}  // namespace export_test
