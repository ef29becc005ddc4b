// The fuzz targets of kvximport's own readers (meshimport's native
// formats). Each input goes through the reader of its target as the bytes of
// a file, and must end in one of two ways:
//   - a clean refusal: bad_input (or out_of_memory), one line that starts
//     with the file's name (and its line, when it names one);
//   - a mesh whose arrays agree with its vertex count and whose every index
//     is below it; warnings one line each. Then, as kvximport would:
//     welded where the format welds by default (STL); converted to the default version and to
//     version -2 when it has at most 65,536 vertices and a triangle, saved, and loaded back with
//     every record, index and name equal; split into parts of at most 16 vertices that hold every
//     triangle exactly once.
// Shared by the libFuzzer programs fuzz_<target> (clang builds) and
// import_replay_test (every build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The targets: one per native format of meshimport (kvx::NativeFormats(),
// by name: "obj", "ply", ...), then "answer", the assimp worker's answer
// decoded (meshimport/worker_answer.h). Each is the name of a fuzz program
// (fuzz_<name>) and of its folders under fuzz/corpus and fuzz/regressions.
std::vector<std::string> ImportFuzzTargets();

// Makes the scratch folder the saved meshes go to (under $KVX_FUZZ_TMPDIR,
// else /dev/shm, else $TMPDIR, else /tmp; removed at a normal exit). False,
// with a message on standard error, when it cannot be made.
bool ImportFuzzInit();

// Runs one input; an empty string when every check held, else what failed.
std::string ImportFuzzOne(std::string_view target, const uint8_t* data, size_t size);
