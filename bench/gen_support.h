// What the benchmark meshes' generators share: their pseudo-random
// sequence (mesh_gen, surface_gen, kvxcorpus), and the numbers on the
// command line and the standard output of kvxgen and kvxcorpus.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// SplitMix64: the next number of the sequence whose state is `state`.
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

// A decimal number, digits to the end of `text`, of at most `limit`.
inline bool ParseNumber(const char* text, uint64_t limit, uint64_t& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    value = parsed;
    return true;
}

// Writes `text` to standard output: status 0, or 3 with
// "<program>: standard output: <reason>" on standard error.
inline int WriteStandardOutput(const char* program, const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: standard output: %s\n", program, std::strerror(errno));
        return 3;
    }
    return 0;
}
