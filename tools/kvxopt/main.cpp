// kvxopt: the command line goes straight to the work in kvxopt.cpp.
#include "programs.h"

int main(int argc, char** argv) {
    TakeOverSignals("kvxopt");
    return RunKvxopt(argc, argv);
}
