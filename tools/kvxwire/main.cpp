// kvxwire: the command line; the work is in kvxwire.cpp.
#include "converter.h"
#include "programs.h"

int main(int argc, char** argv) {
    if (argc < 3) return PrintConverterUsage();
    return RunKvxwire(argv[1], argv[2]);
}
