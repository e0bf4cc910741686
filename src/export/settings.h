#pragma once
#include <cstdint>
#include <string>

// Where and how rows and certificates are written. Written once at start-up before any
// pipeline thread exists, read-only afterwards.
struct ExportSettings {
    static ExportSettings& instance() {
        static ExportSettings settings;
        return settings;
    }

    std::string outputDir;
    std::string outputPrefix;
    int32_t exportThreshold = 1000000;  // rows per file; 0: no limit by count
    int64_t exportDuration = 0;         // minutes a file stays open
    // The formats written, each in files of its own, rotated and counted alike.
    bool csv = true;
    bool json = false;
};
