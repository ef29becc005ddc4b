// Work split between two threads where that pays, and done on one thread
// where no second thread can be started (a process short of memory or of
// threads): the result is the same either way.
#pragma once

#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace kvx {

// Starts `work` on `thread` and returns true, or returns false with nothing
// started when the system cannot start a thread now.
template <typename Work>
bool TryStartThread(std::thread& thread, Work&& work) noexcept {
    try {
        thread = std::thread(std::forward<Work>(work));
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Calls work(first, n) over [0, count): in two halves at once when count is
// at least `worthIt`, else (or when no thread can be started) once over the
// whole range. For work whose items are independent of one another.
template <typename Work>
void SplitInTwo(uint32_t count, uint32_t worthIt, Work work) {
    if (count >= worthIt && count >= 2) {
        uint32_t half = count / 2;
        std::thread second;
        if (TryStartThread(second, [&] { work(half, count - half); })) {
            work(uint32_t{0}, half);
            second.join();
            return;
        }
    }
    work(uint32_t{0}, count);
}

}  // namespace kvx
