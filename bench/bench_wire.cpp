// kvxwire's edge de-duplication on generated meshes of up to 2,000,000
// triangles over at most 65,536 vertices. Items are edges (three per
// triangle); the time per item should stay flat as the mesh grows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "mesh_gen.h"
#include "meshcore/okvx.h"
#include "wire.h"

namespace {

void DeduplicateEdges(benchmark::State& state, MeshKind kind) {
    const auto triangles = static_cast<uint32_t>(state.range(0));
    const uint64_t edges = uint64_t{triangles} * 3;
    std::vector<uint16_t> indices = GenerateTriangles(kind, triangles, 1);
    CLine* lines = KvxAllocateArray<CLine>(edges);
    CLine* filtered = KvxAllocateArray<CLine>(edges);
    if (lines == nullptr || filtered == nullptr) {
        state.SkipWithError("out of memory");
        KvxFree(lines);
        KvxFree(filtered);
        return;
    }
    for (uint64_t t = 0; t < triangles; ++t) {
        const uint16_t* f = &indices[3 * t];
        lines[3 * t] = {f[0], f[1]};
        lines[3 * t + 1] = {f[1], f[2]};
        lines[3 * t + 2] = {f[2], f[0]};
    }
    mesh.faceCount = triangles;  // the list capacity inList works within

    uint32_t kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::fill_n(filtered, edges, kSentinelLine);
        state.ResumeTiming();
        kept = inList(lines, filtered, edges);
        benchmark::DoNotOptimize(kept);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(edges));
    state.counters["distinct"] = kept;
    mesh.faceCount = 0;
    KvxFree(filtered);
    KvxFree(lines);
}

}  // namespace

// The same triangle counts for both kinds of mesh.
void TriangleCounts(benchmark::internal::Benchmark* b) {
    for (int64_t triangles : {250'000, 500'000, 1'000'000, 2'000'000})
        b->Arg(triangles);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(DeduplicateEdges, repeated, MeshKind::repeated)->Apply(TriangleCounts);
BENCHMARK_CAPTURE(DeduplicateEdges, random, MeshKind::random)->Apply(TriangleCounts);

BENCHMARK_MAIN();
