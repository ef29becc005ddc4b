// The answer of the assimp worker (kvx-assimp, a process of its own) to the
// process that started it, over a pipe: one mesh, or one failure. The bytes
// are this machine's own (the two processes are one build on one machine):
//
//   "KVXA", version 1 (1 byte), kind (1 byte: 0 mesh, 1 bad input, 2 out of
//   memory);
//   a failure: the message's length (u32) and the message, one line;
//   a mesh: flags (1 byte: 1 colours, 2 texture coordinates, 4 normals,
//   8 lines), the name's length (u32) and the name, the vertex count, the
//   triangle count and, with flag 8, the line count (u64 each), then x, y, z
//   per vertex (float), a colour word per vertex (u32, with flag 1), u, v
//   per vertex (float, with flag 2), a normal's x, y, z per vertex (float,
//   with flag 4), three indices per triangle (u32), two per line (u32, with
//   flag 8), and nothing after them. An answer without flags 4 and 8 is
//   what the first workers sent.
//
// What the worker does before it reads anything (ConfineWorker) is here
// too, since every worker, the tests' stand-ins included, does the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

// The exit status of a worker that ran out of memory.
inline constexpr int kWorkerExitNoMemory = 4;

// Appends the answer for `result` to `out`: its mesh when ok(), else its
// kind (memory, or bad_input for any other) and message. Throws
// std::bad_alloc when `out` cannot grow (the worker is a program).
void EncodeWorkerAnswer(const ImportResult& result, std::string& out);

enum class AnswerErrc { ok, garbled, out_of_memory };

// Decodes the `size` bytes at `data` into `result`: a mesh (its arrays
// consistent: every triangle's and line's index below the vertex count), or
// the failure the worker sent, as `result.error`. garbled, with `why` saying
// what is wrong ("ends after 17 of 40 bytes"), when the bytes are anything
// but one whole answer; no count is trusted beyond the bytes that hold it, so no
// allocation exceeds `size`. out_of_memory when an allocation failed. Never
// throws.
AnswerErrc DecodeWorkerAnswer(const char* data, size_t size, ImportResult& result,
                              std::string* why);

// What a worker is confined to.
struct WorkerConfinement {
    uint64_t memoryBytes = 0;  // address space; 0: no limit
    uint32_t seconds = 0;      // processor time; 0: no limit
};

// Confines the calling process, a worker, before it reads anything: the
// limits of `confinement` (processor time as a soft limit, SIGXCPU, and a
// hard one a second later), no core files, no new privileges, SIGKILL when
// its parent ends, every descriptor above 4 closed, and a failed allocation
// answered on descriptor 1 as out of memory followed by an exit with
// kWorkerExitNoMemory. False when a limit cannot be set.
bool ConfineWorker(const WorkerConfinement& confinement);

}  // namespace kvx
