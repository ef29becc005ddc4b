// KVX files written as one set: either every file of the set is in place
// with its new contents, or every target is as it was.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "meshcore/okvx.h"

namespace kvx {

// Use: open() with every path, write() each file, then commit(). Each
// returns false with one line in `error` ("<path>: <reason>", the path as
// given) on failure; the set is then of no further use, and destroying it
// (or a set never committed) removes every file it wrote, so the targets
// stay as they were.
//
// open() finds where each path leads as a single output file does
// (OutputFile): a symbolic link is followed to the file it names, which is
// replaced while the link stays, and a dangling link creates its target.
// Every target must be a regular file or not exist, outside /dev and /proc
// ("not a regular file" otherwise), and no two paths may lead to one file
// (through links, or hard links: "<path>: the same file as <other path>").
// Nothing is written before every path has passed.
//
// write() saves the mesh, with the save operation of its version, to a
// hidden temporary file beside its target (".<name>.XXXXXX"), with the mode
// of the file it will replace, or 0666 less the umask. The file is entered
// for removal on SIGTERM, SIGINT and SIGHUP as a single output's temporary
// file is (see RemoveTemporaryOutputs in meshcore/output_file.h), so a stop
// signal while the files are written leaves none of them behind.
//
// commit() holds back every signal on its thread while it works. It keeps
// each existing target aside under a second hidden name, as a hard link,
// so the target never disappears; where no link can be made (the file has
// the most links its file system allows, or the file system makes none),
// the target itself is renamed aside just before its new file takes its
// place. Then the new files are renamed over the targets in order. The set
// is in place once every rename succeeded and no stop signal (SIGHUP,
// SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
// SIGXCPU, unless ignored) has arrived; only then are the kept names
// removed. A rename that fails, or a stop signal that arrives at any point
// before, puts every target back: each one replaced is renamed back from
// its kept name, the very file with its contents, mode and other links, and
// one that did not exist is removed again; then the temporary files go,
// commit() fails (EINTR, "Interrupted system call", for a signal) and the
// signal, released, takes its course. A kept file is never removed unless
// its target is in place: should putting one back fail, it stays under its
// hidden name, which the error names.
//
// Limits: a process killed by SIGKILL, or a machine that stops, during
// commit() can leave some targets replaced and hidden files beside them. A
// signal handled on another thread of the process while commit() runs is
// not held back. At most about a thousand files are entered for removal at
// once; open() refuses a set that would need more.
class KvxFileSet {
public:
    KvxFileSet() = default;
    KvxFileSet(const KvxFileSet&) = delete;
    KvxFileSet& operator=(const KvxFileSet&) = delete;
    ~KvxFileSet();

    bool open(const std::vector<std::string>& paths, std::string* error);
    // Writes the file of paths[k]; each k once, all before commit(). The
    // second form writes the bytes given, for a set of files of another
    // format (kvxexport's .gltf and its .bin).
    bool write(size_t k, const OKVX& m, std::string* error);
    bool write(size_t k, std::string_view bytes, std::string* error);
    bool commit(std::string* error);

private:
    struct Entry {
        std::string path;       // as given, for messages
        int folder = -1;        // index into folders_
        std::string name;       // the target's name in its folder
        std::string temp;       // the complete new file's name, once written
        int tempSlot = -1;      // its entry for removal on a signal
        std::string kept;       // the old target's second name, during commit
        bool existed = false;   // the target existed when the set was opened
        bool moved = false;     // the old target was renamed to `kept`
        bool replaced = false;  // the new file is at the target
        mode_t mode = 0;
    };
    struct Folder {
        std::string path;
        int fd = -1;
    };
    bool fail(std::string* error, const std::string& path, int err);
    bool writeWith(size_t k, const std::function<bool(const char*, KvxStatus*)>& save,
                   std::string* error);
    bool keepAside(Entry& e);
    std::string rollBack();
    void discard();

    std::vector<Folder> folders_;
    std::vector<Entry> entries_;
};

}  // namespace kvx
