// kvximport: the command line goes straight to the work in kvximport.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    TakeOverSignals("kvximport");
    return RunKvximport(argc, argv);
}
