// Frames built from a recipe of nested encapsulations (see replay::encapsulation).
#include "fuzz_support.h"
#include "robustness/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = fuzz::quietLog();
    (void)quiet;
    fuzz::require(replay::encapsulation(data, size));
    return 0;
}
