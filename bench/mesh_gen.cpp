#include "mesh_gen.h"

#include <charconv>
#include <cstdio>

#include "gen_support.h"

namespace {

// cos and sin of 2 * pi * k / n for k below n, by repeated rotation: plain
// multiplications and additions round the same everywhere, library sines may
// not.
void Circle(uint32_t n, double c, double s, std::vector<double>& cosines,
            std::vector<double>& sines) {
    double x = 1.0, y = 0.0;
    for (uint32_t k = 0; k < n; ++k) {
        cosines.push_back(x);
        sines.push_back(y);
        double nx = x * c - y * s;
        y = y * c + x * s;
        x = nx;
    }
}

// Values of vertex i: u, v, four colour values, x, y, z.
void VertexValues(MeshKind kind, uint32_t i, uint64_t seed, double values[9]) {
    if (kind == MeshKind::random) {
        uint64_t state = seed ^ (uint64_t{i} << 32);
        for (int k = 0; k < 9; ++k)
            values[k] = Unit(state);
        values[2] = 1.0;  // opaque
        return;
    }
    static std::vector<double> cosAround, sinAround, cosTube, sinTube;
    if (cosAround.empty()) {
        Circle(kTorusAround, 0.9996988186962042, 0.024541228522912288, cosAround, sinAround);
        Circle(kTorusTube, 0.9996940572530831, 0.024734427279994954, cosTube, sinTube);
    }
    uint32_t a = i / kTorusTube, t = i % kTorusTube;
    double ring = 2.0 + 0.5 * cosTube[t];
    values[0] = a / double{kTorusAround};
    values[1] = t / double{kTorusTube};
    values[2] = 1.0;
    values[3] = values[0];
    values[4] = values[1];
    values[5] = 0.5;
    values[6] = ring * cosAround[a];
    values[7] = ring * sinAround[a];
    values[8] = 0.5 * sinTube[t];
}

void AppendNumber(std::string& out, double value) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "%.6g", value);
    out.append(text, static_cast<size_t>(n));
}

void AppendIndex(std::string& out, uint32_t value) {
    char text[16];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    out.append(text, end);
}

}  // namespace

uint32_t GeneratedVertexCount(MeshKind kind) {
    return kind == MeshKind::repeated ? kTorusAround * kTorusTube : 65536;
}

std::vector<uint16_t> GenerateTriangles(MeshKind kind, uint32_t triangles, uint64_t seed) {
    std::vector<uint16_t> indices;
    indices.reserve(3 * size_t{triangles});
    if (kind == MeshKind::random) {
        uint64_t state = ~seed;
        for (uint64_t k = 0; k < 3 * uint64_t{triangles}; ++k) {
            indices.push_back(static_cast<uint16_t>(SplitMix64(state)));
        }
        return indices;
    }
    // The grid once, then repeated (or cut short) to the count.
    std::vector<uint16_t> grid;
    auto v = [](uint32_t around, uint32_t tube) {
        return static_cast<uint16_t>(around * kTorusTube + tube);
    };
    for (uint32_t a = 0; a < kTorusAround; ++a) {
        for (uint32_t t = 0; t < kTorusTube; ++t) {
            uint32_t a1 = (a + 1) % kTorusAround, t1 = (t + 1) % kTorusTube;
            grid.insert(grid.end(), {v(a, t), v(a1, t), v(a1, t1), v(a, t), v(a1, t1), v(a, t1)});
        }
    }
    indices.resize(3 * size_t{triangles});
    for (size_t k = 0; k < indices.size(); ++k)
        indices[k] = grid[k % grid.size()];
    return indices;
}

std::string GenerateText(MeshKind kind, uint32_t valuesPerVertex, uint32_t triangles,
                         uint64_t seed) {
    uint32_t vertexCount = GeneratedVertexCount(kind);
    std::string out;
    out.reserve(size_t{vertexCount} * 10 * valuesPerVertex + size_t{triangles} * 20);
    AppendIndex(out, vertexCount);
    out += ' ';
    AppendIndex(out, triangles);
    out += '\n';
    // Which of the nine values each layout writes.
    const int first = valuesPerVertex == 9 ? 0 : valuesPerVertex == 7 ? 2 : 6;
    for (uint32_t i = 0; i < vertexCount; ++i) {
        double values[9];
        VertexValues(kind, i, seed, values);
        for (int k = first; k < 9; ++k) {
            AppendNumber(out, values[k]);
            out += k == 8 ? '\n' : ' ';
        }
    }
    std::vector<uint16_t> indices = GenerateTriangles(kind, triangles, seed);
    for (size_t k = 0; k < indices.size(); ++k) {
        AppendIndex(out, indices[k]);
        out += k % 3 == 2 ? '\n' : ' ';
    }
    if (valuesPerVertex == 9) out += kind == MeshKind::repeated ? "torus\n" : "random\n";
    return out;
}
