// What the native readers share: error lines in the style of the text-mesh
// reader ("<path>:<line>: <what>", tokens quoted and escaped), strict
// integer tokens, colours, the guard that turns a failed allocation into a
// memory failure, and the names of files. Private to meshimport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "meshimport/imported_mesh.h"
#include "meshimport/triangulate.h"
#include "meshtext/tokens.h"

namespace kvx::detail {

// A token of a text format: the bytes [first, last) of a line.
struct Token {
    const char* first;
    const char* last;

    std::string_view view() const { return {first, static_cast<size_t>(last - first)}; }
};

// `text` with its ASCII capitals made small.
std::string Lower(std::string_view text);

// The extension of a path's last component, without its dot, as
// std::filesystem::path finds it: empty for "mesh", "sub.d/mesh", ".obj"
// (a hidden file's name), "mesh." and "..".
std::string ExtensionOf(std::string_view path);

// An error result: "<path>:<line>: <what>" (line 0: "<path>: <what>").
ImportResult BadInput(const std::string& path, size_t line, const std::string& what);
ImportResult OutOfMemory(const std::string& path);

// A whole token [first, last) as a decimal integer with an optional sign.
// False when it is anything else or lies outside the int64 range.
bool ParseInteger(const char* first, const char* last, int64_t& value);

// True when [first, last) is an optional sign and decimal digits only: an
// integer written as such, without a point or an exponent.
bool IsIntegerToken(const char* first, const char* last);

// Four colour values in red, green, blue, alpha order, each from 0 to 1,
// packed in the word order of `order`, each rounded to the nearest byte:
// value times 255 plus 0.5, truncated (so byte / 255 written to 6 digits
// gives the byte back). The values refused are those PackColor refuses (a
// product outside -1 to 256, or not a number); the others become 0 to 255.
// False, with `bad` the index (0 red .. 3 alpha) of the refused value.
// The text mesh's own rule, which truncates, is meshtext's PackColor.
bool PackRgba(const float rgba[4], ColorOrder order, uint32_t& color, int& bad);

// "red", "green", "blue" or "alpha" for 0 to 3.
const char* ChannelName(int channel);

// The shortest text that reads back as v.
std::string FloatText(float v);

// 3 when [data, data + size) begins with the UTF-8 byte-order mark, else 0.
// The text readers skip it: a BOM is no token.
size_t ByteOrderMarkSize(const char* data, size_t size);

// The offset of the first zero byte in [data + from, data + size), or
// SIZE_MAX. Text formats hold none.
size_t ZeroByteAt(const char* data, size_t from, size_t size);

// The start checks of the native formats (formats.h: StartCheck).
bool CheckObjStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& error);
bool CheckPlyStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& error);
bool CheckStlStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& error);
bool CheckOffStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& error);

// "<path>: not <a format> file (a zero byte at offset <at>; <it> is text)".
ImportResult ZeroByteInText(const std::string& path, const char* format, size_t at);

// The one warning for faces of fewer than 3 corners, which are dropped:
// "<path>: <n> face(s) of fewer than 3 corners dropped".
std::string DroppedFacesWarning(const std::string& path, uint64_t faces);

// The triangles of a face of `count` corners (TriangulatePolygon) appended
// to `triangles`; `fanned` counts the polygons that had to be fanned.
// Inline, so that the worker, which splits no polygons, needs none of it.
inline void AddPolygon(const float* positions, const uint32_t* corners, uint32_t count,
                       std::vector<uint32_t>& triangles, uint64_t& fanned) {
    if (TriangulatePolygon(positions, corners, count, triangles) == PolygonSplit::fallback)
        ++fanned;
}

// The one warning for polygons fanned since ear clipping could not split
// them: "<path>: <n> polygon(s) could not be split into triangles inside
// them; they were fanned from their first corner".
std::string FannedPolygonsWarning(const std::string& path, uint64_t polygons);

// The mesh a reader has finished, with the warnings for the `fanned`
// polygons and the `dropped` faces of fewer than 3 corners when there are
// any.
ImportResult Finished(const std::string& path, ImportedMesh& mesh, uint64_t dropped,
                      uint64_t fanned = 0);

// Runs `read` (which returns an ImportResult) and turns std::bad_alloc and
// std::length_error from the containers it fills into a memory failure.
template <typename Read>
ImportResult GuardMemory(const std::string& path, Read&& read) {
    try {
        return std::forward<Read>(read)();
    } catch (const std::bad_alloc&) {
        return OutOfMemory(path);
    } catch (const std::length_error&) {
        return OutOfMemory(path);
    }
}

// A text format's reading: Reader(path, the bytes after a byte-order mark,
// options, extra...).read() under GuardMemory.
template <typename Reader, typename... Extra>
ImportResult ReadText(const std::string& path, const char* data, size_t size,
                      const ReadOptions& options, Extra... extra) {
    const size_t bom = ByteOrderMarkSize(data, size);
    return GuardMemory(
        path, [&] { return Reader(path, data + bom, size - bom, options, extra...).read(); });
}

// How a reader goes through its data: by its fast paths wherever the data
// allows them, or by its generic loop alone. Both give the same result and
// the same error for every input; the tests compare them.
enum class Scan { fast, generic };

// OBJ text from which ReadObj reads the second half on a second thread.
inline constexpr size_t kParallelObjBytes = size_t{1} << 19;

// ReadObj, ReadPly and ReadOff, scanning as `scan` says. ReadObjWith's `splitAt`
// (with Scan::fast): 0, or the offset from which the first line start
// (after a line no backslash continues) begins the part a second thread
// reads. The result is the same however the text is split.
ImportResult ReadObjWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan, size_t splitAt = 0);
ImportResult ReadPlyWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan);
ImportResult ReadOffWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan);

}  // namespace kvx::detail
