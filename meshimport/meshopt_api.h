// meshoptimizer's functions that optimize.cpp calls, as one table found the
// first time it is asked for. Where meshoptimizer is a shared library (the
// build defines KVX_MESHOPTIMIZER_SONAME), the table is read from it with
// dlopen, so that a run that never orders or simplifies a mesh never loads
// it, nor the shared C++ runtime it brings: kvximport starts as fast
// without it. Where it is linked in, the table holds its functions.
#pragma once

#include <meshoptimizer.h>

#include <cstddef>

namespace kvx {

// The C functions' types, spelled out: the header overloads each name with
// a template for other index types.
struct MeshoptApi {
    void (*optimizeVertexCache)(unsigned int* destination, const unsigned int* indices,
                                size_t index_count, size_t vertex_count);
    void (*optimizeOverdraw)(unsigned int* destination, const unsigned int* indices,
                             size_t index_count, const float* vertex_positions, size_t vertex_count,
                             size_t vertex_positions_stride, float threshold);
    size_t (*optimizeVertexFetchRemap)(unsigned int* destination, const unsigned int* indices,
                                       size_t index_count, size_t vertex_count);
    void (*spatialSortRemap)(unsigned int* destination, const float* vertex_positions,
                             size_t vertex_count, size_t vertex_positions_stride);
    size_t (*simplify)(unsigned int* destination, const unsigned int* indices, size_t index_count,
                       const float* vertex_positions, size_t vertex_count,
                       size_t vertex_positions_stride, size_t target_index_count,
                       float target_error, unsigned int options, float* result_error);
    size_t (*simplifySloppy)(unsigned int* destination, const unsigned int* indices,
                             size_t index_count, const float* vertex_positions, size_t vertex_count,
                             size_t vertex_positions_stride, size_t target_index_count,
                             float target_error, float* result_error);
    meshopt_VertexCacheStatistics (*analyzeVertexCache)(const unsigned int* indices,
                                                        size_t index_count, size_t vertex_count,
                                                        unsigned int cache_size,
                                                        unsigned int warp_size,
                                                        unsigned int primgroup_size);
    meshopt_OverdrawStatistics (*analyzeOverdraw)(const unsigned int* indices, size_t index_count,
                                                  const float* vertex_positions,
                                                  size_t vertex_count,
                                                  size_t vertex_positions_stride);
    meshopt_VertexFetchStatistics (*analyzeVertexFetch)(const unsigned int* indices,
                                                        size_t index_count, size_t vertex_count,
                                                        size_t vertex_size);
};

// The table, loaded once (thread-safe); null where the library cannot be
// loaded or lacks one of the functions.
const MeshoptApi* Meshopt();

}  // namespace kvx
