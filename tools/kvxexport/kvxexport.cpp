// kvxexport: writes a KVX file as PLY (binary) or OBJ (text), the format
// chosen by the output's extension, so that other tools can open it; or as
// the text mesh (.cmsh) that its converter turns back into the same file.
#include <cstdint>
#include <string>
#include <string_view>

#include "command_line.h"
#include "meshcore/failure.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_writer.h"
#include "meshtext/text_file.h"
#include "meshview/export.h"
#include "programs.h"
#include "run_guard.h"
#include "view_loader.h"

const ProgramInfo kKvxexportInfo = {
    "kvxexport",
    "usage: kvxexport [--colour-order argb|rgba] <input.kvx> "
    "<output.ply|output.obj|output.cmsh>",
    R"(Writes a KVX file of any version with geometry (1 to 4, -1, -2) in a format
other tools read, chosen by the output's extension:
  .ply   binary PLY: positions, normals, colours (red, green, blue, alpha) and
         texture coordinates; triangles as "face", wireframe edges as "edge"
  .obj   OBJ text: v, vn, vt, f and l, the version-4 name as o (no colours)
  .cmsh  the text mesh that the file's converter (kvxconv1 to kvxconv4,
         kvxpoints, kvxwire) turns back into the same file, byte for byte;
         a file that cannot come back so is refused
Every vertex index is checked first. Prints nothing on success.

  --colour-order argb|rgba  how PLY reads the colour word: alpha, red, green,
                            blue from its high byte down (argb, the default)
                            or red, green, blue, alpha (rgba)

Example:
  kvxexport cube.kvx cube.ply
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

void Export(const Options& o) {
    RefuseOutputOverInput(o.input, o.output);
    if (o.format == ExportFormat::cmsh) return ExportCmsh(o);
    MeshView view = LoadCheckedView(o.input, mesh);
    KvxStatus why;
    bool written = o.format == ExportFormat::ply ? WritePly(view, o.colorOrder, o.output, &why)
                                                 : WriteObj(view, o.output, &why);
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
            FailUsage(DisplayName(o.output) + ": the output name must end in .ply, .obj or .cmsh");
        }
        Export(o);
    });
}
