// The colour word: how four colour values of a text mesh become one 32-bit
// word (PackColor), and how a word is read back as red, green, blue and
// alpha (DecodeColor). The first value of the text lands in bits 24 to 31,
// the fourth in bits 0 to 7.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Each of the four values times 255, truncated toward zero, combined as
// first << 24 | second << 16 | third << 8 | fourth. Returns false and sets
// `badIndex` (0 to 3) when a truncated product lies outside 0 to 255, or is
// not a number: such a value would spill into the neighbouring bytes.
// -0.001 and 1.003 are accepted, since their truncated products are 0 and
// 255.
bool PackColor(const float values[4], uint32_t& color, int& badIndex);

// What is wrong with a colour value that PackColor refused, for messages:
// "colour value nan is not a number", "colour value 1.5 times 255 is outside
// 0 to 255" (the value as its shortest text).
std::string ColorValueMessage(float value);

// How the four bytes of a colour word are read: argb takes bits 24-31 as
// alpha, then red, green and blue; rgba takes them as red, green, blue,
// alpha.
enum class ColorOrder { argb, rgba };

struct Rgba {
    uint8_t r, g, b, a;
};

inline Rgba DecodeColor(uint32_t word, ColorOrder order) {
    auto byte = [word](int shift) { return static_cast<uint8_t>(word >> shift); };
    if (order == ColorOrder::argb) return {byte(16), byte(8), byte(0), byte(24)};
    return {byte(24), byte(16), byte(8), byte(0)};
}

// The inverse of DecodeColor.
inline uint32_t EncodeColor(Rgba c, ColorOrder order) {
    if (order == ColorOrder::argb)
        return uint32_t{c.a} << 24 | uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
    return uint32_t{c.r} << 24 | uint32_t{c.g} << 16 | uint32_t{c.b} << 8 | c.a;
}

// "argb" or "rgba"; false for anything else.
bool ParseColorOrder(std::string_view text, ColorOrder* order);
