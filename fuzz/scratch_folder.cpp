#include "scratch_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define KVX_FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVX_FUZZ_SANITIZED 1
#endif
#endif
#ifdef KVX_FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// The copy of standard error that reports go to.
int reportFd = -1;

}  // namespace

std::string MakeScratchFolder(const char* prefix) {
    std::string base = "/tmp";
    struct stat st;
    const char* chosen = std::getenv("KVX_FUZZ_TMPDIR");
    const char* tmp = std::getenv("TMPDIR");
    if (chosen && *chosen) {
        base = chosen;
    } else if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
               ::access("/dev/shm", W_OK) == 0) {
        base = "/dev/shm";
    } else if (tmp && *tmp) {
        base = tmp;
    }
    std::string folder = base + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        std::fprintf(stderr, "fuzz: cannot make a folder in %s: %s\n", base.c_str(),
                     std::strerror(errno));
        return "";
    }
    return folder;
}

void KeepReportChannel() {
    if (reportFd >= 0) return;
    reportFd = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
#ifdef KVX_FUZZ_SANITIZED
    if (reportFd >= 0) {
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(reportFd)));
    }
#endif
}

void FuzzReport(const std::string& line) {
    std::string text = line + "\n";
    const char* p = text.data();
    size_t n = text.size();
    const int fd = reportFd >= 0 ? reportFd : 2;
    while (n > 0) {
        ssize_t written = ::write(fd, p, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        p += written;
        n -= static_cast<size_t>(written);
    }
}
