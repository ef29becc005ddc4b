#include "meshcore/output_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Fail(KvxStatus* status, KvxErrc code, int err) {
    if (status) {
        status->code = code;
        status->sysErrno = err;
    }
    return false;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

mode_t NewFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

std::string BaseOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RandomSuffix() {
    static std::minstd_rand generator(static_cast<unsigned>(getpid()) ^
                                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(&errno)));
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(generator()));
    return text;
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

bool OutputFile::open(const char* path, KvxStatus* status) {
    struct stat st;
    bool exists = ::stat(path, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return Fail(status, KvxErrc::open_failed, EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes: write straight through, as a plain open would.
        direct_ = true;
        fd_ = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) return Fail(status, KvxErrc::open_failed, errno);
        return true;
    }

    // Write beside the real file, so that a symbolic link stays a link and
    // the final rename never crosses file systems.
    target_ = path;
    if (exists) {
        if (char* resolved = ::realpath(path, nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    std::string folder = FolderOf(target_);
    mode_t mode = exists ? static_cast<mode_t>(st.st_mode & 07777) : NewFileMode();

    fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
        anonymous_ = true;
    } else {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            return Fail(status, KvxErrc::open_failed, errno);
        if (errno == ENOENT && ::access(folder.c_str(), F_OK) != 0)
            return Fail(status, KvxErrc::open_failed, ENOENT);
        std::string templ = folder + "/." + BaseOf(target_) + ".XXXXXX";
        fd_ = ::mkostemp(templ.data(), O_CLOEXEC);
        if (fd_ < 0) return Fail(status, KvxErrc::open_failed, errno);
        tempPath_ = templ;
    }
    if (::fchmod(fd_, mode) != 0) {
        int err = errno;
        discard();
        return Fail(status, KvxErrc::open_failed, err);
    }
    return true;
}

bool OutputFile::write(const void* data, size_t n, KvxStatus* status) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t written = ::write(fd_, p, n < (size_t{1} << 30) ? n : (size_t{1} << 30));
        if (written < 0) {
            if (errno == EINTR) continue;
            return Fail(status, KvxErrc::write_failed, errno);
        }
        if (written == 0) return Fail(status, KvxErrc::write_failed, EIO);
        p += written;
        n -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::commit(KvxStatus* status) {
    if (direct_) {
        int result = ::close(fd_);
        fd_ = -1;
        if (result != 0 && errno != EINTR) return Fail(status, KvxErrc::write_failed, errno);
        return true;
    }
    if (anonymous_) {
        // Give the unnamed file a hidden name, then move it over the target.
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd_);
        std::string prefix = FolderOf(target_) + "/." + BaseOf(target_) + ".";
        for (int attempt = 0;; ++attempt) {
            std::string name = prefix + RandomSuffix();
            if (::linkat(AT_FDCWD, procPath, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                tempPath_ = name;
                break;
            }
            if (errno != EEXIST || attempt == 100) return Fail(status, KvxErrc::write_failed, errno);
        }
    }
    int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return Fail(status, KvxErrc::write_failed, errno);
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0)
        return Fail(status, KvxErrc::write_failed, errno);
    tempPath_.clear();
    return true;
}
