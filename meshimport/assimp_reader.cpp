#include "meshimport/assimp_reader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "meshimport/worker_answer.h"
#include "reader_support.h"

namespace kvx {

namespace {

// The extensions assimp reads, made by the build from the worker's list.
constexpr std::string_view kAssimpExtensions[] = {
#include "assimp_extensions.inc"
};

// The worker relative to the program or to the Python module (set by the
// build from the install folders).
#ifndef KVX_WORKER_FROM_PROGRAM
#define KVX_WORKER_FROM_PROGRAM "../libexec/kvx/kvx-assimp"
#endif
#ifndef KVX_WORKER_FROM_MODULE
#define KVX_WORKER_FROM_MODULE "../../libexec/kvx/kvx-assimp"
#endif

ImportResult Failed(const std::string& path, FailureKind kind, const std::string& what,
                    int err = 0) {
    ImportResult r;
    r.error.kind = kind;
    r.error.sysErrno = err;
    r.error.message = path + ": " + what;
    return r;
}

ImportResult ReadFailed(const std::string& path, int err) {
    return Failed(path, err == ENOMEM ? FailureKind::memory : FailureKind::bad_input,
                  std::strerror(err), err);
}

// A descriptor that closes itself.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

// A copy of `fd` at 10 or above, close-on-exec: clear of the numbers the
// worker is given.
int Raise(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// The folder of a path to an object: "/usr/bin/kvximport" gives
// "/usr/bin", "kvximport" gives ".".
std::filesystem::path FolderOf(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

std::string SignalName(int sig) {
    const char* abbrev = ::sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

struct Worker {
    pid_t pid = -1;
    int status = 0;
    bool reaped = false;
};

using Clock = std::chrono::steady_clock;

// Waits for the worker until `deadline`; then kills it and waits again.
// True when it ended by itself.
bool Reap(Worker& w, Clock::time_point deadline) {
    while (!w.reaped) {
        pid_t got = ::waitpid(w.pid, &w.status, WNOHANG);
        if (got == w.pid) {
            w.reaped = true;
            return true;
        }
        if (got < 0 && errno != EINTR) return true;  // not ours to wait for any more
        if (Clock::now() >= deadline) break;
        ::poll(nullptr, 0, 5);
    }
    if (w.reaped) return true;
    ::kill(w.pid, SIGKILL);
    while (::waitpid(w.pid, &w.status, 0) < 0 && errno == EINTR) {
    }
    w.reaped = true;
    return false;
}

// Kills and reaps the worker when a read ends early.
struct WorkerGuard {
    Worker& w;
    ~WorkerGuard() {
        if (w.pid > 0 && !w.reaped) {
            ::kill(w.pid, SIGKILL);
            while (::waitpid(w.pid, &w.status, 0) < 0 && errno == EINTR) {
            }
            w.reaped = true;
        }
    }
};

ImportResult Read(const std::string& path, std::string_view formatHint, const ReadOptions& options,
                  const ReaderLimits& limits) {
    // The file is opened once, here; the worker gets its descriptor. A FIFO
    // opens without waiting for a writer, and is refused.
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) return ReadFailed(path, errno);
    struct stat st;
    if (::fstat(file.fd, &st) != 0) return ReadFailed(path, errno);
    if (S_ISDIR(st.st_mode)) return ReadFailed(path, EISDIR);
    if (!S_ISREG(st.st_mode)) {
        return Failed(path, FailureKind::bad_input,
                      "not a regular file; formats read through assimp are read from files only");
    }
    file.reset(Raise(file.fd));
    const std::string folderPath = FolderOf(path).string();
    Fd folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) folder.reset(Raise(folder.fd));
    if (file.fd < 0) return ReadFailed(path, errno);

    const std::string worker = AssimpWorkerPath();
    if (worker.empty()) {
        return Failed(path, FailureKind::bad_input,
                      "formats read through assimp need the reader kvx-assimp, which is not "
                      "installed beside this program");
    }
    // The name assimp reads the file under: its own, or with the hint's
    // extension added, which then chooses the reader.
    std::string main = std::filesystem::path(path).filename().string();
    const std::string hint = detail::Lower(formatHint);
    if (!hint.empty() && detail::Lower(detail::ExtensionOf(main)) != hint) main += "." + hint;
    if (main.empty() || main == "." || main == "..") main = "input." + hint;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return ReadFailed(path, errno);
    Fd readEnd(Raise(pipeFds[0])), writeEnd(Raise(pipeFds[1]));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    if (readEnd.fd < 0 || writeEnd.fd < 0) return ReadFailed(path, EMFILE);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (::posix_spawn_file_actions_init(&actions) != 0) return ReadFailed(path, ENOMEM);
    if (::posix_spawnattr_init(&attr) != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return ReadFailed(path, ENOMEM);
    }
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
    // The worker's own words go nowhere: its answer is all it says.
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, file.fd, 3);
    if (folder.fd >= 0) {
        ::posix_spawn_file_actions_adddup2(&actions, folder.fd, 4);
    } else {
        ::posix_spawn_file_actions_addclose(&actions, 4);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 5);
#endif
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    const std::string order = options.colorOrder == ColorOrder::rgba ? "rgba" : "argb";
    const std::string memory = std::to_string(limits.memoryBytes);
    const std::string seconds = std::to_string(limits.seconds);
    const char* argv[] = {worker.c_str(), path.c_str(),    main.c_str(), order.c_str(),
                          memory.c_str(), seconds.c_str(), nullptr};
    char* envp[] = {nullptr};
    Worker w;
    WorkerGuard guard{w};
    const auto start = Clock::now();
    int err = ::posix_spawn(&w.pid, worker.c_str(), &actions, &attr, const_cast<char* const*>(argv),
                            envp);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (err != 0) {
        w.pid = -1;
        return Failed(path, err == ENOMEM ? FailureKind::memory : FailureKind::bad_input,
                      "formats read through assimp need the reader " + worker +
                          ", which cannot be started (" + std::strerror(err) + ")");
    }
    writeEnd.reset();
    file.reset();
    folder.reset();

    // The answer, until the worker closes its end, the deadline or the cap.
    const auto deadline =
        start + std::chrono::seconds(limits.seconds == 0 ? 1u << 30 : limits.seconds);
    const std::string took = "the reader took more than " + std::to_string(limits.seconds) +
                             " s; the file may be hostile or too large";
    std::string answer;
    bool tooLarge = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            Reap(w, Clock::now());
            return Failed(path, FailureKind::bad_input, took);
        }
        pollfd p = {readEnd.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) return ReadFailed(path, errno);
        if (ready <= 0) continue;
        char chunk[65536];
        ssize_t n = ::read(readEnd.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        if (static_cast<uint64_t>(n) >
            limits.answerBytes - std::min<uint64_t>(answer.size(), limits.answerBytes)) {
            tooLarge = true;
            break;
        }
        answer.append(chunk, static_cast<size_t>(n));
    }
    readEnd.reset();
    if (tooLarge) {
        Reap(w, Clock::now());
        return Failed(path, FailureKind::bad_input,
                      "the reader's answer is larger than " + SizeText(limits.answerBytes));
    }
    if (!Reap(w, deadline)) return Failed(path, FailureKind::bad_input, took);

    const std::string noMemory =
        "the reader ran out of memory (limit " + SizeText(limits.memoryBytes) + ")";
    if (WIFSIGNALED(w.status)) {
        const int sig = WTERMSIG(w.status);
        if (sig == SIGXCPU) return Failed(path, FailureKind::bad_input, took);
        if (sig == SIGKILL)
            return Failed(path, FailureKind::bad_input, "the reader was killed (SIGKILL)");
        return Failed(path, FailureKind::bad_input,
                      "the reader crashed (" + SignalName(sig) + "); the file is malformed");
    }
    const int code = WIFEXITED(w.status) ? WEXITSTATUS(w.status) : 1;
    if (code == kWorkerExitNoMemory) return Failed(path, FailureKind::memory, noMemory);
    if (code != 0) {
        return Failed(path, FailureKind::bad_input,
                      "the reader failed (exit status " + std::to_string(code) + ")");
    }
    if (answer.empty())
        return Failed(path, FailureKind::bad_input, "the reader ended without an answer");
    ImportResult result;
    std::string why;
    switch (DecodeWorkerAnswer(answer.data(), answer.size(), result, &why)) {
        case AnswerErrc::ok:
            break;
        case AnswerErrc::garbled:
            return Failed(path, FailureKind::bad_input,
                          "the reader's answer is garbled (" + why + ")");
        case AnswerErrc::out_of_memory:
            return detail::OutOfMemory(path);
    }
    if (result.error.kind == FailureKind::memory) {
        return Failed(path, FailureKind::memory, noMemory);
    }
    return result;
}

}  // namespace

bool HaveAssimp() {
    return true;
}

bool AssimpReadsExtension(std::string_view extension) {
    if (extension.empty()) return false;
    const std::string lower = detail::Lower(extension);
    return std::find(std::begin(kAssimpExtensions), std::end(kAssimpExtensions), lower) !=
           std::end(kAssimpExtensions);
}

std::string AssimpWorkerPath() {
    const char* over = std::getenv("KVX_ASSIMP_WORKER");
    if (over != nullptr && *over != '\0') return over;
    Dl_info info{};
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string program = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    std::string object;
    if (::dladdr(reinterpret_cast<void*>(&AssimpWorkerPath), &info) != 0 && info.dli_fname &&
        *info.dli_fname) {
        object = info.dli_fname;
    }
    // The code is in the program unless dladdr names another file.
    struct stat a, b;
    const bool inProgram = object.empty() ||
                           (::stat(object.c_str(), &a) == 0 && ::stat(exe, &b) == 0 &&
                            a.st_dev == b.st_dev && a.st_ino == b.st_ino) ||
                           program.empty();
    if (inProgram && !program.empty()) {
        for (const char* relative : {KVX_WORKER_FROM_PROGRAM, "../libexec/kvx/kvx-assimp"}) {
            std::string candidate = (FolderOf(program) / relative).string();
            if (Exists(candidate)) return candidate;
        }
        return {};
    }
    char resolved[4096];
    if (::realpath(object.c_str(), resolved) != nullptr) object = resolved;
    for (const char* relative : {"../../libexec/kvx/kvx-assimp", KVX_WORKER_FROM_MODULE}) {
        std::string candidate = (FolderOf(object) / relative).string();
        if (Exists(candidate)) return candidate;
    }
    return {};
}

ImportResult ReadWithAssimp(const std::string& path, std::string_view formatHint,
                            const ReadOptions& options, const ReaderLimits& limits) {
    return detail::GuardMemory(path, [&] { return Read(path, formatHint, options, limits); });
}

}  // namespace kvx
