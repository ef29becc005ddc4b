#include "meshtext/parse_number.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

#if KVX_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#endif

ParseResult ParseUnsignedSlow(const char* first, const char* last, uint32_t& value) {
    const char* p = SkipSpace(first, last);
    if (p == last) return {last, std::errc::invalid_argument};
    const char* start = p;
    if (*p == '+') ++p;
    const char* digits = p;
    uint64_t v = 0;
    bool overflow = false;
    while (p < last && static_cast<unsigned char>(*p - '0') < 10) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > UINT32_MAX) {
            overflow = true;
            v = 0;
        }
        ++p;
    }
    if (p == digits || (p < last && !IsSpace(*p))) return {start, std::errc::invalid_argument};
    if (overflow) return {start, std::errc::result_out_of_range};
    value = static_cast<uint32_t>(v);
    return {p, std::errc()};
}

bool ClingerFastPath(const char* first, const char* last, float& value, const char*& end) {
    static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                             1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    uint32_t digits = 0;
    int fractionDigits = -1;  // -1 until the point
    bool any = false;
    const char* q = first;
    for (; q < last && !IsSpace(*q); ++q) {
        if (*q == '.' && fractionDigits < 0) {
            fractionDigits = 0;
            continue;
        }
        auto d = static_cast<unsigned char>(*q - '0');
        if (d > 9 || digits > (1u << 24) / 10) return false;
        digits = digits * 10 + d;
        any = true;
        if (fractionDigits >= 0) ++fractionDigits;
    }
    if (!any || digits > (1u << 24) || fractionDigits > 10) return false;
    float v = static_cast<float>(digits);
    if (fractionDigits > 0) v /= kPowersOfTen[fractionDigits];
    value = v;
    end = q;
    return true;
}

namespace {

// A hexadecimal float behind "0x": std::from_chars reads it, strtof the
// values beyond the float range (infinity, or the rounded tiny value).
ParseResult HexFloat(const char* start, const char* digits, const char* end, bool negative,
                     float& value) {
    // Hexadecimal digits or a point must follow ("0xinf" is no number).
    if (digits == end || !(std::isxdigit(static_cast<unsigned char>(*digits)) || *digits == '.'))
        return {start, std::errc::invalid_argument};
    float v = 0;
    auto [ptr, ec] = std::from_chars(digits, end, v, std::chars_format::hex);
    if (ptr != end) return {start, std::errc::invalid_argument};
    if (ec == std::errc::result_out_of_range) {
        value = std::strtof(std::string(start, end).c_str(), nullptr);
        return {end, std::errc()};
    }
    if (ec != std::errc()) return {start, std::errc::invalid_argument};
    value = negative ? -v : v;
    return {end, std::errc()};
}

// A decimal float, inf, infinity or nan without its sign: the value and
// where it ends (`digits` when there is no number there).
const char* DecimalFloat(const char* digits, const char* last, float& v) {
#if KVX_HAVE_FAST_FLOAT
    // Clinger's fast path and Eisel and Lemire's algorithm, both exact, the
    // digits read eight at a time: faster on every kind of decimal than
    // ClingerFastPath with std::from_chars behind it.
    auto [ptr, ec] = fast_float::from_chars(digits, last, v);
#else
    const char* fastEnd = last;
    if (ClingerFastPath(digits, last, v, fastEnd)) return fastEnd;
    auto [ptr, ec] = std::from_chars(digits, last, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: strtof gives the infinity or the correctly
        // rounded tiny value that scanf would.
        v = std::strtof(std::string(digits, ptr).c_str(), nullptr);
        return ptr;
    }
#endif
    return ec == std::errc() ? ptr : digits;
}

}  // namespace

ParseResult ParseFloatSlow(const char* first, const char* last, float& value) {
    const char* p = SkipSpace(first, last);
    if (p == last) return {last, std::errc::invalid_argument};
    const char* start = p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // scanf takes no second sign.
    if (p == last || IsSpace(*p) || *p == '+' || *p == '-')
        return {start, std::errc::invalid_argument};
    if (last - p >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x')
        return HexFloat(start, p + 2, TokenEnd(p, last), negative, value);

    float v = 0;
    const char* end = last;
    end = DecimalFloat(p, last, v);
    // The number must be the whole token; scanf stops before the
    // parenthesis of "nan(...)".
    if (end == p || (end != last && !IsSpace(*end)) || end[-1] == ')')
        return {start, std::errc::invalid_argument};
    value = negative ? -v : v;
    return {end, std::errc()};
}
