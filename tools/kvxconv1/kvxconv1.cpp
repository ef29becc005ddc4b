// kvxconv1: a text mesh of bare positions to a version-1 KVX file, echoing
// everything it reads. Every vertex gets the fixed colour 0xFFFF0000.
#include "converter.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxconv1";
constexpr uint32_t kFixedColor = 0xFFFF0000u;  // 255, 255, 0, 0 packed

}  // namespace

int RunKvxconv1(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    if (!run.begin({3, sizeof(VertexkvxV1), true, 6}, mesh)) return run.status();
    mesh.version = 1;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    if (!run.allocate(mesh.verticesV1, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        float v[3];
        if (!run.readVertex(v, 3)) return run.status();
        VertexkvxV1& r = mesh.verticesV1[i];
        r = {kFixedColor, v[0], v[1], v[2]};
        PrintColorPosition(run.out(), r.color, r.x, r.y, r.z);
    }

    if (!run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3)) return run.status();
    if (!run.readTriangles(mesh.faceCount, mesh.faces, true)) return run.status();
    run.endInput();
    if (!run.save(mesh, &OKVX::saveV1)) return run.status();
    return kExitOk;
}
