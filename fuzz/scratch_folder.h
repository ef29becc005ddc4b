// Where a fuzz target's harness keeps its files.
#pragma once

#include <string>

// Makes a fresh folder "<base>/<prefix>.XXXXXX" and returns its path: the
// base is $KVX_FUZZ_TMPDIR, else /dev/shm where it can be written (files in
// memory), else $TMPDIR, else /tmp. "" with a line on standard error when no
// folder can be made.
std::string MakeScratchFolder(const char* prefix);
