// kvxconv2: a text mesh of coloured vertices to a version-2 KVX file,
// echoing everything it reads.
#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxconv2Info = {
    "kvxconv2", "usage: kvxconv2 <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and writes a version-2 KVX file.
Prints the counts, the version and every vertex and triangle as it reads them.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv2 cube7.cmsh cube.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxconv2";

}  // namespace

void ConvertKvxconv2(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    run.begin({.valuesPerVertex = 7, .vertexBytes = sizeof(VertexkvxV2)}, mesh);
    mesh.version = 2;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    run.allocate(mesh.verticesV2, mesh.vertexCount);
    run.readColorVertices(mesh.verticesV2, true);

    run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3);
    run.readTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces, true);
    run.endInput();
    run.save(mesh, &OKVX::saveV2);
}

int RunKvxconv2(const char* inputPath, const char* outputPath) {
    return RunGuarded(kProgram,
                      [&] { ConvertKvxconv2(inputPath, outputPath, ConverterRun::kStandardText); });
}
