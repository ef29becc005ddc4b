// The libFuzzer program of one fuzz target: the build compiles this file
// once per target, with KVX_FUZZ_TARGET naming it (harness.h). Any check
// that fails is reported and ends the run as a crash, so libFuzzer keeps
// the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Runs before libFuzzer handles -close_fd_mask, while standard error is
    // still the terminal's.
    if (!FuzzInit()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr FuzzTarget kTarget = FuzzTarget::KVX_FUZZ_TARGET;
    std::string problem = FuzzOne(kTarget, data, size);
    if (!problem.empty()) {
        FuzzReport(std::string("fuzz_") + FuzzTargetName(kTarget) + ": " + problem);
        std::abort();
    }
    return 0;
}
