// Frame decoding: the input is one captured frame (see replay::frame).
#include "fuzz_support.h"
#include "robustness/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = fuzz::quietLog();
    (void)quiet;
    fuzz::require(replay::frame(data, size));
    return 0;
}
