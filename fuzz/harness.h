// The fuzz targets' work on one input, shared by the libFuzzer programs
// (fuzz_<target>.cpp, clang builds), the corpus replay and the prefix tests
// (every build). Each input goes through the libraries alone: the
// converters' reading (kvx::ReadCmshMesh, meshtext/cmsh_mesh.h) for a layout
// of meshcore/layout.h, into a mesh and work arrays the harness owns, then
// the layout's save; and the loader. Nothing may be printed, nothing thrown,
// and every reading must end in one of two ways:
//   - a clean failure: kind bad_input or memory, a message of one printable
//     line naming the input ("<input>:...", or an allocation's "out of
//     memory (N bytes)"), nothing but the input left in the output folder;
//   - success: no failure, any advice one printable line, the work arrays
//     that the work frees freed (the normals' faces, both edge lists) and
//     the wireframe's triangles kept; a mesh whose counts match its arrays
//     (every record and index is read back, so a short array is a sanitizer
//     report), whose name is zero-terminated and whose indices all lie below
//     the vertex count; and an output file that the format, as load_model.h
//     restates it from docs/format.md, reads as that mesh's header, of
//     exactly the size the header announces.
// Either way the echo calls come only where the layout's echo asks for them,
// in order, and on success they echo the very mesh read.
// The targets add their own cross-checks (see FuzzTarget).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class FuzzTarget {
    cmsh3,      // version 1 (kvxconv1) from the input as text: 3 values per vertex
    cmsh7,      // versions 2 and -1 (kvxconv2, kvxpoints) from the text (7 values)
                // and, when version 2 reads it, -2 and 3 (kvxwire, kvxconv3)
                // too; they must agree with each other, and the wireframe's
                // edges must be the distinct edges of a plain set
    cmsh9,      // version 4 (kvxconv4): 9 values per vertex and an optional name
    load,       // arbitrary bytes as a KVX file: the loader from memory, from a
                // file and from a pipe must agree with each other and with the
                // format as docs/format.md gives it (load_model.h), a failure
                // saying itself in one line; a loaded mesh saves back to the
                // same bytes
    roundtrip,  // first byte picks one of the six converter layouts (in the
                // table's order, modulo 6), the rest is its text; a converted
                // mesh loads back equal, from memory and from its file, and
                // saves back to the same file
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
// (scratch_folder.h: KeepReportChannel), since each run sends standard output
// and error to capture files. Call it once before the first FuzzOne, while standard
// error is still the real one (libFuzzer: LLVMFuzzerInitialize). Returns
// false, with a message on standard error, when the scratch folder cannot be
// made.
bool FuzzInit();

// Runs one input through `target`. Standard output and error are captured
// during the runs (the libraries print nothing). Returns an empty string
// when every check held, otherwise a description of the first one that
// failed. Releases every mesh and work array it made.
std::string FuzzOne(FuzzTarget target, const uint8_t* data, size_t size);
