// The libFuzzer program of one fuzz target: the build compiles this file
// once per target, with KVX_FUZZ_TARGET naming one of the converters'
// targets (harness.h) or KVX_IMPORT_FUZZ_TARGET one of kvximport's
// (import_harness.h). Any check that fails is reported and ends the run as
// a crash, so libFuzzer keeps the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scratch_folder.h"

#ifdef KVX_IMPORT_FUZZ_TARGET
#include "import_harness.h"
// The target's name, as the build gives it (an identifier: obj), in quotes.
#define KVX_QUOTE(name) #name
#define KVX_NAME_OF(name) KVX_QUOTE(name)
namespace {
constexpr const char* kTarget = KVX_NAME_OF(KVX_IMPORT_FUZZ_TARGET);
constexpr auto Init = ImportFuzzInit;
constexpr auto One = ImportFuzzOne;
const char* Name(const char* target) {
    return target;
}
}  // namespace
#else
#include "harness.h"
namespace {
constexpr FuzzTarget kTarget = FuzzTarget::KVX_FUZZ_TARGET;
constexpr auto Init = FuzzInit;
constexpr auto One = FuzzOne;
constexpr auto Name = FuzzTargetName;
}  // namespace
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Runs before libFuzzer handles -close_fd_mask, while standard error is
    // still the terminal's.
    if (!Init()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = One(kTarget, data, size);
    if (!problem.empty()) {
        FuzzReport(std::string("fuzz_") + Name(kTarget) + ": " + problem);
        std::abort();
    }
    return 0;
}
