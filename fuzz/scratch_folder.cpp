#include "scratch_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
