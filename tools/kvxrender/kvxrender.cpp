// kvxrender: draws a KVX file into a PNG picture: triangles shaded with a
// depth buffer, wireframes as lines, point sets as dots, from one of seven
// fixed views, framed to the mesh. An empty or degenerate mesh gives an
// empty picture, not an error.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshview/mesh_view.h"
#include "meshview/raster.h"
#include "png_file.h"
#include "programs.h"

namespace {

constexpr char kProgram[] = "kvxrender";
constexpr char kUsage[] =
    "usage: kvxrender <input.kvx> <output.png> [--size WxH] "
    "[--view front|back|left|right|top|bottom|iso] [--colour-order argb|rgba]\n";

// The usage line, after the problem when there is one.
int Usage(const std::string& problem = {}) {
    if (!problem.empty()) ReportError(kProgram, problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

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

struct CommandLine {
    const char* input = nullptr;
    const char* output = nullptr;
    RenderOptions options;
};

// Reads the command line; on a mistake prints the problem and the usage line
// and returns false.
bool ParseCommandLine(int argc, char** argv, CommandLine* line, int* status) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            if (positional == 2) {
                *status = Usage("unexpected argument " + std::string(arg));
                return false;
            }
            (positional++ == 0 ? line->input : line->output) = argv[i];
            continue;
        }
        if (arg != "--size" && arg != "--view" && arg != "--colour-order") {
            *status = Usage("unknown option " + std::string(arg));
            return false;
        }
        if (i + 1 == argc) {
            *status = Usage(std::string(arg) + " needs a value");
            return false;
        }
        std::string_view value = argv[++i];
        bool good = arg == "--size" ? ParseSize(value, &line->options.width, &line->options.height)
                    : arg == "--view" ? ParseViewDirection(value, &line->options.view)
                                      : ParseColorOrder(value, &line->options.colorOrder);
        if (!good) {
            std::string expected =
                arg == "--size"   ? "WxH, each side from 1 to " + std::to_string(kMaxImageSide)
                : arg == "--view" ? "front, back, left, right, top, bottom or iso"
                                  : "argb or rgba";
            *status = Usage(std::string(arg) + ": expected " + expected + ", found \"" +
                            std::string(value) + "\"");
            return false;
        }
    }
    if (positional < 2) {
        *status = Usage();
        return false;
    }
    return true;
}

int Render(const CommandLine& line) {
    MeshView view;
    std::string error;
    LoadResult loaded = LoadMeshView(line.input, mesh, &view, &error);
    if (loaded != LoadResult::ok) {
        ReportError(kProgram, std::string(line.input) + ": " + error);
        return loaded == LoadResult::no_memory ? kExitNoMemory : kExitBadInput;
    }
    Image image;
    if (!RenderMesh(view, line.options, &image)) {
        ReportError(kProgram, std::string(line.output) + ": out of memory for a " +
                                  std::to_string(line.options.width) + "x" +
                                  std::to_string(line.options.height) + " picture");
        return kExitNoMemory;
    }
    // Past a file size limit, report "File too large" rather than die.
    std::signal(SIGXFSZ, SIG_IGN);
    KvxStatus why;
    switch (WritePng(image, line.output, &why)) {
        case PngResult::ok:
            return kExitOk;
        case PngResult::write_failed:
            ReportError(kProgram, std::string(line.output) + ": " + KvxStatusMessage(why));
            return kExitWriteFailed;
        case PngResult::no_memory:
            break;
    }
    ReportError(kProgram, std::string(line.output) + ": out of memory while encoding the picture");
    return kExitNoMemory;
}

}  // namespace

int RunKvxrender(int argc, char** argv) {
    CommandLine line;
    int status = kExitOk;
    if (!ParseCommandLine(argc, argv, &line, &status)) return status;
    try {
        return Render(line);
    } catch (const std::bad_alloc&) {
        ReportError(kProgram, std::string(line.input) + ": out of memory");
        return kExitNoMemory;
    }
}
