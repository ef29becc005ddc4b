// kvxpoints: the command line; the work is in kvxpoints.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxpointsInfo, ConvertKvxpoints);
}
