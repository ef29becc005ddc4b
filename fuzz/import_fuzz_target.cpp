// The libFuzzer program of one of kvximport's readers: the build compiles
// this file once per target, with KVX_IMPORT_FUZZ_TARGET naming it
// (import_harness.h). A failed check is reported and ends the run as a
// crash, so libFuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "import_harness.h"

// The target's name, as the build gives it (an identifier: obj), in quotes.
#define KVX_QUOTE(name) #name
#define KVX_NAME_OF(name) KVX_QUOTE(name)

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!ImportFuzzInit()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr const char* kTarget = KVX_NAME_OF(KVX_IMPORT_FUZZ_TARGET);
    std::string problem = ImportFuzzOne(kTarget, data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_%s: %s\n", kTarget, problem.c_str());
        std::abort();
    }
    return 0;
}
