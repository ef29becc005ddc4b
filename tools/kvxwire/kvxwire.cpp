// kvxwire: a text mesh to a version -2 KVX wireframe, the distinct
// undirected edges of its triangles in the order and direction of their
// first occurrence.
#include "converter.h"
#include "programs.h"
#include "wire.h"

alignas(16) uint16_t* tmpFaces;
alignas(16) CLine* Lines;
alignas(16) CLine* filteredLines;

void ReleaseProgramGlobals() {
    KvxRelease(mesh);
    KvxFree(tmpFaces);
    tmpFaces = nullptr;
    KvxFree(Lines);
    Lines = nullptr;
    KvxFree(filteredLines);
    filteredLines = nullptr;
}

const ProgramInfo kKvxwireInfo = {
    "kvxwire", "usage: kvxwire <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and writes a version -2 KVX
wireframe: the vertices and the distinct edges of the triangles, in the order
and direction of their first use. Prints eight progress lines.

)" KVX_CONVERTER_HELP R"(Example:
  kvxwire cube7.cmsh wire.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxwire";

template <size_t N>
void WriteText(ConsoleOut& out, const char (&text)[N]) {
    out.write(text, N - 1);
}

}  // namespace

void ConvertKvxwire(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    // Lines and filteredLines take 24 bytes per triangle each, the largest
    // arrays the counts size.
    run.begin({.valuesPerVertex = 7,
               .vertexBytes = sizeof(VertexkvxV1),
               .triangleBytes = 3 * sizeof(CLine)},
              mesh);
    mesh.version = -2;

    run.allocate(mesh.verticesV1, mesh.vertexCount);
    run.readColorVertices(mesh.verticesV1, false);

    const uint32_t triangles = mesh.faceCount;
    const uint64_t edges = uint64_t{triangles} * 3;
    ConsoleOut& out = run.out();
    constexpr char kDone[] = "\t\t\tdone!\n";

    WriteText(out, "loading faces...\n");
    run.allocate(tmpFaces, edges);
    run.readTriangles(triangles, mesh.vertexCount, tmpFaces, false);
    run.endInput();
    WriteText(out, kDone);

    WriteText(out, "reading lines...\n");
    run.allocate(Lines, edges);
    run.allocate(filteredLines, edges);
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
    // mesh.faceCount still counts triangles here; only afterwards does it
    // become the edge count.
    uint32_t kept = 0;
    uint64_t tableBytes = 0;
    if (!AppendNewLines(Lines, filteredLines, edges, edges, kept, &tableBytes)) {
        FailNoMemory(tableBytes);
    }
    mesh.faceCount = kept;
    WriteText(out, kDone);

    WriteText(out, "write optimized Wireframe to mesh...\n");
    run.allocate(mesh.faces, uint64_t{kept} * 2);
    for (uint64_t k = 0; k < kept; ++k) {
        mesh.faces[2 * k] = static_cast<uint16_t>(filteredLines[k].a);
        mesh.faces[2 * k + 1] = static_cast<uint16_t>(filteredLines[k].b);
    }
    KvxFree(filteredLines);
    filteredLines = nullptr;
    KvxFree(Lines);
    Lines = nullptr;
    WriteText(out, kDone);

    run.save(mesh, &OKVX::saveVn2);
}

int RunKvxwire(const char* inputPath, const char* outputPath) {
    return RunGuarded(kProgram,
                      [&] { ConvertKvxwire(inputPath, outputPath, ConverterRun::kStandardText); });
}
