// kvxpoints: the command line; the work is in kvxpoints.cpp.
#include "converter.h"
#include "programs.h"

int main(int argc, char** argv) {
    if (argc < 3) return PrintConverterUsage();
    return RunKvxpoints(argv[1], argv[2]);
}
