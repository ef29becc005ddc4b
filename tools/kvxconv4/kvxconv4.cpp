// kvxconv4: a text mesh of textured, coloured vertices and a one-word name to
// a version-4 KVX file, with a smooth normal computed for every vertex.
// Prints the name between two bars, with no line end.
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

void ConvertKvxconv4(const char* inputPath, const char* outputPath, int text) {
    RunConversion(4, inputPath, outputPath, text);
}

int RunKvxconv4(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxconv4", [&] { ConvertKvxconv4(inputPath, outputPath, kStandardText); });
}
