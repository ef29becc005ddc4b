#include "meshtext/tokens.h"

#include <algorithm>
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

// The number of bits set in a 64-bit mask, without the popcnt instruction,
// which builds for any x86-64 may not assume (__builtin_popcountll would
// call libgcc instead).
inline uint64_t BitsSet64(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (x * 0x0101010101010101u) >> 56;
}

#if defined(__SSE2__)
// Bit k set where byte k of the 16 at p is white space.
inline uint64_t SpaceBits16(const char* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // ' ', or '\t' to '\r': (byte - 9) at most 4, unsigned.
    const __m128i fromTab = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
    const __m128i isSpace =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                     _mm_cmpeq_epi8(_mm_min_epu8(fromTab, _mm_set1_epi8(4)), fromTab));
    return static_cast<uint32_t>(_mm_movemask_epi8(isSpace));
}
#endif

}  // namespace

size_t CountTokens(const char* p, const char* end) {
    size_t tokens = 0;
    bool inToken = false;
#if defined(__SSE2__)
    // 64 bytes at a time: a token starts at a byte that is no space and
    // follows one.
    uint64_t previousSpace = 1;  // the byte before p counts as white space
    for (; end - p >= 64; p += 64) {
        const uint64_t spaces = SpaceBits16(p) | SpaceBits16(p + 16) << 16 |
                                SpaceBits16(p + 32) << 32 | SpaceBits16(p + 48) << 48;
        tokens += BitsSet64(~spaces & ((spaces << 1) | previousSpace));
        previousSpace = spaces >> 63;
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

size_t LineOf(const char* begin, const char* at, const char* end) {
    if (at == end) {
        while (at > begin && IsSpace(at[-1]))
            --at;
    }
    return 1 + static_cast<size_t>(std::count(begin, at, '\n'));
}

std::string Quote(const char* first, const char* last) {
    constexpr ptrdiff_t kShown = 40;
    std::string text = "\"";
    for (const char* p = first; p < last && p < first + kShown; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
    }
    if (last - first > kShown) text += "...";
    return text + "\"";
}

std::string QuoteToken(const char* first, const char* end) {
    return Quote(first, TokenEnd(first, end));
}
