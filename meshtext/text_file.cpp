#include "meshtext/text_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "failure.h"
#include "fd_io.h"
#include "meshtext/tokens.h"

// A mapping that the SIGBUS handler below watches.
struct TextFileWatch {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 watched
    std::atomic<bool> changed{false};
    char* begin = nullptr;
    size_t size = 0;
};

namespace {

// ---- Mapped files that shrink while they are read ----
//
// A page of a mapping that lies past the end of its file raises SIGBUS
// when touched. The handler below puts zero pages in place of the rest of
// the mapping and notes the change, so the reading thread (any thread)
// carries on over zero bytes, which no text mesh holds, and the caller
// learns from changed() that the text is void. A SIGBUS outside the
// mappings entered here goes to the handling that was there before.

constexpr int kWatchSlots = 16;

using WatchSlot = TextFileWatch;

// The slots come in blocks: one to begin with, and one more each time all
// are taken. A block is linked in whole (its slots free) and never
// released, so the handler can walk the chain at any moment without a
// lock; the chain is as long as the most files ever watched at once need.
struct WatchBlock {
    WatchSlot slots[kWatchSlots];
    std::atomic<WatchBlock*> next{nullptr};
};

WatchBlock gWatched;
struct sigaction gPreviousBus;

extern "C" void ZeroMissingPages(int signal, siginfo_t* info, void* context) {
    auto* at = static_cast<char*>(info->si_addr);
    for (WatchBlock* block = &gWatched; block != nullptr; block = block->next.load()) {
        for (WatchSlot& slot : block->slots) {
            if (slot.state.load() != 2 || at < slot.begin || at >= slot.begin + slot.size) continue;
            const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
            char* from = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(at) & ~(page - 1));
            size_t length = static_cast<size_t>(slot.begin + slot.size - from);
            if (::mmap(from, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
                MAP_FAILED) {
                slot.changed.store(true);
                return;
            }
        }
    }
    // Not ours: as before this handler was installed.
    if (gPreviousBus.sa_flags & SA_SIGINFO) {
        gPreviousBus.sa_sigaction(signal, info, context);
    } else if (gPreviousBus.sa_handler != SIG_IGN && gPreviousBus.sa_handler != SIG_DFL) {
        gPreviousBus.sa_handler(signal);
    } else {
        ::sigaction(SIGBUS, &gPreviousBus, nullptr);
    }
}

// A free slot, filled for [begin, begin + size); null when every slot is
// taken and no block more can be allocated.
WatchSlot* Watch(char* begin, size_t size) {
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) {
        struct sigaction handler {};
        handler.sa_sigaction = ZeroMissingPages;
        handler.sa_flags = SA_SIGINFO;
        sigemptyset(&handler.sa_mask);
        ::sigaction(SIGBUS, &handler, &gPreviousBus);
    }
    for (WatchBlock* block = &gWatched;;) {
        for (WatchSlot& slot : block->slots) {
            int expected = 0;
            if (!slot.state.compare_exchange_strong(expected, 1)) continue;
            slot.begin = begin;
            slot.size = size;
            slot.changed.store(false);
            slot.state.store(2);
            return &slot;
        }
        WatchBlock* next = block->next.load();
        if (next == nullptr) {
            auto* grown = new (std::nothrow) WatchBlock;
            if (grown == nullptr) return nullptr;
            // Another thread may have linked a block first: then that one.
            if (block->next.compare_exchange_strong(next, grown)) {
                next = grown;
            } else {
                delete grown;
            }
        }
        block = next;
    }
}

// Tokens that start in [from, to), where the byte before `from` (if any)
// is `before`.
uint64_t TokensStarting(const char* from, const char* to, bool afterSpace) {
    if (from == to) return 0;
    uint64_t n = CountTokens(from, to);
    // CountTokens takes `from` as following white space.
    if (!afterSpace && !IsSpace(*from)) --n;
    return n;
}

}  // namespace

TextFile::~TextFile() {
    close();
}

void TextFile::close() {
    if (mapped_) {
        ::munmap(data_, size_);
        if (watch_ != nullptr) watch_->state.store(0);
    } else {
        std::free(data_);
    }
    if (fd_ >= 0) ::close(fd_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
    ended_ = false;
    fd_ = -1;
    watch_ = nullptr;
    tokens_ = 0;
}

bool TextFile::changed() const {
    return watch_ != nullptr && watch_->changed.load();
}

size_t TextFile::watchSlots() {
    size_t n = 0;
    for (const WatchBlock* block = &gWatched; block != nullptr; block = block->next.load())
        n += kWatchSlots;
    return n;
}

bool TextFile::open(const char* path, size_t firstTokens, KvxStatus* status) {
    close();
    kvx::UniqueFd fd(kvx::OpenFile(path, O_RDONLY));
    if (!fd.valid()) return kvx::Failed(status, KvxErrc::open_failed, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return kvx::Failed(status, KvxErrc::read_failed, errno);
    if (S_ISDIR(st.st_mode)) return kvx::Failed(status, KvxErrc::read_failed, EISDIR);
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<uint64_t>(st.st_size) > SIZE_MAX)
            return kvx::Failed(status, KvxErrc::too_large, 0, static_cast<uint64_t>(st.st_size));
        const auto size = static_cast<size_t>(st.st_size);
        void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (p != MAP_FAILED) {
            // A mapping is kept only while the handler watches it; without
            // a slot the file is read instead.
            WatchSlot* slot = Watch(static_cast<char*>(p), size);
            if (slot != nullptr) {
                data_ = static_cast<char*>(p);
                size_ = size;
                mapped_ = true;
                ended_ = true;
                watch_ = slot;
                return true;
            }
            ::munmap(p, size);
        }
        if (errno == ENOMEM) return kvx::Failed(status, KvxErrc::out_of_memory, ENOMEM, size);
    }
    // Pipes, devices, empty files and files that cannot be mapped are read.
    fd_ = fd.release();
    return readStream(firstTokens, 0, kFirstStepBytes, status);
}

bool TextFile::readTokens(uint64_t tokens, size_t trailingBytes, KvxStatus* status) {
    return readStream(tokens, trailingBytes, SIZE_MAX, status);
}

bool TextFile::readBytes(size_t bytes, KvxStatus* status) {
    return readStream(UINT64_MAX, 0, bytes, status);
}

bool TextFile::readStream(uint64_t tokens, size_t trailingBytes, size_t byteLimit,
                          KvxStatus* status) {
    // Done once `tokens` are complete, that is, once one more has started
    // (or the input ended), and then `trailingBytes` more have come.
    size_t stopAt = SIZE_MAX;
    auto settle = [&] {
        if (stopAt == SIZE_MAX && tokens_ > tokens)
            stopAt = size_ > SIZE_MAX - trailingBytes ? SIZE_MAX : size_ + trailingBytes;
    };
    settle();
    while (!ended_ && size_ < stopAt && size_ < byteLimit) {
        if (size_ == capacity_) {
            size_t wanted = capacity_ == 0 ? size_t{65536} : 2 * capacity_;
            char* grown = static_cast<char*>(std::realloc(data_, wanted));
            if (grown == nullptr)
                return kvx::Failed(status, KvxErrc::out_of_memory, ENOMEM, wanted);
            data_ = grown;
            capacity_ = wanted;
        }
        size_t room = capacity_ - size_;
        if (stopAt != SIZE_MAX && stopAt - size_ < room) room = stopAt - size_;
        if (byteLimit - size_ < room) room = byteLimit - size_;
        ssize_t n = ::read(fd_, data_ + size_, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kvx::Failed(status, KvxErrc::read_failed, errno);
        if (n == 0) {
            ended_ = true;
            break;
        }
        bool afterSpace = size_ == 0 || IsSpace(data_[size_ - 1]);
        tokens_ += TokensStarting(data_ + size_, data_ + size_ + n, afterSpace);
        size_ += static_cast<size_t>(n);
        settle();
    }
    if (ended_ && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return true;
}
