#include "meshtext/format_number.h"

#include <array>
#include <charconv>

namespace {

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int DecimalLength(uint64_t v) {
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Writes v in decimal, right to left, two digits at a time.
char* FormatDecimal(char* out, uint64_t v) {
    int length = DecimalLength(v);
    char* p = out + length;
    while (v >= 100) {
        uint64_t pair = v % 100;
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * pair, 2);
    }
    if (v >= 10) {
        std::memcpy(p - 2, kDigitPairs + 2 * v, 2);
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return out + length;
}

// Six fraction digits, zero-padded.
char* FormatFraction6(char* out, uint32_t f) {
    std::memcpy(out + 4, kDigitPairs + 2 * (f % 100), 2);
    f /= 100;
    std::memcpy(out + 2, kDigitPairs + 2 * (f % 100), 2);
    f /= 100;
    std::memcpy(out, kDigitPairs + 2 * f, 2);
    return out + 6;
}

}  // namespace

// The digits of 0 to 9999, each in 4 bytes with leading zeros, built by the
// compiler: nothing runs at start-up, and only the pages used are read in.
constexpr std::array<char, 4 * 10000> kFourDigits = [] {
    std::array<char, 4 * 10000> digits{};
    for (int v = 0; v < 10000; ++v) {
        digits[static_cast<size_t>(4 * v)] = static_cast<char>('0' + v / 1000);
        digits[static_cast<size_t>(4 * v + 1)] = static_cast<char>('0' + v / 100 % 10);
        digits[static_cast<size_t>(4 * v + 2)] = static_cast<char>('0' + v / 10 % 10);
        digits[static_cast<size_t>(4 * v + 3)] = static_cast<char>('0' + v % 10);
    }
    return digits;
}();
const char* const kIndexDigits = kFourDigits.data();

char* FormatUnsigned(char* out, uint32_t value) {
    return FormatDecimal(out, value);
}

char* FormatSigned(char* out, int32_t value) {
    uint64_t magnitude = static_cast<uint64_t>(value < 0 ? -static_cast<int64_t>(value) : value);
    if (value < 0) *out++ = '-';
    return FormatDecimal(out, magnitude);
}

char* FormatHex(char* out, uint32_t value) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    int length = 1;
    while (length < 8 && (value >> (4 * length)) != 0)
        ++length;
    for (int k = length - 1; k >= 0; --k) {
        *out++ = kHexDigits[(value >> (4 * k)) & 0xF];
    }
    return out;
}

char* FormatShortest(char* out, float value) {
    return std::to_chars(out, out + kMaxNumberText, value).ptr;
}

// std::to_chars with a precision is defined as printf's conversion of the
// same precision.
char* FormatSignificant9(char* out, float value) {
    return std::to_chars(out, out + kMaxNumberText, static_cast<double>(value),
                         std::chars_format::general, 9)
        .ptr;
}

std::string ShortestText(float value) {
    char text[kMaxNumberText];
    return std::string(text, FormatShortest(text, value));
}

// The exact decimal value of a float, rounded to six decimals with ties to
// even, as glibc's printf prints it. A float is m * 2^e with m below 2^24, so
// for e < 0 the scaled value m * 10^6 / 2^-e is formed exactly in 64 bits
// (m * 10^6 < 2^44); large magnitudes go to std::to_chars, which is exact too.
char* FormatFixed(char* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bool negative = (bits >> 31) != 0;
    uint32_t exponentBits = (bits >> 23) & 0xFF;
    uint32_t fraction = bits & 0x7FFFFF;
    if (exponentBits == 0xFF) {
        if (negative) *out++ = '-';
        std::memcpy(out, fraction ? "nan" : "inf", 3);
        return out + 3;
    }
    uint64_t m = exponentBits ? (fraction | 0x800000u) : fraction;
    int e = exponentBits ? static_cast<int>(exponentBits) - 150 : -149;
    if (e > 40) {
        return std::to_chars(out, out + kMaxNumberText, static_cast<double>(value),
                             std::chars_format::fixed, 6)
            .ptr;
    }
    if (negative) *out++ = '-';
    if (e >= 0) {
        out = FormatDecimal(out, m << e);
        std::memcpy(out, ".000000", 7);
        return out + 7;
    }
    uint64_t scaled = m * 1000000u;
    int k = -e;
    uint64_t q = 0;
    if (k < 64) {
        q = scaled >> k;
        uint64_t rest = scaled & ((uint64_t{1} << k) - 1);
        uint64_t half = uint64_t{1} << (k - 1);
        if (rest > half || (rest == half && (q & 1))) ++q;
    }
    out = FormatDecimal(out, q / 1000000u);
    *out++ = '.';
    return FormatFraction6(out, static_cast<uint32_t>(q % 1000000u));
}
