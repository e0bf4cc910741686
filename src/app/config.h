#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Process-wide settings: written once by start-up before any pipeline thread exists,
// read-only afterwards, so readers need no lock.
class FlowEngineConfig {
public:
    static FlowEngineConfig& instance() {
        static FlowEngineConfig config;
        return config;
    }

    std::string outputDir;
    std::string outputPrefix;
    int32_t exportThreshold = 1000000;
    int64_t exportDuration = 0;  // minutes
    bool keyShare = false;
    bool certificates = false;
    bool hasMessageTypes = false;
    std::vector<int32_t> messageTypes;

    // True when a handshake message of this type is to be saved raw.
    bool savesMessageType(int type) const {
        if (!hasMessageTypes) return false;
        if (messageTypes.empty()) return true;
        for (int32_t t : messageTypes)
            if (t == type) return true;
        return false;
    }

private:
    FlowEngineConfig() = default;
    FlowEngineConfig(FlowEngineConfig const&) = delete;
    FlowEngineConfig& operator=(FlowEngineConfig const&) = delete;
};
