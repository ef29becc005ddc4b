// A mesh made ready for the GPU with meshoptimizer: its triangles in the
// order a vertex cache and the depth test like best, its vertices in the
// order they are fetched; fewer triangles where asked (simplification, the
// fit into one KVX file, levels of detail); and the analyzers' figures that
// say how well each of those went.
//
// Every function works on the imported mesh (32-bit indices, any vertex
// count) or on a KVX mesh of a version with a save (1, 2, 3, 4, -1, -2),
// allocates what it needs itself, never throws, and leaves the mesh as it
// was when it fails (memory short, an index that names no vertex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "meshcore/failure.h"
#include "meshcore/okvx.h"
#include "meshimport/imported_mesh.h"

namespace kvx {

// Whether this build has meshoptimizer. Without it (no_optimize.cpp), every
// function below fails: a Failure of kind usage that says so, or false.
bool OptimizerAvailable();

// The cache the figures and the triangle order assume: 16 entries, as
// meshoptimizer's analyzers describe a typical GPU.
inline constexpr unsigned kVertexCacheSize = 16;

// How much the overdraw pass may worsen the vertex cache order: 5 %.
inline constexpr float kOverdrawThreshold = 1.05f;

// ---- The order ----

// Reorders the triangles (3 indices each, every one below vertexCount) for
// the vertex cache (meshopt_optimizeVertexCache), then for overdraw seen
// from outside (meshopt_optimizeOverdraw at kOverdrawThreshold) over the
// positions, x y z floats every `stride` bytes. Each triangle keeps its
// corners in their order, so its winding. False, the triangles unchanged,
// when memory is short.
bool OrderTrianglesForGpu(std::vector<uint32_t>& triangles, const float* positions, size_t stride,
                          size_t vertexCount);

// The vertices numbered in the order that `indices` first name them
// (meshopt_optimizeVertexFetchRemap), the vertices that none names after
// them in their own order: remap[old] = new, a permutation of 0 to
// vertexCount - 1. Any number of indices (triangles or line pairs), each
// below vertexCount. False when memory is short.
bool FetchOrder(const uint32_t* indices, size_t count, size_t vertexCount,
                std::vector<uint32_t>& remap);

// Whole meshes, by what they are made of: triangles get their GPU order
// and then their vertices in fetch order; a mesh of lines alone (or a KVX
// wireframe) keeps its lines and gets its vertices in the order its lines
// fetch them; points alone (or a KVX point set) get a spatial order
// (meshopt_spatialSortRemap). The mesh stays the same mesh: the same
// vertices, every field as it was, and the same triangles or lines with
// their corners in order. A KVX mesh's header counts stay.
//
// OptimizeMesh fails with memory only. OptimizeKvx fails with bad_input,
// "face 3 names vertex 8 of 8" (an index the mesh has no vertex for),
// "version -3 is read only" (no save), or memory.
Failure OptimizeMesh(ImportedMesh& mesh);
Failure OptimizeKvx(OKVX& mesh);

// OptimizeKvx's checks alone: a version with a save, every index below
// the vertex count (the same bad_input failures).
Failure CheckKvx(const OKVX& mesh);

// ---- Fewer triangles ----

struct SimplifyOptions {
    // The share of triangles to keep, above 0 and at most 1.
    double ratio = 1.0;
    // The largest error the simplifier may reach, relative to the mesh's
    // extent (meshopt_simplify's target_error); at least 0. Where the
    // target needs more, fewer triangles than asked go.
    float error = 0.01f;
    // Where the topology-keeping pass stops above the target (its error
    // bound or the topology reached), the sloppy one
    // (meshopt_simplifySloppy) starts again from the mesh, and its result is
    // taken when it has fewer triangles.
    bool sloppy = false;
    // Nonzero: the result uses at most this many vertices, with as few
    // triangles gone as the simplifier finds (at most `ratio` kept): a
    // first pass aims at the triangles that about that many vertices make,
    // and where more are left, further passes go on from its result.
    size_t maxVertices = 0;
};

// What a simplification reached.
struct SimplifyOutcome {
    size_t targetTriangles = 0;  // the triangles aimed at
    size_t triangles = 0;        // the triangles kept
    size_t vertices = 0;         // the vertices kept
    // The error reached, relative to the extent (a fit's passes summed).
    float error = 0.0f;
    bool sloppy = false;  // the sloppy pass gave the result
    bool fits = true;     // maxVertices was met (always, when it is 0)
};

// Simplifies the triangles of `mesh` (meshopt_simplify, with every vertex
// on an open border kept in place: meshopt_SimplifyLockBorder). A vertex
// keeps every field it had, since the simplifier only drops vertices. After
// it: triangles that name a vertex twice are left out, vertices that no
// triangle uses go (the others keep their order), and a KVX mesh of
// versions 3 and 4 gets its smooth normals again, by the converters'
// bit-exact rule (ComputeSmoothNormals). A mesh of lines or points alone is
// refused (bad_input, "no triangles to simplify"), as is a KVX mesh with a
// bad index or of a version without triangles. With maxVertices, a mesh
// that cannot be brought that low (outcome.fits false) is left as it was,
// and the call fails with bad_input ("kept 70000 vertices; at most 65536
// fit ..."). The outcome is filled whenever the simplifier ran.
Failure SimplifyMesh(ImportedMesh& mesh, const SimplifyOptions& options,
                     SimplifyOutcome* outcome = nullptr);
Failure SimplifyKvx(OKVX& mesh, const SimplifyOptions& options, SimplifyOutcome* outcome = nullptr);
// The same into `out`, a fresh (zero) mesh, `mesh` left as it is; on
// failure `out` holds the arrays made so far, for KvxRelease.
Failure SimplifyKvx(const OKVX& mesh, const SimplifyOptions& options, OKVX& out,
                    SimplifyOutcome* outcome = nullptr);

// ---- The figures ----

// What meshoptimizer's analyzers say of a mesh's triangles, as drawn from
// records of `vertexBytes` each (the KVX version's record size).
struct MeshFigures {
    size_t triangles = 0;
    size_t vertices = 0;
    size_t lines = 0;
    // Vertex cache (meshopt_analyzeVertexCache, cache 16, warp 0, primgroup
    // 0): vertices transformed per triangle (acmr, 0.5 at best, 3 at worst)
    // and per vertex (atvr, 1 at best).
    float acmr = 0.0f;
    float atvr = 0.0f;
    // Pixels shaded per pixel covered (meshopt_analyzeOverdraw; 1 at best).
    float overdraw = 0.0f;
    // Bytes fetched per byte of the vertex records
    // (meshopt_analyzeVertexFetch; 1 at best).
    float overfetch = 0.0f;
};

// The figures of triangles over positions every `stride` bytes; zero
// figures without triangles. Each index below vertexCount. False when
// memory is short.
bool FiguresOf(const uint32_t* triangles, size_t triangleCount, const float* positions,
               size_t stride, size_t vertexCount, size_t vertexBytes, MeshFigures& figures);
bool FiguresOf(const ImportedMesh& mesh, size_t vertexBytes, MeshFigures& figures);
// A KVX mesh's, by its version's layout; false also for an index that
// names no vertex and for a version without a save.
bool FiguresOf(const OKVX& mesh, MeshFigures& figures);

}  // namespace kvx
