// kvxdump: the command line; the work is in kvxdump.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    TakeOverSignals("kvxdump");
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, kKvxdumpInfo, {}, 1, line)) return *status;
    if (line.operands.empty()) return PrintUsage(kKvxdumpInfo);
    return RunKvxdump(line.operands[0]);
}
