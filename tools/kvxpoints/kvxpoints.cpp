// kvxpoints: a text mesh to a version -1 KVX point set, the vertices alone,
// echoing the counts and every vertex.
#include "converter.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxpoints";

}  // namespace

int RunKvxpoints(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    // A point set reads no triangle entries: whatever follows the vertices,
    // however malformed, is never looked at.
    if (!run.begin({7, sizeof(VertexkvxV1), false, 0}, mesh)) return run.status();
    mesh.version = -1;
    // The text's face count is discarded; the header carries the vertex count twice.
    mesh.faceCount = mesh.vertexCount;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    if (!run.allocate(mesh.verticesV1, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        VertexkvxV1& r = mesh.verticesV1[i];
        if (!run.readColorVertex(r.color, r.x, r.y, r.z)) return run.status();
        PrintColorPosition(run.out(), r.color, r.x, r.y, r.z);
    }
    run.endInput();

    if (!run.save(mesh, &OKVX::saveVn1)) return run.status();
    return kExitOk;
}
