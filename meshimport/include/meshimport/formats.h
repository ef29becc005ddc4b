// The formats meshimport reads with readers of its own, one row each. What
// names formats (the choice by extension, --format, the messages that list
// them, the fuzz targets) reads this table; every other extension goes to
// assimp (assimp_reader.h). A new native format is its reader and a row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "meshimport/imported_mesh.h"

namespace kvx {

// Reads the bytes [data, data + size) of a whole file; `path` names it in
// messages.
using ReadFunction = ImportResult (*)(const std::string& path, const char* data, size_t size,
                                      const ReadOptions& options);

// Judges the start of an input before all of it is there, so that a stream
// is read in steps and an endless one of the wrong bytes is refused early.
// Called again as more comes: with the first `size` bytes, of which the
// first `checked` were seen by an earlier call, and `whole` when they are
// the whole input. False, with `error` (the file and what is wrong), when
// no file of the format begins so. `most` (UINT64_MAX at first, kept
// between calls) is lowered to the size past which the reader would not
// look, once the start says it: a binary body's size. It refuses only what
// the reader would refuse anyway (or text with a zero byte).
using StartCheck = bool (*)(const std::string& path, const char* data, size_t size, size_t checked,
                            bool whole, uint64_t& most, ImportResult& error);

struct NativeFormat {
    const char* name;                            // "obj": its --format name and its fuzz target's
    std::array<std::string_view, 3> extensions;  // lower case, without the dot; unused ones empty
    ReadFunction read;
    StartCheck checkStart;
    bool weldByDefault;  // its files share no vertices (STL)
};

// Every native format: obj, ply, stl, off.
std::span<const NativeFormat> NativeFormats();

// The native format whose name or one of whose extensions `name` is, in any
// letter case; null for any other.
const NativeFormat* NativeFormatNamed(std::string_view name);

// The names of the native formats as a message lists them, ", " between
// them and `beforeLast` before the last: "obj, ply, stl and off" for " and ".
std::string NativeFormatList(std::string_view beforeLast);

}  // namespace kvx
