// The work of each program. Each fills the program's mesh, which a caller
// that runs more than one in a process must release (ReleaseProgramState)
// in between, and each must run on one thread at a time. Hosts that convert
// on several threads call the libraries instead (kvx::ReadCmshMesh).
#pragma once

#include <cstdint>

#include "command_line.h"
#include "meshcore/okvx.h"
#include "run_guard.h"

// The programs' own state, by the names they know it: the mesh each program
// fills, and the work arrays of kvxconv3 and kvxconv4 (the triangles with
// their normals) and of kvxwire (the triangles as read, every edge, the
// distinct edges), bound to the library's work by RunConversion. Zero at
// start; a run leaves them to the end of the process.
extern OKVX mesh;
extern CFace* CFaceList;
extern uint16_t* tmpFaces;
extern CLine* Lines;
extern CLine* filteredLines;

// Frees the mesh and the work arrays and nulls them: for callers that run
// the programs' work more than once in one process.
void ReleaseProgramState();

// A converter's work, as the program runs it: the text mesh at inputPath
// to the KVX file at outputPath, as the converter that writes `version`
// does (RunConversion, converter.h), through the guard: failures reported
// on standard error, the exit status returned.
int RunConverter(int32_t version, const char* inputPath, const char* outputPath);
inline int RunKvxconv1(const char* in, const char* out) {
    return RunConverter(1, in, out);
}
inline int RunKvxconv2(const char* in, const char* out) {
    return RunConverter(2, in, out);
}
inline int RunKvxconv3(const char* in, const char* out) {
    return RunConverter(3, in, out);
}
inline int RunKvxconv4(const char* in, const char* out) {
    return RunConverter(4, in, out);
}
inline int RunKvxpoints(const char* in, const char* out) {
    return RunConverter(-1, in, out);
}
inline int RunKvxwire(const char* in, const char* out) {
    return RunConverter(-2, in, out);
}
int RunKvxdump(const char* path);
// kvxrender, kvxexport, kvximport and kvxopt take options as well: the whole
// command line.
int RunKvxrender(int argc, char** argv);
int RunKvxexport(int argc, char** argv);
int RunKvximport(int argc, char** argv);
int RunKvxopt(int argc, char** argv);

// What each program's --help says.
extern const ProgramInfo kKvxdumpInfo, kKvxrenderInfo, kKvxexportInfo;

// The main of the converter that writes `version`: the signals
// (TakeOverSignals), --help, --version, --quiet (-q: no text on standard
// output), the usage text for too few operands with one line on standard
// error after it, then the conversion through the guard.
int ConverterMain(int argc, char** argv, int32_t version);
