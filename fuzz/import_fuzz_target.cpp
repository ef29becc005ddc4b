// The libFuzzer program of one of kvximport's readers: the build compiles
// this file once per target, with KVX_IMPORT_FUZZ_TARGET naming it
// (import_harness.h). A failed check is reported and ends the run as a
// crash, so libFuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "import_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!ImportFuzzInit()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr ImportFuzzTarget kTarget = ImportFuzzTarget::KVX_IMPORT_FUZZ_TARGET;
    std::string problem = ImportFuzzOne(kTarget, data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_%s: %s\n", ImportFuzzTargetName(kTarget), problem.c_str());
        std::abort();
    }
    return 0;
}
