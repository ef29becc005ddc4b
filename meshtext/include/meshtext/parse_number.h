// Number parsing for the text mesh format, in the manner of std::from_chars:
// nothing throws, nothing allocates, and every result says where parsing
// stopped. Parsers skip leading white space; a token must be one complete
// number of the expected kind, ended by white space or the end of the input.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "meshtext/tokens.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A result as std::from_chars and fast_float give it. On success `ec` is
// std::errc() and `ptr` is just past the token. Otherwise `ptr` is the start
// of the offending token and `ec` says what is wrong with it:
//   - std::errc::invalid_argument: it is not one complete number of the
//     expected kind; or there is no token, only white space remained, and
//     `ptr` is then `last` (as from_chars answers an empty range);
//   - std::errc::result_out_of_range: an unsigned number above 4294967295.
using ParseResult = std::from_chars_result;

// Whether a failed parse found no token: the input ended before one.
inline bool NoToken(const ParseResult& r, const char* last) {
    return r.ec != std::errc() && r.ptr == last;
}

// "%u" tokens: decimal digits, optionally behind one '+'. No sign '-'.
inline ParseResult ParseUnsigned(const char* first, const char* last, uint32_t& value);

// The general path of ParseUnsigned, for every token the fast path passes on.
ParseResult ParseUnsignedSlow(const char* first, const char* last, uint32_t& value);

// "%f" tokens: everything C's strtof takes as a whole token (sign, leading
// zeros, digits on one side of the point, exponents, hexadecimal floats,
// inf, infinity and nan in any case), giving the float strtof gives:
// correctly rounded, infinite on overflow, tiny or zero on underflow.
// "nan(...)" and an exponent without digits ("1e") are rejected, as scanf
// stops inside them.
inline ParseResult ParseFloat(const char* first, const char* last, float& value);

// The general path of ParseFloat, for every token the fast path passes on.
ParseResult ParseFloatSlow(const char* first, const char* last, float& value);

// The float fast path: a plain decimal token at `first` (digits with at
// most one point, no sign, no exponent, ending at white space or `last`)
// whose digits form an integer of at most 2^24 with at most ten of them
// after the point. Both the integer and the power of ten are then exact
// floats, so one division rounds the quotient correctly, as strtof does.
// Sets `end` to the end of the token. False, with `value` and `end`
// untouched, for any other token.
bool ClingerFastPath(const char* first, const char* last, float& value, const char*& end);

namespace detail {

// Number of leading bytes of x (read little-endian from text) that are ASCII
// digits, 0 to 8. A byte is a digit when its high nibble is 3 and stays 3
// after adding 6; carries out of a non-digit only reach later bytes.
inline int DigitRun(uint64_t x) {
    constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull, kThrees = 0x3030303030303030ull;
    uint64_t bad = ((x & kHigh) ^ kThrees) | (((x + 0x0606060606060606ull) & kHigh) ^ kThrees);
    return bad == 0 ? 8 : __builtin_ctzll(bad) >> 3;
}

// The value of eight ASCII digits, the first in the lowest byte; zero bytes
// count as leading zeros.
inline uint32_t EightDigits(uint64_t x) {
    x = (x & 0x0F0F0F0F0F0F0F0Full) * 2561 >> 8;
    x = (x & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
    return static_cast<uint32_t>((x & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32);
}

// The value of the first n (1 to 8) ASCII digits of x.
inline uint32_t EightDigitsOf(uint64_t x, int n) {
    return EightDigits(x << (8 * (8 - n)));
}

}  // namespace detail

// The index fast path: one to seven digits at `p`, followed by white space,
// with at least nine bytes of input left, read as one 64-bit word. Most
// tokens of a triangle section are like that. False for any other token.
inline bool IndexFastPath(const char* p, const char* last, ParseResult& result, uint32_t& value) {
    if (last - p <= 8) return false;
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    int n = detail::DigitRun(x);
    if (n == 0 || n == 8 || !IsSpace(p[n])) return false;
    value = detail::EightDigits(x << (8 * (8 - n)));
    result = {p + n, std::errc()};
    return true;
}

// The decimal fast path: at `p`, an optional sign, then one to seven
// digits, optionally a point and digits after it, at most 15 digits in all,
// ending at white space with at least eight bytes of input past every group
// of digits (so each is read as one 64-bit word). The digits m and the
// power of ten 10^k they are divided by are then exact doubles, so the
// quotient d is m / 10^k correctly rounded. Every midpoint between two
// neighbouring floats is a double too, and rounding is monotonic, so d lies
// on the same side of each midpoint as the exact value: rounding d to float
// gives the float strtof gives, unless d is a midpoint itself, which is
// passed on. Sets `end` to the end of the token; false, touching nothing,
// for any other token.
inline bool DecimalFastPath(const char* p, const char* last, float& value, const char*& end) {
    static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    static constexpr uint64_t kScale[] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '-' || *p == '+')) ++p;
    if (last - p < 9) return false;
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    const int whole = detail::DigitRun(x);
    if (whole == 8) return false;
    uint64_t m = whole == 0 ? 0 : detail::EightDigits(x << (8 * (8 - whole)));
    const char* q = p + whole;
    int fraction = 0;
    if (*q == '.') {
        ++q;
        for (;;) {
            if (last - q < 9) return false;
            std::memcpy(&x, q, sizeof x);
            const int n = detail::DigitRun(x);
            if (whole + fraction + n > 15) return false;
            if (n > 0) m = m * kScale[n] + detail::EightDigits(x << (8 * (8 - n)));
            fraction += n;
            q += n;
            if (n < 8) break;
        }
    }
    if ((whole == 0 && fraction == 0) || !IsSpace(*q)) return false;
    const double d = static_cast<double>(m) / kPowersOfTen[fraction];
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    // A float keeps 24 of the double's 53 significant bits: d is a midpoint
    // when the 29 it drops are exactly one half.
    if ((bits & 0x1FFFFFFFu) == 0x10000000u) return false;
    const auto f = static_cast<float>(d);
    value = negative ? -f : f;
    end = q;
    return true;
}

inline ParseResult ParseFloat(const char* first, const char* last, float& value) {
    const char* p = SkipSpace(first, last);
    const char* end;
    if (DecimalFastPath(p, last, value, end)) return {end, std::errc()};
    return ParseFloatSlow(p, last, value);
}

namespace detail {

#if defined(__SSE2__)
// Bits k of `digits` and `spaces` for the 32 bytes at p: an ASCII digit,
// white space.
inline void ClassifyBytes32(const char* p, uint32_t& digits, uint32_t& spaces) {
    uint32_t d[2], s[2];
    for (int half = 0; half < 2; ++half) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * half));
        const __m128i fromZero = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
        const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(fromZero, _mm_set1_epi8(9)), fromZero);
        // ' ', or '\t' to '\r': (byte - 9) at most 4, unsigned.
        const __m128i fromTab = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
        const __m128i isSpace =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                         _mm_cmpeq_epi8(_mm_min_epu8(fromTab, _mm_set1_epi8(4)), fromTab));
        d[half] = static_cast<uint32_t>(_mm_movemask_epi8(isDigit));
        s[half] = static_cast<uint32_t>(_mm_movemask_epi8(isSpace));
    }
    digits = d[0] | d[1] << 16;
    spaces = s[0] | s[1] << 16;
}
#endif

// The first set bit of `bits` at or after bit `from` (below 32), or 32.
inline int NextBit(uint32_t bits, int from) {
    const uint32_t above = bits & (~uint32_t{0} << from);
    return above == 0 ? 32 : __builtin_ctz(above);
}

}  // namespace detail

// The triangle fast path: at `p`, three tokens of one to eight digits each,
// separated by white space and followed by it, all within the next 32 bytes,
// with at least 32 bytes of input left (read as two 16-byte words, SSE2).
// Their values go to v[0..3); `end` is just after the third. False, touching
// nothing, for anything else (and without SSE2): ParseUnsigned then reads
// the tokens one by one.
inline bool TripleFastPath(const char* p, const char* last, uint32_t (&v)[3], const char*& end) {
#if defined(__SSE2__)
    if (last - p < 32) return false;
    uint32_t digits, spaces;
    detail::ClassifyBytes32(p, digits, spaces);
    int starts[3], ends[3];
    int at = 0;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (at == 32 || (spaces >> at & 1) == 0) return false;
            at = detail::NextBit(~spaces, at);
        }
        if (at == 32 || (digits >> at & 1) == 0) return false;
        starts[k] = at;
        at = detail::NextBit(~digits, at);
        if (at - starts[k] > 8) return false;
        ends[k] = at;
    }
    if (at == 32 || (spaces >> at & 1) == 0) return false;
    for (int k = 0; k < 3; ++k) {
        uint64_t x;
        std::memcpy(&x, p + starts[k], sizeof x);
        v[k] = detail::EightDigitsOf(x, ends[k] - starts[k]);
    }
    end = p + at;
    return true;
#else
    (void)p, (void)last, (void)v, (void)end;
    return false;
#endif
}

inline ParseResult ParseUnsigned(const char* first, const char* last, uint32_t& value) {
    const char* p = SkipSpace(first, last);
    ParseResult result;
    if (IndexFastPath(p, last, result, value)) return result;
    return ParseUnsignedSlow(p, last, value);
}
