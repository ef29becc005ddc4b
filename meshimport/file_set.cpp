#include "meshimport/file_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "meshimport/to_kvx.h"
#include "paths.h"

namespace kvx {

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
}

}  // namespace

KvxFileSet::~KvxFileSet() {
    discard();
}

void KvxFileSet::discard() {
    for (Entry& e : entries_) {
        if (!e.temp.empty()) ::unlink(e.temp.c_str());
        if (!e.kept.empty()) ::unlink(e.kept.c_str());
    }
    entries_.clear();
}

bool KvxFileSet::add(const OKVX& m, const std::string& path, std::string* error) {
    Entry e;
    e.path = path;
    e.target = path;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            e.target = resolved;
            std::free(resolved);
        }
    }
    mode_t mode;
    if (::stat(e.target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return Fail(error, path, std::strerror(EISDIR));
        if (!S_ISREG(st.st_mode)) return Fail(error, path, "not a regular file");
        e.existed = true;
        mode = static_cast<mode_t>(st.st_mode & 07777);
    } else {
        if (errno != ENOENT) return Fail(error, path, std::strerror(errno));
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = static_cast<mode_t>(0666 & ~mask);
    }

    std::string templ = FolderOf(e.target) + "/." + BaseOf(e.target) + ".XXXXXX";
    int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) return Fail(error, path, std::strerror(errno));
    ::close(fd);
    e.temp = templ;
    // The set owns the temporary file from here on: a failure below removes it.
    entries_.push_back(e);
    KvxStatus why;
    if (!SaveKvx(m, e.temp.c_str(), &why)) return Fail(error, path, KvxStatusMessage(why));
    if (::chmod(e.temp.c_str(), mode) != 0) return Fail(error, path, std::strerror(errno));
    return true;
}

bool KvxFileSet::commit(std::string* error) {
    std::minstd_rand random(static_cast<unsigned>(::getpid()) ^
                            static_cast<unsigned>(entries_.size()));
    for (Entry& e : entries_) {
        if (!e.existed) continue;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
            std::string name = FolderOf(e.target) + "/." + BaseOf(e.target) + "." + suffix;
            if (::link(e.target.c_str(), name.c_str()) == 0) {
                e.kept = name;
                break;
            }
            // Without hard links the old file cannot be kept; go on without.
            if (errno != EEXIST) break;
        }
    }
    for (size_t k = 0; k < entries_.size(); ++k) {
        Entry& e = entries_[k];
        if (::rename(e.temp.c_str(), e.target.c_str()) == 0) {
            e.temp.clear();
            continue;
        }
        const int err = errno;
        const std::string failed = e.path;
        // Put back what was replaced.
        for (size_t j = 0; j < k; ++j) {
            Entry& done = entries_[j];
            if (!done.kept.empty()) {
                if (::rename(done.kept.c_str(), done.target.c_str()) == 0) done.kept.clear();
            } else {
                ::unlink(done.target.c_str());
            }
        }
        discard();
        return Fail(error, failed, std::strerror(err));
    }
    discard();
    return true;
}

}  // namespace kvx
