// TCP payloads of one connection through a Flow, both directions, with every optional
// column on: the input is a sequence of segments (see replay::segments for the format).
#include "tls/settings.h"
#include "fuzz_support.h"
#include "robustness/replay.h"

namespace {
bool configure() {
    AnalysisSettings& config = AnalysisSettings::instance();
    config.certificates = true;
    config.keyShare = true;
    config.hasMessageTypes = true;  // with no types listed: every message is saved
    config.messageTypes.clear();
    return fuzz::quietLog();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = configure();
    (void)ready;
    fuzz::require(replay::segments(data, size).promisesKept);
    return 0;
}
