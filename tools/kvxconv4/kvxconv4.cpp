// kvxconv4: a text mesh of textured, coloured vertices and a one-word name to
// a version-4 KVX file, with a smooth normal computed for every vertex.
// Prints the name between two bars, with no line end.
#include <cstring>

#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxconv4Info = {
    "kvxconv4", "usage: kvxconv4 <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are nine values, u v, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and a name word after the
triangles; computes a smooth normal for every vertex and writes a version-4
KVX file, storing 1 - v. Prints the name between two bars.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv4 cube9.cmsh cube.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxconv4";

}  // namespace

void ConvertKvxconv4(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    // CFaceList, 20 bytes a face, is the largest array kept per triangle.
    run.begin({.valuesPerVertex = 9,
               .vertexBytes = sizeof(VertexkvxV4),
               .triangleBytes = sizeof(CFace),
               .readsName = true},
              mesh);
    mesh.version = 4;

    run.allocate(mesh.verticesV4, mesh.vertexCount);
    // u, v, four colour values, x, y, z; the normals are left to the
    // vertex-normal pass.
    VertexkvxV4* records = mesh.verticesV4;
    run.readVertices(9, 2, [records](uint32_t i, const float* values) {
        VertexkvxV4& r = records[i];
        int bad = 0;
        r.u = values[0];
        r.v = 1.0f - values[1];  // the second texture coordinate is flipped
        r.x = values[6];
        r.y = values[7];
        r.z = values[8];
        return PackColor(values + 2, r.color, bad);
    });

    run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3);
    run.readTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces, false);
    // No token left keeps the name empty; one over 255 characters is refused
    // rather than cut.
    run.readName(mesh.name);
    run.endInput();
    // The name reaches standard output before the file is written.
    run.out().write("|", 1);
    run.out().write(mesh.name, strnlen(mesh.name, sizeof mesh.name));
    run.out().write("|", 1);

    run.smoothNormals(mesh);
    run.save(mesh, &OKVX::saveV4);
}

int RunKvxconv4(const char* inputPath, const char* outputPath) {
    return RunGuarded(kProgram,
                      [&] { ConvertKvxconv4(inputPath, outputPath, ConverterRun::kStandardText); });
}
