#include "meshtext/text_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

TextFile::~TextFile() { close(); }

void TextFile::close() {
    if (mapped_) {
        ::munmap(data_, size_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool TextFile::open(const char* path, int& error) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = EISDIR;
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                         MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p != MAP_FAILED) {
            ::close(fd);
            data_ = static_cast<char*>(p);
            size_ = static_cast<size_t>(st.st_size);
            mapped_ = true;
            return true;
        }
    }
    // Pipes, devices, empty files and files that cannot be mapped are read.
    size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1
                                                             : 65536;
    for (;;) {
        if (size_ == capacity || data_ == nullptr) {
            if (data_ != nullptr) capacity *= 2;
            char* grown = static_cast<char*>(std::realloc(data_, capacity));
            if (grown == nullptr) {
                error = ENOMEM;
                ::close(fd);
                return false;
            }
            data_ = grown;
        }
        ssize_t n = ::read(fd, data_ + size_, capacity - size_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        size_ += static_cast<size_t>(n);
    }
    ::close(fd);
    return true;
}
