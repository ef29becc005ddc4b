#include "meshcore/output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>

#include "failure.h"
#include "fd_io.h"
#include "paths.h"
#include "temporary_files.h"

namespace {

using kvx::BaseOf;
using kvx::FolderOf;

// One generator per thread, so that threads saving at once never share
// its state; each is seeded from the process, the thread and the system.
std::string RandomSuffix() {
    thread_local std::minstd_rand generator(
        static_cast<unsigned>(getpid()) ^
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(&errno)) ^
        static_cast<unsigned>(std::random_device{}()));
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(generator()));
    return text;
}

// ---- Removing named temporary files when the program is interrupted ----
//
// A temporary file that has a name (the fallback without O_TMPFILE, or the
// moment between naming an unnamed one and renaming it) is entered here.
// Unless the program handles them itself, SIGTERM, SIGINT and SIGHUP remove
// every entered file, then end the program as the signal would have.
// Handlers are installed only where the signal still has its default
// action, so a host program's own handling (an interpreter's, or that of
// the KVX programs, which call kvx::RemoveTemporaryOutputs) is left alone.

// Enough for a split of 67 million vertices (KvxFileSet enters each part).
constexpr int kCleanupSlots = 1024;

struct CleanupSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 names a file
    int folder = -1;
    char name[NAME_MAX + 1] = {};
};

CleanupSlot gCleanupSlots[kCleanupSlots];
constexpr int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP};

void RemoveEntered() {
    for (CleanupSlot& slot : gCleanupSlots) {
        if (slot.state.load() == 2) ::unlinkat(slot.folder, slot.name, 0);
    }
}

extern "C" void RemoveTemporariesAndResend(int signal) {
    int saved = errno;
    RemoveEntered();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    errno = saved;
    ::raise(signal);
}

void InstallCleanupHandlers() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    for (int signal : kCleanupSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction handler {};
        handler.sa_handler = RemoveTemporariesAndResend;
        sigemptyset(&handler.sa_mask);
        for (int other : kCleanupSignals)
            sigaddset(&handler.sa_mask, other);
        ::sigaction(signal, &handler, nullptr);
    }
}

// ---- Where a path leads ----

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool UnderDevOrProc(std::string_view path) {
    return path == "/dev" || path == "/proc" || StartsWith(path, "/dev/") ||
           StartsWith(path, "/proc/");
}

// The descriptor that `path` names by itself: /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N or
// /proc/<this process>/fd/N. -1 for any other path.
int DescriptorNamed(std::string_view path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    std::string_view number;
    const std::string pid = std::to_string(::getpid());
    for (std::string_view folder :
         {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/"),
          std::string_view("/proc/thread-self/fd/")}) {
        if (StartsWith(path, folder)) number = path.substr(folder.size());
    }
    const std::string own = "/proc/" + pid + "/fd/";
    if (StartsWith(path, own)) number = path.substr(own.size());
    int fd = -1;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), fd);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size()) return -1;
    return fd;
}

// Whether the folder of `path`, with its links resolved, lies in /dev or
// /proc (as /dev/fd/ does).
bool FolderUnderDevOrProc(const std::string& path) {
    char* resolved = ::realpath(FolderOf(path).c_str(), nullptr);
    if (resolved == nullptr) return false;
    bool under = UnderDevOrProc(resolved);
    std::free(resolved);
    return under;
}

struct Destination {
    enum Kind { replace, in_place, descriptor } kind = replace;
    std::string path;  // replace: the file to create or replace; in_place: what to open
    int fd = -1;       // descriptor
    bool exists = false;
    mode_t mode = 0;
};

// Follows `path` link by link to where the bytes must go. 0, or errno.
int Resolve(const char* path, Destination& out) {
    std::string p = path;
    for (int hops = 0;; ++hops) {
        if (int fd = DescriptorNamed(p); fd >= 0) {
            out = {Destination::descriptor, p, fd, true, 0};
            return 0;
        }
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno;
            // Nothing there yet: it is made in its folder, which must exist.
            struct stat folder;
            if (::stat(FolderOf(p).c_str(), &folder) != 0) return errno;
            if (!S_ISDIR(folder.st_mode)) return ENOTDIR;
            out = {Destination::replace, p, -1, false, 0};
            return 0;
        }
        if (S_ISLNK(st.st_mode)) {
            if (hops == 40) return ELOOP;
            // A link inside /proc or /dev (a descriptor's, say) is no
            // path to follow by hand: open it where it is.
            if (UnderDevOrProc(p) || FolderUnderDevOrProc(p)) {
                out = {Destination::in_place, p, -1, true, 0};
                return 0;
            }
            char link[PATH_MAX];
            ssize_t n = ::readlink(p.c_str(), link, sizeof link);
            if (n < 0) return errno;
            if (static_cast<size_t>(n) == sizeof link) return ENAMETOOLONG;
            std::string next(link, static_cast<size_t>(n));
            p = next[0] == '/' ? next : FolderOf(p) + "/" + next;
            if (UnderDevOrProc(p) && DescriptorNamed(p) < 0) {
                out = {Destination::in_place, p, -1, true, 0};
                return 0;
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (!S_ISREG(st.st_mode) || UnderDevOrProc(p)) {
            out = {Destination::in_place, p, -1, true, 0};
            return 0;
        }
        out = {Destination::replace, p, -1, true, static_cast<mode_t>(st.st_mode & 07777)};
        return 0;
    }
}

bool ProcAvailable() {
    return ::access("/proc/self/fd", X_OK) == 0;
}

}  // namespace

std::string kvx::TemporaryName(const std::string& target) {
    if (target.size() + 10 > NAME_MAX) return ".kvx." + RandomSuffix();
    return "." + target + "." + RandomSuffix();
}

mode_t kvx::NewOutputMode() {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

int kvx::EnterTemporary(int folder, const std::string& name) {
    InstallCleanupHandlers();
    for (int k = 0; k < kCleanupSlots; ++k) {
        int expected = 0;
        if (!gCleanupSlots[k].state.compare_exchange_strong(expected, 1)) continue;
        gCleanupSlots[k].folder = folder;
        std::memcpy(gCleanupSlots[k].name, name.c_str(), name.size() + 1);
        gCleanupSlots[k].state.store(2);
        return k;
    }
    return -1;
}

void kvx::LeaveTemporary(int& slot) {
    if (slot >= 0) gCleanupSlots[slot].state.store(0);
    slot = -1;
}

bool kvx::StopSignalPending() {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (const StopSignal& s : kStopSignals) {
        if (sigismember(&pending, s.number) != 1) continue;
        struct sigaction current {};
        if (::sigaction(s.number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            return true;
    }
    return false;
}

int kvx::ResolveOutputTarget(const char* path, OutputTarget* out) {
    Destination to;
    if (int err = Resolve(path, to); err != 0) return err;
    *out = OutputTarget{};
    out->replaceable = to.kind == Destination::replace && !UnderDevOrProc(to.path) &&
                       !FolderUnderDevOrProc(to.path);
    out->path = to.path;
    out->exists = to.exists;
    out->mode = to.mode;
    return 0;
}

void kvx::RemoveTemporaryOutputs() {
    int saved = errno;
    RemoveEntered();
    errno = saved;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!tempName_.empty()) ::unlinkat(folder_, tempName_.c_str(), 0);
    tempName_.clear();
    kvx::LeaveTemporary(cleanupSlot_);
    if (folder_ >= 0) ::close(folder_);
    folder_ = -1;
}

bool OutputFile::open(const char* path, KvxStatus* status) {
    Destination to;
    if (int err = Resolve(path, to); err != 0)
        return kvx::Failed(status, KvxErrc::open_failed, err);
    if (to.kind == Destination::descriptor) {
        // The same open file, sharing its offset and append mode.
        direct_ = true;
        fd_ = ::fcntl(to.fd, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) return kvx::Failed(status, KvxErrc::open_failed, errno);
        return true;
    }
    if (to.kind == Destination::in_place) {
        direct_ = true;
        fd_ = kvx::OpenFile(to.path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY);
        if (fd_ < 0) return kvx::Failed(status, KvxErrc::open_failed, errno);
        return true;
    }

    // Write beside the real file, so that the final rename never crosses
    // file systems. The folder is held open, and every name within it is
    // short: paths near PATH_MAX work as well as any other.
    folder_ = kvx::OpenFile(FolderOf(to.path).c_str(), O_PATH | O_DIRECTORY);
    if (folder_ < 0) return kvx::Failed(status, KvxErrc::open_failed, errno);
    targetName_ = BaseOf(to.path);
    const mode_t mode = to.exists ? to.mode : kvx::NewOutputMode();

    // An unnamed file needs /proc to be given a name later. File systems
    // without O_TMPFILE say so in one of several ways.
    if (ProcAvailable()) {
        fd_ = ::openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        int err = errno;
        if (fd_ >= 0) {
            anonymous_ = true;
        } else if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL && err != ENOENT) {
            discard();
            return kvx::Failed(status, KvxErrc::open_failed, err);
        }
    }
    if (!anonymous_) {
        for (int attempt = 0; fd_ < 0; ++attempt) {
            std::string name = kvx::TemporaryName(targetName_);
            kvx::SignalsHeld held;
            fd_ = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ >= 0) {
                tempName_ = name;
                cleanupSlot_ = kvx::EnterTemporary(folder_, name);
            } else if (errno != EEXIST || attempt == 100) {
                int err = errno;
                discard();
                return kvx::Failed(status, KvxErrc::open_failed, err);
            }
        }
    }
    if (::fchmod(fd_, mode) != 0) {
        int err = errno;
        discard();
        return kvx::Failed(status, KvxErrc::open_failed, err);
    }
    return true;
}

bool OutputFile::write(const void* data, size_t n, KvxStatus* status) {
    if (int err = kvx::WriteAll(fd_, data, n); err != 0)
        return kvx::Failed(status, KvxErrc::write_failed, err);
    return true;
}

bool OutputFile::writeGathered(const iovec* parts, size_t count, KvxStatus* status) {
    if (int err = kvx::WriteAllGathered(fd_, parts, count); err != 0)
        return kvx::Failed(status, KvxErrc::write_failed, err);
    return true;
}

bool OutputFile::commit(KvxStatus* status) {
    if (direct_) {
        int result = ::close(fd_);
        fd_ = -1;
        if (result != 0 && errno != EINTR) return kvx::Failed(status, KvxErrc::write_failed, errno);
        return true;
    }
    if (anonymous_) {
        // Give the unnamed file a hidden name, then move it over the target.
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd_);
        for (int attempt = 0; tempName_.empty(); ++attempt) {
            std::string name = kvx::TemporaryName(targetName_);
            kvx::SignalsHeld held;
            if (::linkat(AT_FDCWD, procPath, folder_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                tempName_ = name;
                cleanupSlot_ = kvx::EnterTemporary(folder_, name);
                break;
            }
            int err = errno;
            if (err != EEXIST || attempt == 100) {
                discard();
                return kvx::Failed(status, KvxErrc::write_failed, err);
            }
        }
    }
    int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        int err = errno;
        discard();
        return kvx::Failed(status, KvxErrc::write_failed, err);
    }
    if (::renameat(folder_, tempName_.c_str(), folder_, targetName_.c_str()) != 0) {
        int err = errno;
        discard();
        return kvx::Failed(status, KvxErrc::write_failed, err);
    }
    tempName_.clear();
    discard();
    return true;
}
