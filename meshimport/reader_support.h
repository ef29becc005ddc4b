// What the native readers share: error lines in the style of the text-mesh
// reader ("<path>:<line>: <what>", tokens quoted and escaped), strict
// integer tokens, colours, and the guard that turns a failed allocation into
// an out_of_memory result. Private to meshimport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "meshimport/imported_mesh.h"
#include "meshtext/tokens.h"

namespace kvx::detail {

// An error result: "<path>:<line>: <what>" (line 0: "<path>: <what>").
ImportResult BadInput(const std::string& path, size_t line, const std::string& what);
ImportResult OutOfMemory(const std::string& path);

// A whole token [first, last) as a decimal integer with an optional sign.
// False when it is anything else or lies outside the int64 range.
bool ParseInteger(const char* first, const char* last, int64_t& value);

// True when [first, last) is an optional sign and decimal digits only: an
// integer written as such, without a point or an exponent.
bool IsIntegerToken(const char* first, const char* last);

// Four colour values in red, green, blue, alpha order, packed as text
// colours are (each times 255, truncated) in the word order of `order`.
// False, with `bad` the index (0 red .. 3 alpha) of the refused value, when
// PackColor refuses one.
bool PackRgba(const float rgba[4], ColorOrder order, uint32_t& color, int& bad);

// "red", "green", "blue" or "alpha" for 0 to 3.
const char* ChannelName(int channel);

// The shortest text that reads back as v.
std::string FloatText(float v);

// Runs `read` (which returns an ImportResult) and turns std::bad_alloc and
// std::length_error from the containers it fills into out_of_memory.
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

}  // namespace kvx::detail
