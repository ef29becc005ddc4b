// kvxcorpus: realistic text meshes for benchmarks (see surface_gen.h).
//
//   kvxcorpus mesh <values 3|7|9> <knot|blob> <vertices> <format> [seed]
//   kvxcorpus corpus <values 3|7|9> <folder> [files] [seed]
//
// mesh: one mesh to standard output, positions scaled by 10 and printed in
// <format> (f6 for %.6f, g9 for %.9g, ...), every vertex its own colour.
// corpus: <files> meshes (default 100) into <folder>: a few tiny ones, the
// rest from 200 to 44,000 vertices spread evenly on a log scale, each with a
// shape, number format, scale and colouring drawn from the seed. The same
// seed gives the same meshes for 3, 7 and 9 values per vertex.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gen_support.h"
#include "surface_gen.h"

namespace {

int Usage() {
    std::fputs(
        "usage: kvxcorpus mesh <values 3|7|9> <knot|blob> <vertices> <format f6|g9|...> [seed]\n"
        "       kvxcorpus corpus <values 3|7|9> <folder> [files] [seed]\n",
        stderr);
    return 1;
}

// "f6" is %.6f, "g11" is %.11g.
bool ParseFormat(const char* text, TextStyle& style) {
    uint64_t precision = 0;
    if ((text[0] != 'f' && text[0] != 'g') || !ParseNumber(text + 1, 17, precision)) return false;
    style.notation = text[0];
    style.precision = static_cast<int>(precision);
    return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr && std::fclose(file) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "kvxcorpus: %s: %s\n", path.c_str(), std::strerror(errno));
    return ok;
}

int Corpus(uint32_t values, const std::string& folder, uint32_t files, uint64_t seed) {
    // Tiny meshes first: an icosahedron, blobs and a thin knot.
    static const uint32_t kTiny[] = {12, 42, 96, 162};
    const uint32_t tiny = std::min<uint32_t>(files / 25 + 1, 4);
    for (uint32_t k = 0; k < files; ++k) {
        uint64_t state = seed * 1000003u + k;
        uint32_t vertices;
        Shape shape;
        if (k < tiny) {
            vertices = kTiny[k];
            shape = vertices == 96 ? Shape::knot : Shape::blob;
            SplitMix64(state);
        } else {
            const uint32_t rest = files - tiny;
            const double at = rest > 1 ? static_cast<double>(k - tiny) / (rest - 1) : 0.0;
            vertices = static_cast<uint32_t>(200.0 * std::pow(220.0, at) + 0.5);
            shape = SplitMix64(state) % 2 == 0 ? Shape::knot : Shape::blob;
        }
        // Exporters' habits: %.6f most often, then %.9g, then 10 to 12 digits.
        static const char* const kFormats[] = {"f6", "f6", "f6",  "f6",  "g9",
                                               "g9", "g9", "g10", "g11", "g12"};
        static const double kScales[] = {0.1, 1.0, 10.0, 100.0};
        TextStyle style;
        style.valuesPerVertex = values;
        ParseFormat(kFormats[SplitMix64(state) % 10], style);
        style.scale = kScales[SplitMix64(state) % 4];
        style.vertexColours = SplitMix64(state) % 2 == 0;
        const Surface surface = SurfaceOfSize(shape, vertices, SplitMix64(state));

        char name[64];
        std::snprintf(name, sizeof name, "/%03u-%s-%zu.cmsh", k,
                      shape == Shape::knot ? "knot" : "blob", surface.VertexCount());
        if (!WriteFile(folder + name, SurfaceText(surface, style))) return 3;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Usage();
    uint64_t values = 0, seed = 1;
    if (!ParseNumber(argv[2], 9, values) || (values != 3 && values != 7 && values != 9)) {
        return Usage();
    }
    if (std::strcmp(argv[1], "corpus") == 0) {
        uint64_t files = 100;
        if (argc > 6 || (argc > 4 && !ParseNumber(argv[4], 100000, files)) ||
            (argc > 5 && !ParseNumber(argv[5], UINT32_MAX, seed))) {
            return Usage();
        }
        return Corpus(static_cast<uint32_t>(values), argv[3], static_cast<uint32_t>(files), seed);
    }
    if (std::strcmp(argv[1], "mesh") != 0 || argc < 6 || argc > 7) return Usage();
    Shape shape;
    if (std::strcmp(argv[3], "knot") == 0) {
        shape = Shape::knot;
    } else if (std::strcmp(argv[3], "blob") == 0) {
        shape = Shape::blob;
    } else {
        return Usage();
    }
    uint64_t vertices = 0;
    TextStyle style;
    style.valuesPerVertex = static_cast<uint32_t>(values);
    style.scale = 10.0;
    style.vertexColours = true;
    if (!ParseNumber(argv[4], 65536, vertices) || vertices < 12 || !ParseFormat(argv[5], style) ||
        (argc == 7 && !ParseNumber(argv[6], UINT64_MAX, seed))) {
        return Usage();
    }
    const Surface surface = SurfaceOfSize(shape, static_cast<uint32_t>(vertices), seed);
    const std::string text = SurfaceText(surface, style);
    return WriteStandardOutput("kvxcorpus", text);
}
