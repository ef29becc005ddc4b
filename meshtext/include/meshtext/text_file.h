// The whole of an input text, mapped or read into memory.
#pragma once

#include <cstddef>

// The whole input file, mapped or read into memory.
class TextFile {
public:
    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();

    // False on failure, with errno-style `error`.
    bool open(const char* path, int& error);
    // Releases the text; begin() and end() are then empty.
    void close();
    const char* begin() const { return data_; }
    const char* end() const { return data_ + size_; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};
