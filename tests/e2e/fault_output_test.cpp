// Faults around the files: output on a full device and on a null device,
// output folders that are missing, read-only or a directory, input paths
// that are directories, and runs killed while they write. A failed run
// prints one line and leaves the previous output, and only it, behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace {

// A device node of this test's own, of the kind of /dev/full (minor 7) or
// /dev/null (minor 3), so that a faulty rename can never replace the
// system's node. "" where this process may not make one or the file system
// does not honour device nodes.
std::string MakeDevice(const TempDir& dir, const std::string& name, unsigned minor) {
    std::string path = dir.file(name);
    if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) return "";
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        ::unlink(path.c_str());
        return "";
    }
    ::close(fd);
    return path;
}

bool IsMemoryDevice(const std::string& path, unsigned minor) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, minor);
}

TEST(FaultOutput, AFullDeviceFailsEveryConverterAndStaysADevice) {
    TempDir dir;
    std::string full = MakeDevice(dir, "full", 7);
    if (full.empty()) GTEST_SKIP() << "device nodes cannot be made here";
    for (const Converter& p : Converters()) {
        SCOPED_TRACE(p.name);
        RunResult r = RunProgram(p.path, {p.example, full});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, p.name + ": " + full + ": No space left on device\n");
        EXPECT_TRUE(IsMemoryDevice(full, 7));
    }
    // Standard output on the full device: the echo fails before the file
    // is written, and kvxdump's listing fails.
    std::string out = dir.file("out.kvx");
    RunResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" \"$2\" > \"$3\"", KVXCONV1_PATH,
                                         Example("cube3.cmsh"), out, full});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv1: standard output: No space left on device\n");
    EXPECT_FALSE(FileExists(out));
    ASSERT_EQ(RunProgram(KVXCONV1_PATH, {Example("cube3.cmsh"), out}).exitStatus, 0);
    r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" > \"$2\"", KVXDUMP_PATH, out, full});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxdump: standard output: No space left on device\n");
    EXPECT_TRUE(IsMemoryDevice(full, 7));
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"full", "out.kvx"}));
}

TEST(FaultOutput, ANullDeviceTakesTheWholeFileAndStaysADevice) {
    TempDir dir;
    std::vector<std::pair<std::string, unsigned>> devices = {{"/dev/null", 3}};
    std::string null = MakeDevice(dir, "null", 3);
    if (!null.empty()) devices.push_back({null, 3});
    for (const Converter& p : Converters()) {
        for (const auto& [device, minor] : devices) {
            SCOPED_TRACE(p.name + " to " + device);
            RunResult r = RunProgram(p.path, {p.example, device});
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(IsMemoryDevice(device, minor));
        }
    }
    EXPECT_EQ(ListFolder(dir.path()),
              null.empty() ? std::vector<std::string>{} : std::vector<std::string>{"null"});
}

TEST(FaultOutput, AMissingOutputFolderIsReportedAndNotMade) {
    TempDir dir;
    std::string out = dir.file("missing/out.kvx");
    for (const Converter& p : Converters()) {
        SCOPED_TRACE(p.name);
        RunResult r = RunProgram(p.path, {p.example, out});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, p.name + ": " + out + ": No such file or directory\n");
    }
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

// Makes a folder read-only for this process: by its mode for an ordinary
// user; for root, whom modes do not stop, by the immutable flag where the
// file system has one. Undone when the object goes.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::string& path) : path_(path) {
        if (::geteuid() != 0) {
            ok_ = ::chmod(path.c_str(), 0555) == 0;
            return;
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            ok_ = immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
    }
    ~ReadOnlyFolder() {
        if (immutable_) {
            int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0) ::close(fd);
        } else if (ok_) {
            ::chmod(path_.c_str(), 0755);
        }
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
    bool immutable_ = false;
};

TEST(FaultOutput, AReadOnlyFolderKeepsThePreviousFile) {
    TempDir dir;
    std::string folder = dir.file("locked");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    std::string out = folder + "/out.kvx";
    WriteFile(out, "the previous file");
    ReadOnlyFolder lock(folder);
    if (!lock.ok()) {
        GTEST_SKIP() << "root writes into any folder, and this file system has no immutable flag";
    }
    for (const Converter& p : Converters()) {
        SCOPED_TRACE(p.name);
        RunResult r = RunProgram(p.path, {p.example, out});
        EXPECT_EQ(r.exitStatus, 3);
        // "Permission denied" for a user, "Operation not permitted" for root.
        std::string prefix = p.name + ": " + out + ": ";
        EXPECT_EQ(r.err.substr(0, prefix.size()), prefix);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_EQ(ReadFile(out), "the previous file");
        EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"out.kvx"});
    }
}

TEST(FaultOutput, AnOutputPathThatIsAFolderIsLeftAlone) {
    TempDir dir;
    std::string folder = dir.file("out.kvx");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    WriteFile(folder + "/inside", "x");
    for (const Converter& p : Converters()) {
        SCOPED_TRACE(p.name);
        RunResult r = RunProgram(p.path, {p.example, folder});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, p.name + ": " + folder + ": Is a directory\n");
    }
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"inside"});
}

TEST(FaultOutput, AnInputPathThatIsAFolderIsBadInput) {
    TempDir dir;
    std::string out = dir.file("out.kvx");
    WriteFile(out, "the previous file");
    for (const Converter& p : Converters()) {
        SCOPED_TRACE(p.name);
        RunResult r = RunProgram(p.path, {dir.path(), out});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, p.name + ": " + dir.path() + ": Is a directory\n");
    }
    RunResult r = RunProgram(KVXDUMP_PATH, {dir.path()});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvxdump: " + dir.path() + ": Is a directory\n");
    EXPECT_EQ(ReadFile(out), "the previous file");
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
}

// ---- A run killed with SIGKILL ----

// A text mesh of 7 values per vertex: a 256 x 256 grid of vertices and
// `triangles` triangles over it (about 18 bytes of text each).
std::string BigMesh(uint32_t triangles) {
    constexpr uint32_t kSide = 256, kVertices = kSide * kSide;
    std::string text = std::to_string(kVertices) + " " + std::to_string(triangles) + "\n";
    text.reserve(text.size() + kVertices * 24 + size_t{triangles} * 19);
    char number[16];
    auto append = [&](uint32_t v, char after) {
        char* end = std::to_chars(number, number + sizeof number, v).ptr;
        text.append(number, end);
        text += after;
    };
    for (uint32_t i = 0; i < kVertices; ++i) {
        text += "1 0.5 0 1 ";
        append(i % kSide, ' ');
        append(i / kSide, ' ');
        text += "0\n";
    }
    for (uint32_t t = 0; t < triangles; ++t) {
        uint32_t corner = (t / 2) % (kVertices - kSide - 1);
        append(corner, ' ');
        append(corner + 1 + (t & 1) * kSide, ' ');
        append(corner + kSide, '\n');
    }
    return text;
}

pid_t Start(const std::string& program, const std::vector<std::string>& args,
            const std::string& errPath = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (!errPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// The size of a file that `pid` holds open in `folder` but that has no name
// yet (an unnamed temporary file shows as "<folder>/#<inode> (deleted)"),
// or -1 when it holds none.
long long UnnamedFileSize(pid_t pid, const std::string& folder) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    long long size = -1;
    if (DIR* dir = ::opendir(fds.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string link = fds + "/" + entry->d_name;
            char target[4096];
            ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            std::string text(target, static_cast<size_t>(n));
            struct stat st;
            if (text.rfind(folder + "/", 0) == 0 && text.find("(deleted)") != std::string::npos &&
                ::stat(link.c_str(), &st) == 0) {
                size = st.st_size;
            }
        }
        ::closedir(dir);
    }
    return size;
}

// Waits for `pid`; true when SIGKILL ended it, false when it exited 0.
bool Reap(pid_t pid) {
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE((WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL) ||
                (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0))
        << "wait status " << wstatus;
    return WIFSIGNALED(wstatus);
}

TEST(FaultOutput, AKilledRunLeavesThePreviousFileAndNoTemporaryFile) {
    TempDir dir;
    // 2.5 million triangles: about 45 MB of text and a 17 MB version-3 file.
    WriteFile(dir.file("in.cmsh"), BigMesh(2'500'000));
    std::string out = dir.file("out.kvx");
    const std::vector<std::string> expectedNames{"in.cmsh", "out.kvx"};

    auto started = std::chrono::steady_clock::now();
    RunResult whole = RunProgram(KVXCONV3_PATH, {dir.file("in.cmsh"), out});
    auto duration = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(whole.exitStatus, 0) << whole.err;
    const std::string complete = ReadFile(out);
    ASSERT_EQ(complete.size(), 15u + 65536u * 28 + 2'500'000u * 6);
    const std::string previous = "the previous file";

    // After a delay: mostly while the text is read.
    for (int percent : {10, 40, 70, 95}) {
        SCOPED_TRACE("killed after " + std::to_string(percent) + "% of a run");
        WriteFile(out, previous);
        pid_t pid = Start(KVXCONV3_PATH, {dir.file("in.cmsh"), out});
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(duration * percent / 100);
        ::kill(pid, SIGKILL);
        bool killed = Reap(pid);
        std::string now = ReadFile(out);
        EXPECT_TRUE(now == (killed ? previous : complete) || now == complete);
        EXPECT_EQ(ListFolder(dir.path()), expectedNames);
    }

    // While the output is written: the unnamed file is open and part full.
    int killedWhileWriting = 0;
    for (int attempt = 0; attempt < 8 && killedWhileWriting < 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt) + " to kill a run while it writes");
        WriteFile(out, previous);
        pid_t pid = Start(KVXCONV3_PATH, {dir.file("in.cmsh"), out});
        ASSERT_GT(pid, 0);
        bool sent = false;
        int exited = 0;
        while (!sent && ::waitpid(pid, &exited, WNOHANG) == 0) {
            long long size = UnnamedFileSize(pid, dir.path());
            if (size > 0 && size < static_cast<long long>(complete.size())) {
                ::kill(pid, SIGKILL);
                sent = true;
            }
        }
        if (sent) {
            EXPECT_TRUE(Reap(pid));
            ++killedWhileWriting;
            EXPECT_EQ(ReadFile(out), previous);
        } else {
            // It finished before it was seen writing.
            EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0) << exited;
            EXPECT_EQ(ReadFile(out), complete);
        }
        EXPECT_EQ(ListFolder(dir.path()), expectedNames);
    }
    EXPECT_GT(killedWhileWriting, 0) << "no run was caught while it wrote its output";
}

// ---- Links, descriptors and long names ----

TEST(FaultOutput, LinksAreFollowedOrRefusedAsARedirectionWould) {
    TempDir dir;
    const std::string in = Example("cube7.cmsh");
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {in, dir.file("plain.kvx")}).exitStatus, 0);
    const std::string file = ReadFile(dir.file("plain.kvx"));
    auto isLink = [](const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    };
    // A dangling link, and a chain of two, create their target.
    ASSERT_EQ(::symlink("target.kvx", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink("dangling", dir.file("chain").c_str()), 0);
    RunResult r = RunProgram(KVXCONV3_PATH, {in, dir.file("chain")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(isLink(dir.file("chain")) && isLink(dir.file("dangling")));
    EXPECT_EQ(ReadFile(dir.file("target.kvx")), file);
    // An existing target is replaced, and the links stay.
    WriteFile(dir.file("target.kvx"), "old");
    EXPECT_EQ(RunProgram(KVXCONV3_PATH, {in, dir.file("dangling")}).exitStatus, 0);
    EXPECT_EQ(ReadFile(dir.file("target.kvx")), file);
    EXPECT_TRUE(isLink(dir.file("dangling")));
    // A loop, and a link into a missing folder, are refused as open refuses them.
    ASSERT_EQ(::symlink("loop2", dir.file("loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", dir.file("loop2").c_str()), 0);
    r = RunProgram(KVXCONV3_PATH, {in, dir.file("loop1")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv3: " + dir.file("loop1") + ": Too many levels of symbolic links\n");
    ASSERT_EQ(::symlink("nowhere/x.kvx", dir.file("astray").c_str()), 0);
    r = RunProgram(KVXCONV3_PATH, {in, dir.file("astray")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv3: " + dir.file("astray") + ": No such file or directory\n");
    EXPECT_TRUE(isLink(dir.file("loop1")) && isLink(dir.file("astray")));
    EXPECT_EQ(ListFolder(dir.path()),
              (std::vector<std::string>{"astray", "chain", "dangling", "loop1", "loop2",
                                        "plain.kvx", "target.kvx"}));
}

// A path that names an open descriptor, or a link into /dev or /proc, is
// written in place, through the descriptor: never renamed over.
TEST(FaultOutput, DescriptorsAreWrittenInPlace) {
    TempDir dir;
    const std::string in = Example("cube7.cmsh");
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {in, dir.file("plain.kvx")}).exitStatus, 0);
    const std::string file = ReadFile(dir.file("plain.kvx"));
    ASSERT_EQ(::symlink("/dev/stdout", dir.file("to-stdout").c_str()), 0);
    for (const std::string& path :
         {std::string("/dev/fd/3"), std::string("/proc/self/fd/3"), dir.file("to-stdout")}) {
        SCOPED_TRACE(path);
        WriteFile(dir.file("log"), "BEFORE\n");
        RunResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" \"$2\" 3>>\"$3\" >>\"$3\"",
                                             KVXCONV3_PATH, in, path, dir.file("log")});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(ReadFile(dir.file("log")), "BEFORE\n" + file);
    }
    // A closed descriptor cannot be written.
    RunResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" /dev/fd/7", KVXCONV3_PATH, in});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv3: /dev/fd/7: Bad file descriptor\n");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"log", "plain.kvx", "to-stdout"}));
}

TEST(FaultOutput, LongNamesAndDeepPathsAreWritten) {
    TempDir dir;
    const std::string in = Example("cube7.cmsh");
    // The longest name a file system takes: no room for a suffix.
    const std::string longest = dir.file(std::string(251, 'n') + ".kvx");
    EXPECT_EQ(RunProgram(KVXCONV3_PATH, {in, longest}).exitStatus, 0);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{std::string(251, 'n') + ".kvx"});
    // A path of nearly PATH_MAX bytes.
    std::string deep = dir.path();
    while (deep.size() < 3800) {
        deep.append(1, '/').append(200, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    deep.append(1, '/').append(4090 - deep.size(), 'f');
    RunResult r = RunProgram(KVXCONV3_PATH, {in, deep});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadFile(deep).substr(0, 3), "KVX");
}

// A new file gets 0666 less the umask, an existing one keeps its mode.
TEST(FaultOutput, ModesFollowTheUmaskOrThePreviousFile) {
    TempDir dir;
    const std::string in = Example("cube7.cmsh");
    for (const char* mask : {"002", "022", "077"}) {
        std::string out = dir.file(std::string("new") + mask + ".kvx");
        RunResult r = RunProgram(
            "/bin/sh", {"-c", std::string("umask ") + mask + " && exec \"$0\" \"$1\" \"$2\"",
                        KVXCONV3_PATH, in, out});
        ASSERT_EQ(r.exitStatus, 0);
        struct stat st;
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u & ~static_cast<unsigned>(std::stoul(mask, nullptr, 8)))
            << mask;
    }
    std::string kept = dir.file("kept.kvx");
    WriteFile(kept, "old");
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {in, kept}).exitStatus, 0);
    struct stat st;
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// ---- File systems that fail, through a preloaded library ----

TEST(FaultOutput, WithoutUnnamedFilesOrProcTheOutputIsStillWhole) {
    TempDir dir;
    const std::string out = dir.file("out.kvx");
    for (const Converter& p : Converters()) {
        ASSERT_EQ(RunProgram(p.path, {p.example, dir.file("plain.kvx")}).exitStatus, 0);
        const std::string file = ReadFile(dir.file("plain.kvx"));
        for (const char* settings : {"KVX_SHIM_NO_TMPFILE=1", "KVX_SHIM_NO_PROC=1"}) {
            SCOPED_TRACE(p.name + " with " + settings);
            WriteFile(out, "the previous file");
            RunResult r = RunProgram("/bin/sh", Shimmed(settings, p.path, {p.example, out}));
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(ReadFile(out), file);
            EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"out.kvx", "plain.kvx"}));
        }
    }
}

// A rename that fails after the temporary file got its name: the file is
// removed, the previous one stays, and the failure is said.
TEST(FaultOutput, AFailedRenameLeavesOnlyThePreviousFile) {
    TempDir dir;
    const std::string out = dir.file("out.kvx");
    for (const Converter& p : Converters()) {
        for (const char* settings :
             {"KVX_SHIM_RENAME_ERRNO=5", "KVX_SHIM_RENAME_ERRNO=5 KVX_SHIM_NO_TMPFILE=1"}) {
            SCOPED_TRACE(p.name + " with " + settings);
            WriteFile(out, "the previous file");
            RunResult r = RunProgram("/bin/sh", Shimmed(settings, p.path, {p.example, out}));
            EXPECT_EQ(r.exitStatus, 3);
            EXPECT_EQ(r.err, p.name + ": " + out + ": Input/output error\n");
            EXPECT_EQ(ReadFile(out), "the previous file");
            EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
        }
    }
}

// A stop signal does not end a run by itself: the named temporary file is
// removed and the run fails with status 3 and one line. An ignored one (as
// under nohup) stays ignored, and the run completes.
TEST(FaultOutput, AStoppedRunRemovesItsNamedTemporaryFile) {
    TempDir dir;
    TempDir logs;
    const std::string out = dir.file("out.kvx");
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGXCPU, 0}) {
        const bool ignored = signal == 0;
        if (ignored) signal = SIGHUP;
        SCOPED_TRACE(std::string(strsignal(signal)) + (ignored ? " ignored" : ""));
        WriteFile(out, "the previous file");
        const std::string err = logs.file(std::to_string(signal) + (ignored ? "i" : ""));
        std::vector<std::string> line = Shimmed("KVX_SHIM_NO_TMPFILE=1 KVX_SHIM_WRITE_DELAY_MS=300",
                                                KVXCONV3_PATH, {Example("cube7.cmsh"), out});
        if (ignored) line[1] = "trap '' HUP; " + line[1];
        pid_t pid = Start("/bin/sh", line, err);
        ASSERT_GT(pid, 0);
        // The hidden temporary file appears; then the signal comes.
        bool seen = false;
        for (int k = 0; k < 500 && !seen; ++k) {
            for (const std::string& name : ListFolder(dir.path())) {
                seen = seen || name.rfind(".out.kvx.", 0) == 0;
            }
            if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_TRUE(seen);
        ::kill(pid, signal);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(wstatus)) << wstatus;
        EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
        if (ignored) {
            EXPECT_EQ(WEXITSTATUS(wstatus), 0);
            EXPECT_EQ(ReadFile(out).substr(0, 3), "KVX");
        } else {
            EXPECT_EQ(WEXITSTATUS(wstatus), 3);
            EXPECT_EQ(ReadFile(err),
                      "kvxconv3: stopped by SIG" + std::string(sigabbrev_np(signal)) + "\n");
            EXPECT_EQ(ReadFile(out), "the previous file");
        }
    }
}

// A reader that goes away is a failed write, not a signal: every program
// that prints much says "Broken pipe" and ends with status 3, and no output
// file appears.
TEST(FaultOutput, AClosedPipeIsAFailedWrite) {
    TempDir dir;
    const std::string mesh7 = dir.file("m7.cmsh"), mesh3 = dir.file("m3.cmsh");
    std::string text7 = "20000 0\n", text3 = text7;
    for (int i = 0; i < 20000; ++i) {
        text7 += "1 0.5 0.25 0 " + std::to_string(i) + " 1 2\n";
        text3 += std::to_string(i) + " 1 2\n";
    }
    WriteFile(mesh7, text7);
    WriteFile(mesh3, text3);
    ASSERT_EQ(RunProgram(KVXCONV2_PATH, {mesh7, dir.file("m.kvx")}).exitStatus, 0);
    struct Case {
        std::string name, path;
        std::vector<std::string> args;
    };
    std::vector<Case> cases = {{"kvxdump", KVXDUMP_PATH, {dir.file("m.kvx")}}};
    for (const Converter& c : Converters()) {
        if (!c.layout.echoes) continue;
        cases.push_back(
            {c.name, c.path, {c.layout.valuesPerVertex == 3 ? mesh3 : mesh7, dir.file("out.kvx")}});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> line = {
            "-c",
            "{ \"$0\" \"$@\"; echo $? > \"" + dir.file("status") + "\"; } | head -c 1 > /dev/null",
            c.path};
        line.insert(line.end(), c.args.begin(), c.args.end());
        RunResult r = RunProgram("/bin/sh", line);
        EXPECT_EQ(ReadFile(dir.file("status")), "3\n");
        EXPECT_EQ(r.err, c.name + ": standard output: Broken pipe\n");
        EXPECT_FALSE(FileExists(dir.file("out.kvx")));
    }
}

}  // namespace
