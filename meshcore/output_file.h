// An output file that appears complete or not at all.
#pragma once

#include <cstddef>
#include <string>

#include "meshcore/okvx.h"

// A regular file is written to an unnamed (or, where the file system cannot
// make one, a hidden) temporary file in the target's folder, and put in place
// by one rename in commit(). A path that names a device, a pipe or a socket is
// opened and written directly, and never renamed over. Destroying a file that
// was not committed removes the temporary file and leaves the target as it
// was.
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
    bool anonymous_ = false;   // O_TMPFILE: no name until commit links one
    std::string target_;       // where the file goes (symbolic links resolved)
    std::string tempPath_;     // the hidden temporary file, when not anonymous
};
