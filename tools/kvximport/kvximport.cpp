// kvximport: a mesh from another tool's format (OBJ, PLY, STL, OFF, and
// through assimp glTF, COLLADA, FBX, 3DS and more) to a KVX file. This file
// reads the command line and reports; the work is meshimport's RunImport.
#include "kvximport.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include "console.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/import.h"
#include "meshimport/to_kvx.h"

namespace {

constexpr char kProgram[] = "kvximport";
constexpr char kUsageLine[] = "usage: kvximport [options] <input> <output.kvx>\n";
constexpr char kHelp[] =
    "\n"
    "Reads a mesh and writes it as a KVX file. The format is chosen by the\n"
    "input's extension: .obj, .ply, .stl and .off by kvximport's own readers,\n"
    "every other extension that assimp reads (.gltf, .glb, .dae, .fbx, .3ds,\n"
    "...) through assimp. Normals are computed as kvxconv3 computes them.\n"
    "Prints nothing on success (with --split: one line on standard error).\n"
    "\n"
    "options:\n"
    "  --version N           the KVX version: 1, 2, 3, 4, -1 or -2 (default 3,\n"
    "                        or 4 when the mesh has texture coordinates)\n"
    "  --format NAME         read the input as NAME (obj, ply, stl, off or an\n"
    "                        extension that assimp reads)\n"
    "  --colour-order ORDER  argb (default) or rgba: how colours fill the\n"
    "                        colour word, from its high byte down\n"
    "  --name NAME           the name of a version-4 file (default: the\n"
    "                        source's object name, else the input's file name)\n"
    "  --weld, --no-weld     join vertices that are equal in every bit (the\n"
    "                        default for STL only)\n"
    "  --split               write a mesh of more than 65536 vertices as\n"
    "                        <stem>-1.kvx, <stem>-2.kvx, ... beside the output\n"
    "  --help                this text\n"
    "  --version             with nothing after it: the program's version\n"
    "  --                    the rest are file names\n"
    "\n"
    "example: kvximport scan.ply scan.kvx\n";

// One line on standard error; returns kExitUsage.
int UsageError(const std::string& problem) {
    ReportError(kProgram, problem + " (see kvximport --help)");
    return kExitUsage;
}

bool ParseVersion(std::string_view text, int32_t* version) {
    static constexpr std::pair<std::string_view, int32_t> kVersions[] = {
        {"1", 1}, {"2", 2}, {"3", 3}, {"4", 4}, {"-1", -1}, {"-2", -2}};
    for (const auto& [name, code] : kVersions) {
        if (text == name) {
            *version = code;
            return true;
        }
    }
    return false;
}

// Reads the command line into `request`. Returns -1 to go on, or the exit
// status to end with (--help and a bare --version end with 0).
int ParseCommandLine(int argc, char** argv, kvx::ImportRequest* request) {
    int positional = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (positional == 2) return UsageError("unexpected argument " + std::string(arg));
            (positional++ == 0 ? request->input : request->output) = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help") {
            std::fputs(kUsageLine, stdout);
            std::fputs(kHelp, stdout);
            return std::fflush(stdout) == 0 ? kExitOk : kExitWriteFailed;
        } else if (arg == "--weld") {
            request->weld = kvx::WeldMode::on;
        } else if (arg == "--no-weld") {
            request->weld = kvx::WeldMode::off;
        } else if (arg == "--split") {
            request->split = true;
        } else if (arg == "--version" && i + 1 == argc) {
            std::printf("kvximport %s\n", KVX_VERSION);
            return std::fflush(stdout) == 0 ? kExitOk : kExitWriteFailed;
        } else if (arg == "--version" || arg == "--format" || arg == "--colour-order" ||
                   arg == "--name") {
            if (i + 1 == argc) return UsageError(std::string(arg) + " needs a value");
            const std::string_view value = argv[++i];
            std::string quoted(1, '"');
            (quoted += value) += '"';
            if (arg == "--version") {
                if (!ParseVersion(value, &request->version)) {
                    return UsageError("--version: expected 1, 2, 3, 4, -1 or -2, found " + quoted);
                }
            } else if (arg == "--format") {
                kvx::ImportFormat format;
                if (!kvx::FormatOfName(value, &format)) {
                    return UsageError("--format: unknown format " + quoted +
                                      (kvx::HaveAssimp() ? "" : " (this build has no assimp)"));
                }
                request->format = value;
            } else if (arg == "--colour-order") {
                if (!ParseColorOrder(value, &request->colorOrder)) {
                    return UsageError("--colour-order: expected argb or rgba, found " + quoted);
                }
            } else {
                std::string why;
                if (!kvx::IsValidKvxName(value, &why)) {
                    return UsageError("--name: the name " + why);
                }
                request->name = std::string(value);
            }
        } else {
            return UsageError("unknown option " + std::string(arg));
        }
    }
    if (positional < 2) {
        std::fputs(kUsageLine, stderr);
        return kExitUsage;
    }
    return -1;
}

int StatusOf(kvx::ImportStatus status) {
    switch (status) {
        case kvx::ImportStatus::ok:
            return kExitOk;
        case kvx::ImportStatus::bad_input:
            return kExitBadInput;
        case kvx::ImportStatus::write_failed:
            return kExitWriteFailed;
        case kvx::ImportStatus::out_of_memory:
            return kExitNoMemory;
    }
    return kExitBadInput;
}

}  // namespace

int RunKvximport(int argc, char** argv) {
    kvx::ImportRequest request;
    int status = ParseCommandLine(argc, argv, &request);
    if (status >= 0) return status;
    // Past a file size limit, report "File too large" rather than die.
    std::signal(SIGXFSZ, SIG_IGN);
    kvx::ImportReport report = kvx::RunImport(request);
    for (const std::string& warning : report.warnings)
        ReportError(kProgram, warning);
    if (report.status != kvx::ImportStatus::ok) {
        ReportError(kProgram, report.error);
        return StatusOf(report.status);
    }
    if (!report.summary.empty()) ReportError(kProgram, report.summary);
    return kExitOk;
}
