// kvxpoints: a text mesh to a version -1 KVX point set, the vertices alone,
// echoing the counts and every vertex.
#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxpointsInfo = {
    "kvxpoints", "usage: kvxpoints <input.cmsh> <output.kvx>",
    R"(Reads the vertices of a text mesh whose vertex entries are seven values, four
colour values (0 to 1: alpha, red, green, blue) then x y z, and writes a
version -1 KVX point set. Prints the counts, the version and every vertex.

)" KVX_CONVERTER_HELP R"(Example:
  kvxpoints cube7.cmsh points.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxpoints";

}  // namespace

void ConvertKvxpoints(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    // A point set reads no triangle entries: whatever follows the vertices,
    // however malformed, is never parsed.
    run.begin({.valuesPerVertex = 7,
               .vertexBytes = sizeof(VertexkvxV1),
               .readsTriangles = false,
               .triangleBytes = 0},
              mesh);
    mesh.version = -1;
    // The text's face count is discarded; the header carries the vertex count twice.
    mesh.faceCount = mesh.vertexCount;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    run.allocate(mesh.verticesV1, mesh.vertexCount);
    run.readColorVertices(mesh.verticesV1, true);
    run.endInput();
    run.save(mesh, &OKVX::saveVn1);
}

int RunKvxpoints(const char* inputPath, const char* outputPath) {
    return RunGuarded(
        kProgram, [&] { ConvertKvxpoints(inputPath, outputPath, ConverterRun::kStandardText); });
}
