// kvxwire: the command line; the work is in kvxwire.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, kKvxwireInfo, ConvertKvxwire);
}
