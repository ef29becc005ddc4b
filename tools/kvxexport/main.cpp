// kvxexport: the command line goes straight to the work in kvxexport.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    TakeOverSignals("kvxexport");
    return RunKvxexport(argc, argv);
}
