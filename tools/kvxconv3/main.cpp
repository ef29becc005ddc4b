// kvxconv3: the command line; the work is in kvxconv3.cpp.
#include "converter.h"
#include "programs.h"

int main(int argc, char** argv) {
    if (argc < 3) return PrintConverterUsage();
    return RunKvxconv3(argv[1], argv[2]);
}
