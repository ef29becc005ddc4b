// An output file that appears complete or not at all. The save operations
// write through it, and so does every program that writes a file of its own
// (a picture, an exported mesh), so that a failed or interrupted run never
// leaves a partial file and never damages an existing one.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <string>

#include "meshcore/okvx.h"

// Where the bytes go depends on what the path names:
//
// - A regular file, or nothing yet: the bytes go to an unnamed temporary
//   file (O_TMPFILE) in the target's folder, which commit() names and moves
//   over the target with one rename. Where the file system cannot make an
//   unnamed file, or /proc is missing, a hidden named one is used instead
//   (".<name>.<random>", or ".kvx.<random>" for names too long to extend);
//   it is removed on SIGTERM, SIGINT and SIGHUP (see RemoveTemporaryOutputs
//   below) as well as on failure. The
//   new file keeps the mode of the file it replaces, or gets 0666 less the
//   umask.
// - A symbolic link is followed, link by link, to the file it names, which
//   is replaced while the links stay: a dangling link creates its target,
//   as `>` in a shell does; a loop fails with ELOOP and a link into a
//   missing folder with ENOENT.
// - A device, a pipe or a socket (/dev/null, a FIFO), and any path that
//   names an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N) or
//   whose links lead into /dev or /proc, is written in place and never
//   renamed over. A descriptor of this process is written through a
//   duplicate, so its offset and append mode hold (`>> log` appends).
//
// Use: open(), any number of write()s and writeGathered()s, commit(). Each returns false on
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
    // Writes parts[0..count) in order, as write() would one after another,
    // gathered into as few system calls as it can (writev).
    bool writeGathered(const iovec* parts, size_t count, KvxStatus* status);
    // Closes the file and, for a regular file, renames it over the target.
    bool commit(KvxStatus* status);

private:
    void discard();

    int fd_ = -1;
    int folder_ = -1;         // the target's folder, for the temporary file
    bool direct_ = false;     // written in place
    bool anonymous_ = false;  // O_TMPFILE: no name until commit links one
    int cleanupSlot_ = -1;    // where the signal handlers find the temporary name
    std::string targetName_;  // the target's name within folder_
    std::string tempName_;    // the temporary file's name within folder_, once it has one
};

namespace kvx {

// Removes every named temporary file that an OutputFile has not yet
// committed or removed. Safe to call in a signal handler: a program that
// handles SIGTERM, SIGINT or SIGHUP itself calls it there, since the
// handlers OutputFile would install then stay out of the way.
void RemoveTemporaryOutputs();

}  // namespace kvx
