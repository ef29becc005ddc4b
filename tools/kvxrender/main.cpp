// kvxrender: the command line goes straight to the work in kvxrender.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    TakeOverSignals("kvxrender");
    return RunKvxrender(argc, argv);
}
