#include "run_guard.h"

#include <csignal>
#include <new>
#include <system_error>
#include <utility>

#include "console.h"

void FailBadInput(std::string message) {
    throw RunFailure{kExitBadInput, std::move(message), 0};
}

void FailUsage(std::string message) {
    throw RunFailure{kExitUsage, std::move(message), 0};
}

void FailNoMemory(uint64_t bytes) {
    throw RunFailure{kExitNoMemory, "out of memory (" + std::to_string(bytes) + " bytes)", ENOMEM};
}

namespace {

bool IsMemoryShort(const KvxStatus& why) {
    return why.code == KvxErrc::out_of_memory || why.code == KvxErrc::too_large;
}

}  // namespace

void FailInput(const std::string& name, const KvxStatus& why, const char* detail) {
    throw RunFailure{IsMemoryShort(why) ? kExitNoMemory : kExitBadInput,
                     name + ": " + KvxStatusMessage(why) + detail, why.sysErrno};
}

void FailOutput(const std::string& name, const KvxStatus& why) {
    throw RunFailure{why.code == KvxErrc::out_of_memory ? kExitNoMemory : kExitWriteFailed,
                     name + ": " + KvxStatusMessage(why), why.sysErrno};
}

int RunGuarded(const char* program, const std::function<void()>& work, RunFailure* failure) {
    std::signal(SIGXFSZ, SIG_IGN);
    RunFailure caught;
    try {
        work();
        return kExitOk;
    } catch (RunFailure& f) {
        caught = std::move(f);
    } catch (const std::bad_alloc&) {
        caught = {kExitNoMemory, "out of memory", ENOMEM};
    } catch (const std::system_error& e) {
        caught = {kExitNoMemory, e.what(), e.code().value()};
    }
    if (failure != nullptr) {
        *failure = caught;
    } else {
        ReportError(program, caught.message);
    }
    return caught.status;
}

std::string DisplayName(const char* path) {
    std::string name;
    for (const char* p = path; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) {
            name += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            name += "\\x";
            name += kHex[c >> 4];
            name += kHex[c & 15];
        }
    }
    return name;
}

void ReportWarning(const char* program, const std::string& name, const std::string& message) {
    ReportError(program, name + ": warning: " + message);
}
