// kvximport's command line and its run, which kvxopt shares: the options
// of an import (meshimport's ImportRequest) read the GNU way, the run
// through the guard, the warnings and a split's or the levels' line on
// standard error, the figures of --stats on standard output.
#pragma once

#include "command_line.h"

// Runs the program `info` describes on argv. `optimizer` makes it kvxopt:
// a KVX input is read as it is and keeps its version, and --optimize is on
// unless --no-optimize turns it off. Returns the exit status.
int RunImportCommand(int argc, char** argv, const ProgramInfo& info, bool optimizer);
