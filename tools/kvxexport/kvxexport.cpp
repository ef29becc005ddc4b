// kvxexport: writes a KVX file as PLY (binary) or OBJ (text), the format
// chosen by the output's extension, so that other tools can open it.
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshview/export.h"
#include "meshview/mesh_view.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxexport";
constexpr char kUsage[] =
    "usage: kvxexport <input.kvx> <output.ply|output.obj> [--colour-order argb|rgba]\n";

// The usage line, after the problem when there is one.
int Usage(const std::string& problem = {}) {
    if (!problem.empty()) ReportError(kProgram, problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

struct CommandLine {
    const char* input = nullptr;
    const char* output = nullptr;
    ExportFormat format = ExportFormat::ply;
    ColorOrder colorOrder = ColorOrder::argb;
};

// Reads the command line; on a mistake prints the problem and the usage line
// and returns false.
bool ParseCommandLine(int argc, char** argv, CommandLine* line, int* status) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            if (positional == 2) {
                *status = Usage("unexpected argument " + std::string(arg));
                return false;
            }
            (positional++ == 0 ? line->input : line->output) = argv[i];
            continue;
        }
        if (arg != "--colour-order") {
            *status = Usage("unknown option " + std::string(arg));
            return false;
        }
        if (i + 1 == argc) {
            *status = Usage(std::string(arg) + " needs a value");
            return false;
        }
        std::string_view value = argv[++i];
        if (!ParseColorOrder(value, &line->colorOrder)) {
            *status = Usage(std::string(arg) + ": expected argb or rgba, found \"" +
                            std::string(value) + "\"");
            return false;
        }
    }
    if (positional < 2) {
        *status = Usage();
        return false;
    }
    if (!ExportFormatOf(line->output, &line->format)) {
        *status = Usage(std::string(line->output) + ": the output name must end in .ply or .obj");
        return false;
    }
    return true;
}

int Export(const CommandLine& line) {
    MeshView view;
    std::string error;
    LoadResult loaded = LoadMeshView(line.input, mesh, &view, &error);
    if (loaded != LoadResult::ok) {
        ReportError(kProgram, std::string(line.input) + ": " + error);
        return loaded == LoadResult::no_memory ? kExitNoMemory : kExitBadInput;
    }
    // Past a file size limit, report "File too large" rather than die.
    std::signal(SIGXFSZ, SIG_IGN);
    KvxStatus why;
    bool written = line.format == ExportFormat::ply
                       ? WritePly(view, line.colorOrder, line.output, &why)
                       : WriteObj(view, line.output, &why);
    if (!written) {
        ReportError(kProgram, std::string(line.output) + ": " + KvxStatusMessage(why));
        return kExitWriteFailed;
    }
    return kExitOk;
}

}  // namespace

int RunKvxexport(int argc, char** argv) {
    CommandLine line;
    int status = kExitOk;
    if (!ParseCommandLine(argc, argv, &line, &status)) return status;
    try {
        return Export(line);
    } catch (const std::bad_alloc&) {
        ReportError(kProgram, std::string(line.input) + ": out of memory");
        return kExitNoMemory;
    }
}
