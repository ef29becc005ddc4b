#include "meshimport/import.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "fd_io.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/file_set.h"
#include "meshimport/optimize.h"
#include "meshimport/split.h"
#include "meshimport/to_kvx.h"
#include "meshimport/weld.h"
#include "meshtext/cmsh_mesh.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/text_file.h"
#include "meshtext/tokens.h"
#include "reader_support.h"
#include "same_file.h"
#include "temporary_files.h"

namespace kvx {

namespace {

// "<folder>/<stem>-<k>.kvx" beside `output`, for k = 1 to n. False, with
// the reason in `error`, for an output that has no file name to number
// (`sub/`, `.`, `..`) or that is not written as a regular file (a device,
// /dev/stdout: its parts would be made beside it).
bool PartPaths(const std::string& output, size_t n, std::vector<std::string>& paths,
               std::string& error, bool levels = false) {
    const char* option = levels ? "--lods" : "--split";
    const char* first = levels ? "<stem>-lod0.kvx" : "<stem>-1.kvx";
    const std::filesystem::path file(output);
    std::string base = file.filename().string();
    // The folder as written: "sub/" of "sub/m.kvx", nothing of "m.kvx".
    const std::string folder = output.substr(0, output.size() - base.size());
    if (detail::Lower(file.extension().string()) == ".kvx") base = file.stem().string();
    if (base.empty() || base == "." || base == "..") {
        error = output + ": no file name to number the parts after (" + option + " writes " +
                first + ", ...)";
        return false;
    }
    OutputTarget target;
    if (ResolveOutputTarget(output.c_str(), &target) == 0 && !target.replaceable) {
        error = output + ": not a regular file; " + option +
                " writes its parts as files beside the output";
        return false;
    }
    for (size_t k = 0; k < n; ++k)
        paths.push_back(folder + base + (levels ? "-lod" : "-") +
                        std::to_string(levels ? k : k + 1) + ".kvx");
    return true;
}

ImportReport Failed(Failure failure) {
    ImportReport r;
    r.failure = std::move(failure);
    return r;
}

}  // namespace

namespace {

// ---- A text mesh (.cmsh), converted as its converter converts it ----

// The converters' texts by their values per vertex, each number once, in
// ascending order: whether a text of that many ends in a name word, and the
// layout written from it unless the request names one (the first of the
// table with smooth normals, else the first).
struct TextChoice {
    uint32_t values = 0;
    bool name = false;
    const Layout* layout = nullptr;
};

std::vector<TextChoice> TextChoices() {
    std::vector<TextChoice> choices;
    for (const Layout& l : Layouts()) {
        if (l.save == nullptr || l.text.program == nullptr) continue;
        auto same = std::find_if(choices.begin(), choices.end(), [&l](const TextChoice& c) {
            return c.values == l.text.valuesPerVertex;
        });
        if (same == choices.end()) {
            choices.push_back({l.text.valuesPerVertex, l.text.readsName, &l});
            continue;
        }
        same->name = same->name || l.text.readsName;
        if (!same->layout->text.smoothNormals && l.text.smoothNormals) same->layout = &l;
    }
    std::sort(choices.begin(), choices.end(),
              [](const TextChoice& a, const TextChoice& b) { return a.values < b.values; });
    return choices;
}

// The values after the counts that a text of `choice` holds: `least`, or
// one more (the name word) where it ends in a name.
uint64_t TextValues(const TextChoice& choice, uint32_t vertices, uint32_t faces) {
    return uint64_t{vertices} * choice.values + uint64_t{faces} * 3;
}

bool Fits(const TextChoice& choice, uint32_t vertices, uint32_t faces, uint64_t values) {
    const uint64_t least = TextValues(choice, vertices, faces);
    return values == least || (choice.name && values == least + 1);
}

// "a, b or c" of `words`, `last` before the last.
std::string ListOf(const std::vector<std::string>& words, const char* last) {
    std::string out;
    for (size_t k = 0; k < words.size(); ++k)
        out += (k == 0 ? "" : k + 1 == words.size() ? last : ", ") + words[k];
    return out;
}

std::string CountText(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a text holds: its counts and the values after them.
struct TextSize {
    uint32_t vertices = 0;
    uint32_t faces = 0;
    uint64_t values = 0;
    bool more = false;  // a stream holds more values than these (the most any layout takes)
};

// Opens the text at `input` into `file` and measures it. A stream is read
// in bounded steps as the converters read it: to its counts within the
// first step, then no further than one value past the longest text those
// counts allow. The numbers are not read, only the counts.
Failure MeasureText(const std::string& input, TextFile& file, TextSize& size) {
    KvxStatus why;
    if (!file.open(input.c_str(), 3, &why)) return InputFailure(input, why);
    // Counts alone: no array is sized here, the converter's reading checks
    // them against its own records.
    CmshLayout countsOnly;
    countsOnly.vertexBytes = 1;
    countsOnly.readsTriangles = false;
    CmshReader reader(input, file.begin(), file.end());
    const bool counted = reader.readCounts(countsOnly, size.vertices, size.faces);
    if (!file.whole() && (counted ? CountTokens(file.begin(), file.end()) < 3 : reader.atEnd())) {
        return BadInput(input + ": no vertex and face counts in the first " +
                        std::to_string(TextFile::kFirstStepBytes) + " bytes");
    }
    if (!counted) return BadInput(reader.error());
    uint64_t longest = 0;
    for (const TextChoice& c : TextChoices())
        longest = std::max(longest, TextValues(c, size.vertices, size.faces) + (c.name ? 1 : 0));
    if (!file.whole() && !file.readTokens(2 + longest + 1, 0, &why))
        return InputFailure(input, why);
    if (file.changed()) return BadInput(input + ": the file changed while it was read");
    // A stream that goes on holds more than any of them.
    size.more = !file.whole();
    size.values = size.more ? longest : CountTokens(file.begin(), file.end()) - 2;
    return {};
}

// The layout a text of `size` fits, or why there is none: bad input for a
// text that fits no converter's, a usage failure naming the choices for
// one that fits several.
Failure ChooseTextLayout(const std::string& input, const TextSize& size, const Layout*& layout) {
    const std::vector<TextChoice> choices = TextChoices();
    std::vector<std::string> fitting, options, wanted;
    for (const TextChoice& c : choices) {
        const uint64_t least = TextValues(c, size.vertices, size.faces);
        wanted.push_back(std::to_string(least) +
                         (c.name ? " or " + std::to_string(least + 1) : std::string()) + " (" +
                         std::to_string(c.values) + " per vertex" +
                         (c.name ? ", without or with a name" : "") + ")");
        if (size.more || !Fits(c, size.vertices, size.faces, size.values)) continue;
        fitting.push_back(std::to_string(c.values));
        options.push_back("--layout " + std::to_string(c.layout->version));
        layout = c.layout;
    }
    if (fitting.size() == 1) return {};
    if (fitting.empty()) {
        return BadInput(input + ": " + CountText(size.vertices, "vertex", "vertices") + " and " +
                        CountText(size.faces, "face", "faces") + " take " + ListOf(wanted, " or ") +
                        " values after the counts; found " + (size.more ? "more than " : "") +
                        std::to_string(size.values));
    }
    return {FailureKind::usage,
            input + ": the text fits " + ListOf(fitting, " and ") +
                " values per vertex; choose with " + ListOf(options, " or "),
            0};
}

// A stream's text as an unnamed file in memory, for the converter's reading
// to open by `path`.
Failure HoldText(const std::string& input, const TextFile& file, UniqueFd& held,
                 std::string& path) {
    const auto bytes = static_cast<size_t>(file.end() - file.begin());
    held.reset(::memfd_create("kvximport-text", MFD_CLOEXEC));
    int error = held.get() < 0 ? errno : WriteAll(held.get(), file.begin(), bytes);
    if (error == ENOMEM || error == ENOSPC) return MemoryFailure(bytes);
    if (error != 0) return InputFailure(input, KvxStatus{KvxErrc::read_failed, error});
    path = "/proc/self/fd/" + std::to_string(held.get());
    return {};
}

// What a mesh loaded as it is cannot be asked for: a text mesh is
// converted as its converter converts it, a KVX input keeps its version.
Failure RefuseOptionsFor(const ImportRequest& request, bool kvx) {
    const char* option = request.split                            ? "--split"
                         : request.weld == WeldMode::on           ? "--weld"
                         : request.colorOrder != ColorOrder::argb ? "--colour-order rgba"
                         : request.normals != NormalsMode::smooth ? "--normals source"
                         : kvx && request.version != 0            ? "--layout"
                                                                  : nullptr;
    if (option == nullptr) return {};
    return {FailureKind::usage,
            request.input + ": " + option +
                (kvx ? " does not apply to a KVX input, which keeps its version and its records"
                     : " does not apply to a text mesh (.cmsh), which is converted as its "
                       "converter converts it"),
            0};
}

// A text mesh into `meshes`, as the converter of its layout reads it: the
// layout the request names, else the one the text fits.
ImportReport MakeFromText(const ImportRequest& request, KvxMeshes& meshes) {
    const std::string& input = request.input;
    if (Failure f = RefuseOptionsFor(request, false)) return Failed(std::move(f));
    const Layout* layout = request.version != 0 ? LayoutOf(request.version) : nullptr;
    std::string path = input;
    UniqueFd held;
    if (layout == nullptr) {
        struct stat st;
        const bool regular = ::stat(input.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        TextFile file;
        TextSize size;
        if (Failure f = MeasureText(input, file, size)) return Failed(std::move(f));
        if (Failure f = ChooseTextLayout(input, size, layout)) return Failed(std::move(f));
        // A stream cannot be read again: its text, whole, is handed over.
        if (!regular)
            if (Failure f = HoldText(input, file, held, path)) return Failed(std::move(f));
    }
    OKVX& m = meshes.add();
    ImportReport report;
    CmshRead read;
    if (!ReadCmshMesh(path.c_str(), input, *layout, m, report.failure, &read)) return report;
    if (request.name && layout->hasName) {
        std::memset(m.name, 0, sizeof m.name);
        std::memcpy(m.name, request.name->data(), request.name->size());
    }
    if (!read.advice.empty()) report.warnings.push_back(input + ": warning: " + read.advice);
    return report;
}

}  // namespace

bool IsTextMeshFormat(std::string_view name) {
    return detail::Lower(name) == "cmsh";
}

std::string MeshFormatOfOutput(const std::string& output) {
    const std::string extension = detail::Lower(detail::ExtensionOf(output));
    ImportFormat format;
    if (extension.empty() || !(IsTextMeshFormat(extension) || FormatOfName(extension, &format)))
        return "";
    // A device or a pipe takes any name: the bytes go through it.
    struct stat st;
    if (::stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return "";
    return extension;
}

namespace {

// Converts `mesh` into `out`; false, with the failure in `report`, when it
// cannot.
bool Convert(const ImportedMesh& mesh, int32_t version, const std::string& name,
             const std::string& input, OKVX& out, ImportReport& report) {
    report.failure = ToKvx(mesh, version, name, out, mesh.hasNormals);
    if (!report.failure) return true;
    report.failure.message = input + ": " + report.failure.message;
    return false;
}

// ---- What is done to the meshes before they are written (optimize.h) ----

std::string Decimal(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// "<label>: 2400 triangles, 1202 vertices, ACMR 1.834, ATVR 3.662,
// overdraw 1.215, overfetch 2.041"; lines and points give their counts.
std::string FiguresLine(const std::string& label, const MeshFigures& f) {
    const std::string vertices = std::to_string(f.vertices) + " vertices";
    if (f.triangles == 0) {
        return label + ": " + (f.lines != 0 ? std::to_string(f.lines) + " lines, " : "") + vertices;
    }
    return label + ": " + std::to_string(f.triangles) + " triangles, " + vertices + ", ACMR " +
           Decimal(f.acmr, "%.3f") + ", ATVR " + Decimal(f.atvr, "%.3f") + ", overdraw " +
           Decimal(f.overdraw, "%.3f") + ", overfetch " + Decimal(f.overfetch, "%.3f");
}

std::string SimplifiedLine(const std::string& label, const SimplifyOutcome& o) {
    return label + ": " + std::to_string(o.triangles) + " triangles (aimed at " +
           std::to_string(o.targetTriangles) + "), " + std::to_string(o.vertices) +
           " vertices, error " + Decimal(o.error, "%.4g") + " of the extent" +
           (o.sloppy ? ", by the sloppy pass" : "");
}

// The simplifier's options for a ratio: the error the request gives, else
// 0.01 for --simplify and no bound for --fit and the levels of detail.
SimplifyOptions SimplifyOptionsOf(const ImportRequest& request, double ratio, bool bounded) {
    SimplifyOptions o;
    o.ratio = ratio;
    o.sloppy = request.sloppy;
    o.error = request.error ? *request.error : bounded ? 0.01f : FLT_MAX;
    return o;
}

Failure Named(const std::string& input, Failure f) {
    if (f) f.message = input + ": " + f.message;
    return f;
}

// A KVX input into `meshes`, as it is.
ImportReport MakeFromKvx(const ImportRequest& request, KvxMeshes& meshes) {
    const std::string& input = request.input;
    if (Failure f = RefuseOptionsFor(request, true)) return Failed(std::move(f));
    OKVX& m = meshes.add();
    KvxStatus why;
    if (m.load(input.c_str(), &why) == 0) {
        return Failed(InputFailure(input, why,
                                   why.magicMissing && why.code != KvxErrc::not_kvx
                                       ? " (the file does not begin with \"KVX\")"
                                       : ""));
    }
    ImportReport report;
    if (why.magicMissing) {
        report.warnings.push_back(input +
                                  ": warning: the file does not begin with \"KVX\"; reading "
                                  "it anyway");
    }
    if (Failure f = CheckKvx(m)) {
        report.failure = Named(input, std::move(f));
        return report;
    }
    const Layout& layout = *LayoutOf(m.version);
    if (request.name && layout.hasName) {
        std::memset(m.name, 0, sizeof m.name);
        std::memcpy(m.name, request.name->data(), request.name->size());
    }
    return report;
}

// After the meshes are made: the simplification of a mesh loaded as it is
// (`asRead`: a text mesh, a KVX input; the others were simplified as
// imported), the levels of detail, the GPU order, the figures after.
void Finish(const ImportRequest& request, bool asRead, KvxMeshes& meshes, ImportReport& report) {
    const std::string& input = request.input;
    MeshFigures figures;
    auto figuresOf = [&](const OKVX& m, const std::string& label) {
        if (!request.stats) return true;
        if (!FiguresOf(m, figures)) {
            report.failure = {FailureKind::memory, input + ": out of memory", ENOMEM};
            return false;
        }
        report.figures.push_back(FiguresLine(label, figures));
        return true;
    };
    if (asRead && !figuresOf(meshes[0], "before")) return;
    if (asRead && request.simplify < 1.0) {
        SimplifyOutcome outcome;
        report.failure = Named(
            input,
            SimplifyKvx(meshes[0], SimplifyOptionsOf(request, request.simplify, true), &outcome));
        if (report.failure) return;
        if (request.stats) report.figures.push_back(SimplifiedLine("simplified", outcome));
    }
    for (uint32_t k = 1; k <= request.lods; ++k) {
        meshes.add();
        SimplifyOutcome outcome;
        report.failure =
            Named(input, SimplifyKvx(meshes[0],
                                     SimplifyOptionsOf(request, std::ldexp(1.0, -int(k)), false),
                                     meshes[k], &outcome));
        if (report.failure) return;
        if (request.stats)
            report.figures.push_back(SimplifiedLine("lod" + std::to_string(k), outcome));
    }
    for (size_t k = 0; k < meshes.size(); ++k) {
        if (request.optimize) {
            report.failure = Named(input, OptimizeKvx(meshes[k]));
            if (report.failure) return;
        }
        const std::string label = request.lods > 0     ? "lod" + std::to_string(k)
                                  : meshes.size() == 1 ? std::string("after")
                                                       : "part " + std::to_string(k + 1);
        if (!figuresOf(meshes[k], label)) return;
    }
}

// The format `request` names, or why there is none.
Failure ChooseFormat(const ImportRequest& request, std::string& name, ImportFormat& format) {
    const std::string& input = request.input;
    name = request.format.empty() ? detail::ExtensionOf(input) : request.format;
    if (IsTextMeshFormat(name) || FormatOfName(name, &format)) return {};
    if (!request.format.empty()) return BadInput("unknown format \"" + request.format + "\"");
    if (name.empty())
        return BadInput(input + ": no extension to tell the format by (use --format)");
    return BadInput(
        input + ": unsupported extension \"." + name + "\"" +
        (HaveAssimp()
             ? " (neither " + NativeFormatList(", ") + " nor one that assimp reads)"
             : " (this build reads " + NativeFormatList(" and ") + "; other formats need assimp)"));
}

// The version an import writes unless asked: the first of the table with
// smooth normals that stores texture coordinates exactly when the mesh has
// them.
int32_t DefaultImportVersion(bool texCoords) {
    for (const Layout& l : Layouts())
        if (l.save != nullptr && l.text.smoothNormals && (l.uvOffset != kAbsent) == texCoords)
            return l.version;
    return 0;
}

// The meshes of an import, in memory: fills `meshes` with one, or a
// split's parts; sets report.summary's vertex count for a split; `asRead`
// for a mesh loaded as it is (a text mesh, a KVX input).
ImportReport MakeMeshes(const ImportRequest& request, KvxMeshes& meshes, size_t& vertices,
                        bool& asRead) {
    const std::string& input = request.input;
    asRead = true;
    if (request.split && (request.fit || request.lods > 0)) {
        return Failed(
            {FailureKind::usage,
             std::string(request.fit ? "--fit" : "--lods") + " and --split exclude each other", 0});
    }
    std::string badName;
    if (request.name && !IsValidKvxName(*request.name, &badName)) {
        return Failed(BadInput("the name " + badName));
    }
    if (request.version != 0 && !IsImportVersion(request.version)) {
        return Failed(BadInput("version " + std::to_string(request.version) +
                               " is not one kvximport writes"));
    }
    if (request.readsKvx && detail::Lower(request.format.empty() ? detail::ExtensionOf(input)
                                                                 : request.format) == "kvx") {
        return MakeFromKvx(request, meshes);
    }
    std::string formatName;
    ImportFormat format;
    if (Failure f = ChooseFormat(request, formatName, format)) return Failed(std::move(f));
    if (IsTextMeshFormat(formatName)) return MakeFromText(request, meshes);
    asRead = false;

    // The mesh.
    ReadOptions options;
    options.colorOrder = request.colorOrder;
    options.keepNormals = request.normals == NormalsMode::source;
    ImportResult read = ReadMeshFile(input, format, formatName, options, request.readerLimits);
    if (!read.ok()) return Failed(std::move(read.error));
    ImportedMesh& mesh = read.mesh;
    ImportReport report;
    report.warnings = std::move(mesh.warnings);
    mesh.warnings.clear();
    const Failure noMemory{FailureKind::memory, input + ": out of memory", ENOMEM};

    const int32_t version =
        request.version != 0 ? request.version : DefaultImportVersion(mesh.hasTexCoords);
    // The source's normals stay only where they are asked for and the
    // version has normals; then they are part of what a vertex is.
    const bool normals = LayoutOf(version)->text.smoothNormals;
    if (normals && request.normals == NormalsMode::source && !mesh.hasNormals) {
        report.warnings.push_back(input +
                                  ": the source has no normals for every vertex; smooth "
                                  "normals are computed instead");
    }
    if (!normals || request.normals != NormalsMode::source) {
        mesh.hasNormals = false;
        std::vector<float>().swap(mesh.normals);
    }

    // Formats read through assimp mostly give each triangle corner a vertex
    // of its own (3DS, COLLADA), so they are welded like STL.
    const bool weld = request.weld == WeldMode::on ||
                      (request.weld == WeldMode::automatic &&
                       (format.native == nullptr || format.native->weldByDefault));
    if (weld && !WeldVertices(mesh)) {
        report.failure = noMemory;
        return report;
    }

    if (!HasGeometryFor(mesh, version)) {
        const std::string v = std::to_string(version);
        report.failure =
            BadInput(mesh.lineCount() == 0
                         ? input + ": no triangles (version " + v +
                               " is made of triangles; version -1 takes vertices alone)"
                         : input + ": no triangles, only lines (version " + v +
                               " is made of triangles; version -2 takes lines, version -1 vertices "
                               "alone)");
        return report;
    }
    std::string name;
    if (LayoutOf(version)->hasName) {
        if (request.name) {
            name = *request.name;
        } else if (!mesh.name.empty()) {
            name = FitKvxName(mesh.name);
        } else {
            name = FitKvxName(std::filesystem::path(input).stem().string());
        }
    }

    // The simplification, as imported: the source's normals where kept stay
    // with their vertices, and the smooth ones are computed from what is left.
    const Layout& layout = *LayoutOf(version);
    if (request.stats) {
        MeshFigures figures;
        if (!FiguresOf(mesh, layout.recordSize, figures)) {
            report.failure = noMemory;
            return report;
        }
        report.figures.push_back(FiguresLine("before", figures));
    }
    const bool fit = request.fit && HasIndices(version) && mesh.vertexCount() > kKvxMostVertices;
    if (fit || request.simplify < 1.0) {
        SimplifyOptions simplify =
            SimplifyOptionsOf(request, request.simplify, request.simplify < 1.0);
        simplify.maxVertices = fit ? kKvxMostVertices : 0;
        SimplifyOutcome outcome;
        report.failure = Named(input, SimplifyMesh(mesh, simplify, &outcome));
        if (report.failure) return report;
        if (request.stats) report.figures.push_back(SimplifiedLine("simplified", outcome));
    }

    vertices = mesh.vertexCount();
    if (!HasIndices(version) || vertices <= kKvxMostVertices) {
        Convert(mesh, version, name, input, meshes.add(), report);
        return report;
    }
    if (!request.split || mesh.lineCount() != 0) {
        report.failure = BadInput(input + ": " + std::to_string(vertices) +
                                  (request.split ? " vertices of lines; a KVX file holds at most "
                                                   "65536 and --split divides triangles only"
                                                 : " vertices; a KVX file holds at most 65536 "
                                                   "(use --split)"));
        return report;
    }
    std::vector<ImportedMesh> parts;
    if (!SplitMesh(mesh, kKvxMostVertices, parts)) {
        report.failure = noMemory;
        return report;
    }
    // The whole mesh is no longer needed while the parts are converted.
    ImportedMesh().positions.swap(mesh.positions);
    for (ImportedMesh& part : parts) {
        if (!Convert(part, version, name, input, meshes.add(), report)) return report;
        ImportedMesh released = std::move(part);
    }
    return report;
}

// MakeMeshes, then Finish.
ImportReport Make(const ImportRequest& request, KvxMeshes& meshes, size_t& vertices) {
    bool asRead = true;
    ImportReport report = MakeMeshes(request, meshes, vertices, asRead);
    if (!report.failure) Finish(request, asRead, meshes, report);
    return report;
}

ImportReport Import(const ImportRequest& request) {
    KvxMeshes meshes;
    size_t vertices = 0;
    ImportReport report = Make(request, meshes, vertices);
    if (report.failure) return report;
    const bool levels = request.lods > 0;
    const bool split = request.split && meshes.size() > 1;
    if (!split && !levels) {
        KvxStatus why;
        if (!SaveKvx(meshes[0], request.output.c_str(), &why)) {
            report.failure = OutputFailure(request.output, why);
            return report;
        }
        report.written.push_back(request.output);
        return report;
    }
    std::vector<std::string> paths;
    std::string error;
    KvxFileSet set;
    bool written = PartPaths(request.output, meshes.size(), paths, error, levels);
    // A part or a level that is the input would replace it.
    for (size_t k = 0; written && k < paths.size(); ++k) {
        if (KvxStatus why; !CheckOutputIsNotInput(request.input.c_str(), paths[k].c_str(), &why))
            return Failed(OutputFailure(paths[k], why));
    }
    written = written && set.open(paths, &error);
    for (size_t k = 0; written && k < meshes.size(); ++k)
        written = set.write(k, meshes[k], &error);
    if (!written || !set.commit(&error)) {
        report.failure = {FailureKind::output, error, 0};
        return report;
    }
    report.written = paths;
    report.summary =
        request.input + ": " +
        (levels ? std::to_string(paths.size()) + " levels of detail: "
                : std::to_string(vertices) + " vertices in " + std::to_string(paths.size()) +
                      (paths.size() == 1 ? " part: " : " parts: "));
    for (size_t k = 0; k < paths.size(); ++k) {
        report.summary += (k ? ", " : "") + paths[k];
    }
    return report;
}

// Runs `work` and turns std::bad_alloc into a memory failure for `input`.
template <typename Work>
ImportReport Guarded(const std::string& input, Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return Failed({FailureKind::memory, input + ": out of memory", ENOMEM});
    }
}

}  // namespace

bool FormatOfName(std::string_view name, ImportFormat* format) {
    if (const NativeFormat* native = NativeFormatNamed(name)) {
        *format = {native};
    } else if (AssimpReadsExtension(name)) {
        *format = {};
    } else {
        return false;
    }
    return true;
}

ImportResult ReadMeshFile(const std::string& path, ImportFormat format, std::string_view hint,
                          const ReadOptions& options, const ReaderLimits& limits) {
    const NativeFormat* native = format.native;
    if (native == nullptr) return ReadWithAssimp(path, hint, options, limits);
    auto readFailure = [&path](const KvxStatus& why) {
        ImportResult r;
        r.error = InputFailure(path, why);
        return r;
    };
    // The file is opened once (a FIFO cannot be read twice) and mapped; a
    // stream is read in steps, each judged before the next, up to the end
    // or the size the format's start allows.
    TextFile file;
    KvxStatus why;
    if (!file.open(path.c_str(), 0, &why)) return readFailure(why);
    constexpr size_t kLeastStep = 65536;
    uint64_t most = UINT64_MAX;
    size_t checked = 0;
    for (;;) {
        const auto size = static_cast<size_t>(file.end() - file.begin());
        ImportResult refused;
        if (!native->checkStart(path, file.begin(), size, checked, file.whole(), most, refused)) {
            if (file.changed()) break;  // said below
            return refused;
        }
        checked = size;
        if (file.whole() || size >= most) break;
        size_t next = size < kLeastStep / 2 ? kLeastStep
                      : size > SIZE_MAX / 2 ? SIZE_MAX
                                            : 2 * size;
        if (most < next) next = static_cast<size_t>(most);
        if (!file.readBytes(next, &why)) return readFailure(why);
    }
    auto size = static_cast<size_t>(file.end() - file.begin());
    if (size > most) size = static_cast<size_t>(most);
    ImportResult r = native->read(path, file.begin(), size, options);
    // A mapped file that shrank under the reader read as zero bytes there.
    if (file.changed()) {
        r = ImportResult{};
        r.error = BadInput(path + ": the file changed while it was read");
    }
    return r;
}

KvxMeshes::~KvxMeshes() {
    for (OKVX& m : meshes_)
        KvxRelease(m);
}

OKVX& KvxMeshes::add() {
    meshes_.emplace_back();
    return meshes_.back();
}

ImportReport RunImport(const ImportRequest& request) {
    // Before anything is read: an output that is the input would replace it.
    if (KvxStatus why; !CheckOutputIsNotInput(request.input.c_str(), request.output.c_str(), &why))
        return Failed(OutputFailure(request.output, why));
    return Guarded(request.input, [&] { return Import(request); });
}

ImportReport ImportMeshes(const ImportRequest& request, KvxMeshes& meshes) {
    return Guarded(request.input, [&] {
        size_t vertices = 0;
        return Make(request, meshes, vertices);
    });
}

}  // namespace kvx
