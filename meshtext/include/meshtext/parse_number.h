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
ParseResult ParseFloat(const char* first, const char* last, float& value);

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

inline ParseResult ParseUnsigned(const char* first, const char* last, uint32_t& value) {
    const char* p = SkipSpace(first, last);
    ParseResult result;
    if (IndexFastPath(p, last, result, value)) return result;
    return ParseUnsignedSlow(p, last, value);
}
