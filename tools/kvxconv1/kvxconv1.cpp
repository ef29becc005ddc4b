// kvxconv1: a text mesh of bare positions to a version-1 KVX file, echoing
// everything it reads. Every vertex gets the fixed colour 0xFFFF0000.
#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxconv1Info = {
    "kvxconv1", "usage: kvxconv1 <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are three values, x y z, and writes a
version-1 KVX file: every vertex gets the colour 0xFFFF0000. Prints the counts,
the version and every vertex and triangle as it reads them.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv1 cube3.cmsh cube.kvx
)"};

namespace {

constexpr char kProgram[] = "kvxconv1";
constexpr uint32_t kFixedColor = 0xFFFF0000u;  // 255, 255, 0, 0 packed

}  // namespace

void ConvertKvxconv1(const char* inputPath, const char* outputPath, int text) {
    ConverterRun run(kProgram, inputPath, outputPath, text);
    run.begin({.valuesPerVertex = 3, .vertexBytes = sizeof(VertexkvxV1)}, mesh);
    mesh.version = 1;
    PrintCounts(run.out(), mesh.vertexCount, mesh.faceCount, mesh.version);

    run.allocate(mesh.verticesV1, mesh.vertexCount);
    VertexkvxV1* records = mesh.verticesV1;
    run.readVertices(
        3, -1,
        [records](uint32_t i, const float* v) {
            records[i] = {kFixedColor, v[0], v[1], v[2]};
            return true;
        },
        [records](char* p, uint64_t i) {
            const VertexkvxV1& r = records[i];
            return ColorPositionLine(p, r.color, r.x, r.y, r.z);
        });

    run.allocate(mesh.faces, uint64_t{mesh.faceCount} * 3);
    run.readTriangles(mesh.faceCount, mesh.vertexCount, mesh.faces, true);
    run.endInput();
    run.save(mesh, &OKVX::saveV1);
}

int RunKvxconv1(const char* inputPath, const char* outputPath) {
    return RunGuarded(kProgram,
                      [&] { ConvertKvxconv1(inputPath, outputPath, ConverterRun::kStandardText); });
}
