// The text readers' hot scanning, inline where it is called: blanks within
// a line, digits, and the plain decimal numbers exporters write, each
// correctly rounded as strtof rounds it. Every function takes only the
// tokens it is sure of and says so; the caller hands every other token to
// meshtext's parsers, which judge it. Private to meshimport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"

namespace kvx::detail {

// The classes of the bytes, for the tests below: 1 white space as IsSpace
// sees it (blank, tab, line feed, vertical tab, form feed, carriage
// return), 2 white space inside a line (all but the line feed).
inline constexpr struct ByteClasses {
    unsigned char of[256] = {};
    constexpr ByteClasses() {
        for (int c : {' ', '\t', '\n', '\v', '\f', '\r'})
            of[c] = c == '\n' ? 1 : 3;
    }
} kByteClasses;

// IsSpace by the table.
inline bool IsSpaceByte(char c) {
    return kByteClasses.of[static_cast<unsigned char>(c)] & 1;
}

// White space inside a line: IsSpace but the line feed.
inline bool IsBlank(char c) {
    return kByteClasses.of[static_cast<unsigned char>(c)] & 2;
}

inline bool IsDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// The scanners below read lines that the caller knows a line feed ends
// (a line feed follows somewhere in the text): every loop stops at a byte
// that is no blank, digit, sign or point, so at that line feed at the
// latest, and none needs the end of the text.

// The first byte at or after `p` that is no blank.
inline const char* SkipBlankInLine(const char* p) {
    while (IsBlank(*p))
        ++p;
    return p;
}

// The decimal digits at `p` accumulated into `value` (modulo 2^64); `p`
// then past them.
inline void ScanDigitsInLine(const char*& p, uint64_t& value) {
    for (unsigned d; (d = static_cast<unsigned char>(*p) - unsigned{'0'}) < 10; ++p)
        value = value * 10 + d;
}

// A plain decimal number at `first`: an optional '-', digits with at most
// one point among or after them (at least one digit before it), no
// exponent, at most 19 digits, ended by white space. Reads it into `value`
// as strtof would and returns the end of the token, or returns null (with
// `value` untouched) for every other token and for the few values this
// path cannot round with certainty.
//
// The digits make an integer m below 10^19 and the point a power of ten
// 10^k. For m up to 2^53 and k up to 22 both are exact doubles, so their
// quotient is the double nearest to the number. Rounding that double to a
// float gives the float nearest to the number unless the double is exactly
// halfway between two floats (a double rounding could have put it there),
// which is left to the general path, as are numbers below the smallest
// normal float or from 2^127 on. Zero is zero, with its sign.
inline const char* ScanPlainFloatInLine(const char* first, float& value) {
    const char* p = first;
    const bool negative = *p == '-';
    if (negative) ++p;
    const char* start = p;
    uint64_t m = 0;
    ScanDigitsInLine(p, m);
    const auto whole = p - start;
    if (whole == 0) return nullptr;
    ptrdiff_t fraction = 0;
    if (*p == '.') {
        const char* point = ++p;
        ScanDigitsInLine(p, m);
        fraction = p - point;
    }
    // More than 19 digits, an exponent or other bytes.
    if (!IsSpaceByte(*p) || whole + fraction > 19) return nullptr;
    static constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (m > (uint64_t{1} << 53) || fraction > 22) return nullptr;
    if (m == 0) {
        value = negative ? -0.0f : 0.0f;
        return p;
    }
    const double d = static_cast<double>(m) / kPow10[fraction];
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    // Below 2^-126 or from 2^127 on, and float midpoints:
    // a double whose 29 bits below a float's precision are 1 and zeros.
    const uint64_t exponent = bits >> 52;
    if (exponent < 1023 - 126 || exponent >= 1023 + 127 ||
        (bits & ((uint64_t{1} << 29) - 1)) == (uint64_t{1} << 28)) {
        return nullptr;
    }
    const float f = static_cast<float>(d);
    value = negative ? -f : f;
    return p;
}

// A float token at `first` (no white space before it) in a line a line
// feed ends, in the text that ends at `last`: the plain path, else
// meshtext's ParseFloat. The result as ParseFloat gives it.
inline ParseResult ScanFloatInLine(const char* first, const char* last, float& value) {
    if (const char* end = ScanPlainFloatInLine(first, value)) return {end, std::errc()};
    return ParseFloat(first, last, value);
}

}  // namespace kvx::detail
