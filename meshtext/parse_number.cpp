#include "meshtext/parse_number.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

ParseResult ParseUnsignedSlow(const char* first, const char* last, uint32_t& value) {
    const char* p = SkipSpace(first, last);
    if (p == last) return {last, ParseErrc::end_of_input};
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
    if (p == digits || (p < last && !IsSpace(*p))) return {start, ParseErrc::invalid};
    if (overflow) return {start, ParseErrc::out_of_range};
    value = static_cast<uint32_t>(v);
    return {p, ParseErrc::ok};
}

bool ClingerFastPath(const char* first, const char* last, float& value) {
    static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                             1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    uint32_t digits = 0;
    int fractionDigits = -1;  // -1 until the point
    bool any = false;
    const char* q = first;
    for (; q < last; ++q) {
        if (*q == '.' && fractionDigits < 0) {
            fractionDigits = 0;
            continue;
        }
        auto d = static_cast<unsigned char>(*q - '0');
        if (d > 9 || digits > (1u << 24) / 10) break;
        digits = digits * 10 + d;
        any = true;
        if (fractionDigits >= 0) ++fractionDigits;
    }
    if (q != last || !any || digits > (1u << 24) || fractionDigits > 10) return false;
    float v = static_cast<float>(digits);
    if (fractionDigits > 0) v /= kPowersOfTen[fractionDigits];
    value = v;
    return true;
}

ParseResult ParseFloat(const char* first, const char* last, float& value) {
    const char* p = SkipSpace(first, last);
    if (p == last) return {last, ParseErrc::end_of_input};
    const char* start = p;
    const char* end = TokenEnd(p, last);

    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // from_chars takes no '+' and would take a second sign; scanf takes neither.
    if (p == end || *p == '+' || *p == '-') return {start, ParseErrc::invalid};
    std::chars_format format = std::chars_format::general;
    if (end - p >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x') {
        format = std::chars_format::hex;
        p += 2;
        // Hexadecimal digits or a point must follow ("0xinf" is no number).
        if (p == end || !(std::isxdigit(static_cast<unsigned char>(*p)) || *p == '.'))
            return {start, ParseErrc::invalid};
    }
    // scanf stops before the parenthesis of "nan(...)".
    if (end[-1] == ')') return {start, ParseErrc::invalid};

    float v = 0;
    if (format == std::chars_format::general && ClingerFastPath(p, end, v)) {
        value = negative ? -v : v;
        return {end, ParseErrc::ok};
    }
    auto [ptr, ec] = std::from_chars(p, end, v, format);
    if (ptr != end) return {start, ParseErrc::invalid};
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: strtof gives the infinity or the correctly
        // rounded tiny value that scanf would.
        std::string token(start, end);
        value = std::strtof(token.c_str(), nullptr);
        return {end, ParseErrc::ok};
    }
    if (ec != std::errc()) return {start, ParseErrc::invalid};
    value = negative ? -v : v;
    return {end, ParseErrc::ok};
}
