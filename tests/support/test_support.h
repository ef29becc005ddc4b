// Helpers shared by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "converters.h"
#include "list_folder.h"
#include "meshcore/okvx.h"

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);

// Bytes from a list of byte values, and little-endian words appended to them.
std::string Bytes(std::initializer_list<int> values);
void AppendU16(std::string& out, uint16_t v);
void AppendU32(std::string& out, uint32_t v);
void AppendI32(std::string& out, int32_t v);
void AppendF32(std::string& out, float v);
std::string KvxHeader(uint32_t vertexCount, uint32_t faceCount, int32_t version);
// A VertexkvxV1 (or V2) record, a run of floats, and 16-bit indices, as a
// file holds them.
std::string V1Record(uint32_t color, float x, float y, float z);
std::string Floats(std::initializer_list<float> values);
std::string Indices(std::initializer_list<uint16_t> values);

// Bit pattern of a float, to compare floats exactly (0.0 and -0.0 differ,
// NaN equals itself).
uint32_t FloatBits(float v);

// The outcome of running a program to its end.
struct RunResult {
    int exitStatus = -1;  // -1 when it did not exit normally
    int signal = 0;       // the signal that ended it, if any
    std::string out;      // standard output
    std::string err;      // standard error
};

// Runs `program` with `args` (argv[1] onward), standard input from /dev/null
// or from `stdinPath`, and collects both output streams.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& stdinPath = "/dev/null");

// A command line that a program refuses as a usage mistake, and the one
// line it says why.
struct UsageMistake {
    std::vector<std::string> args;
    std::string problem;
};
// Expects `program` to end each mistake with status 1, its line on standard
// error and nothing on standard output.
void ExpectUsageMistakes(const std::string& program, const std::vector<UsageMistake>& mistakes);

// The program that a preloaded library reaches: for a program linked
// statically, its copy linked to the shared C library, built from the same
// objects (in `sharedCopies`, where the build puts them; "" where it builds
// none); else `program`.
std::string PreloadableProgram(const std::string& program, const std::string& sharedCopies);

#ifdef KVX_FAULT_SHIM
// The arguments of /bin/sh -c that run `program` with the fault library
// preloaded and `settings` ("KVX_SHIM_NO_TMPFILE=1 ...") in its environment.
inline std::vector<std::string> Shimmed(const std::string& settings, const std::string& program,
                                        const std::vector<std::string>& args) {
#ifdef KVX_SHARED_PROGRAMS
    const std::string run = PreloadableProgram(program, KVX_SHARED_PROGRAMS);
#else
    const std::string& run = program;
#endif
    std::vector<std::string> line{
        "-c",
        "export LD_PRELOAD=" KVX_FAULT_SHIM " " + settings +
            " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\"; "
            "exec \"$0\" \"$@\"",
        run};
    line.insert(line.end(), args.begin(), args.end());
    return line;
}
#endif

// A converter of kConverterLayouts, with the path of the built program and a
// bundled example of its layout.
struct Converter {
    ConverterLayout layout;
    std::string name;
    std::string path;
    std::string example;
};
const std::vector<Converter>& Converters();
const Converter& ConverterNamed(const std::string& name);

// A file of examples/ (the KVX_EXAMPLES folder) and of tests/data/.
std::string Example(const std::string& name);
std::string TestData(const std::string& name);

// The converters' usage text, and one conversion of `text` by `program`: its
// run and the output file's bytes (empty when none was written).
inline const std::string kConverterUsage = "proper usage is: <input.cmsh> <output.kvx>\n";
struct Conversion {
    RunResult run;
    std::string file;
};
Conversion Convert(const char* program, const std::string& text);
// Expects a conversion that succeeded in silence on standard error, having
// printed `out` and written `file`.
void ExpectConverted(const Conversion& c, const std::string& out, const std::string& file);

// Frees the arrays of a mesh made in a test.
struct MeshGuard {
    OKVX& m;
    ~MeshGuard() { KvxRelease(m); }
};
