// An output file that appears complete or not at all. The save operations
// write through it, and so does every program that writes a file of its own
// (a picture, an exported mesh), so that a failed or interrupted run never
// leaves a partial file and never damages an existing one.
#pragma once

#include <cstddef>
#include <string>

#include "meshcore/okvx.h"

// A regular file (or a path that does not exist yet) is written to an unnamed
// (or, where the file system cannot make one, a hidden) temporary file in the
// target's folder, and put in place by one rename in commit(); a symbolic link
// stays a link and the file it names is replaced. The new file keeps the mode
// of the file it replaces, or gets 0666 less the umask. A path that names a
// device, a pipe or a socket (/dev/null, /dev/stdout) is opened and written
// directly, and never renamed over.
//
// Use: open(), any number of write()s, commit(). Each returns false on
// failure and, given `status`, says why (open_failed or write_failed with
// errno; KvxStatusMessage turns it into a line). After a failure the file is
// of no further use: destroying one that was not committed removes the
// temporary file and leaves the target as it was.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    bool open(const char* path, KvxStatus* status);
    // Writes all n bytes, retrying short writes. Returns false on failure.
    bool write(const void* data, size_t n, KvxStatus* status);
    // Closes the file and, for a regular file, renames it over the target.
    bool commit(KvxStatus* status);

private:
    void discard();

    int fd_ = -1;
    bool direct_ = false;
    bool anonymous_ = false;  // O_TMPFILE: no name until commit links one
    std::string target_;      // where the file goes (symbolic links resolved)
    std::string tempPath_;    // the hidden temporary file, when not anonymous
};
