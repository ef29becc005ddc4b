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

void ConvertKvxconv1(const char* inputPath, const char* outputPath, int text) {
    RunConversion(1, inputPath, outputPath, text);
}

int RunKvxconv1(const char* inputPath, const char* outputPath) {
    return RunGuarded("kvxconv1", [&] { ConvertKvxconv1(inputPath, outputPath, kStandardText); });
}
