// kvxconv1: the command line; the work is the library's (kvx::ReadCmshMesh),
// bound to the program in tools/common/converter.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    return ConverterMain(argc, argv, 1);
}
