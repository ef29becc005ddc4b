// kvxwire's edge de-duplication: the distinct undirected edges of a list, in
// the order and direction of their first occurrence.
#pragma once

#include <cstdint>

#include "meshcore/okvx.h"

// Marks a slot of a line list that holds no edge yet. No 16-bit vertex index
// reaches 9999999, so the sentinel equals no real edge.
inline constexpr CLine kSentinelLine{9999999, 9999999};

// True when `line` equals (in either direction) one of the slots 0 to
// 3 * mesh.faceCount - 1 of `list`. The bound comes from the global mesh:
// `list` holds that many slots, and every slot not yet filled holds
// kSentinelLine. A plain scan that stops at the first match.
bool inLines(CLine* list, CLine line);

// Visits the first `count` records of `from` in order and appends each to
// `into` (slot 0 onward, direction kept) unless inLines(into, record) would
// find it there already; returns the number appended. `into` must meet
// inLines' conditions, every slot holding kSentinelLine at the start, and
// count must exceed neither its 3 * mesh.faceCount slots nor 4,294,967,295.
//
// Runs in expected linear time: a hash set of the edges seen so far stands
// in for the scans. When memory for that set runs out, the scans finish the
// job; the result is the same either way.
uint32_t inList(CLine* from, CLine* into, unsigned long count);

// inList without the fallback, for a list of `capacity` slots (inList's is
// 3 * mesh.faceCount): appends to `into` the records of from[0, count) that
// are new to it, in order and direction of their first occurrence, and
// returns true with their number in `appended`.
// Precondition: count <= capacity <= 4,294,967,295 and `into` has
// `capacity` slots; unlike inLines' list, they need not hold the sentinel,
// since no slot beyond the records kept is read.
// False, with the size of the failed request in `tableBytes` (if given),
// when memory for the set runs out; `into` then holds part of the result.
// The set takes at most 24 bytes per distinct edge (48 for edges with an
// index above 65535) and 256 KiB to start with.
bool AppendNewLines(const CLine* from, CLine* into, uint64_t count, uint64_t capacity,
                    uint32_t& appended, uint64_t* tableBytes = nullptr);

// kvxwire's work arrays: the triangles as read (3 indices each), every edge
// of every triangle, and the distinct edges.
extern uint16_t* tmpFaces;
extern CLine* Lines;
extern CLine* filteredLines;

// Frees the mesh and kvxwire's work arrays, which a run leaves to the end of
// the process, and nulls them: for callers that run the programs' work more
// than once in one process.
void ReleaseProgramGlobals();
