// kvxconv3: a text mesh of coloured vertices to a version-3 KVX file, with a
// smooth normal computed for every vertex. Prints nothing on success.
#include "converter.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxconv3";

}  // namespace

int RunKvxconv3(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    // CFaceList, 20 bytes a face, is the largest array kept per triangle.
    if (!run.begin({7, sizeof(VertexkvxV3), true, sizeof(CFace)}, mesh)) return run.status();
    mesh.version = 3;

    if (!run.allocate(mesh.verticesV3, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        VertexkvxV3& r = mesh.verticesV3[i];
        if (!run.readColorVertex(r.color, r.x, r.y, r.z)) return run.status();
        // The vertex-normal pass adds into these.
        r.nx = 0.0f;
        r.ny = 0.0f;
        r.nz = 0.0f;
    }

    // Indices are used as positions in the vertex array: each must name a
    // vertex that was read.
    if (!run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3)) return run.status();
    if (!run.readCheckedTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces)) {
        return run.status();
    }
    run.endInput();

    if (!run.smoothNormals(mesh)) return run.status();

    if (!run.save(mesh, &OKVX::saveV3)) return run.status();
    return kExitOk;
}
