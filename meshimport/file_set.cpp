#include "meshimport/file_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd_io.h"
#include "meshcore/output_file.h"
#include "meshimport/to_kvx.h"
#include "paths.h"
#include "temporary_files.h"

namespace kvx {

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
}

// Renames `from` to a new hidden name beside `target` that no file has;
// fills `name`. 0, or errno.
int RenameAside(int folder, const std::string& from, std::string& name) {
    for (int attempt = 0;; ++attempt) {
        name = TemporaryName(from);
        if (::renameat2(folder, from.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EEXIST || attempt == 100) return errno;
    }
}

}  // namespace

KvxFileSet::~KvxFileSet() {
    discard();
}

bool KvxFileSet::fail(std::string* error, const std::string& path, int err) {
    discard();
    return Fail(error, path, std::strerror(err));
}

void KvxFileSet::discard() {
    for (Entry& e : entries_) {
        if (!e.temp.empty())
            ::unlinkat(folders_[static_cast<size_t>(e.folder)].fd, e.temp.c_str(), 0);
        LeaveTemporary(e.tempSlot);
    }
    entries_.clear();
    for (Folder& f : folders_)
        ::close(f.fd);
    folders_.clear();
}

bool KvxFileSet::open(const std::vector<std::string>& paths, std::string* error) {
    assert(entries_.empty());
    struct Identity {
        dev_t folderDevice;
        ino_t folderInode;
        dev_t device;  // the file's, when it exists
        ino_t inode;
    };
    std::vector<Identity> ids;
    for (const std::string& path : paths) {
        OutputTarget target;
        if (int err = ResolveOutputTarget(path.c_str(), &target); err != 0)
            return fail(error, path, err);
        if (!target.replaceable) {
            discard();
            return Fail(error, path, "not a regular file");
        }
        Entry e;
        e.path = path;
        e.name = BaseOf(target.path);
        e.existed = target.exists;
        e.mode = target.exists ? target.mode : NewOutputMode();
        const std::string folder = FolderOf(target.path);
        for (size_t f = 0; f < folders_.size() && e.folder < 0; ++f) {
            if (folders_[f].path == folder) e.folder = static_cast<int>(f);
        }
        if (e.folder < 0) {
            int fd = OpenFile(folder.c_str(), O_PATH | O_DIRECTORY);
            if (fd < 0) return fail(error, path, errno);
            folders_.push_back({folder, fd});
            e.folder = static_cast<int>(folders_.size() - 1);
        }
        const int fd = folders_[static_cast<size_t>(e.folder)].fd;
        Identity id{};
        struct stat st;
        if (::fstat(fd, &st) != 0) return fail(error, path, errno);
        id.folderDevice = st.st_dev;
        id.folderInode = st.st_ino;
        if (e.existed) {
            if (::fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(error, path, errno);
            id.device = st.st_dev;
            id.inode = st.st_ino;
        }
        for (size_t j = 0; j < entries_.size(); ++j) {
            const Identity& o = ids[j];
            const bool sameName = o.folderDevice == id.folderDevice &&
                                  o.folderInode == id.folderInode && entries_[j].name == e.name;
            const bool sameFile =
                e.existed && entries_[j].existed && o.device == id.device && o.inode == id.inode;
            if (sameName || sameFile) {
                const std::string other = entries_[j].path;
                discard();
                return Fail(error, path, "the same file as " + other);
            }
        }
        ids.push_back(id);
        entries_.push_back(std::move(e));
    }
    return true;
}

bool KvxFileSet::write(size_t k, const OKVX& m, std::string* error) {
    return writeWith(
        k, [&m](const char* path, KvxStatus* why) { return SaveKvx(m, path, why); }, error);
}

bool KvxFileSet::write(size_t k, std::string_view bytes, std::string* error) {
    return writeWith(
        k,
        [bytes](const char* path, KvxStatus* why) {
            OutputFile file;
            return file.open(path, why) && file.write(bytes.data(), bytes.size(), why) &&
                   file.commit(why);
        },
        error);
}

bool KvxFileSet::writeWith(size_t k, const std::function<bool(const char*, KvxStatus*)>& save,
                           std::string* error) {
    assert(k < entries_.size() && entries_[k].temp.empty());
    Entry& e = entries_[k];
    const Folder& folder = folders_[static_cast<size_t>(e.folder)];
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        std::string name = TemporaryName(e.name);
        // Made and entered for removal as one step.
        SignalsHeld held;
        fd = ::openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            e.temp = name;
            e.tempSlot = EnterTemporary(folder.fd, name);
        } else if (errno != EEXIST || attempt == 100) {
            return fail(error, e.path, errno);
        }
    }
    // The save keeps the mode of the file it replaces: this one's.
    const int modeFailed = ::fchmod(fd, e.mode) != 0 ? errno : 0;
    ::close(fd);
    if (modeFailed != 0) return fail(error, e.path, modeFailed);
    if (e.tempSlot < 0) {
        const std::string path = e.path;
        discard();
        return Fail(error, path, "too many files at once to remove on a stop signal");
    }
    KvxStatus why;
    if (!save((folder.path + "/" + e.temp).c_str(), &why)) {
        const std::string path = e.path;
        discard();
        return Fail(error, path, KvxStatusMessage(why));
    }
    return true;
}

std::string KvxFileSet::rollBack() {
    std::string problem;
    for (size_t k = entries_.size(); k-- > 0;) {
        Entry& e = entries_[k];
        const Folder& folder = folders_[static_cast<size_t>(e.folder)];
        if (e.kept.empty()) {
            // Nothing was there before: what is there now is ours.
            if (e.replaced) ::unlinkat(folder.fd, e.name.c_str(), 0);
        } else if (e.replaced || e.moved) {
            // The very file that was there goes back.
            if (::renameat(folder.fd, e.kept.c_str(), folder.fd, e.name.c_str()) != 0) {
                problem += "; " + e.path + " could not be put back (" + std::strerror(errno) +
                           "): the previous file is " + folder.path + "/" + e.kept;
            }
        } else {
            // A second link to the target, which is still in place.
            ::unlinkat(folder.fd, e.kept.c_str(), 0);
        }
        e.kept.clear();
        e.replaced = e.moved = false;
    }
    discard();
    return problem;
}

bool KvxFileSet::keepAside(Entry& e) {
    const int fd = folders_[static_cast<size_t>(e.folder)].fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = TemporaryName(e.name);
        if (::linkat(fd, e.name.c_str(), fd, name.c_str(), 0) == 0) {
            e.kept = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    // No second link (EMLINK, or a file system without links): the target
    // is renamed aside when its turn comes.
    return false;
}

bool KvxFileSet::commit(std::string* error) {
    SignalsHeld held;
    for (Entry& e : entries_) {
        assert(!e.temp.empty());
        if (e.existed) keepAside(e);
    }
    for (Entry& e : entries_) {
        const int fd = folders_[static_cast<size_t>(e.folder)].fd;
        int err = 0;
        if (StopSignalPending()) {
            err = EINTR;
        } else if (e.existed && e.kept.empty()) {
            err = RenameAside(fd, e.name, e.kept);
            if (err == 0) {
                e.moved = true;
            } else {
                e.kept.clear();
            }
        }
        if (err == 0 && ::renameat(fd, e.temp.c_str(), fd, e.name.c_str()) != 0) err = errno;
        if (err == 0) {
            LeaveTemporary(e.tempSlot);
            e.temp.clear();
            e.replaced = true;
        }
        // The commit point: every file in place and no stop signal waiting.
        if (err == 0 && &e == &entries_.back() && StopSignalPending()) err = EINTR;
        if (err != 0) {
            const std::string failed = e.path;
            const std::string problem = rollBack();
            return Fail(error, failed, std::strerror(err) + problem);
        }
    }
    for (Entry& e : entries_) {
        if (!e.kept.empty())
            ::unlinkat(folders_[static_cast<size_t>(e.folder)].fd, e.kept.c_str(), 0);
        e.kept.clear();
    }
    discard();
    return true;
}

}  // namespace kvx
