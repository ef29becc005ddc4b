// What both fuzz harnesses share: where they keep their files, and where
// their reports go.
#pragma once

#include <string>

// Makes a fresh folder "<base>/<prefix>.XXXXXX" and returns its path: the
// base is $KVX_FUZZ_TMPDIR, else /dev/shm where it can be written (files in
// memory), else $TMPDIR, else /tmp. "" with a line on standard error when no
// folder can be made.
std::string MakeScratchFolder(const char* prefix);

// Keeps a copy of standard error as it is now for FuzzReport and, in a
// sanitizer build, for sanitizer reports: libFuzzer's -close_fd_mask sends
// the real one to /dev/null later, and a harness sends it to a capture file
// during its runs. A harness calls it once from its init; again, it does
// nothing.
void KeepReportChannel();

// Writes `line` and a line feed to standard error as it was at
// KeepReportChannel (the current one before any call).
void FuzzReport(const std::string& line);
