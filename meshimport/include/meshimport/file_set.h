// KVX files written as one set: either every file of the set is in place
// with its new contents, or every target is as it was.
#pragma once

#include <string>
#include <vector>

#include "meshcore/okvx.h"

namespace kvx {

// Use: add() each file, then commit(). Each returns false with one line in
// `error` ("<path>: <reason>") on failure; the set is then of no further
// use, and destroying it (or a set never committed) removes every file it
// wrote, so the targets stay as they were.
//
// add() saves the mesh, with the save operation of its version, to a hidden
// temporary file beside its target (".<name>.XXXXXX"; a symbolic link's
// target is the file it names) and gives that file the mode of the file it
// will replace, or 0666 less the umask. Targets must be regular files or
// not exist.
//
// commit() first keeps each existing target under a second hidden name (a
// hard link, so the target never disappears), then renames the temporary
// files over the targets in order. When a rename fails, the targets already
// replaced are put back from their kept links (or removed, when they did
// not exist before) and every temporary file and link is removed. Once all
// renames succeeded the kept links are removed. A process killed during
// commit() can leave hidden files beside the targets and some targets
// replaced; where a file system makes no hard links, a target replaced
// before a failed rename cannot be put back and is removed instead.
class KvxFileSet {
public:
    KvxFileSet() = default;
    KvxFileSet(const KvxFileSet&) = delete;
    KvxFileSet& operator=(const KvxFileSet&) = delete;
    ~KvxFileSet();

    bool add(const OKVX& m, const std::string& path, std::string* error);
    bool commit(std::string* error);

private:
    struct Entry {
        std::string path;    // as given, for messages
        std::string target;  // where the file goes
        std::string temp;    // the complete new file
        std::string kept;    // a link to the old target, during commit
        bool existed = false;
    };
    void discard();

    std::vector<Entry> entries_;
};

}  // namespace kvx
