#pragma once
#include "export/settings.h"
#include "tls/settings.h"

// The process-wide settings, gathered for start-up: each layer reads only its own part.
class FlowEngineConfig {
public:
    static FlowEngineConfig& instance() {
        static FlowEngineConfig config;
        return config;
    }

    AnalysisSettings& analysis = AnalysisSettings::instance();
    ExportSettings& output = ExportSettings::instance();

private:
    FlowEngineConfig() = default;
    FlowEngineConfig(FlowEngineConfig const&) = delete;
    FlowEngineConfig& operator=(FlowEngineConfig const&) = delete;
};
