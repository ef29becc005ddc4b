// kvximport: a mesh from another tool's format (OBJ, PLY, STL, OFF, and
// through assimp glTF, COLLADA, FBX, 3DS and more; a text mesh as its
// converter reads it) to a KVX file. This file
// reads the command line and reports; the work is meshimport's RunImport.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <charconv>
#include <cmath>

#include "command_line.h"
#include "console.h"
#include "import_command.h"
#include "meshcore/layout.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/import.h"
#include "meshimport/optimize.h"
#include "meshimport/to_kvx.h"
#include "meshview/export.h"
#include "programs.h"
#include "run_guard.h"

const ProgramInfo kKvximportInfo = {
    "kvximport", "usage: kvximport [options] <input> <output.kvx>",
    R"(Reads a mesh and writes it as a KVX file. The format is chosen by the
input's extension: .obj, .ply, .stl and .off by kvximport's own readers,
every other extension that assimp reads (.gltf, .glb, .dae, .fbx, .3ds,
...) through assimp. Normals are computed as kvxconv3 computes them,
unless --normals source keeps the source's own.
A text mesh (.cmsh) gives the file of its converter, byte for byte: the
layout that --layout names, else the one its counts and its number of
values fit (3 per vertex: kvxconv1; 7: kvxconv3; 9: kvxconv4); a text
that fits several is refused with the choices. Prints nothing on success
(with --split or --lods: one line on standard error; with --stats, the
figures on standard output).

  --layout L            the KVX version: 1, 2, 3, 4, -1 (points) or -2
                        (wire); default 3, or 4 when the mesh has texture
                        coordinates
  --format NAME         read the input as NAME (obj, ply, stl, off, cmsh or
                        an extension that assimp reads)
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
  --fit                 instead, simplify such a mesh just enough to fit
                        one file
)" KVX_SIMPLIFY_OPTIONS_HELP KVX_LODS_OPTION_HELP
    R"(  --optimize            order the triangles for the GPU's vertex cache and
                        overdraw, and the vertices in the order they are
                        fetched (--no-optimize: as read, the default)
)" KVX_STATS_OPTION_HELP R"(  --reader-memory=SIZE  the memory of the process that reads through
                        assimp (default 2G; K, M, G suffixes)
  --reader-time=SECONDS its processor and elapsed time (default 120)
  --reader-output=SIZE  the largest mesh it may send back (default 1G)
  --version             the program's version, wherever it stands (the KVX
                        version, once --version N, is --layout N)

)" KVX_STATS_FIGURES_HELP R"(
An output named as another mesh format (.ply, .obj, .stl, .cmsh, ...) is
refused (status 1): kvxexport writes PLY, OBJ and text meshes. With a text
mesh, --split, --weld and --colour-order rgba are refused; --name replaces
the name word of a version-4 text.

Example:
  kvximport scan.ply scan.kvx
  kvximport --layout wire cube7.cmsh wire.kvx
  kvximport --fit --optimize scan.ply scan.kvx
)"};

namespace {

// Each version kvximport writes, by its number and by the word for its
// primitive where it has one: "points" (-1), "wire" (-2).
struct LayoutName {
    std::string name;
    int32_t version;
};

std::vector<LayoutName> LayoutNames() {
    std::vector<LayoutName> names, words;
    for (const kvx::Layout& l : kvx::Layouts()) {
        if (!kvx::IsImportVersion(l.version)) continue;
        names.push_back({std::to_string(l.version), l.version});
        if (l.primitive == kvx::Primitive::points) words.push_back({"points", l.version});
        if (l.primitive == kvx::Primitive::lines) words.push_back({"wire", l.version});
    }
    names.insert(names.end(), words.begin(), words.end());
    return names;
}

// The version --layout names; fails the run (usage) for any other word.
int32_t ParseLayout(std::string_view text, const std::string& quoted) {
    const std::vector<LayoutName> names = LayoutNames();
    std::string expected;
    for (size_t k = 0; k < names.size(); ++k) {
        if (names[k].name == text) return names[k].version;
        expected += (k == 0 ? "" : k + 1 == names.size() ? " or " : ", ") + names[k].name;
    }
    FailUsage("--layout: expected " + expected + ", found " + quoted);
}

// Refuses (usage) an output whose extension names another mesh format:
// kvximport and kvxopt write KVX files only.
void RefuseMeshOutput(const char* program, const std::string& output) {
    const std::string format = kvx::MeshFormatOfOutput(output);
    if (format.empty()) return;
    std::string upper = format;
    for (char& c : upper)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    const std::string head =
        DisplayName(output.c_str()) + ": an output of " + program + " is a KVX file";
    ExportFormat exported;
    if (!ExportFormatOf(output, &exported)) FailUsage(head + ", not " + upper);
    FailUsage(head + "; to write " +
              (exported == ExportFormat::cmsh ? std::string("a text mesh") : upper) +
              ", use kvxexport");
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

// A number, the whole text, as std::from_chars reads it; false for
// anything else, and for a value that is not finite.
bool ParseNumber(std::string_view text, double* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && stop == end && !text.empty() && std::isfinite(*value);
}

// The options of the command line, into `request`.
void TakeOptions(const CommandLine& line, kvx::ImportRequest& request) {
    for (auto [option, text] : line.options) {
        const std::string_view value = text;
        const std::string quoted = "\"" + DisplayName(text) + "\"";
        double number = 0.0;
        if (option == "--optimize" || option == "--no-optimize") {
            request.optimize = option == "--optimize";
        } else if (option == "--fit") {
            request.fit = true;
        } else if (option == "--sloppy") {
            request.sloppy = true;
        } else if (option == "--stats") {
            request.stats = true;
        } else if (option == "--simplify") {
            if (!ParseNumber(value, &number) || !(number > 0.0 && number <= 1.0))
                FailUsage("--simplify: expected a share above 0 and at most 1, found " + quoted);
            request.simplify = number;
        } else if (option == "--error") {
            if (!ParseNumber(value, &number) || number < 0.0 || number > 1e30)
                FailUsage("--error: expected a share of the extent, 0 or more, found " + quoted);
            request.error = static_cast<float>(number);
        } else if (option == "--lods") {
            uint64_t levels = 0;
            if (!ParseSize(value, &levels) || value.back() < '0' || value.back() > '9' ||
                levels > 16) {
                FailUsage("--lods: expected a number of levels from 1 to 16, found " + quoted);
            }
            request.lods = static_cast<uint32_t>(levels);
        } else if (option == "--weld") {
            request.weld = kvx::WeldMode::on;
        } else if (option == "--no-weld") {
            request.weld = kvx::WeldMode::off;
        } else if (option == "--split") {
            request.split = true;
        } else if (option == "--layout") {
            request.version = ParseLayout(value, quoted);
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
            if (!kvx::IsTextMeshFormat(value) && !kvx::FormatOfName(value, &format)) {
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

int RunImportCommand(int argc, char** argv, const ProgramInfo& info, bool optimizer) {
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, info,
                                      {{"--layout", true},
                                       {"--format", true},
                                       {"--colour-order", true},
                                       {"--name", true},
                                       {"--weld", false},
                                       {"--no-weld", false},
                                       {"--normals", true},
                                       {"--split", false},
                                       {"--fit", false},
                                       {"--simplify", true},
                                       {"--error", true},
                                       {"--sloppy", false},
                                       {"--lods", true},
                                       {"--optimize", false},
                                       {"--no-optimize", false},
                                       {"--stats", false},
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
        request.readsKvx = optimizer;
        request.optimize = optimizer;
        TakeOptions(line, request);
        if (!kvx::OptimizerAvailable() && (request.optimize || request.simplify < 1.0 ||
                                           request.fit || request.lods > 0 || request.stats)) {
            FailUsage(
                "--optimize, --simplify, --fit, --lods and --stats need meshoptimizer, "
                "which this build was made without");
        }
        // The input's own name is refused as the input (status 3) first.
        RefuseOutputOverInput(line.operands[0], line.operands[1]);
        RefuseMeshOutput(info.name, request.output);
        kvx::ImportReport report = kvx::RunImport(request);
        // Every line shows its file names as DisplayName does: the names
        // are what can hold control characters (the readers quote what
        // they cite of a file), so each line stays one line.
        for (const std::string& warning : report.warnings)
            ReportError(info.name, DisplayName(warning.c_str()));
        if (const kvx::Failure& f = report.failure)
            Fail({f.kind, DisplayName(f.message.c_str()), f.sysErrno});
        if (!report.summary.empty()) ReportError(info.name, DisplayName(report.summary.c_str()));
        if (!report.figures.empty()) {
            ConsoleOut out;
            for (const std::string& figures : report.figures)
                out.write(figures + "\n");
            if (!out.flush())
                FailOutput("standard output", KvxStatus{KvxErrc::write_failed, out.error()});
        }
    });
}

int RunKvximport(int argc, char** argv) {
    return RunImportCommand(argc, argv, kKvximportInfo, false);
}
