// kvximport's work from a file name to KVX files: the format chosen, the
// mesh read, welded, named, split when asked, converted and written. The
// program around it only reads its command line and reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "meshcore/okvx.h"
#include "meshimport/formats.h"
#include "meshimport/imported_mesh.h"

namespace kvx {

// The reader of a format: a native one (formats.h), or assimp.
struct ImportFormat {
    const NativeFormat* native = nullptr;  // null: through assimp
};

// The format a name stands for: a native format's name or extension (any
// letter case), else any other extension that assimp reads. False for
// anything else.
bool FormatOfName(std::string_view name, ImportFormat* format);

// Whether `name` (a --format name or an extension) is the text mesh's,
// "cmsh" in any letter case. A text mesh is not an ImportFormat: RunImport
// converts it as the converter of its layout does (ReadCmshMesh), with the
// layout the request names, else the one its counts and its number of
// values fit.
bool IsTextMeshFormat(std::string_view name);

// The mesh format that the extension of `output` names, in lower case
// ("ply"): the text mesh's, a native format's or one that assimp reads;
// empty for any other name, and for an output that exists as something
// other than a regular file (a device, a pipe: /dev/stdout), which takes
// any name. For refusing an output named as a mesh of another format.
std::string MeshFormatOfOutput(const std::string& output);

// Reads the file at `path` in `format`. `hint` is the format's name for
// assimp (see ReadWithAssimp); the native readers ignore it. A file that
// cannot be opened or read gives bad_input with errno (memory for ENOMEM).
// The input is opened once; a stream is read in steps, each judged by the
// format's start check (bad_input at once for bytes no file of the format
// begins with) and never past the size a binary header allows.
ImportResult ReadMeshFile(const std::string& path, ImportFormat format, std::string_view hint,
                          const ReadOptions& options, const ReaderLimits& limits = {});

// automatic: the formats whose files share no vertices (weldByDefault).
enum class WeldMode { automatic, on, off };

// The normals of versions 3 and 4: smooth, by the converters' bit-exact rule;
// or the source's own, where it has them.
enum class NormalsMode { smooth, source };

struct ImportRequest {
    std::string input;
    std::string output;
    std::string format;  // a name for FormatOfName; empty: the input's extension
    // 1, 2, 3, 4, -1, -2; 0: 3, or 4 when the mesh has texture coordinates (a
    // text mesh: the layout its values fit)
    int32_t version = 0;
    ColorOrder colorOrder = ColorOrder::argb;
    std::optional<std::string> name;  // must satisfy IsValidKvxName
    WeldMode weld = WeldMode::automatic;
    NormalsMode normals = NormalsMode::smooth;
    bool split = false;
    ReaderLimits readerLimits;  // the assimp worker's bounds

    // kvxopt's input: a KVX file (the extension .kvx, or the format "kvx")
    // is loaded as it is and keeps its version, its records and its name
    // (unless `name`); --layout, weld on, the rgba colour order and the
    // source's normals are refused for it (usage), as for a text mesh.
    bool readsKvx = false;
    // What is done to the mesh before it is written (optimize.h), in this
    // order: the simplification to `simplify` of its triangles (below 1;
    // above 0), or, with `fit`, to as few fewer as make a mesh of more than
    // 65,536 vertices fit one file, in a version with indices; the levels
    // of detail; the GPU order of each mesh written.
    double simplify = 1.0;
    bool fit = false;
    // The simplifier's error bound, relative to the extent; none given:
    // 0.01 where `simplify` is below 1, no bound for `fit` and `lods` alone.
    std::optional<float> error;
    bool sloppy = false;  // SimplifyOptions::sloppy
    // N above 0: N + 1 levels "<stem>-lod0.kvx" (the mesh) to
    // "<stem>-lodN.kvx" in the output's folder, level k simplified from
    // level 0 to about 1/2^k of its triangles, written as one KvxFileSet.
    uint32_t lods = 0;
    bool optimize = false;
    // ImportReport::figures: the analyzers' figures before and after.
    bool stats = false;
};

struct ImportReport {
    // None, or how the import failed: bad_input, output (the writing),
    // memory; its message one line without the program name, its sysErrno
    // that of the system call that failed to open or read the input.
    Failure failure;
    // Lines without the program name, reported whatever the status.
    std::vector<std::string> warnings;
    // The files written: the output, or the parts of a split.
    std::vector<std::string> written;
    // A split's one line: "scan.ply: 172974 vertices in 3 parts: scan-1.kvx,
    // scan-2.kvx, scan-3.kvx", or the levels': "scan.ply: 3 levels of
    // detail: scan-lod0.kvx, scan-lod1.kvx, scan-lod2.kvx". Empty otherwise.
    std::string summary;
    // With `stats`, the lines for standard output: "before: 2400
    // triangles, 1202 vertices, ACMR 1.834, ATVR 3.662, overdraw 1.215,
    // overfetch 2.041" (the mesh as read), "simplified: 1200 triangles
    // (aimed at 1200), 602 vertices, error 0.0031 of the extent", one line
    // per level ("lod1: simplified: ..."), then the figures of each mesh
    // written ("after: ...", "part 1: ...", "lod0: ...").
    std::vector<std::string> figures;
};

// Does the whole import. Nothing is written unless everything before the
// writing succeeded, and a failed write leaves no file behind (a split
// writes all its parts or none). The name, in this order: request.name, the
// source's name, the input's file name without its extension; the last two
// made valid by FitKvxName. More than 65,536 vertices in a version with
// indices is refused, or with `split` written as parts "<stem>-1.kvx",
// "<stem>-2.kvx", ... in the output's folder, <stem> being the output's file
// name without a ".kvx" ending (SplitMesh), as one KvxFileSet. A split's
// output must have a file name (not "sub/", ".", "..") and lead to a
// regular file or nothing (not a device or /dev/stdout): an output failure
// otherwise. An output that is the input file, through any link, is
// refused (output) before anything is read. Messages show file names
// as given, raw.
//
// A text mesh (IsTextMeshFormat) gives the bytes of the converter of its
// layout: request.version where set, else the one layout whose text its
// counts and values fit (3 values per vertex: version 1; 7: version 3; 9,
// with or without the name word: version 4), found by counting its tokens
// (a stream read in bounded steps, then held in memory). A text that fits
// none is bad input ("m.cmsh: 8 vertices and 12 faces take 60 (3 per
// vertex), 92 (7 per vertex) or 108 or 109 (9 per vertex, without or with a
// name) values after the counts; found 50"); one that fits several a usage
// failure naming them ("m.cmsh: the text fits 3, 7 and 9 values per vertex;
// choose with --layout 1, --layout 3 or --layout 4"). `name` replaces a
// version-4 text's name word; split, weld on, the rgba colour order and
// the source's normals are refused (usage), since the converter has none of
// them. The converter's warning on text after the last entry is a warning
// ("m.cmsh: warning: ...").
ImportReport RunImport(const ImportRequest& request);

// KVX meshes in memory, released when the holder goes.
class KvxMeshes {
public:
    KvxMeshes() = default;
    KvxMeshes(const KvxMeshes&) = delete;
    KvxMeshes& operator=(const KvxMeshes&) = delete;
    ~KvxMeshes();

    // A new, zero mesh at the end.
    OKVX& add();
    size_t size() const { return meshes_.size(); }
    OKVX& operator[](size_t k) { return meshes_[k]; }

private:
    std::vector<OKVX> meshes_;
};

// RunImport without the writing: adds the meshes it would write to
// `meshes` (one, or a split's parts in order; request.output is not used)
// and reports as it does, `written` and `summary` left empty. After a
// failure, `meshes` holds what was made so far.
ImportReport ImportMeshes(const ImportRequest& request, KvxMeshes& meshes);

}  // namespace kvx
