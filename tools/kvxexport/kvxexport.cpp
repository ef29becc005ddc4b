// kvxexport: writes a KVX file as glTF (.glb, or .gltf with its .bin), PLY
// (binary), OBJ or OFF (text) or binary STL, the format chosen by the
// output's extension, so that other tools can open it; or as the text mesh
// (.cmsh) that its converter turns back into the same file.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "command_line.h"
#include "meshcore/failure.h"
#include "meshcore/okvx.h"
#include "meshimport/file_set.h"
#include "meshtext/cmsh_writer.h"
#include "meshtext/text_file.h"
#include "meshview/export.h"
#include "meshview/gltf.h"
#include "programs.h"
#include "run_guard.h"
#include "view_loader.h"

const ProgramInfo kKvxexportInfo = {
    "kvxexport",
    "usage: kvxexport [--colour-order argb|rgba] <input.kvx> "
    "<output.glb|.gltf|.ply|.obj|.off|.stl|.cmsh>",
    R"(Writes a KVX file of any version with geometry (1 to 4, -1, -2) in a format
other tools read, chosen by the output's extension:
  .glb   binary glTF 2.0: positions, normals, linear colours, texture
         coordinates, 16-bit indices; triangles, lines or points; the
         version-4 name as the mesh's and the node's name
  .gltf  the same as a JSON document with its buffer in a .bin file of the
         same name beside it (out.gltf and out.bin): both appear, or neither
  .ply   binary PLY: positions, normals, colours (red, green, blue, alpha) and
         texture coordinates; triangles as "face", wireframe edges as "edge"
  .obj   OBJ text: v with red, green and blue from 0 to 1, vn, vt, f and l,
         the version-4 name as o
  .off   OFF text (COFF): positions and colours as bytes 0 to 255; triangles,
         wireframe edges as faces of two corners, a point set without faces
  .stl   binary STL: triangles with their computed normals (no colours);
         a wireframe or a point set is refused
  .cmsh  the text mesh that the file's converter (kvxconv1 to kvxconv4,
         kvxpoints, kvxwire) turns back into the same file, byte for byte;
         a file that cannot come back so is refused
Every vertex index is checked first. Numbers in text have nine significant
digits. Prints nothing on success, but for a warning when glTF leaves out
normals that are not of unit length.

  --colour-order argb|rgba  how the colour word is read: alpha, red, green,
                            blue from its high byte down (argb, the default)
                            or red, green, blue, alpha (rgba)

Example:
  kvxexport cube.kvx cube.glb
)"};

namespace {

struct Options {
    const char* input = nullptr;
    const char* output = nullptr;
    ExportFormat format = ExportFormat::ply;
    ColorOrder colorOrder = ColorOrder::argb;
};

// The text mesh: the whole file is read, so that the check of the round
// trip sees every byte of it, even from a pipe.
void ExportCmsh(const Options& o) {
    const std::string name = DisplayName(o.input);
    TextFile input;
    KvxStatus why;
    if (!input.open(o.input, 0, &why) || !input.readTokens(UINT64_MAX, 0, &why))
        FailInput(name, why);
    const std::string_view bytes(input.begin(), static_cast<size_t>(input.end() - input.begin()));
    if (KvxLoadMemory(mesh, bytes.data(), bytes.size(), &why) == 0 &&
        why.code != KvxErrc::unsupported_version) {
        FailInput(name, why);
    }
    // The view checks every index, as PlanCmsh requires.
    MeshView view;
    std::string problem;
    if (!MakeMeshView(mesh, &view, &problem)) FailBadInput(name + ": " + problem);
    CmshPlan plan;
    if (kvx::Failure f = PlanCmsh(mesh, bytes, &plan))
        Fail({f.kind, name + ": " + f.message, f.sysErrno});
    input.close();
    if (!WriteCmsh(mesh, plan, o.output, &why)) FailOutput(DisplayName(o.output), why);
}

// The .gltf's buffer: the output's name with .bin for its extension.
std::string BufferPathOf(const char* output) {
    return std::filesystem::path(output).replace_extension(".bin").string();
}

void ExportGltf(const Options& o, const MeshView& view) {
    const std::string generator = std::string("kvxexport ") + ProgramVersion();
    const bool binary = o.format == ExportFormat::glb;
    const std::string bufferPath = binary ? "" : BufferPathOf(o.output);
    if (!binary) RefuseOutputOverInput(o.input, bufferPath.c_str());
    const std::string bufferUri =
        binary ? "" : UriOfFileName(std::filesystem::path(bufferPath).filename().string());
    GltfParts parts;
    std::string problem;
    if (!MakeGltf(view, o.colorOrder, generator, bufferUri, &parts, &problem))
        FailBadInput(DisplayName(o.input) + ": " + problem);
    if (!parts.warning.empty())
        ReportWarning(kKvxexportInfo.name, DisplayName(o.output), parts.warning);
    if (binary) {
        KvxStatus why;
        if (!WriteGlb(parts, o.output, &why)) FailOutput(DisplayName(o.output), why);
        return;
    }
    // The document and its buffer as one set: both files, or neither.
    kvx::KvxFileSet set;
    std::string error;
    if (!set.open({o.output, bufferPath}, &error) || !set.write(0, parts.json, &error) ||
        !set.write(1, parts.buffer, &error) || !set.commit(&error)) {
        Fail({kvx::FailureKind::output, error, 0});
    }
}

void Export(const Options& o) {
    RefuseOutputOverInput(o.input, o.output);
    if (o.format == ExportFormat::cmsh) return ExportCmsh(o);
    MeshView view = LoadCheckedView(o.input, mesh);
    if (o.format == ExportFormat::glb || o.format == ExportFormat::gltf) return ExportGltf(o, view);
    if (o.format == ExportFormat::stl && view.primitive != Primitive::triangles) {
        FailBadInput(DisplayName(o.input) + ": " +
                     (view.primitive == Primitive::lines ? "a wireframe" : "a point set") +
                     " (version " + std::to_string(view.version) +
                     ") has no triangles, which are all STL holds");
    }
    KvxStatus why;
    bool written = false;
    switch (o.format) {
        case ExportFormat::ply:
            written = WritePly(view, o.colorOrder, o.output, &why);
            break;
        case ExportFormat::obj:
            written = WriteObj(view, o.colorOrder, o.output, &why);
            break;
        case ExportFormat::off:
            written = WriteOff(view, o.colorOrder, o.output, &why);
            break;
        case ExportFormat::stl:
            written = WriteStl(view, o.output, &why);
            break;
        default:
            break;
    }
    if (!written) FailOutput(DisplayName(o.output), why);
}

}  // namespace

int RunKvxexport(int argc, char** argv) {
    const ProgramInfo& info = kKvxexportInfo;
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, info, {{"--colour-order", true}}, 2, line))
        return *status;
    if (line.operands.size() < 2) return PrintUsage(info);
    Options o;
    return RunGuarded(info.name, [&] {
        o.input = line.operands[0];
        o.output = line.operands[1];
        for (auto [name, value] : line.options) {
            if (!ParseColorOrder(value, &o.colorOrder))
                FailOptionValue(name, "argb or rgba", value);
        }
        if (!ExportFormatOf(o.output, &o.format)) {
            FailUsage(DisplayName(o.output) +
                      ": the output name must end in .glb, .gltf, .ply, .obj, .off, .stl "
                      "or .cmsh");
        }
        Export(o);
    });
}
