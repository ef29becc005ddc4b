// kvxconv2: a text mesh of coloured vertices to a version-2 KVX file,
// echoing everything it reads.
#include "converter.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxconv2";

}  // namespace

int RunKvxconv2(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    if (!run.begin({7, sizeof(VertexkvxV2), true, 6}, mesh)) return run.status();
    mesh.version = 2;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    if (!run.allocate(mesh.verticesV2, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        VertexkvxV2& r = mesh.verticesV2[i];
        if (!run.readColorVertex(r.color, r.x, r.y, r.z)) return run.status();
        PrintColorPosition(run.out(), r.color, r.x, r.y, r.z);
    }

    if (!run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3)) return run.status();
    if (!run.readTriangles(mesh.faceCount, mesh.faces, true)) return run.status();
    run.endInput();
    if (!run.save(mesh, &OKVX::saveV2)) return run.status();
    return kExitOk;
}
