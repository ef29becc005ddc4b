// What OutputFile does beside its own file, for the libraries that write
// several files as one set (meshimport's KvxFileSet): where an output path
// leads, the table of named temporary files that SIGTERM, SIGINT and SIGHUP
// remove, and holding signals back.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <string>

namespace kvx {

// Where the bytes for an output path go, as OutputFile::open sees it:
// links followed link by link (a dangling link leads to the file it would
// create). `replaceable` is true when the destination is a regular file, or
// nothing yet, outside /dev and /proc: a file that a temporary file beside
// it can be renamed over. False for a device, a pipe, a socket, a
// descriptor's name (/dev/stdout) and anything under /dev or /proc, which
// OutputFile writes in place.
struct OutputTarget {
    bool replaceable = false;
    std::string path;  // replaceable: the file to create or replace
    bool exists = false;
    mode_t mode = 0;  // the existing file's permission bits
};

// Fills `out` for `path`. Returns 0, or errno (ELOOP, ENOENT for a missing
// folder, EISDIR for a folder, ...).
int ResolveOutputTarget(const char* path, OutputTarget* out);

// A hidden name for a temporary file beside `target` (a name within its
// folder): ".<target>.<random>", or ".kvx.<random>" where that would exceed
// the longest name the file system takes.
std::string TemporaryName(const std::string& target);

// 0666 less the process's umask: the mode of a new output file.
mode_t NewOutputMode();

// Enters the file `name` of the folder open as `folder` (a descriptor the
// caller keeps open while the file is entered) in the table the stop
// signals empty: from now on SIGTERM, SIGINT and SIGHUP, or a program's own
// handler calling RemoveTemporaryOutputs, remove it. Returns the slot, or
// -1 when the table is full. Call it with signals held (SignalsHeld) from
// the moment the file is created, so that no signal finds the file made but
// not entered.
int EnterTemporary(int folder, const std::string& name);
// Takes the file out of the table (it was renamed or removed); sets `slot`
// to -1. Does nothing for -1.
void LeaveTemporary(int& slot);

// The signals whose default action ends a program and that a user or a
// limit sends: the programs turn each into an ordinary failed run, and a
// set of files waits for them before its commit point.
struct StopSignal {
    int number;
    const char* name;
};
inline constexpr StopSignal kStopSignals[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
    {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}, {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"}, {SIGXCPU, "SIGXCPU"},
};

// Whether one of kStopSignals, not ignored, is waiting to be delivered to this thread or the
// process: held back by SignalsHeld, say.
bool StopSignalPending();

// Holds back every signal that can be held, on this thread, for its scope.
// A held signal is delivered when the scope ends.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace kvx
