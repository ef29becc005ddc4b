// kvxconv3: the command line; the work is in kvxconv3.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxconv3Info, ConvertKvxconv3);
}
