// The reader of the text mesh format (".cmsh") used by the six converters.
//
// A text mesh is a sequence of white-space separated tokens: the vertex
// count, the face count, the vertex entries (3, 7 or 9 numbers each), the
// triangle entries (3 vertex indices each) and, for kvxconv4, a name. Line
// breaks carry no meaning. Every token must be one complete number of the
// expected kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "meshtext/parse_number.h"

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
