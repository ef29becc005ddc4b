// kvxconv1: the command line; the work is in kvxconv1.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxconv1Info, ConvertKvxconv1);
}
