// The one failure vocabulary above the file level: what kind of failure a
// run met, which decides its exit status, and the one line that says it.
// The libraries return a Failure (or fill a KvxStatus, which
// InputFailure and OutputFailure word); the programs print it after their
// name and exit with ExitStatusOf; the Python module raises the matching
// exception (kvx.KvxInputError, OSError, MemoryError).
#pragma once

#include <cstdint>
#include <string>

#include "meshcore/okvx.h"

namespace kvx {

// The kinds, numbered as the exit statuses they give.
enum class FailureKind : uint8_t {
    none = 0,
    usage = 1,      // a command line or call that cannot be followed
    bad_input = 2,  // the input is missing, unreadable or invalid
    output = 3,     // the output file or standard output could not be written
    memory = 4,     // an allocation failed, or the input needs more than can be addressed
};

struct Failure {
    FailureKind kind = FailureKind::none;
    std::string message;  // one line, naming the file: "mesh.cmsh:12: expected ..."
    int sysErrno = 0;     // where a system call failed
    explicit operator bool() const { return kind != FailureKind::none; }
};

// The exit status of a failure kind: 0 none, 1 usage, 2 bad input, 3
// output, 4 memory.
constexpr int ExitStatusOf(FailureKind kind) {
    return static_cast<int>(kind);
}

// A failed load or read of the input `name`: "<name>: <why><detail>";
// memory for out_of_memory and too_large, bad_input for everything else.
Failure InputFailure(const std::string& name, const KvxStatus& why, const char* detail = "");
// A failed write of the output `name`: "<name>: <why>"; memory for
// out_of_memory, output for everything else.
Failure OutputFailure(const std::string& name, const KvxStatus& why);
// "out of memory (N bytes)", memory.
Failure MemoryFailure(uint64_t bytes);
// A message of bad input, bad_input.
Failure BadInput(std::string message);

// A file name as messages show it: control characters escaped as \xNN,
// so that every message stays one line.
std::string DisplayName(const char* path);

}  // namespace kvx
