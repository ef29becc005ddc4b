#include "meshtext/cmsh_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <thread>

#include "meshcore/parallel.h"
#include "meshtext/color.h"
#include "meshtext/format_number.h"

size_t CmshReader::lineOf(const char* at) const {
    return LineOf(begin_, at, end_);
}

std::string CmshReader::quoted(const char* token) const {
    return QuoteToken(token, end_);
}

bool CmshReader::fail(const char* at, const std::string& what) {
    error_ = name_ + ":" + std::to_string(lineOf(at)) + ": " + what;
    return false;
}

bool CmshReader::readCounts(const CmshLayout& layout, uint32_t& vertexCount, uint32_t& faceCount) {
    static const char* const kWhat[2] = {"the vertex count", "the face count"};
    uint32_t counts[2];
    for (int k = 0; k < 2; ++k) {
        ParseResult r = ParseUnsigned(pos_, end_, counts[k]);
        if (NoToken(r, end_))
            return fail(end_, std::string("expected ") + kWhat[k] + ", found end of file");
        if (r.ec == std::errc::result_out_of_range) {
            return fail(r.ptr,
                        std::string(kWhat[k]) + " " + quoted(r.ptr) + " does not fit in 32 bits");
        }
        if (r.ec != std::errc())
            return fail(r.ptr, std::string("expected ") + kWhat[k] + ", found " + quoted(r.ptr));
        pos_ = r.ptr;
    }
    vertexCount = counts[0];
    faceCount = counts[1];

    // Array sizes are 32-bit byte counts.
    if (uint64_t{vertexCount} * layout.vertexBytes > UINT32_MAX) {
        return fail(pos_, "the vertex count " + std::to_string(vertexCount) +
                              " is too large (at most " +
                              std::to_string(UINT32_MAX / layout.vertexBytes) + ")");
    }
    if (layout.readsTriangles && uint64_t{faceCount} * layout.triangleBytes > UINT32_MAX) {
        return fail(pos_, "the face count " + std::to_string(faceCount) +
                              " is too large (at most " +
                              std::to_string(UINT32_MAX / layout.triangleBytes) + ")");
    }
    return true;
}

uint64_t CmshReader::TokensNeeded(const CmshLayout& layout, uint32_t vertexCount,
                                  uint32_t faceCount) {
    return 2 + uint64_t{vertexCount} * layout.valuesPerVertex +
           (layout.readsTriangles ? uint64_t{faceCount} * 3 : 0);
}

bool CmshReader::checkRoom(const CmshLayout& layout, uint32_t vertexCount, uint32_t faceCount) {
    // Every value needs at least one character and one separator before it.
    uint64_t values = TokensNeeded(layout, vertexCount, faceCount) - 2;
    auto remaining = static_cast<uint64_t>(end_ - pos_);
    if (values * 2 > remaining) {
        std::string what = "the counts promise " + CountOf(vertexCount, "vertex", "vertices");
        if (layout.readsTriangles) what += " and " + CountOf(faceCount, "face", "faces");
        return fail(pos_, what + ", at least " + std::to_string(values * 2) +
                              " bytes of text, but only " + std::to_string(remaining) + " follow");
    }
    return true;
}

bool CmshReader::vertexError(ParseResult r, uint32_t n) {
    if (NoToken(r, end_))
        return fail(end_, "expected " + std::to_string(n) + " vertex values, found end of file");
    return fail(r.ptr, "expected a number, found " + quoted(r.ptr));
}

bool CmshReader::packColor(const float colorValues[4], uint32_t& color) {
    int bad = 0;
    if (PackColor(colorValues, color, bad)) return true;
    return fail(entry_, ColorValueMessage(colorValues[bad]));
}

namespace {

// How a run of vertex entries ended.
struct VertexRun {
    const char* pos = nullptr;  // after the last entry read, or where the bad one starts
    uint32_t done = 0;          // entries built
    ParseResult failure{nullptr, std::errc()};  // a value that could not be read
    bool refused = false;                       // the builder refused entry `done`
};

// Reads entries [first, first + count) of n values from p, stopping early
// before an entry that starts at or after `stopAt` (when given).
VertexRun ReadVertexRun(const char* p, const char* end, const char* stopAt, uint32_t first,
                        uint32_t count, uint32_t n, CmshReader::VertexBuilder build,
                        void* context) {
    VertexRun run;
    float values[9];
    for (uint32_t j = 0; j < count; ++j) {
        p = SkipSpace(p, end);
        if (stopAt != nullptr && p >= stopAt) break;
        const char* entry = p;
        for (uint32_t k = 0; k < n; ++k) {
            ParseResult r = ParseFloat(p, end, values[k]);
            if (r.ec != std::errc()) {
                run.pos = entry;
                run.failure = r;
                return run;
            }
            p = r.ptr;
        }
        if (!build(context, first + j, values)) {
            run.pos = entry;
            run.refused = true;
            return run;
        }
        run.done = j + 1;
    }
    run.pos = p;
    return run;
}

// The point a little past the middle of a vertex section of `count`
// entries of n values at p, where this thread's share ends (the second
// thread first counts the tokens before it). The section's length is
// estimated from that of its first entries.
const char* VertexSectionMiddle(const char* p, const char* end, uint32_t count, uint32_t n) {
    constexpr uint32_t kSampled = 256;
    const uint32_t sampled = std::min(count, kSampled);
    const char* after = SkipTokens(p, end, size_t{sampled} * n);
    if (after == nullptr) return end;
    const double section =
        std::min(static_cast<double>(end - p), static_cast<double>(after - p) / sampled * count);
    const char* middle = p + static_cast<ptrdiff_t>(section / 20 * 11);
    while (middle < end && !IsSpace(*middle))
        ++middle;
    return middle;
}

// How a run of triangle entries ended.
struct TriangleRun {
    const char* pos = nullptr;  // after the last entry read, or at the bad token
    uint32_t done = 0;          // entries stored
    std::errc ec = std::errc();
    bool outOfRange = false;  // a whole number, but not below the limit
    uint32_t badValue = 0;

    bool ok() const { return ec == std::errc() && !outOfRange; }
};

// Reads entries [first, first + count) from p, stopping early before an
// entry whose first token starts at or after `stopAt` (when given). Every
// index must be below `limit`.
TriangleRun ReadTriangleRun(const char* p, const char* end, const char* stopAt, uint32_t first,
                            uint32_t count, uint32_t limit, uint16_t* indices) {
    TriangleRun run;
    uint16_t* out = indices + 3 * size_t{first};
    for (uint32_t j = 0; j < count; ++j) {
        p = SkipSpace(p, end);
        if (stopAt != nullptr && p >= stopAt) break;
        // Most entries: three short indices read at once. Any other entry,
        // or one naming a vertex beyond the limit, index by index.
        uint32_t triple[3];
        const char* after;
        if (TripleFastPath(p, end, triple, after) && triple[0] < limit && triple[1] < limit &&
            triple[2] < limit) {
            out[0] = static_cast<uint16_t>(triple[0]);
            out[1] = static_cast<uint16_t>(triple[1]);
            out[2] = static_cast<uint16_t>(triple[2]);
            out += 3;
            p = after;
            run.done = j + 1;
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            uint32_t v = 0;
            ParseResult r = ParseUnsigned(p, end, v);
            if (r.ec != std::errc() || v >= limit) {
                run.pos = SkipSpace(p, end);
                run.ec = r.ec;
                run.outOfRange = r.ec == std::errc();
                run.badValue = v;
                return run;
            }
            p = r.ptr;
            *out++ = static_cast<uint16_t>(v);
        }
        run.done = j + 1;
    }
    run.pos = p;
    return run;
}

// ReadTriangleRun over all `count` entries from p, on two threads. This
// thread reads the entries that start before a point a little past the
// middle; a second one counts the tokens before that point, to learn which
// entry follows it, and reads from there on. Tokens end at white space, so
// the counting agrees with the reading, and the first bad entry in file
// order is the one reported. On one thread where no second one starts.
TriangleRun ReadTrianglesInTwo(const char* p, const char* end, uint32_t count, uint32_t limit,
                               uint16_t* indices) {
    const char* middle = p + (end - p) / 20 * 11;
    while (middle < end && !IsSpace(*middle))
        ++middle;
    TriangleRun second;
    size_t secondFirst = count;
    std::thread helper;
    bool started = kvx::TryStartThread(helper, [&] {
        size_t before = CountTokens(p, middle);
        size_t entries = (before + 2) / 3;
        if (entries >= count) return;
        // Without the tokens the first run needs, that run fails by itself.
        const char* from = SkipTokens(middle, end, 3 * entries - before);
        if (from == nullptr) return;
        secondFirst = entries;
        second = ReadTriangleRun(from, end, nullptr, static_cast<uint32_t>(entries),
                                 count - static_cast<uint32_t>(entries), limit, indices);
    });
    if (!started) return ReadTriangleRun(p, end, nullptr, 0, count, limit, indices);
    TriangleRun run = ReadTriangleRun(p, end, middle, 0, count, limit, indices);
    helper.join();
    if (!run.ok() || run.done == count) return run;
    if (run.done == secondFirst) {
        second.done += run.done;
        return second;
    }
    // Cannot happen while both threads see the same tokens; read the rest
    // here rather than trust a partial result.
    TriangleRun rest =
        ReadTriangleRun(run.pos, end, nullptr, run.done, count - run.done, limit, indices);
    rest.done += run.done;
    return rest;
}

}  // namespace

bool CmshReader::readVertices(uint32_t count, uint32_t n, int colorAt, VertexBuilder build,
                              void* context, uint32_t& done) {
    VertexRun run;
    if (count < kvx::kParallelVertices) {
        run = ReadVertexRun(pos_, end_, nullptr, 0, count, n, build, context);
    } else {
        // As for the triangles: this thread reads the entries that start
        // before a point a little past the middle of the vertex section, a
        // second one counts the tokens before it to learn which entry
        // follows it, and reads from there.
        const char* middle = VertexSectionMiddle(pos_, end_, count, n);
        VertexRun second;
        size_t secondFirst = count;
        std::thread helper;
        const char* begin = pos_;
        const char* textEnd = end_;
        bool started = kvx::TryStartThread(helper, [&] {
            size_t before = CountTokens(begin, middle);
            size_t entries = (before + n - 1) / n;
            if (entries >= count) return;
            const char* from = SkipTokens(middle, textEnd, n * entries - before);
            if (from == nullptr) return;
            secondFirst = entries;
            second = ReadVertexRun(from, textEnd, nullptr, static_cast<uint32_t>(entries),
                                   count - static_cast<uint32_t>(entries), n, build, context);
        });
        run = ReadVertexRun(pos_, end_, started ? middle : nullptr, 0, count, n, build, context);
        if (started) helper.join();
        bool firstOk = run.failure.ec == std::errc() && !run.refused;
        if (started && firstOk && run.done < count) {
            if (run.done == secondFirst) {
                second.done += run.done;
                run = second;
            } else {
                // Cannot happen while both threads see the same tokens.
                VertexRun rest = ReadVertexRun(run.pos, end_, nullptr, run.done, count - run.done,
                                               n, build, context);
                rest.done += run.done;
                run = rest;
            }
        }
    }
    done = run.done;
    pos_ = run.pos;
    entry_ = run.pos;
    if (run.failure.ec != std::errc()) return vertexError(run.failure, n);
    if (!run.refused) return true;
    // Read the refused entry again for the value to name.
    float values[9];
    const char* p = run.pos;
    for (uint32_t k = 0; k < n; ++k)
        p = ParseFloat(p, end_, values[k]).ptr;
    uint32_t color = 0;
    if (colorAt >= 0 && !packColor(values + colorAt, color)) return false;
    return fail(run.pos, "vertex " + std::to_string(done) + " is refused");
}

bool CmshReader::readTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                               uint32_t& done) {
    // An index names a vertex that was read, and fits in 16 bits.
    const uint32_t limit = vertexCount < 65536 ? vertexCount : 65536;
    TriangleRun run = count < kvx::kParallelTriangles
                          ? ReadTriangleRun(pos_, end_, nullptr, 0, count, limit, indices)
                          : ReadTrianglesInTwo(pos_, end_, count, limit, indices);
    done = run.done;
    pos_ = run.pos;
    if (NoToken({pos_, run.ec}, end_))
        return fail(end_, "expected 3 vertex indices, found end of file");
    if (run.ec == std::errc::result_out_of_range)
        return fail(pos_, "vertex index " + quoted(pos_) + " does not fit in 32 bits");
    if (run.ec != std::errc()) return fail(pos_, "expected a vertex index, found " + quoted(pos_));
    if (!run.outOfRange) return true;
    std::string what =
        "face " + std::to_string(done) + " names vertex " + std::to_string(run.badValue);
    if (run.badValue < vertexCount)
        return fail(pos_, what + ", beyond the 16-bit index range (at most 65535)");
    return fail(pos_, what + " of " + std::to_string(vertexCount));
}

bool CmshReader::readName(char (&name)[256]) {
    pos_ = SkipSpace(pos_, end_);
    const char* end = TokenEnd(pos_, end_);
    auto length = static_cast<size_t>(end - pos_);
    if (length > 255) {
        return fail(pos_,
                    "the name is " + std::to_string(length) + " characters long; at most 255 fit");
    }
    // The name is a zero-terminated text: a zero byte inside the token
    // would end it early in memory while the file kept every other byte.
    if (std::memchr(pos_, 0, length) != nullptr) {
        return fail(pos_, "the name " + quoted(pos_) + " holds a zero byte");
    }
    std::memcpy(name, pos_, length);
    pos_ = end;
    return true;
}

TrailingText CmshReader::trailing(size_t limitBytes) const {
    const char* from = SkipSpace(pos_, end_);
    const char* to = static_cast<size_t>(end_ - from) > limitBytes ? from + limitBytes : end_;
    return {CountTokens(from, to), to == end_};
}
