#include "meshimport/import.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "meshcore/okvx.h"
#include "meshimport/assimp_reader.h"
#include "meshimport/file_set.h"
#include "meshimport/obj_reader.h"
#include "meshimport/off_reader.h"
#include "meshimport/ply_reader.h"
#include "meshimport/split.h"
#include "meshimport/stl_reader.h"
#include "meshimport/to_kvx.h"
#include "meshimport/weld.h"
#include "meshtext/text_file.h"
#include "paths.h"
#include "reader_support.h"
#include "same_file.h"
#include "temporary_files.h"

namespace kvx {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// The file name without its last extension.
std::string StemOf(std::string_view path) {
    std::string base = BaseOf(std::string(path));
    size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

// "<folder>/<stem>-<k>.kvx" beside `output`, for k = 1 to n. False, with
// the reason in `error`, for an output that has no file name to number
// (`sub/`, `.`, `..`) or that is not written as a regular file (a device,
// /dev/stdout: its parts would be made beside it).
bool PartPaths(const std::string& output, size_t n, std::vector<std::string>& paths,
               std::string& error) {
    size_t slash = output.rfind('/');
    std::string folder = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    std::string base = output.substr(folder.size());
    if (base.size() > 4 && Lower(base.substr(base.size() - 4)) == ".kvx") {
        base.resize(base.size() - 4);
    }
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

ImportReport Failure(ImportStatus status, std::string error) {
    ImportReport r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

// Converts `mesh` into `out`; on failure fills `report`.
bool Convert(const ImportedMesh& mesh, int32_t version, const std::string& name,
             const std::string& input, OKVX& out, ImportReport& report) {
    uint64_t bytes = 0;
    switch (ToKvx(mesh, version, name, out, &bytes)) {
        case ToKvxErrc::ok:
            return true;
        case ToKvxErrc::out_of_memory:
            report.status = ImportStatus::out_of_memory;
            report.error = input + ": out of memory" +
                           (bytes != 0 ? " (" + std::to_string(bytes) + " bytes)" : "");
            return false;
        case ToKvxErrc::no_triangles:
            report.status = ImportStatus::bad_input;
            report.error = input + ": no triangles";
            return false;
        case ToKvxErrc::too_many_vertices:
            report.status = ImportStatus::bad_input;
            report.error = input + ": " + std::to_string(mesh.vertexCount()) +
                           " vertices are too many for one file";
            return false;
    }
    return false;
}

// The meshes of an import, in memory: fills `meshes` with one, or a
// split's parts; sets report.summary's vertex count for a split.
ImportReport Make(const ImportRequest& request, KvxMeshes& meshes, size_t& vertices) {
    const std::string& input = request.input;
    ImportReport report;
    std::string badName;
    if (request.name && !IsValidKvxName(*request.name, &badName)) {
        return Failure(ImportStatus::bad_input, "the name " + badName);
    }
    if (request.version != 0 && !IsImportVersion(request.version)) {
        return Failure(ImportStatus::bad_input, "version " + std::to_string(request.version) +
                                                    " is not one kvximport writes");
    }

    // The format.
    const std::string formatName = request.format.empty() ? ExtensionOf(input) : request.format;
    ImportFormat format;
    if (!FormatOfName(formatName, &format)) {
        if (!request.format.empty()) {
            return Failure(ImportStatus::bad_input, "unknown format \"" + request.format + "\"");
        }
        if (formatName.empty()) {
            return Failure(ImportStatus::bad_input,
                           input + ": no extension to tell the format by (use --format)");
        }
        std::string what = input + ": unsupported extension \"." + formatName + "\"";
        what += HaveAssimp() ? " (neither obj, ply, stl, off nor one that assimp reads)"
                             : " (this build reads obj, ply, stl and off; other formats need "
                               "assimp)";
        return Failure(ImportStatus::bad_input, what);
    }

    // The mesh.
    ReadOptions options;
    options.colorOrder = request.colorOrder;
    ImportResult read = ReadMeshFile(input, format, formatName, options, request.readerLimits);
    if (!read.ok()) {
        bool memory = read.error.kind == ImportErrc::out_of_memory;
        report = Failure(memory ? ImportStatus::out_of_memory : ImportStatus::bad_input,
                         read.error.message);
        report.sysErrno = read.error.sysErrno;
        return report;
    }
    ImportedMesh& mesh = read.mesh;
    report.warnings = std::move(mesh.warnings);
    mesh.warnings.clear();

    const bool weld = request.weld == WeldMode::on ||
                      (request.weld == WeldMode::automatic && format == ImportFormat::stl);
    if (weld && !WeldVertices(mesh)) {
        report.status = ImportStatus::out_of_memory;
        report.error = input + ": out of memory";
        return report;
    }

    const int32_t version = request.version != 0 ? request.version : mesh.hasTexCoords ? 4 : 3;
    if (NeedsTriangles(version) && mesh.triangleCount() == 0) {
        report.status = ImportStatus::bad_input;
        report.error = input + ": no triangles (version " + std::to_string(version) +
                       " is made of triangles; version -1 takes vertices alone)";
        return report;
    }
    std::string name;
    if (version == 4) {
        if (request.name) {
            name = *request.name;
        } else if (!mesh.name.empty()) {
            name = FitKvxName(mesh.name);
        } else {
            name = FitKvxName(StemOf(input));
        }
    }

    vertices = mesh.vertexCount();
    if (!HasIndices(version) || vertices <= kKvxMostVertices) {
        Convert(mesh, version, name, input, meshes.add(), report);
        return report;
    }
    if (!request.split) {
        report.status = ImportStatus::bad_input;
        report.error = input + ": " + std::to_string(vertices) +
                       " vertices; a KVX file holds at most 65536 (use --split)";
        return report;
    }
    std::vector<ImportedMesh> parts;
    if (!SplitMesh(mesh, kKvxMostVertices, parts)) {
        report.status = ImportStatus::out_of_memory;
        report.error = input + ": out of memory";
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
    if (report.status != ImportStatus::ok) return report;
    const bool split = request.split && meshes.size() > 1;
    if (!split) {
        KvxStatus why;
        if (!SaveKvx(meshes[0], request.output.c_str(), &why)) {
            report.status = ImportStatus::write_failed;
            report.error = request.output + ": " + KvxStatusMessage(why);
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
        report.status = ImportStatus::write_failed;
        report.error = error;
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

}  // namespace

std::string ExtensionOf(std::string_view path) {
    std::string base = BaseOf(std::string(path));
    size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return base.substr(dot + 1);
}

bool FormatOfName(std::string_view name, ImportFormat* format) {
    const std::string lower = Lower(name);
    if (lower == "obj") {
        *format = ImportFormat::obj;
    } else if (lower == "ply") {
        *format = ImportFormat::ply;
    } else if (lower == "stl") {
        *format = ImportFormat::stl;
    } else if (lower == "off") {
        *format = ImportFormat::off;
    } else if (AssimpReadsExtension(lower)) {
        *format = ImportFormat::assimp;
    } else {
        return false;
    }
    return true;
}

ImportResult ReadMeshFile(const std::string& path, ImportFormat format, std::string_view hint,
                          const ReadOptions& options, const ReaderLimits& limits) {
    if (format == ImportFormat::assimp) return ReadWithAssimp(path, hint, options, limits);
    auto readFailure = [&path](const KvxStatus& why) {
        ImportResult r;
        r.error.kind = why.code == KvxErrc::out_of_memory || why.code == KvxErrc::too_large
                           ? ImportErrc::out_of_memory
                           : ImportErrc::read_failed;
        r.error.sysErrno = why.sysErrno;
        r.error.message = path + ": " + KvxStatusMessage(why);
        return r;
    };
    auto startIsPlausible = [&](const char* data, size_t size, size_t checked, bool whole,
                                uint64_t& most, ImportResult& error) {
        switch (format) {
            case ImportFormat::obj:
                return detail::CheckObjStart(path, data, size, checked, whole, most, error);
            case ImportFormat::ply:
                return detail::CheckPlyStart(path, data, size, checked, whole, most, error);
            case ImportFormat::stl:
                return detail::CheckStlStart(path, data, size, checked, whole, most, error);
            case ImportFormat::off:
                return detail::CheckOffStart(path, data, size, checked, whole, most, error);
            case ImportFormat::assimp:
                break;
        }
        return true;
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
        if (!startIsPlausible(file.begin(), size, checked, file.whole(), most, refused)) {
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
    const char* data = file.begin();
    auto size = static_cast<size_t>(file.end() - file.begin());
    if (size > most) size = static_cast<size_t>(most);
    ImportResult r;
    switch (format) {
        case ImportFormat::obj:
            r = ReadObj(path, data, size, options);
            break;
        case ImportFormat::ply:
            r = ReadPly(path, data, size, options);
            break;
        case ImportFormat::stl:
            r = ReadStl(path, data, size, options);
            break;
        case ImportFormat::off:
            r = ReadOff(path, data, size, options);
            break;
        case ImportFormat::assimp:
            break;
    }
    // A mapped file that shrank under the reader read as zero bytes there.
    if (file.changed()) {
        r = ImportResult{};
        r.error.kind = ImportErrc::bad_input;
        r.error.message = path + ": the file changed while it was read";
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
        return Failure(ImportStatus::write_failed, request.output + ": " + KvxStatusMessage(why));
    try {
        return Import(request);
    } catch (const std::bad_alloc&) {
        return Failure(ImportStatus::out_of_memory, request.input + ": out of memory");
    }
}

ImportReport ImportMeshes(const ImportRequest& request, KvxMeshes& meshes) {
    try {
        size_t vertices = 0;
        return Make(request, meshes, vertices);
    } catch (const std::bad_alloc&) {
        return Failure(ImportStatus::out_of_memory, request.input + ": out of memory");
    }
}

}  // namespace kvx
