// The distinct undirected edges of a list of lines, in the order and
// direction of their first occurrence: the wireframe's edge set.
#pragma once

#include <cstdint>

#include "meshcore/okvx.h"

namespace kvx {

// Marks a slot of a line list that holds no edge yet. No 16-bit vertex index
// reaches 9999999, so the sentinel equals no real edge; a record equal to it
// counts as present while `into` has slots left, as in a list filled with
// sentinels.
inline constexpr CLine kSentinelLine{9999999, 9999999};

// Appends to `into` the records of from[0, count) that are new to it, in
// order and direction of their first occurrence, and returns true with
// their number in `appended`.
// Precondition: count <= capacity <= 4,294,967,295 and `into` has
// `capacity` slots; no slot beyond the records kept is read.
// Runs in expected linear time. False, with the size of the failed request
// in `tableBytes` (if given), when memory for the set runs out; `into` then
// holds part of the result. The set takes at most 24 bytes per distinct edge
// (48 for edges with an index above 65535) and 256 KiB to start with.
bool AppendNewLines(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                    uint32_t& appended, uint64_t* tableBytes = nullptr);

// AppendNewLines for a caller that finishes the job another way when memory
// runs short: false then, with the first `done` records of `from` settled
// and `appended` of them kept in `into`; true with done == count otherwise.
bool AppendNewLinesAsFarAsMemory(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                                 uint64_t& done, uint64_t& appended);

// The wireframe of `count` triangles (three indices each): every edge of
// every triangle into `lines` ({i0, i1}, {i1, i2}, {i2, i0} per triangle),
// then the distinct ones into `distinct`, `kept` of them. Both arrays hold
// 3 * count slots, the caller's work arrays. False as AppendNewLines is.
bool EdgesOfTriangles(const uint16_t* triangles, uint32_t count, CLine* lines, CLine* distinct,
                      uint32_t& kept, uint64_t* tableBytes = nullptr);

}  // namespace kvx
