#pragma once
#include <cstdint>
#include <vector>

// What the handshake analysis keeps beyond the fixed columns. Written once at start-up
// before any pipeline thread exists, read-only afterwards, so readers need no lock.
struct AnalysisSettings {
    static AnalysisSettings& instance() {
        static AnalysisSettings settings;
        return settings;
    }

    bool keyShare = false;
    bool certificates = false;
    bool hasMessageTypes = false;
    bool ja4 = false;  // each handshake's JA4, which the JSON lines carry
    std::vector<int32_t> messageTypes;  // empty with hasMessageTypes: every type

    // True when a handshake message of this type is to be saved raw.
    bool savesMessageType(int type) const {
        if (!hasMessageTypes) return false;
        if (messageTypes.empty()) return true;
        for (int32_t t : messageTypes)
            if (t == type) return true;
        return false;
    }
};
