// kvxexport: writes a KVX file as PLY (binary) or OBJ (text), the format
// chosen by the output's extension, so that other tools can open it; or as
// the text mesh (.cmsh) that its converter turns back into the same file.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshtext/text_file.h"
#include "meshview/export.h"
#include "meshview/mesh_view.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxexport";
constexpr char kUsage[] =
    "usage: kvxexport <input.kvx> <output.ply|output.obj|output.cmsh> [--colour-order "
    "argb|rgba]\n";

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
        *status =
            Usage(std::string(line->output) + ": the output name must end in .ply, .obj or .cmsh");
        return false;
    }
    return true;
}

// The text mesh: the whole file is read, so that the check of the round
// trip sees every byte of it, even from a pipe.
int ExportCmsh(const CommandLine& line) {
    TextFile input;
    int error = 0;
    if (!input.open(line.input, error)) {
        ReportError(kProgram, std::string(line.input) + ": " + std::strerror(error));
        return error == ENOMEM ? kExitNoMemory : kExitBadInput;
    }
    const std::string_view bytes(input.begin(), static_cast<size_t>(input.end() - input.begin()));
    KvxStatus why;
    if (KvxLoadMemory(mesh, bytes.data(), bytes.size(), &why) == 0 &&
        why.code != KvxErrc::unsupported_version) {
        ReportError(kProgram, std::string(line.input) + ": " + KvxStatusMessage(why));
        bool noMemory = why.code == KvxErrc::out_of_memory || why.code == KvxErrc::too_large;
        return noMemory ? kExitNoMemory : kExitBadInput;
    }
    MeshView view;
    std::string problem;
    if (!MakeMeshView(mesh, &view, &problem)) {
        ReportError(kProgram, std::string(line.input) + ": " + problem);
        return kExitBadInput;
    }
    CmshPlan plan;
    switch (PlanCmsh(view, bytes, &plan, &problem)) {
        case CmshCheck::ok:
            break;
        case CmshCheck::refused:
            ReportError(kProgram, std::string(line.input) + ": " + problem);
            return kExitBadInput;
        case CmshCheck::no_memory:
            ReportError(kProgram, std::string(line.input) + ": out of memory");
            return kExitNoMemory;
    }
    input.close();
    std::signal(SIGXFSZ, SIG_IGN);
    if (!WriteCmsh(view, plan, line.output, &why)) {
        ReportError(kProgram, std::string(line.output) + ": " + KvxStatusMessage(why));
        return kExitWriteFailed;
    }
    return kExitOk;
}

int Export(const CommandLine& line) {
    if (line.format == ExportFormat::cmsh) return ExportCmsh(line);
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
