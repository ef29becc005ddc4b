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

void ConvertKvxconv3(const char* inputPath, const char* outputPath, int text) {
    RunConversion(3, inputPath, outputPath, text);
}

int RunKvxconv3(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxconv3", [&] { ConvertKvxconv3(inputPath, outputPath, kStandardText); });
}
