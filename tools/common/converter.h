// The flow every converter shares: the usage text, the output refused where
// it is the input, the text read into the program's mesh by the library
// (kvx::ReadCmshMesh, its work arrays bound to the program's own names),
// the echo printed, the save. Every step that fails throws a RunFailure for
// the run guard (run_guard.h).
#pragma once

#include <cstdint>

#include "run_guard.h"

// The paragraph every converter's --help holds after its own, a string
// literal so that it joins theirs.
#define KVX_CONVERTER_HELP                                                            \
    "A text mesh (.cmsh) holds, separated by white space: the vertex count, the\n"    \
    "face count, the vertex entries, then the triangle entries (three vertex\n"       \
    "indices from 0 each). Bad input gets one line on standard error and status 2;\n" \
    "an output that cannot be written status 3; memory too short status 4. The\n"     \
    "output appears complete or not at all. Where the output is standard output\n"    \
    "itself (/dev/stdout), the printed text goes to standard error instead.\n\n"      \
    "  -q, --quiet  print nothing on standard output (warnings and errors still\n"    \
    "               go to standard error)\n\n"

// Prints the converters' usage text on standard output; returns kExitUsage.
int PrintConverterUsage();

// `text` for RunConversion: standard output, or standard error where the
// output file is standard output itself, so that the file stays clean.
inline constexpr int kStandardText = 1;

// The conversion of the converter that writes `version`: the text mesh at
// inputPath into the program's mesh, then saved at outputPath. What the
// converter prints goes to `text` (kStandardText, or ConsoleOut::kDiscard).
void RunConversion(int32_t version, const char* inputPath, const char* outputPath, int text);
