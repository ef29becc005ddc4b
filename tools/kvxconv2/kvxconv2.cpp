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

void ConvertKvxconv2(const char* inputPath, const char* outputPath, int text) {
    RunConversion(2, inputPath, outputPath, text);
}

int RunKvxconv2(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxconv2", [&] { ConvertKvxconv2(inputPath, outputPath, kStandardText); });
}
