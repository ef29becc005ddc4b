// kvxconv4: a text mesh of textured, coloured vertices and a one-word name to
// a version-4 KVX file, with a smooth normal computed for every vertex.
// Prints the name between two bars, with no line end.
#include <cstring>

#include "converter.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxconv4";

}  // namespace

int RunKvxconv4(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    // CFaceList, 20 bytes a face, is the largest array kept per triangle.
    if (!run.begin({9, sizeof(VertexkvxV4), true, sizeof(CFace)}, mesh)) return run.status();
    mesh.version = 4;

    if (!run.allocate(mesh.verticesV4, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        // u, v, four colour values, x, y, z.
        float values[9];
        if (!run.readVertex(values, 9)) return run.status();
        VertexkvxV4& r = mesh.verticesV4[i];
        if (!run.packColor(values + 2, r.color)) return run.status();
        r.u = values[0];
        r.v = 1.0f - values[1];  // the second texture coordinate is flipped
        // The vertex-normal pass adds into these.
        r.nx = 0.0f;
        r.ny = 0.0f;
        r.nz = 0.0f;
        r.x = values[6];
        r.y = values[7];
        r.z = values[8];
    }

    // Indices are used as positions in the vertex array: each must name a
    // vertex that was read.
    if (!run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3)) return run.status();
    if (!run.readCheckedTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces)) {
        return run.status();
    }

    // No token left keeps the name empty; one over 255 characters is refused
    // rather than cut.
    if (!run.reader().readName(mesh.name)) {
        run.readerFailed();
        return run.status();
    }
    run.endInput();
    run.out().write("|", 1);
    run.out().write(mesh.name, strnlen(mesh.name, sizeof mesh.name));
    run.out().write("|", 1);

    if (!run.smoothNormals(mesh)) return run.status();

    // The name reaches standard output before the file is written.
    if (!run.save(mesh, &OKVX::saveV4)) return run.status();
    return kExitOk;
}
