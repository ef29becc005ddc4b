// kvxrender: draws a KVX file into a PNG picture: triangles shaded with a
// depth buffer, wireframes as lines, point sets as dots, from one of seven
// fixed views, framed to the mesh. An empty or degenerate mesh gives an
// empty picture, not an error.
#include <charconv>
#include <string>
#include <string_view>

#include "command_line.h"
#include "meshcore/okvx.h"
#include "meshview/mesh_view.h"
#include "meshview/raster.h"
#include "png_file.h"
#include "programs.h"
#include "run_guard.h"
#include "view_loader.h"

const ProgramInfo kKvxrenderInfo = {
    "kvxrender",
    "usage: kvxrender [--size WxH] [--view front|back|left|right|top|bottom|iso] "
    "[--colour-order argb|rgba] <input.kvx> <output.png>",
    R"(Draws a KVX file of any version with geometry (1 to 4, -1, -2) into an 8-bit
RGB PNG picture, framed to the mesh: triangles with a depth buffer, shaded by
the stored vertex normals (versions 3, 4) or by each triangle's normal (1, 2);
wireframes as lines; point sets as dots. Every vertex index is checked first.
Prints nothing on success.

  --size WxH                the picture's size, each side 1 to 8192 (512x512)
  --view NAME               where the camera stands: front (+z), back, left,
                            right, top, bottom or iso (the default)
  --colour-order argb|rgba  how the colour word is read (argb, the default:
                            alpha, red, green, blue from its high byte down)

Example:
  kvxrender --size 320x320 cube.kvx cube.png
)"};

namespace {

constexpr char kProgram[] = "kvxrender";

// "WxH", each a decimal number from 1 to kMaxImageSide.
bool ParseSize(std::string_view text, uint32_t* width, uint32_t* height) {
    const char* end = text.data() + text.size();
    auto side = [end](const char* from, uint32_t* value) -> const char* {
        if (from == end || *from < '0' || *from > '9') return nullptr;
        auto [next, ec] = std::from_chars(from, end, *value);
        if (ec != std::errc{} || *value < 1 || *value > kMaxImageSide) return nullptr;
        return next;
    };
    const char* p = side(text.data(), width);
    if (p == nullptr || p == end || *p != 'x') return false;
    p = side(p + 1, height);
    return p == end;
}

struct Options {
    const char* input = nullptr;
    const char* output = nullptr;
    RenderOptions render;
};

void Render(const Options& o) {
    RefuseOutputOverInput(o.input, o.output);
    MeshView view = LoadCheckedView(o.input, mesh);
    Image image;
    if (!RenderMesh(view, o.render, &image)) {
        FailNoMemory(uint64_t{o.render.width} * o.render.height * 7);
    }
    KvxStatus why;
    if (!WritePng(image, o.output, &why)) FailOutput(DisplayName(o.output), why);
}

// The value of one option, into `o`; false when it is not one.
bool SetOption(std::string_view name, std::string_view value, Options& o) {
    if (name == "--size") return ParseSize(value, &o.render.width, &o.render.height);
    if (name == "--view") return ParseViewDirection(value, &o.render.view);
    return ParseColorOrder(value, &o.render.colorOrder);
}

std::string Expected(std::string_view name) {
    if (name == "--size") return "WxH, each side from 1 to " + std::to_string(kMaxImageSide);
    if (name == "--view") return "front, back, left, right, top, bottom or iso";
    return "argb or rgba";
}

}  // namespace

int RunKvxrender(int argc, char** argv) {
    const ProgramInfo& info = kKvxrenderInfo;
    CommandLine line;
    if (auto status = ReadCommandLine(
            argc, argv, info, {{"--size", true}, {"--view", true}, {"--colour-order", true}}, 2,
            line)) {
        return *status;
    }
    if (line.operands.size() < 2) return PrintUsage(info);
    Options o;
    return RunGuarded(info.name, [&] {
        o.input = line.operands[0];
        o.output = line.operands[1];
        for (auto [name, value] : line.options) {
            if (!SetOption(name, value, o)) FailOptionValue(name, Expected(name), value);
        }
        Render(o);
    });
}
