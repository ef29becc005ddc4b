// kvximport: the command line in, the exit status out. main() only calls
// this; tests call it too.
#pragma once

int RunKvximport(int argc, char** argv);
