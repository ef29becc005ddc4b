// The text mesh format (".cmsh") read by the six converters, and the colour
// packing rule they share.
//
// A text mesh is a sequence of white-space separated tokens: the vertex
// count, the face count, the vertex entries (3, 7 or 9 numbers each), the
// triangle entries (3 vertex indices each) and, for kvxconv4, a name. Line
// breaks carry no meaning. Every token must be one complete number of the
// expected kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// White space as C's isspace() sees it in the "C" locale.
inline bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Result of parsing one token, in the manner of std::from_chars. Parsers skip
// leading white space. On success `ptr` is just past the token; otherwise it
// is the start of the offending token (or `last` at the end of the input).
enum class ParseErrc {
    ok,
    end_of_input,  // only white space remained
    invalid,       // the token is not one complete number of the expected kind
    out_of_range,  // an unsigned number above 4294967295
};

struct ParseResult {
    const char* ptr;
    ParseErrc ec;
};

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

// The end of the token that starts at `first`.
const char* TokenEnd(const char* first, const char* last);

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

// Most tokens of a text mesh are short indices behind one separator: read
// up to seven digits at once, and leave everything else to the general path.
inline ParseResult ParseUnsigned(const char* first, const char* last, uint32_t& value) {
    const char* p = first;
    while (p < last && IsSpace(*p)) ++p;
    if (last - p > 8) {
        uint64_t x;
        std::memcpy(&x, p, sizeof x);
        int n = detail::DigitRun(x);
        if (n > 0 && n < 8 && IsSpace(p[n])) {
            value = detail::EightDigits(x << (8 * (8 - n)));
            return {p + n, ParseErrc::ok};
        }
    }
    return ParseUnsignedSlow(p, last, value);
}

// Colour packing: each of the four values times 255, truncated toward zero,
// combined as first << 24 | second << 16 | third << 8 | fourth in 32-bit
// two's complement, unclamped (0, 1.5, 0, 0 gives 0x017E0000). Returns false
// and sets `badIndex` when a product is not a number or lies outside the
// signed 32-bit range.
bool PackColor(const float values[4], uint32_t& color, int& badIndex);

// The whole input file, mapped or read into memory.
class TextFile {
public:
    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();

    // False on failure, with errno-style `error`.
    bool open(const char* path, int& error);
    // Releases the text; begin() and end() are then empty.
    void close();
    const char* begin() const { return data_; }
    const char* end() const { return data_ + size_; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

// What a converter reads, for the size checks made before anything is
// allocated.
struct CmshLayout {
    uint32_t valuesPerVertex;   // 3, 7 or 9
    uint32_t vertexBytes;       // bytes of the vertex record the converter builds
    bool readsTriangles;        // kvxpoints does not
    uint32_t triangleBytes;     // bytes of the largest array it keeps per triangle
};

// Reads a text mesh token by token. Each read returns false on bad input and
// leaves one line in error(): "<path>:<line>: <what is wrong>".
class CmshReader {
public:
    CmshReader(const char* path, const char* begin, const char* end)
        : path_(path), begin_(begin), pos_(begin), end_(end) {}

    // Reads both counts, then checks that the file can hold what they
    // announce and that every array they need stays below 4 GiB.
    bool readCounts(const CmshLayout& layout, uint32_t& vertexCount, uint32_t& faceCount);

    // Reads n numbers of one vertex entry (n at most 9).
    bool readVertex(float* values, uint32_t n) {
        while (pos_ < end_ && IsSpace(*pos_)) ++pos_;
        entry_ = pos_;
        for (uint32_t k = 0; k < n; ++k) {
            ParseResult r = ParseFloat(pos_, end_, values[k]);
            if (r.ec != ParseErrc::ok) return vertexError(r, n);
            pos_ = r.ptr;
        }
        return true;
    }

    // Packs four colour values of the entry read last; on failure the error
    // names that entry's line.
    bool packColor(const float colorValues[4], uint32_t& color);

    // Reads `count` triangle entries into `indices`, three values each,
    // keeping the low 16 bits of every number. On failure `done` is the
    // number of entries stored before the bad one. Large sections are read
    // by two threads; the result and the error (the first bad entry in file
    // order) are those of reading entry after entry.
    bool readTriangles(uint32_t count, uint16_t* indices, uint32_t& done);

    // The same, but every index must name one of the first vertexCount
    // vertices and fit in 16 bits: indices are positions in the vertex array.
    bool readCheckedTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                              uint32_t& done);

    // Reads the name token, if any, into a zero-filled 256-byte buffer.
    // A token longer than 255 characters, or one holding a zero byte, is an
    // error.
    bool readName(char (&name)[256]);

    const std::string& error() const { return error_; }

    // The 1-based line of `at`, counting line feeds.
    size_t lineOf(const char* at) const;

private:
    template <bool Checked>
    bool readTriangleSection(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                             uint32_t& done);
    bool vertexError(ParseResult r, uint32_t n);
    bool fail(const char* at, const std::string& what);
    std::string quoted(const char* token) const;

    const char* path_;
    const char* begin_;
    const char* pos_;
    const char* end_;
    const char* entry_ = nullptr;
    std::string error_;
};
