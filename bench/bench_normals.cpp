// Face normals and smooth vertex normals over a generated torus whose face
// list repeats, as kvxconv3 computes them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "mesh_gen.h"
#include "meshcore/normals.h"

namespace {

struct Torus {
    std::vector<VertexkvxV3> vertices;
    std::vector<uint16_t> indices;
    explicit Torus(uint32_t triangles)
        : vertices(GeneratedVertexCount(MeshKind::repeated)),
          indices(GenerateTriangles(MeshKind::repeated, triangles, 1)) {
        for (size_t i = 0; i < vertices.size(); ++i) {
            float a = static_cast<float>(i / kTorusTube) * 0.0245f;
            float b = static_cast<float>(i % kTorusTube) * 0.0247f;
            vertices[i] = {0,
                           0,
                           0,
                           0,
                           (3 + std::cos(b)) * std::cos(a),
                           (3 + std::cos(b)) * std::sin(a),
                           std::sin(b)};
        }
    }
};

void FaceNormals(benchmark::State& state) {
    const auto triangles = static_cast<uint32_t>(state.range(0));
    Torus torus(triangles);
    std::vector<CFace> faces(triangles);
    unsignedShort2CFace(torus.indices.data(), triangles, faces.data());
    for (auto _ : state) {
        CalculateFaceNormalsV3(faces.data(), faces.data(), triangles, torus.vertices.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * triangles);
}
BENCHMARK(FaceNormals)->Arg(1'000'000)->Arg(4'000'000)->Unit(benchmark::kMillisecond);

void VertexNormals(benchmark::State& state) {
    const auto triangles = static_cast<uint32_t>(state.range(0));
    Torus torus(triangles);
    std::vector<CFace> faces(triangles);
    unsignedShort2CFace(torus.indices.data(), triangles, faces.data());
    CalculateFaceNormalsV3(faces.data(), faces.data(), triangles, torus.vertices.data());
    const auto vertexCount = static_cast<uint32_t>(torus.vertices.size());
    for (auto _ : state) {
        for (VertexkvxV3& v : torus.vertices)
            v.nx = v.ny = v.nz = 0;
        CalculateVertexNormalsV3(faces.data(), triangles, torus.vertices.data(), vertexCount);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * triangles);
}
BENCHMARK(VertexNormals)->Arg(1'000'000)->Arg(4'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
