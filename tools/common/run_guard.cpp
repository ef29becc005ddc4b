#include "run_guard.h"

#include <unistd.h>
#include <csignal>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "console.h"
#include "meshcore/output_file.h"
#include "same_file.h"
#include "temporary_files.h"

void Fail(kvx::Failure failure) {
    throw failure;
}

void FailBadInput(std::string message) {
    Fail(kvx::BadInput(std::move(message)));
}

void FailUsage(std::string message) {
    Fail({kvx::FailureKind::usage, std::move(message), 0});
}

void FailNoMemory(uint64_t bytes) {
    Fail(kvx::MemoryFailure(bytes));
}

namespace {

// ---- Signals: a program ends by a signal only for SIGKILL ----

// The program named in the line a stop prints.
const char* gStoppedProgram = "kvx";

void WriteRaw(const char* text) {
    ssize_t ignored = ::write(2, text, std::strlen(text));
    (void)ignored;
}

extern "C" void StopOnSignal(int number) {
    kvx::RemoveTemporaryOutputs();
    for (const kvx::StopSignal& s : kvx::kStopSignals) {
        if (s.number != number) continue;
        WriteRaw(gStoppedProgram);
        WriteRaw(": stopped by ");
        WriteRaw(s.name);
        WriteRaw("\n");
    }
    ::_exit(kExitWriteFailed);
}

}  // namespace

void TakeOverSignals(const char* program) {
    gStoppedProgram = program;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = StopOnSignal;
    sigemptyset(&stop.sa_mask);
    for (const kvx::StopSignal& s : kvx::kStopSignals)
        sigaddset(&stop.sa_mask, s.number);
    for (const kvx::StopSignal& s : kvx::kStopSignals) {
        struct sigaction current {};
        if (::sigaction(s.number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        ::sigaction(s.number, &stop, nullptr);
    }
}

void FailInput(const std::string& name, const KvxStatus& why, const char* detail) {
    Fail(kvx::InputFailure(name, why, detail));
}

void FailOutput(const std::string& name, const KvxStatus& why) {
    Fail(kvx::OutputFailure(name, why));
}

void RefuseOutputOverInput(const char* input, const char* output) {
    KvxStatus why;
    if (!kvx::CheckOutputIsNotInput(input, output, &why)) FailOutput(DisplayName(output), why);
}

int RunGuarded(const char* program, const std::function<void()>& work, RunFailure* failure) {
    RunFailure caught;
    try {
        work();
        return kExitOk;
    } catch (RunFailure& f) {
        caught = std::move(f);
    } catch (const std::bad_alloc&) {
        caught = {kvx::FailureKind::memory, "out of memory", ENOMEM};
    } catch (const std::system_error& e) {
        caught = {kvx::FailureKind::memory, e.what(), e.code().value()};
    }
    if (failure != nullptr) {
        *failure = caught;
    } else {
        ReportError(program, caught.message);
    }
    return kvx::ExitStatusOf(caught.kind);
}

void ReportWarning(const char* program, const std::string& name, const std::string& message) {
    ReportError(program, name + ": warning: " + message);
}
