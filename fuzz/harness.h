// The fuzz targets' work on one input, shared by the libFuzzer programs
// (fuzz_<target>.cpp, clang builds), the corpus replay and the prefix tests
// (every build). Each input goes through the programs' own work functions
// (RunKvxconv1 ... RunKvxdump) and the loader, and every run must end in one
// of two ways:
//   - a clean failure: exit status 2 or 4, exactly one line on standard
//     error naming the program, no output file and nothing else left in the
//     output folder;
//   - success: status 0, nothing on standard error, a mesh whose counts match
//     its arrays (every record and index is read back, so a short array is a
//     sanitizer report), whose name is zero-terminated and whose indices all
//     lie below the vertex count; and an output file that the format, as
//     load_model.h restates it from docs/format.md, reads as that mesh's
//     header, of exactly the size the header announces.
// The targets add their own cross-checks (see FuzzTarget).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class FuzzTarget {
    cmsh3,      // kvxconv1 on the input as text: 3 values per vertex
    cmsh7,      // kvxconv2 and kvxpoints on the text (7 values) and, when
                // kvxconv2 reads it, kvxwire and kvxconv3 too; they must agree
                // with each other, and kvxwire's edges must be the distinct
                // edges of a plain set
    cmsh9,      // kvxconv4: 9 values per vertex and an optional name
    load,       // arbitrary bytes as a KVX file: the loader from memory, from a
                // file (through kvxdump) and from a pipe must agree with each
                // other and with the format as docs/format.md gives it
                // (load_model.h); a loaded mesh saves back to the same bytes
    roundtrip,  // first byte picks one of the six converters, the rest is its
                // text; a converted mesh loads back equal and saves back to the
                // same file
};

inline constexpr FuzzTarget kFuzzTargets[] = {FuzzTarget::cmsh3, FuzzTarget::cmsh7,
                                              FuzzTarget::cmsh9, FuzzTarget::load,
                                              FuzzTarget::roundtrip};

// "cmsh3", "cmsh7", "cmsh9", "load", "roundtrip": the names of the fuzz
// programs (fuzz_<name>) and of their folders under fuzz/corpus and
// fuzz/regressions.
const char* FuzzTargetName(FuzzTarget target);

// Prepares the process: a private scratch folder for the input and output
// files (under $KVX_FUZZ_TMPDIR, else /dev/shm, else $TMPDIR, else /tmp;
// removed at a normal exit, which libFuzzer skips), and the report channel
// (scratch_folder.h: KeepReportChannel), since each run sends standard error
// to a capture file. Call it once before the first FuzzOne, while standard
// error is still the real one (libFuzzer: LLVMFuzzerInitialize). Returns
// false, with a message on standard error, when the scratch folder cannot be
// made.
bool FuzzInit();

// Runs one input through `target`. Standard output is discarded during the
// runs. Returns an empty string when every check held, otherwise a
// description of the first one that failed. Leaves the global mesh and the
// programs' work arrays released.
std::string FuzzOne(FuzzTarget target, const uint8_t* data, size_t size);
