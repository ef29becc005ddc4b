// kvxexport: writes a KVX file as PLY (binary) or OBJ (text), the format
// chosen by the output's extension, so that other tools can open it.
#include <string>
#include <string_view>

#include "command_line.h"
#include "meshcore/okvx.h"
#include "meshview/export.h"
#include "programs.h"
#include "run_guard.h"
#include "view_loader.h"

const ProgramInfo kKvxexportInfo = {
    "kvxexport", "usage: kvxexport [--colour-order argb|rgba] <input.kvx> <output.ply|output.obj>",
    R"(Writes a KVX file of any version with geometry (1 to 4, -1, -2) in a format
other tools read, chosen by the output's extension:
  .ply  binary PLY: positions, normals, colours (red, green, blue, alpha) and
        texture coordinates; triangles as "face", wireframe edges as "edge"
  .obj  OBJ text: v, vn, vt, f and l, the version-4 name as o (no colours)
Every vertex index is checked first. Prints nothing on success.

  --colour-order argb|rgba  how the colour word is read: alpha, red, green,
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

void Export(const Options& o) {
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
            if (!ParseColorOrder(value, &o.colorOrder)) {
                FailUsage(std::string(name) + ": expected argb or rgba, found \"" +
                          DisplayName(value) + "\"");
            }
        }
        if (!ExportFormatOf(o.output, &o.format)) {
            FailUsage(DisplayName(o.output) + ": the output name must end in .ply or .obj");
        }
        Export(o);
    });
}
