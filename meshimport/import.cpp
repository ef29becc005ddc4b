#include "meshimport/import.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>

#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/file_set.h"
#include "meshimport/split.h"
#include "meshimport/to_kvx.h"
#include "meshimport/weld.h"
#include "meshtext/text_file.h"
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
               std::string& error) {
    const std::filesystem::path file(output);
    std::string base = file.filename().string();
    // The folder as written: "sub/" of "sub/m.kvx", nothing of "m.kvx".
    const std::string folder = output.substr(0, output.size() - base.size());
    if (detail::Lower(file.extension().string()) == ".kvx") base = file.stem().string();
    if (base.empty() || base == "." || base == "..") {
        error =
            output + ": no file name to number the parts after (--split writes <stem>-1.kvx, ...)";
        return false;
    }
    OutputTarget target;
    if (ResolveOutputTarget(output.c_str(), &target) == 0 && !target.replaceable) {
        error =
            output + ": not a regular file; --split writes its parts as files beside the output";
        return false;
    }
    for (size_t k = 1; k <= n; ++k)
        paths.push_back(folder + base + "-" + std::to_string(k) + ".kvx");
    return true;
}

ImportReport Failed(Failure failure) {
    ImportReport r;
    r.failure = std::move(failure);
    return r;
}

// Converts `mesh` into `out`; false, with the failure in `report`, when it
// cannot.
bool Convert(const ImportedMesh& mesh, int32_t version, const std::string& name,
             const std::string& input, OKVX& out, ImportReport& report) {
    report.failure = ToKvx(mesh, version, name, out, mesh.hasNormals);
    if (!report.failure) return true;
    report.failure.message = input + ": " + report.failure.message;
    return false;
}

// The format `request` names, or why there is none.
Failure ChooseFormat(const ImportRequest& request, std::string& name, ImportFormat& format) {
    const std::string& input = request.input;
    name = request.format.empty() ? detail::ExtensionOf(input) : request.format;
    if (FormatOfName(name, &format)) return {};
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
// split's parts; sets report.summary's vertex count for a split.
ImportReport Make(const ImportRequest& request, KvxMeshes& meshes, size_t& vertices) {
    const std::string& input = request.input;
    std::string badName;
    if (request.name && !IsValidKvxName(*request.name, &badName)) {
        return Failed(BadInput("the name " + badName));
    }
    if (request.version != 0 && !IsImportVersion(request.version)) {
        return Failed(BadInput("version " + std::to_string(request.version) +
                               " is not one kvximport writes"));
    }
    std::string formatName;
    ImportFormat format;
    if (Failure f = ChooseFormat(request, formatName, format)) return Failed(std::move(f));

    // The mesh.
    ReadOptions options;
    options.colorOrder = request.colorOrder;
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

ImportReport Import(const ImportRequest& request) {
    KvxMeshes meshes;
    size_t vertices = 0;
    ImportReport report = Make(request, meshes, vertices);
    if (report.failure) return report;
    const bool split = request.split && meshes.size() > 1;
    if (!split) {
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
    bool written =
        PartPaths(request.output, meshes.size(), paths, error) && set.open(paths, &error);
    for (size_t k = 0; written && k < meshes.size(); ++k)
        written = set.write(k, meshes[k], &error);
    if (!written || !set.commit(&error)) {
        report.failure = {FailureKind::output, error, 0};
        return report;
    }
    report.written = paths;
    report.summary = request.input + ": " + std::to_string(vertices) + " vertices in " +
                     std::to_string(paths.size()) + (paths.size() == 1 ? " part: " : " parts: ");
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
