// kvxconv3: a text mesh of coloured vertices to a version-3 KVX file, with a
// smooth normal computed for every vertex. Prints nothing on success.
#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxconv3Info = {
    "kvxconv3", "usage: kvxconv3 <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, computes a smooth normal for
every vertex and writes a version-3 KVX file. Prints nothing.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv3 cube7.cmsh cube.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxconv3";

}  // namespace

void ConvertKvxconv3(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    // CFaceList, 20 bytes a face, is the largest array kept per triangle.
    run.begin(
        {.valuesPerVertex = 7, .vertexBytes = sizeof(VertexkvxV3), .triangleBytes = sizeof(CFace)},
        mesh);
    mesh.version = 3;

    run.allocate(mesh.verticesV3, mesh.vertexCount);
    // The normals are left to the vertex-normal pass.
    run.readColorVertices(mesh.verticesV3, false);

    run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3);
    run.readTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces, false);
    run.endInput();
    run.smoothNormals(mesh);
    run.save(mesh, &OKVX::saveV3);
}

int RunKvxconv3(const char* inputPath, const char* outputPath) {
    return RunGuarded(kProgram,
                      [&] { ConvertKvxconv3(inputPath, outputPath, ConverterRun::kStandardText); });
}
