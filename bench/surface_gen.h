// Realistic text meshes for benchmarks: closed surfaces with about two
// triangles per vertex, numbers printed the way exporters print them, and
// triangles in strips and patches rather than sorted. Deterministic: the
// only floating-point operations are IEEE additions, multiplications,
// divisions and square roots (the sine is computed here, not by libm), and
// the numbers are printed by the C library, which rounds them correctly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Surface {
    std::vector<double> positions;    // x y z per vertex
    std::vector<double> texture;      // u v per vertex, each in 0..1
    std::vector<uint8_t> colours;     // r g b per vertex
    std::vector<uint32_t> triangles;  // three vertex indices each, counter-clockwise from outside
    std::string name;                 // one word, for nine values per vertex

    size_t VertexCount() const { return positions.size() / 3; }
    size_t TriangleCount() const { return triangles.size() / 3; }
};

enum class Shape {
    knot,  // a tube around a torus knot: along x around vertices, twice as many triangles
    blob,  // a geodesic sphere under smooth noise: 10 f^2 + 2 vertices, 20 f^2 triangles
};

// A tube of `around` vertices per ring and `along` rings around a (2, q)
// torus knot, its radius varied by smooth noise. The triangles go out in
// tiles of 8 x 8 grid cells, row by row within a tile, each row a strip
// whose direction alternates. Vertices are numbered ring by ring.
Surface TorusKnot(uint32_t along, uint32_t around, uint64_t seed);

// Each face of an icosahedron cut into frequency^2 triangles, projected on
// the sphere and displaced by smooth noise. The triangles go out face by
// face, each face row by row as strips of alternating direction; vertices
// are numbered in the order the triangles first name them, as exporters
// that share vertices do.
Surface Blob(uint32_t frequency, uint64_t seed);

// The shape with `vertices` vertices, or as close as its grid allows: a
// knot is exact where `vertices` has a factor near sqrt(vertices / 16)
// (1,000, 4,000, 16,000 and 65,536 have), a blob has 10 f^2 + 2 vertices.
Surface SurfaceOfSize(Shape shape, uint32_t vertices, uint64_t seed);

struct TextStyle {
    uint32_t valuesPerVertex = 7;  // 3: x y z; 7: colour, x y z; 9: u v, colour, x y z
    char notation = 'f';           // printf conversion of the positions: 'f' or 'g'
    int precision = 6;             // its precision: %.6f, %.9g, %.11g, ...
    double scale = 1.0;            // the positions are multiplied by this
    bool vertexColours = false;    // each vertex its own colour, else one for all
};

// The text mesh: the counts, one vertex per line (the alpha value first,
// always 1, then red, green and blue), one triangle per line and, for nine
// values per vertex, the name.
std::string SurfaceText(const Surface& surface, const TextStyle& style);
