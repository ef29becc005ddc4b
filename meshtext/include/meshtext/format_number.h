// Writers of numbers. Each writes at `out` (kMaxNumberText bytes are enough)
// and returns the end of what it wrote; but for FormatShortest, the bytes
// equal those of snprintf with the same conversion. They never allocate and
// never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

inline constexpr size_t kMaxNumberText = 64;  // enough for any of them

char* FormatUnsigned(char* out, uint32_t value);  // "%u"
char* FormatSigned(char* out, int32_t value);     // "%i"
char* FormatHex(char* out, uint32_t value);       // "%X"
char* FormatFixed(char* out, float value);        // "%f" of the value widened to double

// The shortest text that reads back as exactly `value` (std::to_chars's
// round-trip form: "0.1", "1e+20", "-0", "inf", "nan"); no printf
// conversion gives it. At most 15 bytes.
char* FormatShortest(char* out, float value);
// The same as a string, for messages.
std::string ShortestText(float value);

// "%.9g" of the value widened to double: nine significant digits, which
// bring every float back exactly, even through a reader that does not round
// correctly at the last digit ("0.100000001", "3.00000005e+38", "-0",
// "inf", "nan"). The formats other tools read (OBJ, OFF) use it. At most
// 16 bytes.
char* FormatSignificant9(char* out, float value);

// "%u" of a 16-bit index, the commonest number in the output: the last four
// digits come from a table, zero-padded, of which the leading zeros are
// skipped. Writes up to 8 bytes at `out` (room for them is needed) and
// returns the end of the digits.
extern const char* const kIndexDigits;  // "0000" to "9999"
inline char* FormatIndex(char* out, uint16_t value) {
    if (value >= 10000) {
        *out = static_cast<char>('0' + value / 10000);
        std::memcpy(out + 1, kIndexDigits + 4 * (value % 10000), 4);
        return out + 5;
    }
    const int length = value >= 1000 ? 4 : value >= 100 ? 3 : value >= 10 ? 2 : 1;
    std::memcpy(out, kIndexDigits + 4 * value + (4 - length), 4);
    return out + length;
}

// "%u %u %u\n", written at p; returns its end.
inline char* TripleLine(char* p, const uint16_t* t) {
    p = FormatIndex(p, t[0]);
    *p++ = ' ';
    p = FormatIndex(p, t[1]);
    *p++ = ' ';
    p = FormatIndex(p, t[2]);
    *p++ = '\n';
    return p;
}
inline constexpr size_t kTripleLine = 32;

// "1 vertex", "3 vertices": n and the noun that agrees with it, for messages.
inline std::string CountOf(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
