#pragma once
// Restores every process-wide setting a test changed, whichever layer's they are.
#include "export/settings.h"
#include "tls/settings.h"

struct SettingsGuard {
    AnalysisSettings& config = AnalysisSettings::instance();
    ExportSettings& output = ExportSettings::instance();
    AnalysisSettings const savedAnalysis = config;
    ExportSettings const savedOutput = output;
    ~SettingsGuard() {
        config = savedAnalysis;
        output = savedOutput;
    }
};
