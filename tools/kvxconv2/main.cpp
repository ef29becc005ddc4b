// kvxconv2: the command line; the work is in kvxconv2.cpp.
#include "converter.h"
#include "programs.h"

int main(int argc, char** argv) {
    if (argc < 3) return PrintConverterUsage();
    return RunKvxconv2(argv[1], argv[2]);
}
