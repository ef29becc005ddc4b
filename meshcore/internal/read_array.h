// Arrays that one read fills at once: a load's vertex and index blocks.
#pragma once

#include <cstdint>

namespace kvx {

// From this size an array that a read fills goes on huge pages, as
// KvxAllocate's large arrays do; below it, on the heap. Glibc keeps a freed
// block of up to about 32 MiB (its largest mmap threshold on 64-bit systems)
// for the next allocation, so a process that loads file after file (Python's
// kvx.load) reuses memory whose pages are already there, where a fresh huge
// page is zeroed on every load; a larger block is mapped afresh each time,
// and then a fault every 2 MiB is cheaper than one every 4 KiB. Measured
// with a build at each setting (bench/README.md), against numpy.fromfile:
// on the heap about 1.0 up to 31 MiB and 3 to 7 times from 32 MiB less 64
// bytes; on huge pages 1.3 to 1.4 at 31 MiB, 0.4 to 0.7 from 32 MiB.
#ifndef KVX_READ_HUGE_PAGES_FROM
#define KVX_READ_HUGE_PAGES_FROM (uint64_t{31} << 20)
#endif
inline constexpr uint64_t kReadHugePagesFrom = KVX_READ_HUGE_PAGES_FROM;

// Allocates count * size bytes with 16-byte alignment for an array that a
// read fills whole, on the heap below kReadHugePagesFrom bytes and on huge
// pages from there. Returns null when the product overflows or memory is
// short; a zero size gives a valid, unique pointer. Release with KvxFree.
void* AllocateReadArray(uint64_t count, uint64_t size);

}  // namespace kvx
