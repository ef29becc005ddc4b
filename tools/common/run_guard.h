// How every program runs and fails: its work goes through one guard, which
// turns each way a run can fail into one line on standard error and an exit
// status.
//
// Work reports a failure by throwing a RunFailure, built by the Fail...
// functions below from what went wrong (a text message, a KvxStatus, an
// errno). The libraries underneath never throw; the programs' glue turns
// their results into these.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "exit_status.h"
#include "meshcore/failure.h"
#include "meshcore/okvx.h"

// One failed run: its kind (kvx::ExitStatusOf gives the exit status), the
// line it prints after "<program>: ", and errno where a system call failed.
using RunFailure = kvx::Failure;

// Throws `failure` for the run guard.
[[noreturn]] void Fail(kvx::Failure failure);

// Bad input (status 2). `message` is the whole line, e.g. what a reader
// left in its error().
[[noreturn]] void FailBadInput(std::string message);
// Status 1, for a command line that cannot be followed.
[[noreturn]] void FailUsage(std::string message);
// Out of memory (status 4): "out of memory (N bytes)".
[[noreturn]] void FailNoMemory(uint64_t bytes);
// A load or read of the input `name` failed: "<name>: <why><detail>",
// status 4 for out_of_memory and too_large, 2 for everything else.
[[noreturn]] void FailInput(const std::string& name, const KvxStatus& why, const char* detail = "");
// A write of the output `name` failed: "<name>: <why>", status 4 for
// out_of_memory, 3 for everything else.
[[noreturn]] void FailOutput(const std::string& name, const KvxStatus& why);

// Refuses an output that is the file an input names, through any link
// (kvx::CheckOutputIsNotInput), before the run reads or writes anything:
// FailOutput, status 3, "<output>: the same file as the input; choose
// another output".
void RefuseOutputOverInput(const char* input, const char* output);

// Runs `work` and returns the program's exit status: 0 when it returns.
// A RunFailure prints "<program>: <message>" and gives its status;
// std::bad_alloc gives "out of memory" and status 4; std::system_error (a
// thread the system cannot start) its own words and status 4. Given
// `failure`, as a host such as the Python module does, nothing is printed:
// the failure is stored there instead.
int RunGuarded(const char* program, const std::function<void()>& work,
               RunFailure* failure = nullptr);

// Makes the process end by a signal only for SIGKILL (and the signals of a
// fault such as SIGSEGV, which would be a bug); each program's main calls
// it first. SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a
// file-size limit makes the write fail ("Broken pipe", "File too large":
// status 3). SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2,
// SIGVTALRM, SIGPROF and SIGXCPU, unless already ignored (as nohup ignores
// SIGHUP), remove the temporary output file and end the run with
// "<program>: stopped by SIGTERM" (say) and status 3: the output was not
// written. Work run in a host's process (tests, the fuzz harness, Python)
// leaves the host's signals alone by not calling it.
void TakeOverSignals(const char* program);

using kvx::DisplayName;

// Prints "<program>: <name>: warning: <message>" on standard error.
void ReportWarning(const char* program, const std::string& name, const std::string& message);
