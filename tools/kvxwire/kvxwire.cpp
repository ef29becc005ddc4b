// kvxwire: a text mesh to a version -2 KVX wireframe, the distinct
// undirected edges of its triangles in the order and direction of their
// first occurrence.
#include <algorithm>

#include "converter.h"
#include "programs.h"
#include "wire.h"

// Work arrays of the wireframe: the triangles as read, every edge of every
// triangle, and the distinct edges.
alignas(16) uint16_t* tmpFaces;
alignas(16) CLine* Lines;
alignas(16) CLine* filteredLines;

namespace {

constexpr char kProgram[] = "kvxwire";

template <size_t N>
void WriteText(ConsoleOut& out, const char (&text)[N]) {
    out.write(text, N - 1);
}

}  // namespace

int RunKvxwire(const char* inputPath, const char* outputPath) {
    ConverterRun run(kProgram, inputPath, outputPath);
    // Lines and filteredLines take 24 bytes per triangle each, the largest
    // arrays the counts size.
    if (!run.begin({7, sizeof(VertexkvxV1), true, 3 * sizeof(CLine)}, mesh)) return run.status();
    mesh.version = -2;

    if (!run.allocate(mesh.verticesV1, mesh.vertexCount)) return run.status();
    for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
        VertexkvxV1& r = mesh.verticesV1[i];
        if (!run.readColorVertex(r.color, r.x, r.y, r.z)) return run.status();
    }

    const uint32_t triangles = mesh.faceCount;
    const uint64_t edges = uint64_t{triangles} * 3;
    ConsoleOut& out = run.out();
    constexpr char kDone[] = "\t\t\tdone!\n";

    WriteText(out, "loading faces...\n");
    if (!run.allocate(tmpFaces, edges)) return run.status();
    // Indices keep their low 16 bits; kvxwire only compares them, so none is
    // checked against the vertex count.
    if (!run.readTriangles(triangles, tmpFaces, false)) return run.status();
    run.endInput();
    WriteText(out, kDone);

    WriteText(out, "reading lines...\n");
    if (!run.allocate(Lines, edges) || !run.allocate(filteredLines, edges)) return run.status();
    // The de-duplication reads no slot of filteredLines beyond the edges it
    // has kept, so the slots are not filled with the sentinel edge: touching
    // 24 bytes per triangle of fresh memory would cost more than the rest.
    for (uint64_t t = 0; t < triangles; ++t) {
        const uint16_t* f = tmpFaces + 3 * t;
        Lines[3 * t] = {f[0], f[1]};
        Lines[3 * t + 1] = {f[1], f[2]};
        Lines[3 * t + 2] = {f[2], f[0]};
    }
    WriteText(out, kDone);

    WriteText(out, "Optimizing...\n");
    // mesh.faceCount still counts triangles here: it bounds the list the
    // de-duplication works on. Only afterwards does it become the edge count.
    uint32_t kept = 0;
    uint64_t tableBytes = 0;
    if (!AppendNewLines(Lines, filteredLines, edges, kept, &tableBytes)) {
        return run.outOfMemory(tableBytes);
    }
    mesh.faceCount = kept;
    WriteText(out, kDone);

    WriteText(out, "write optimized Wireframe to mesh...\n");
    if (!run.allocate(mesh.faces, uint64_t{kept} * 2)) return run.status();
    for (uint64_t k = 0; k < kept; ++k) {
        mesh.faces[2 * k] = static_cast<uint16_t>(filteredLines[k].a);
        mesh.faces[2 * k + 1] = static_cast<uint16_t>(filteredLines[k].b);
    }
    KvxFree(filteredLines);
    filteredLines = nullptr;
    KvxFree(Lines);
    Lines = nullptr;
    WriteText(out, kDone);

    if (!run.save(mesh, &OKVX::saveVn2)) return run.status();
    return kExitOk;
}
