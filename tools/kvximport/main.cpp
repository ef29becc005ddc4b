// kvximport: the command line goes straight to kvximport.cpp.
#include "kvximport.h"

int main(int argc, char** argv) {
    return RunKvximport(argc, argv);
}
