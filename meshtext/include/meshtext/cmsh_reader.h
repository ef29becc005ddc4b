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
#include <utility>

#include "meshtext/parse_number.h"

// What a converter reads, for the size checks made before anything is
// allocated and for the advice on text that follows its last entry.
struct CmshLayout {
    uint32_t valuesPerVertex = 7;  // 3, 7 or 9
    uint32_t vertexBytes = 16;     // bytes of the vertex record the converter builds
    bool readsTriangles = true;    // kvxpoints does not
    uint32_t triangleBytes = 6;    // bytes of the largest array it keeps per triangle
    bool readsName = false;        // kvxconv4 reads a name after the triangles
};

// What follows the last entry a converter reads, as far as it was looked
// at: the tokens, and whether that was the whole rest of the text.
struct TrailingText {
    uint64_t tokens = 0;
    bool whole = true;
};

// Reads a text mesh token by token. Each read returns false on bad input and
// leaves one line in error(): "<name>:<line>: <what is wrong>". The name is
// the input's as it should appear in messages.
class CmshReader {
public:
    CmshReader(std::string name, const char* begin, const char* end)
        : name_(std::move(name)), begin_(begin), pos_(begin), end_(end) {}

    // Reads both counts and checks that every array they need stays below
    // 4 GiB.
    bool readCounts(const CmshLayout& layout, uint32_t& vertexCount, uint32_t& faceCount);

    // Number of tokens a text of these counts holds, counts included (the
    // name not included).
    static uint64_t TokensNeeded(const CmshLayout& layout, uint32_t vertexCount,
                                 uint32_t faceCount);

    // Checks that the text after the counts can hold what they announce: at
    // least one character and one separator per value. A text too short
    // fails here, before anything is allocated.
    bool checkRoom(const CmshLayout& layout, uint32_t vertexCount, uint32_t faceCount);

    // The same text, moved (a stream read further): reading goes on at the
    // same offset.
    void rebase(const char* begin, const char* end) {
        pos_ = begin + (pos_ - begin_);
        begin_ = begin;
        end_ = end;
    }
    // Whether nothing but white space is left of the text held.
    bool atEnd() const { return SkipSpace(pos_, end_) == end_; }

    // Reads n numbers of one vertex entry (n at most 9).
    bool readVertex(float* values, uint32_t n) {
        pos_ = SkipSpace(pos_, end_);
        entry_ = pos_;
        for (uint32_t k = 0; k < n; ++k) {
            ParseResult r = ParseFloat(pos_, end_, values[k]);
            if (r.ec != std::errc()) return vertexError(r, n);
            pos_ = r.ptr;
        }
        return true;
    }

    // Packs four colour values of the entry read last; on failure the error
    // names that entry's line.
    bool packColor(const float colorValues[4], uint32_t& color);

    // Builds vertex i from the n values of its entry; false refuses the
    // entry for its colour values, which stand at `colorAt`.
    using VertexBuilder = bool (*)(void* context, uint32_t i, const float* values);

    // Reads `count` vertex entries of n values (n at most 9), calling
    // build(context, i, values) for each: large sections on two threads,
    // each entry once, those of one thread in order. On failure `done` is
    // the number of entries before the first bad one in file order (an
    // entry the text does not hold whole, or one `build` refused, whose
    // error then names the colour value at colorAt..colorAt+3 that made it
    // fail). build must be safe to call for different i at once.
    bool readVertices(uint32_t count, uint32_t n, int colorAt, VertexBuilder build, void* context,
                      uint32_t& done);

    // Reads `count` triangle entries into `indices`, three values each.
    // Every index must name one of the first vertexCount vertices and fit
    // in 16 bits. On failure `done` is the number of entries stored before
    // the bad one. Large sections are read by two threads where a second
    // one can be started; the result and the error (the first bad entry in
    // file order) are those of reading entry after entry.
    bool readTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices, uint32_t& done);

    // Reads the name token, if any, into a zero-filled 256-byte buffer.
    // A token longer than 255 characters, or one holding a zero byte, is an
    // error.
    bool readName(char (&name)[256]);

    // The tokens after the last entry read, looking no further than
    // `limitBytes` past it.
    TrailingText trailing(size_t limitBytes) const;

    const std::string& error() const { return error_; }

    // The 1-based line of `at`, counting line feeds.
    size_t lineOf(const char* at) const;

private:
    bool vertexError(ParseResult r, uint32_t n);
    bool fail(const char* at, const std::string& what);
    std::string quoted(const char* token) const;

    std::string name_;
    const char* begin_;
    const char* pos_;
    const char* end_;
    const char* entry_ = nullptr;
    std::string error_;
};
