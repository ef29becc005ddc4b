// Writers of printf conversions. Each writes at `out` and returns the end of
// what it wrote; the bytes equal those of snprintf with the same conversion.
// They never allocate and never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr size_t kMaxNumberText = 64;  // enough for any of them

char* FormatUnsigned(char* out, uint32_t value);  // "%u"
char* FormatSigned(char* out, int32_t value);     // "%i"
char* FormatHex(char* out, uint32_t value);       // "%X"
char* FormatFixed(char* out, float value);        // "%f" of the value widened to double

// "%u" of a 16-bit index, the commonest number in the output: one table
// lookup. Writes 8 bytes at `out` (room for them is needed) and returns the
// end of the digits.
struct IndexText {
    char digits[7];
    char length;
};
extern const IndexText* const kIndexText;  // 65,536 entries
inline char* FormatIndex(char* out, uint16_t value) {
    const IndexText& text = kIndexText[value];
    std::memcpy(out, &text, sizeof text);
    return out + text.length;
}
