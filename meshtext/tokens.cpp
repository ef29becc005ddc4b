#include "meshtext/tokens.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const char* TokenEnd(const char* first, const char* last) {
    while (first < last && !IsSpace(*first))
        ++first;
    return first;
}

namespace {

// The number of bits set in a 16-bit mask, without the popcnt instruction,
// which builds for any x86-64 may not assume (__builtin_popcount would call
// libgcc instead).
inline uint32_t BitsSet16(uint32_t x) {
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

}  // namespace

size_t CountTokens(const char* p, const char* end) {
    size_t tokens = 0;
    bool inToken = false;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), below = _mm_set1_epi8(8), above = _mm_set1_epi8(14);
    uint32_t previousSpace = 1;  // the byte before p counts as white space
    for (; end - p >= 16; p += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i isSpace =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, space),
                         _mm_and_si128(_mm_cmpgt_epi8(bytes, below), _mm_cmplt_epi8(bytes, above)));
        auto spaces = static_cast<uint32_t>(_mm_movemask_epi8(isSpace));
        // A token starts at a byte that is no space and follows one.
        uint32_t starts = ~spaces & ((spaces << 1) | previousSpace) & 0xFFFF;
        tokens += BitsSet16(starts);
        previousSpace = spaces >> 15;
    }
    inToken = previousSpace == 0;
#endif
    for (; p < end; ++p) {
        bool isSpace = IsSpace(*p);
        if (!isSpace && !inToken) ++tokens;
        inToken = !isSpace;
    }
    return tokens;
}

const char* SkipTokens(const char* p, const char* end, size_t n) {
    for (; n > 0; --n) {
        p = SkipSpace(p, end);
        if (p == end) return nullptr;
        p = TokenEnd(p, end);
    }
    return p;
}
