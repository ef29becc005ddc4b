// The work of each program, as its main calls it: the paths from the
// command line in, the exit status out. Each fills the global mesh, which a
// caller that runs more than one conversion in a process must release
// (KvxRelease) in between.
#pragma once

#include "command_line.h"

int RunKvxconv1(const char* inputPath, const char* outputPath);
int RunKvxconv2(const char* inputPath, const char* outputPath);
int RunKvxconv3(const char* inputPath, const char* outputPath);
int RunKvxconv4(const char* inputPath, const char* outputPath);
int RunKvxpoints(const char* inputPath, const char* outputPath);
int RunKvxwire(const char* inputPath, const char* outputPath);
int RunKvxdump(const char* path);
// kvxrender and kvxexport take options as well: the whole command line.
int RunKvxrender(int argc, char** argv);
int RunKvxexport(int argc, char** argv);

// What each program's --help says.
extern const ProgramInfo kKvxconv1Info, kKvxconv2Info, kKvxconv3Info, kKvxconv4Info, kKvxpointsInfo,
    kKvxwireInfo, kKvxdumpInfo, kKvxrenderInfo, kKvxexportInfo;

// The main of a converter: --help, --version, the usage text for too few
// operands, then run(input, output).
int ConverterMain(int argc, char** argv, const ProgramInfo& info,
                  int (*run)(const char*, const char*));
