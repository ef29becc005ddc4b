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

// Sizes from which the second thread pays on a two-core machine, for meshes
// converted one process per file. Measured by bench/thresholds.py, which
// builds the programs with one of them set to "always" and to "never"
// (-DKVX_PARALLEL_VERTICES=1, say) and times both across mesh sizes; the
// measured crossings are in bench/README.md.
#ifndef KVX_PARALLEL_VERTICES
#define KVX_PARALLEL_VERTICES 65536
#endif
#ifndef KVX_PARALLEL_TRIANGLES
#define KVX_PARALLEL_TRIANGLES 65536
#endif
#ifndef KVX_PARALLEL_FACES
#define KVX_PARALLEL_FACES 262144
#endif
// Vertex entries of a text mesh read by two threads.
inline constexpr uint32_t kParallelVertices = KVX_PARALLEL_VERTICES;
// Triangle entries of a text mesh read by two threads.
inline constexpr uint32_t kParallelTriangles = KVX_PARALLEL_TRIANGLES;
// Face normals computed by two threads.
inline constexpr uint32_t kParallelFaces = KVX_PARALLEL_FACES;

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
