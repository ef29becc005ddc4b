// kvxconv4: the command line; the work is in kvxconv4.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxconv4Info, ConvertKvxconv4);
}
