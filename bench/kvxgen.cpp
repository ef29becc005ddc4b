// kvxgen: writes a deterministic text mesh to standard output, for
// benchmarks.
//
//   kvxgen <values-per-vertex 3|7|9> <triangles> <repeated|random> [seed]
//
// repeated: a torus grid of 65,024 vertices whose 130,048 triangles repeat
// until the count is reached. random: random triangles over 65,536 vertices,
// from `seed` (default 1). Nine values per vertex add a name token.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gen_support.h"
#include "mesh_gen.h"

namespace {

int Usage() {
    std::fputs("usage: kvxgen <values-per-vertex 3|7|9> <triangles> <repeated|random> [seed]\n",
               stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) return Usage();
    uint64_t values = 0, triangles = 0, seed = 1;
    if (!ParseNumber(argv[1], 9, values) || (values != 3 && values != 7 && values != 9)) {
        return Usage();
    }
    if (!ParseNumber(argv[2], UINT32_MAX / 24, triangles)) return Usage();
    MeshKind kind;
    if (std::strcmp(argv[3], "repeated") == 0) {
        kind = MeshKind::repeated;
    } else if (std::strcmp(argv[3], "random") == 0) {
        kind = MeshKind::random;
    } else {
        return Usage();
    }
    if (argc == 5 && !ParseNumber(argv[4], UINT64_MAX, seed)) return Usage();

    std::string text =
        GenerateText(kind, static_cast<uint32_t>(values), static_cast<uint32_t>(triangles), seed);
    return WriteStandardOutput("kvxgen", text);
}
