// kvxwire's own names for its edge de-duplication: the plain scan inLines
// and inList, bounded by the program's mesh, over the library's edge set
// (meshcore/edges.h); and its work arrays.
#pragma once

#include <cstdint>

#include "meshcore/edges.h"
#include "meshcore/okvx.h"
#include "programs.h"

using kvx::kSentinelLine;

// True when `line` equals (in either direction) one of the slots 0 to
// 3 * mesh.faceCount - 1 of `list`. The bound comes from the program's
// mesh: `list` holds that many slots, and every slot not yet filled holds
// kSentinelLine. A plain scan that stops at the first match.
bool inLines(CLine* list, CLine line);

// Visits the first `count` records of `from` in order and appends each to
// `into` (slot 0 onward, direction kept) unless inLines(into, record) would
// find it there already; returns the number appended. `into` must meet
// inLines' conditions, every slot holding kSentinelLine at the start, and
// count must exceed neither its 3 * mesh.faceCount slots nor 4,294,967,295.
//
// Runs in expected linear time: kvx::AppendNewLines's hash set stands in
// for the scans. When memory for that set runs out, the scans finish the
// job; the result is the same either way.
uint32_t inList(CLine* from, CLine* into, unsigned long count);
