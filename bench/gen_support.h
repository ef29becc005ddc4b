// What the benchmark's generators share: one random sequence, so that a
// seed gives the same mesh on every machine, and the reading of their
// number operands.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

// The next value of the SplitMix64 sequence whose state is `state`.
inline uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// A uniform double in [0, 1) from the top 53 bits.
inline double Unit(uint64_t& state) {
    return static_cast<double>(SplitMix64(state) >> 11) * 0x1.0p-53;
}

// A decimal operand of at most `limit`, digits only; false for anything else.
inline bool ParseNumber(const char* text, uint64_t limit, uint64_t& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    value = parsed;
    return true;
}
