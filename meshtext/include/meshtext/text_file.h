// An input text held in memory: a regular file is mapped, anything else (a
// pipe, /dev/stdin, a device) is read in steps, only as far as it is asked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "meshcore/okvx.h"

struct TextFileWatch;  // text_file.cpp

class TextFile {
public:
    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();

    // Opens `path`, once (a FIFO is never opened twice). A regular file is
    // mapped whole but not read ahead: pages come in as the text is looked
    // at, so a huge file costs nothing until its text is found plausible;
    // should the process be unable to watch one more mapping, it is read
    // instead. Any other input is read until it
    // holds `firstTokens` tokens (followed by more text), it ends, or
    // kFirstStepBytes have come. False on failure, with open_failed or
    // read_failed (errno; EISDIR for a folder) or out_of_memory in `status`.
    bool open(const char* path, size_t firstTokens, KvxStatus* status);

    // For a stream: reads on until the text holds `tokens` complete tokens
    // and then up to `trailingBytes` more, or the input ends. The text may
    // move: begin() and end() change. A mapped file holds all of its text
    // already.
    bool readTokens(uint64_t tokens, size_t trailingBytes, KvxStatus* status);

    // For a stream: reads on until the text holds `bytes` bytes (never
    // more) or the input ends. As with readTokens, the text may move.
    bool readBytes(size_t bytes, KvxStatus* status);

    const char* begin() const { return data_; }
    const char* end() const { return data_ + size_; }
    // Whether the text is the whole input (the input has ended).
    bool whole() const { return ended_; }

    // Whether the mapped file shrank while it was read. Its missing pages
    // then read as zero bytes, so whatever was read from them is void.
    bool changed() const;

    // Releases the text; begin() and end() are then empty.
    void close();

    // The slots the process holds for watching mappings: 16, and 16 more
    // each time more files are open at once than there are slots (a slot
    // is freed by close()). For tests.
    static size_t watchSlots();

    static constexpr size_t kFirstStepBytes = size_t{1} << 20;

private:
    bool readStream(uint64_t tokens, size_t trailingBytes, size_t byteLimit, KvxStatus* status);

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
    bool ended_ = false;
    int fd_ = -1;                     // a stream still being read
    TextFileWatch* watch_ = nullptr;  // the mapping's entry for the SIGBUS handler
    uint64_t tokens_ = 0;             // tokens started in the text so far (streams)
};
