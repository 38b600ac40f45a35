// libFuzzer entry point: every input goes down the handler's whole decoding
// road, and the first broken invariant stops the run with its description.
// libFuzzer hands over a heap copy of exactly `size` bytes, so the address
// sanitizer catches any read past the end of the file.
#include "TimRoadCheck.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TimRoadOutcome outcome = RunTimRoad(data, size);
    if (!outcome.fault.empty()) {
        std::fprintf(stderr, "TIM road invariant broken: %s\n", outcome.fault.c_str());
        std::abort();
    }
    return 0;
}
