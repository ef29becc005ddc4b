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

void ConvertKvxpoints(const char* inputPath, const char* outputPath, int text) {
    RunConversion(-1, inputPath, outputPath, text);
}

int RunKvxpoints(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxpoints", [&] { ConvertKvxpoints(inputPath, outputPath, kStandardText); });
}
