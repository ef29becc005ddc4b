// A converter's work as a library function: a text mesh (.cmsh) in, the
// mesh of one KVX version out, as the version's layout (meshcore/layout.h)
// describes its text. Nothing here prints, throws or keeps state: what a
// converter echoes is handed to a CmshEcho as it is read, the work arrays
// belong to the caller or to the call, and the one failure comes back.
#pragma once

#include <cstdint>
#include <string>

#include "meshcore/failure.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"

namespace kvx {

// What a converter echoes, told as the reading reaches it. Each call comes
// once, on the calling thread, in this order, and only where the layout's
// echo asks for it; a failed read still tells what was read before the
// failure.
class CmshEcho {
public:
    virtual ~CmshEcho() = default;
    // Both counts, as the file will hold them.
    virtual void counts(const OKVX& m) = 0;
    // The first `done` vertex records of `m`, read.
    virtual void vertices(const OKVX& m, uint32_t done) = 0;
    // The first `done` triangles of `indices`, three values each.
    virtual void triangles(const uint16_t* indices, uint32_t done) = 0;
    // The name, read.
    virtual void name(const OKVX& m) = 0;
    // kvxwire's progress text, in the pieces it prints.
    virtual void text(const char* line) = 0;
};

// Work arrays a caller keeps under names of its own; each pointer here,
// where given, receives the array the work allocates, and is set back to
// null where the work frees it. Null members: the work keeps its own.
struct CmshWork {
    CFace** faceNormals = nullptr;    // the triangles with their normals (versions 3 and 4)
    uint16_t** triangles = nullptr;   // the triangles as read (version -2)
    CLine** lines = nullptr;          // every edge of every triangle (version -2)
    CLine** distinctLines = nullptr;  // the distinct edges (version -2)
};

struct CmshRead {
    // What follows the last entry read, worth a warning once the mesh is
    // saved; empty for nothing.
    std::string advice;
};

// Reads the text mesh at `path` (a regular file is mapped, a pipe read in
// bounded steps) as layout.text describes, and builds the mesh of
// layout.version into `m`, which must be fresh (zero): counts, records,
// index block, name, normals (the bit-exact rule of meshcore/normals.h) or
// distinct edges. Every count is checked against the text and the 32-bit
// array limits before anything is allocated; large sections are read on two
// threads. Returns true, or false with `failure` set (bad_input with the
// file and line, memory with the bytes); `m` then holds what was allocated
// so far, released by KvxRelease. `name` is the input as messages show it.
// Precondition: layout.text.program is set (the version has a converter).
bool ReadCmshMesh(const char* path, const std::string& name, const Layout& layout, OKVX& m,
                  Failure& failure, CmshRead* read = nullptr, CmshEcho* echo = nullptr,
                  const CmshWork& work = {});

}  // namespace kvx
