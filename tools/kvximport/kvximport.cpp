// kvximport: a mesh from another tool's format (OBJ, PLY, STL, OFF, and
// through assimp glTF, COLLADA, FBX, 3DS and more) to a KVX file. This file
// reads the command line and reports; the work is meshimport's RunImport.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "command_line.h"
#include "console.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/import.h"
#include "meshimport/to_kvx.h"
#include "programs.h"
#include "run_guard.h"

const ProgramInfo kKvximportInfo = {
    "kvximport", "usage: kvximport [options] <input> <output.kvx>",
    R"(Reads a mesh and writes it as a KVX file. The format is chosen by the
input's extension: .obj, .ply, .stl and .off by kvximport's own readers,
every other extension that assimp reads (.gltf, .glb, .dae, .fbx, .3ds,
...) through assimp. Normals are computed as kvxconv3 computes them,
unless --normals source keeps the source's own.
Prints nothing on success (with --split: one line on standard error).

  --version N           the KVX version: 1, 2, 3, 4, -1 or -2 (default 3,
                        or 4 when the mesh has texture coordinates); with
                        nothing after it, the program's version
  --format NAME         read the input as NAME (obj, ply, stl, off or an
                        extension that assimp reads)
  --colour-order ORDER  argb (default) or rgba: how colours fill the
                        colour word, from its high byte down
  --name NAME           the name of a version-4 file (default: the
                        source's object name, else the input's file name)
  --weld, --no-weld     join vertices that are equal in every bit (the
                        default for STL and the formats read through
                        assimp)
  --normals MODE        smooth (default: computed as kvxconv3 does, the
                        converters' bytes) or source: the source's own
                        normals in versions 3 and 4, smooth where it
                        has none
  --split               write a mesh of more than 65536 vertices as
                        <stem>-1.kvx, <stem>-2.kvx, ... beside the output
  --reader-memory=SIZE  the memory of the process that reads through
                        assimp (default 2G; K, M, G suffixes)
  --reader-time=SECONDS its processor and elapsed time (default 120)
  --reader-output=SIZE  the largest mesh it may send back (default 1G)

Example:
  kvximport scan.ply scan.kvx
)"};

namespace {

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

// A size: digits with an optional K, M or G (powers of 1024), above zero.
bool ParseSize(std::string_view text, uint64_t* bytes) {
    uint64_t unit = 1;
    if (!text.empty()) {
        const char last = text.back();
        unit = last == 'K' || last == 'k'   ? uint64_t{1} << 10
               : last == 'M' || last == 'm' ? uint64_t{1} << 20
               : last == 'G' || last == 'g' ? uint64_t{1} << 30
                                            : 1;
        if (unit != 1) text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 19) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > UINT64_MAX / unit) return false;
    *bytes = value * unit;
    return true;
}

// The options of the command line, into `request`.
void TakeOptions(const CommandLine& line, kvx::ImportRequest& request) {
    for (auto [option, text] : line.options) {
        const std::string_view value = text;
        const std::string quoted = "\"" + DisplayName(text) + "\"";
        if (option == "--weld") {
            request.weld = kvx::WeldMode::on;
        } else if (option == "--no-weld") {
            request.weld = kvx::WeldMode::off;
        } else if (option == "--split") {
            request.split = true;
        } else if (option == "--version") {
            if (!ParseVersion(value, &request.version))
                FailUsage("--version: expected 1, 2, 3, 4, -1 or -2, found " + quoted);
        } else if (option == "--normals") {
            if (value == "smooth") {
                request.normals = kvx::NormalsMode::smooth;
            } else if (value == "source") {
                request.normals = kvx::NormalsMode::source;
            } else {
                FailUsage("--normals: expected smooth or source, found " + quoted);
            }
        } else if (option == "--format") {
            kvx::ImportFormat format;
            if (!kvx::FormatOfName(value, &format)) {
                FailUsage("--format: unknown format " + quoted +
                          (kvx::HaveAssimp() ? "" : " (this build has no assimp)"));
            }
            request.format = value;
        } else if (option == "--reader-memory" || option == "--reader-output") {
            uint64_t bytes = 0;
            if (!ParseSize(value, &bytes)) {
                FailUsage(std::string(option) + ": expected a size such as 512M or 2G, found " +
                          quoted);
            }
            (option == "--reader-memory" ? request.readerLimits.memoryBytes
                                         : request.readerLimits.answerBytes) = bytes;
        } else if (option == "--reader-time") {
            uint64_t seconds = 0;
            if (!ParseSize(value, &seconds) || value.back() < '0' || value.back() > '9' ||
                seconds > 86400) {
                FailUsage("--reader-time: expected whole seconds from 1 to 86400, found " + quoted);
            }
            request.readerLimits.seconds = static_cast<uint32_t>(seconds);
        } else if (option == "--colour-order") {
            if (!ParseColorOrder(value, &request.colorOrder))
                FailUsage("--colour-order: expected argb or rgba, found " + quoted);
        } else {
            std::string why;
            if (!kvx::IsValidKvxName(value, &why)) FailUsage("--name: the name " + why);
            request.name = std::string(value);
        }
    }
}

}  // namespace

int RunKvximport(int argc, char** argv) {
    const ProgramInfo& info = kKvximportInfo;
    // "--version" takes the KVX version; as the last word, before any "--",
    // it asks for the program's.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (i == argc - 1 && std::strcmp(argv[i], "--version") == 0) {
            char* alone[] = {argv[0], argv[i], nullptr};
            CommandLine ignored;
            return ReadCommandLine(2, alone, info, {}, 0, ignored).value_or(kExitOk);
        }
    }
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, info,
                                      {{"--version", true},
                                       {"--format", true},
                                       {"--colour-order", true},
                                       {"--name", true},
                                       {"--weld", false},
                                       {"--no-weld", false},
                                       {"--normals", true},
                                       {"--split", false},
                                       {"--reader-memory", true},
                                       {"--reader-time", true},
                                       {"--reader-output", true}},
                                      2, line)) {
        return *status;
    }
    if (line.operands.size() < 2) return PrintUsage(info);
    return RunGuarded(info.name, [&] {
        kvx::ImportRequest request;
        request.input = line.operands[0];
        request.output = line.operands[1];
        TakeOptions(line, request);
        kvx::ImportReport report = kvx::RunImport(request);
        // Every line shows its file names as DisplayName does: the names
        // are what can hold control characters (the readers quote what
        // they cite of a file), so each line stays one line.
        for (const std::string& warning : report.warnings)
            ReportError(info.name, DisplayName(warning.c_str()));
        if (const kvx::Failure& f = report.failure)
            Fail({f.kind, DisplayName(f.message.c_str()), f.sysErrno});
        if (!report.summary.empty()) ReportError(info.name, DisplayName(report.summary.c_str()));
    });
}
