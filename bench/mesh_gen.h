// Deterministic text meshes for benchmarks: the same bytes on every machine
// (no libm calls, a fixed pseudo-random sequence).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class MeshKind {
    repeated,  // a torus grid whose face list repeats: shared and repeated edges
    random,    // random triangles over all 65,536 vertices: edges almost all distinct
};

// The torus grid: kTorusAround x kTorusTube vertices, two triangles per cell.
inline constexpr uint32_t kTorusAround = 256;
inline constexpr uint32_t kTorusTube = 254;

uint32_t GeneratedVertexCount(MeshKind kind);

// 3 * triangles vertex indices, below GeneratedVertexCount(kind).
std::vector<uint16_t> GenerateTriangles(MeshKind kind, uint32_t triangles, uint64_t seed);

// The whole text mesh: counts, vertex entries of `valuesPerVertex` (3, 7 or
// 9) values, triangle entries and, for 9 values, a name token.
std::string GenerateText(MeshKind kind, uint32_t valuesPerVertex, uint32_t triangles,
                         uint64_t seed);
