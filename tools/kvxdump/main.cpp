// kvxdump: the command line; the work is in kvxdump.cpp.
#include <cstdio>

#include "console.h"
#include "programs.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: kvxdump <file.kvx>\n", stderr);
        return kExitUsage;
    }
    return RunKvxdump(argv[1]);
}
