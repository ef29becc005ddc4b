// kvxconv2: the command line; the work is in kvxconv2.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxconv2Info, ConvertKvxconv2);
}
