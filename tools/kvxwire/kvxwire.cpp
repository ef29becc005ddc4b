// kvxwire: a text mesh to a version -2 KVX wireframe, the distinct
// undirected edges of its triangles in the order and direction of their
// first occurrence.
#include "converter.h"
#include "programs.h"

const ProgramInfo kKvxwireInfo = {
    "kvxwire", "usage: kvxwire <input.cmsh> <output.kvx>",
    R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and writes a version -2 KVX
wireframe: the vertices and the distinct edges of the triangles, in the order
and direction of their first use. Prints eight progress lines.

)" KVX_CONVERTER_HELP R"(Example:
  kvxwire cube7.cmsh wire.kvx
)"};

void ConvertKvxwire(const char* inputPath, const char* outputPath, int text) {
    RunConversion(-2, inputPath, outputPath, text);
}

int RunKvxwire(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxwire", [&] { ConvertKvxwire(inputPath, outputPath, kStandardText); });
}
