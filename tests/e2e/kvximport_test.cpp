// End-to-end runs of kvximport, and of kvxexport's text meshes:
//   - the defining test: a mesh given as OFF, PLY (ASCII and both binary
//     byte orders), OBJ (with and without texture coordinates) or STL, and
//     as the equivalent text mesh, gives byte-identical files from
//     kvximport and from the converter of each version;
//   - other formats through assimp (made with `assimp export`, and a
//     hand-written glTF with a node transform, points and lines);
//   - more than 65,536 vertices: refused, or split into parts;
//   - the command line and every kind of bad input;
//   - kvxexport to .cmsh and back through each converter, byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "meshcore/layout.h"
#include "test_support.h"

namespace {

RunResult Import(const std::vector<std::string>& args) {
    return RunProgram(KVXIMPORT_PATH, args);
}

// ---- One mesh in every format ----

// A vertex as decimal texts: position, colour (red, green, blue, alpha,
// values from 0 to 1) and texture coordinates.
struct Vertex {
    std::string x, y, z;
    std::string r, g, b, a;
    std::string u, v;
};

struct Mesh {
    std::vector<Vertex> vertices;
    std::vector<std::vector<int>> faces;  // polygons, 0-based
    std::string name;
};

// Awkward values: a near-tie, a subnormal, negative zero, long digit
// strings; a quad, a pentagon, a triangle, and a vertex no face uses.
Mesh Awkward() {
    Mesh m;
    m.vertices = {
        {"0", "0", "0", "1", "0", "0", "1", "0", "0.25"},
        {"1677721.7", "0.1", "-0", "0", "1", "0", "0.999", "1", "0.1"},
        {"1", "1", "1e-40", "0", "0", "1", "0.5", "1", "1"},
        {"0.30000001192092896", "1", "0", "0.2", "0.4", "0.6", "0.8", "0", "1"},
        {"2.5", "-3.75", "4.125", "0.004", "0.996", "0.5", "1", "0.5", "0.5"},
        {"-1", "0.5", "2", "1", "1", "1", "1", "0.75", "0"},
        {"9", "9", "9", "0.1", "0.1", "0.1", "0.1", "0", "0"},
    };
    m.faces = {{0, 1, 2, 3}, {1, 4, 5, 2, 0}, {3, 2, 5}};
    m.name = "awkward";
    return m;
}

std::vector<std::vector<int>> Triangles(const Mesh& m) {
    std::vector<std::vector<int>> out;
    for (const auto& f : m.faces)
        for (size_t k = 1; k + 1 < f.size(); ++k)
            out.push_back({f[0], f[k], f[k + 1]});
    return out;
}

enum class Color { none, argb, rgba };

// The text mesh of `m` for kvxconv2/3 (7 values), kvxconv4 (9, and the
// name) or kvxconv1 (3), with the vertices in `order`.
std::string Cmsh(const Mesh& m, int values, Color color, const std::vector<int>& order,
                 const std::vector<std::vector<int>>& triangles) {
    std::string out = std::to_string(order.size()) + " " + std::to_string(triangles.size()) + "\n";
    for (int i : order) {
        const Vertex& v = m.vertices[static_cast<size_t>(i)];
        if (values == 9) out += v.u + " " + v.v + " ";
        if (values >= 7) {
            if (color == Color::none) out += "1 1 1 1 ";
            if (color == Color::argb) out += v.a + " " + v.r + " " + v.g + " " + v.b + " ";
            if (color == Color::rgba) out += v.r + " " + v.g + " " + v.b + " " + v.a + " ";
        }
        out += v.x + " " + v.y + " " + v.z + "\n";
    }
    for (const auto& t : triangles)
        out +=
            std::to_string(t[0]) + " " + std::to_string(t[1]) + " " + std::to_string(t[2]) + "\n";
    if (values == 9) out += m.name + "\n";
    return out;
}

std::vector<int> Identity(size_t n) {
    std::vector<int> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = static_cast<int>(i);
    return order;
}

std::string Off(const Mesh& m, bool colors) {
    std::string out = colors ? "COFF\n" : "OFF\n";
    out += "# made by hand\n" + std::to_string(m.vertices.size()) + " " +
           std::to_string(m.faces.size()) + " 0\n";
    for (const Vertex& v : m.vertices) {
        out += v.x + " " + v.y + " " + v.z;
        if (colors) out += " " + v.r + " " + v.g + " " + v.b + " " + v.a;
        out += "\n";
    }
    for (const auto& f : m.faces) {
        out += std::to_string(f.size());
        for (int i : f)
            (out += ' ') += std::to_string(i);
        out += "\n";  // face colours are warned of (reader tests)
    }
    return out;
}

template <typename T>
void Put(std::string& out, T value, bool big) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if (big) std::reverse(bytes, bytes + sizeof(T));
    out.append(bytes, sizeof(T));
}

float F(const std::string& text) {
    return std::strtof(text.c_str(), nullptr);
}

// The byte that the importer's colour rule gives for the text value (the
// value times 255, rounded to nearest; values here are from 0 to 1).
uint8_t Byte(const std::string& text) {
    return static_cast<uint8_t>(static_cast<int>(static_cast<double>(F(text)) * 255.0 + 0.5));
}

// PLY: "ascii" with float colours in the mesh's own text, or binary with
// uchar colours (the bytes the text values pack to) and double positions
// (the floats the texts round to, widened). Extra properties and an extra
// element on the way.
std::string Ply(const Mesh& m, const std::string& format) {
    const bool ascii = format == "ascii", big = format == "binary_big_endian";
    std::string out = "ply\nformat " + format + " 1.0\ncomment awkward\n";
    out += "element vertex " + std::to_string(m.vertices.size()) + "\n";
    out += ascii ? "property float x\nproperty float y\nproperty float z\n"
                 : "property double x\nproperty double y\nproperty double z\n";
    out += "property float nx\n";
    out += ascii ? "property float red\nproperty float green\nproperty float blue\n"
                   "property float alpha\n"
                 : "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                   "property uchar alpha\n";
    out += "element face " + std::to_string(m.faces.size()) + "\n";
    out += "property list uchar uint vertex_indices\nproperty int flags\n";
    out += "element edge 1\nproperty list uchar int vertex_pair\n";
    out += "end_header\n";
    for (const Vertex& v : m.vertices) {
        if (ascii) {
            out += v.x + " " + v.y + " " + v.z + " 0.5 " + v.r + " " + v.g + " " + v.b + " " + v.a +
                   "\n";
            continue;
        }
        for (const std::string* c : {&v.x, &v.y, &v.z})
            Put(out, static_cast<double>(F(*c)), big);
        Put(out, 0.5f, big);
        for (const std::string* c : {&v.r, &v.g, &v.b, &v.a})
            Put(out, Byte(*c), big);
    }
    for (const auto& f : m.faces) {
        if (ascii) {
            out += std::to_string(f.size());
            for (int i : f)
                (out += ' ') += std::to_string(i);
            out += " 7\n";
            continue;
        }
        Put(out, static_cast<uint8_t>(f.size()), big);
        for (int i : f)
            Put(out, static_cast<uint32_t>(i), big);
        Put(out, int32_t{7}, big);
    }
    if (ascii) return out + "2 0 1\n";
    Put(out, uint8_t{2}, big);
    Put(out, int32_t{0}, big);
    Put(out, int32_t{1}, big);
    return out;
}

// The colour word that the importer's bytes give (the byte colours of
// Ply(), the rounded float colours of the others), as kvxconv3 reads it
// from text, which truncates: the text values of these bytes.
std::string ByteText(const std::string& value) {
    // The middle of the byte's interval [b / 255, (b + 1) / 255).
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", (Byte(value) + 0.5) / 255.0);
    return text;
}

Mesh WithByteColourTexts(Mesh m) {
    for (Vertex& v : m.vertices)
        for (std::string* c : {&v.r, &v.g, &v.b, &v.a})
            *c = ByteText(*c);
    return m;
}

class KvxImport : public ::testing::Test {
protected:
    // Writes `source` as in.<extension>, imports it with `options` and
    // returns the run; the file is in out().
    RunResult import(const std::string& source, const std::string& extension,
                     std::vector<std::string> options = {}) {
        WriteFile(dir.file("in." + extension), source);
        options.push_back(dir.file("in." + extension));
        options.push_back(dir.file("out.kvx"));
        return Import(options);
    }
    std::string out() const { return ReadFile(dir.file("out.kvx")); }

    // Imports and converts; expects both to succeed with the same bytes.
    void expectSame(const std::string& source, const std::string& extension, const char* converter,
                    const std::string& cmsh, std::vector<std::string> options = {}) {
        RunResult r = import(source, extension, options);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        Conversion c = Convert(converter, cmsh);
        ASSERT_EQ(c.run.exitStatus, 0) << c.run.err;
        ASSERT_GT(c.file.size(), 15u);
        EXPECT_TRUE(out() == c.file) << extension << " and " << cmsh;
    }

    TempDir dir;
};

TEST_F(KvxImport, OffGivesTheBytesOfKvxconv3) {
    const Mesh m = Awkward();
    const auto triangles = Triangles(m);
    const auto all = Identity(m.vertices.size());
    const Mesh bytes = WithByteColourTexts(m);
    expectSame(Off(m, true), "off", KVXCONV3_PATH, Cmsh(bytes, 7, Color::argb, all, triangles));
    expectSame(Off(m, false), "off", KVXCONV3_PATH, Cmsh(m, 7, Color::none, all, triangles));
    expectSame(Off(m, true), "off", KVXCONV3_PATH, Cmsh(bytes, 7, Color::rgba, all, triangles),
               {"--colour-order", "rgba"});
}

TEST_F(KvxImport, PlyInEveryEncodingGivesTheBytesOfKvxconv3) {
    const Mesh m = Awkward();
    const auto triangles = Triangles(m);
    const auto all = Identity(m.vertices.size());
    const Mesh bytes = WithByteColourTexts(m);
    expectSame(Ply(m, "ascii"), "ply", KVXCONV3_PATH, Cmsh(bytes, 7, Color::argb, all, triangles));
    for (const char* format : {"binary_little_endian", "binary_big_endian"}) {
        SCOPED_TRACE(format);
        expectSame(Ply(m, format), "ply", KVXCONV3_PATH,
                   Cmsh(bytes, 7, Color::argb, all, triangles));
        expectSame(Ply(m, format), "ply", KVXCONV3_PATH,
                   Cmsh(bytes, 7, Color::rgba, all, triangles), {"--colour-order", "rgba"});
    }
}

TEST_F(KvxImport, EveryVersionGivesTheBytesOfItsConverter) {
    const Mesh source = Awkward();
    const Mesh m = WithByteColourTexts(source);
    const auto triangles = Triangles(m);
    const auto all = Identity(m.vertices.size());
    const std::string off = Off(source, true);
    expectSame(off, "off", KVXCONV1_PATH, Cmsh(m, 3, Color::argb, all, triangles),
               {"--layout", "1"});
    expectSame(off, "off", KVXCONV2_PATH, Cmsh(m, 7, Color::argb, all, triangles),
               {"--layout", "2"});
    expectSame(off, "off", KVXPOINTS_PATH, Cmsh(m, 7, Color::argb, all, triangles),
               {"--layout", "-1"});
    expectSame(off, "off", KVXWIRE_PATH, Cmsh(m, 7, Color::argb, all, triangles),
               {"--layout", "-2"});
    // No texture coordinates: (0, 0), and the name is the file's stem.
    Mesh untextured = m;
    for (Vertex& v : untextured.vertices)
        v.u = v.v = "0";
    untextured.name = "in";
    expectSame(off, "off", KVXCONV4_PATH, Cmsh(untextured, 9, Color::argb, all, triangles),
               {"--layout", "4"});
    untextured.name = "given-name";
    expectSame(off, "off", KVXCONV4_PATH, Cmsh(untextured, 9, Color::argb, all, triangles),
               {"--layout", "4", "--name", "given-name"});
}

// OBJ of the mesh: positions, and with `textured` one vt per vertex; the
// faces name the last vertices by negative numbers.
std::string Obj(const Mesh& m, bool textured) {
    std::string out = "# awkward\no " + m.name + "\n";
    for (const Vertex& v : m.vertices)
        out += "v " + v.x + " " + v.y + " " + v.z + "\n";
    if (textured)
        for (const Vertex& v : m.vertices)
            out += "vt " + v.u + " " + v.v + "\n";
    out += "vn 0 0 1\n";
    const int n = static_cast<int>(m.vertices.size());
    for (const auto& f : m.faces) {
        out += "f";
        for (int i : f) {
            // Alternately absolute and relative.
            const std::string number = i % 2 ? std::to_string(i - n) : std::to_string(i + 1);
            out += " " + number + (textured ? "/" + number + "/1" : "//1");
        }
        out += "\n";
    }
    return out + "l 1 2\n";
}

// The vertices that `triangles` use, in the order of first use, and the
// triangles renumbered to that order.
struct FirstUse {
    std::vector<int> order;
    std::vector<std::vector<int>> triangles;
};

FirstUse InOrderOfFirstUse(const std::vector<std::vector<int>>& triangles) {
    FirstUse used;
    std::map<int, int> newIndex;
    for (const auto& t : triangles)
        for (int i : t)
            if (newIndex.emplace(i, static_cast<int>(used.order.size())).second)
                used.order.push_back(i);
    for (const auto& t : triangles)
        used.triangles.push_back({newIndex[t[0]], newIndex[t[1]], newIndex[t[2]]});
    return used;
}

TEST_F(KvxImport, ObjGivesTheBytesOfKvxconv3AndKvxconv4) {
    const Mesh m = Awkward();
    const auto triangles = Triangles(m);
    expectSame(Obj(m, false), "obj", KVXCONV3_PATH,
               Cmsh(m, 7, Color::none, Identity(m.vertices.size()), triangles));
    // With texture coordinates the vertices are the pairs in the order of
    // first use, and the unused vertex goes.
    const FirstUse used = InOrderOfFirstUse(triangles);
    ASSERT_EQ(used.order.size(), m.vertices.size() - 1);
    expectSame(Obj(m, true), "obj", KVXCONV4_PATH,
               Cmsh(m, 9, Color::none, used.order, used.triangles));
}

TEST_F(KvxImport, StlIsWeldedIntoTheBytesOfKvxconv3) {
    const Mesh m = Awkward();
    const auto triangles = Triangles(m);
    std::string ascii = "solid " + m.name + "\n";
    std::string binary(80, ' ');
    Put(binary, static_cast<uint32_t>(triangles.size()), false);
    for (const auto& t : triangles) {
        ascii += "facet normal 0 0 0\nouter loop\n";
        for (float n : {0.0f, 0.0f, 1.0f})
            Put(binary, n, false);
        for (int i : t) {
            const Vertex& v = m.vertices[static_cast<size_t>(i)];
            ascii += "vertex " + v.x + " " + v.y + " " + v.z + "\n";
            for (const std::string* c : {&v.x, &v.y, &v.z})
                Put(binary, F(*c), false);
        }
        binary += std::string(2, '\0');
        ascii += "endloop\nendfacet\n";
    }
    ascii += "endsolid\n";
    // Welded, the vertices are the used ones in the order of first use.
    const FirstUse used = InOrderOfFirstUse(triangles);
    const std::string cmsh = Cmsh(m, 7, Color::none, used.order, used.triangles);
    expectSame(ascii, "stl", KVXCONV3_PATH, cmsh);
    expectSame(binary, "stl", KVXCONV3_PATH, cmsh);
    // Not welded: three vertices per triangle.
    std::vector<int> corners;
    std::vector<std::vector<int>> separate;
    for (const auto& t : triangles) {
        int first = static_cast<int>(corners.size());
        corners.insert(corners.end(), t.begin(), t.end());
        separate.push_back({first, first + 1, first + 2});
    }
    expectSame(binary, "stl", KVXCONV3_PATH, Cmsh(m, 7, Color::none, corners, separate),
               {"--no-weld"});
    // --weld applies to any format; these vertices all differ, so the OFF
    // keeps them as they are.
    expectSame(Off(m, false), "off", KVXCONV3_PATH,
               Cmsh(m, 7, Color::none, Identity(m.vertices.size()), triangles), {"--weld"});
}

// ---- assimp ----

// Used only where the build has assimp.
[[maybe_unused]] bool HaveAssimpCommand() {
    return std::system("command -v assimp >/dev/null 2>&1") == 0;
}

struct Kvx {
    uint32_t vertices = 0, faces = 0;
    int32_t version = 0;
    std::multiset<std::tuple<float, float, float>> positions;
    std::string name;
};

// The counts, positions and name of a version-3 or -4 file.
[[maybe_unused]] Kvx Parse(const std::string& file) {
    Kvx k;
    if (file.size() < 15) return k;
    std::memcpy(&k.vertices, file.data() + 3, 4);
    std::memcpy(&k.faces, file.data() + 7, 4);
    std::memcpy(&k.version, file.data() + 11, 4);
    const size_t record = k.version == 4 ? 36 : 28, at = k.version == 4 ? 24 : 16;
    if (file.size() < 15 + k.vertices * record + k.faces * 6) return k;
    for (uint32_t i = 0; i < k.vertices; ++i) {
        float p[3];
        std::memcpy(p, file.data() + 15 + i * record + at, 12);
        k.positions.insert({p[0], p[1], p[2]});
    }
    k.name = file.substr(15 + k.vertices * record + k.faces * 6);
    return k;
}

TEST_F(KvxImport, FormatsThroughAssimp) {
#ifndef KVX_HAVE_ASSIMP
    GTEST_SKIP() << "kvximport is built without assimp";
#else
    if (!HaveAssimpCommand()) GTEST_SKIP() << "the assimp command is missing (assimp-utils)";
    const Mesh m = Awkward();
    WriteFile(dir.file("src.obj"), Obj(m, false));
    RunResult native = Import({dir.file("src.obj"), dir.file("native.kvx")});
    ASSERT_EQ(native.exitStatus, 0) << native.err;
    const Kvx expected = Parse(ReadFile(dir.file("native.kvx")));
    ASSERT_EQ(expected.faces, 6u);
    // assimp 5.2 cannot read back its own binary FBX (the ASCII one is
    // written as .fbx), and its 3MF writer names vertices out of range.
    for (auto [extension, id] :
         {std::pair{"glb", "glb2"}, std::pair{"gltf", "gltf2"}, std::pair{"dae", "collada"},
          std::pair{"fbx", "fbxa"}, std::pair{"3ds", "3ds"}, std::pair{"x", "x"},
          std::pair{"x3d", "x3d"}, std::pair{"ply", "plyb"}}) {
        SCOPED_TRACE(extension);
        const std::string converted = dir.file(std::string("src-by-assimp.") + extension);
        std::string command = "assimp export '" + dir.file("src.obj") + "' '" + converted + "' -f" +
                              id + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        RunResult r = Import({converted, dir.file("out.kvx")});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        // PLY is read by kvximport's own reader, which names the dropped
        // line that assimp writes as a face of two corners.
        EXPECT_EQ(r.err,
                  std::string(extension) == "ply"
                      ? "kvximport: " + converted + ": 1 face of fewer than 3 corners dropped\n"
                      : "");
        const Kvx k = Parse(out());
        // Every format keeps the triangles; vertices may be duplicated by
        // the exporter, positions beyond float text (3ds, x) may round.
        EXPECT_EQ(k.faces, expected.faces);
        EXPECT_EQ(k.version, 3);
        if (std::string(extension) == "glb" || std::string(extension) == "gltf") {
            std::set<std::tuple<float, float, float>> a(k.positions.begin(), k.positions.end());
            std::set<std::tuple<float, float, float>> b(expected.positions.begin(),
                                                        expected.positions.end());
            b.erase({9, 9, 9});  // the unused vertex is not exported
            EXPECT_EQ(a, b);
        }
    }
#endif
}

// A glTF with its buffer inline: one triangle in a node moved by (10, 0, 0)
// and scaled by 2, a second node without a transform holding the same mesh,
// a point and a line primitive, vertex colours and texture coordinates.
[[maybe_unused]] std::string Gltf() {
    std::string buffer;
    auto floats = [&buffer](std::initializer_list<float> values) {
        for (float v : values)
            Put(buffer, v, false);
    };
    floats({0, 0, 0, 1, 0, 0, 0, 1, 0});              // positions, 36 bytes
    floats({1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0.5f});  // colours, 48 bytes
    floats({0, 0, 1, 0, 0, 1});                       // texture coordinates, 24 bytes
    for (int i : {0, 1, 2, 0})
        Put(buffer, static_cast<uint16_t>(i), false);  // indices, 8 bytes
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    for (size_t k = 0; k < buffer.size(); k += 3) {
        auto byte = [&buffer](size_t at) {
            return at < buffer.size() ? uint32_t{static_cast<uint8_t>(buffer[at])} : 0u;
        };
        const uint32_t n = byte(k) << 16 | byte(k + 1) << 8 | byte(k + 2);
        base64 += kAlphabet[n >> 18 & 63];
        base64 += kAlphabet[n >> 12 & 63];
        base64 += k + 1 < buffer.size() ? kAlphabet[n >> 6 & 63] : '=';
        base64 += k + 2 < buffer.size() ? kAlphabet[n & 63] : '=';
    }
    return R"({
  "asset": {"version": "2.0"},
  "scene": 0,
  "scenes": [{"nodes": [0, 1]}],
  "nodes": [
    {"name": "moved", "mesh": 0, "translation": [10, 0, 0], "scale": [2, 2, 2]},
    {"mesh": 0}
  ],
  "meshes": [{"name": "flag", "primitives": [
    {"attributes": {"POSITION": 0, "COLOR_0": 1, "TEXCOORD_0": 2}, "indices": 3, "mode": 4},
    {"attributes": {"POSITION": 0}, "mode": 0},
    {"attributes": {"POSITION": 0}, "indices": 4, "mode": 1}
  ]}],
  "buffers": [{"byteLength": )" +
           std::to_string(buffer.size()) + R"(, "uri": "data:application/octet-stream;base64,)" +
           base64 + R"("}],
  "bufferViews": [
    {"buffer": 0, "byteOffset": 0, "byteLength": 36},
    {"buffer": 0, "byteOffset": 36, "byteLength": 48},
    {"buffer": 0, "byteOffset": 84, "byteLength": 24},
    {"buffer": 0, "byteOffset": 108, "byteLength": 6},
    {"buffer": 0, "byteOffset": 108, "byteLength": 4}
  ],
  "accessors": [
    {"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]},
    {"bufferView": 1, "componentType": 5126, "count": 3, "type": "VEC4"},
    {"bufferView": 2, "componentType": 5126, "count": 3, "type": "VEC2"},
    {"bufferView": 3, "componentType": 5123, "count": 3, "type": "SCALAR"},
    {"bufferView": 4, "componentType": 5123, "count": 2, "type": "SCALAR"}
  ]
})";
}

TEST_F(KvxImport, AssimpScenesWithTransformsPointsAndLines) {
#ifndef KVX_HAVE_ASSIMP
    GTEST_SKIP() << "kvximport is built without assimp";
#else
    RunResult r = import(Gltf(), "gltf");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string file = out();
    // Texture coordinates: version 4, named after the mesh.
    const Kvx k = Parse(file);
    EXPECT_EQ(k.version, 4);
    // assimp names each primitive's mesh after the glTF mesh.
    EXPECT_EQ(k.name, "flag-0");
    // Two triangles: the moved and scaled one, the one in place; points
    // and lines are gone.
    EXPECT_EQ(k.faces, 2u);
    EXPECT_EQ(k.positions,
              (std::multiset<std::tuple<float, float, float>>{
                  {10, 0, 0}, {12, 0, 0}, {10, 2, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
    ASSERT_EQ(k.vertices, 6u);
    // glTF's linear colours as sRGB bytes, rounded to nearest: (1, 0, 0, 1)
    // is 0xFFFF0000 in argb; (0, 0, 1, 0.5) is 0x800000FF.
    std::set<uint32_t> colors;
    for (uint32_t i = 0; i < 6; ++i) {
        uint32_t c;
        std::memcpy(&c, file.data() + 15 + 36 * i + 8, 4);
        colors.insert(c);
    }
    EXPECT_EQ(colors, (std::set<uint32_t>{0xFFFF0000, 0xFF00FF00, 0x800000FF}));

    // Read from memory with a format named by --format.
    WriteFile(dir.file("scene.txt"), Gltf());
    RunResult named = Import({"--format", "gltf", dir.file("scene.txt"), dir.file("named.kvx")});
    ASSERT_EQ(named.exitStatus, 0) << named.err;
    EXPECT_TRUE(ReadFile(dir.file("named.kvx")) == file);

    // assimp's own words, on one line.
    r = import("{ this is not json", "gltf");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err.rfind("kvximport: " + dir.file("in.gltf") + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_FALSE(FileExists(dir.file("out.kvx")) && ReadFile(dir.file("out.kvx")) != file);
#endif
}

// ---- More than 65,536 vertices ----

// A binary PLY grid of n x n vertices in the plane z = 0, rows in order.
std::string GridPly(uint32_t n) {
    std::string out = "ply\nformat binary_little_endian 1.0\nelement vertex " +
                      std::to_string(n * n) +
                      "\nproperty float x\nproperty float y\nproperty float z\n"
                      "element face " +
                      std::to_string(2 * (n - 1) * (n - 1)) +
                      "\nproperty list uchar int vertex_indices\nend_header\n";
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x)
            for (float v : {float(x), float(y), 0.0f})
                Put(out, v, false);
    for (uint32_t y = 0; y + 1 < n; ++y) {
        for (uint32_t x = 0; x + 1 < n; ++x) {
            const int32_t a = static_cast<int32_t>(y * n + x), b = a + 1,
                          c = a + static_cast<int32_t>(n) + 1, d = a + static_cast<int32_t>(n);
            for (auto t : {std::vector<int32_t>{a, b, c}, std::vector<int32_t>{a, c, d}}) {
                Put(out, uint8_t{3}, false);
                for (int32_t i : t)
                    Put(out, i, false);
            }
        }
    }
    return out;
}

TEST_F(KvxImport, MoreThan65536VerticesAreRefusedWithoutSplit) {
    RunResult r = import(GridPly(257), "ply");  // 66,049 vertices
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("in.ply") +
                         ": 66049 vertices; a KVX file holds at most 65536 (use --split)\n");
    EXPECT_FALSE(FileExists(dir.file("out.kvx")));
    // Exactly 65,536 fit; so does a point set of any size.
    EXPECT_EQ(import(GridPly(256), "ply").exitStatus, 0);
    RunResult points = import(GridPly(257), "ply", {"--layout", "-1"});
    EXPECT_EQ(points.exitStatus, 0) << points.err;
    EXPECT_EQ(out().size(), 15u + 16u * 66049u);
}

TEST_F(KvxImport, SplitWritesCompactPartsThatHoldEveryTriangleOnce) {
    const uint32_t n = 448;  // 200,704 vertices, 399,618 triangles
    WriteFile(dir.file("scan.ply"), GridPly(n));
    WriteFile(dir.file("scan-99.kvx"), "left alone");
    RunResult r = Import({"--split", dir.file("scan.ply"), dir.file("scan.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> parts;
    for (const std::string& name : ListFolder(dir.path())) {
        if (name.rfind("scan-", 0) == 0 && name != "scan-99.kvx") parts.push_back(name);
    }
    ASSERT_GE(parts.size(), 4u);
    std::string summary = "kvximport: " + dir.file("scan.ply") + ": 200704 vertices in " +
                          std::to_string(parts.size()) + " parts: ";
    for (size_t k = 0; k < parts.size(); ++k) {
        summary += (k ? ", " : "") + dir.file("scan-" + std::to_string(k + 1) + ".kvx");
    }
    EXPECT_EQ(r.err, summary + "\n");
    EXPECT_FALSE(FileExists(dir.file("scan.kvx")));
    EXPECT_EQ(ReadFile(dir.file("scan-99.kvx")), "left alone");

    // Each triangle once, by its corners' positions; each part at most
    // 65,536 vertices, every one of them used; compact bounding boxes.
    std::multiset<std::tuple<int, int, int>> triangles;
    double boxArea = 0;
    for (size_t k = 0; k < parts.size(); ++k) {
        OKVX m{};
        MeshGuard guard{m};
        ASSERT_EQ(m.load(dir.file("scan-" + std::to_string(k + 1) + ".kvx").c_str()), 1);
        EXPECT_EQ(m.version, 3);
        EXPECT_LE(m.vertexCount, 65536u);
        std::vector<bool> used(m.vertexCount);
        float low[2] = {1e9f, 1e9f}, high[2] = {-1e9f, -1e9f};
        for (uint32_t f = 0; f < m.faceCount; ++f) {
            int key[3];
            for (int c = 0; c < 3; ++c) {
                const uint16_t i = m.faces[3 * f + static_cast<uint32_t>(c)];
                ASSERT_LT(i, m.vertexCount);
                used[i] = true;
                const VertexkvxV3& v = m.verticesV3[i];
                key[c] = static_cast<int>(v.y) * static_cast<int>(n) + static_cast<int>(v.x);
                low[0] = std::min(low[0], v.x), high[0] = std::max(high[0], v.x);
                low[1] = std::min(low[1], v.y), high[1] = std::max(high[1], v.y);
            }
            triangles.insert({key[0], key[1], key[2]});
        }
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
        boxArea += double(high[0] - low[0]) * (high[1] - low[1]);
        EXPECT_LE(std::max(high[0] - low[0], high[1] - low[1]), 0.51f * (n - 1));
    }
    std::multiset<std::tuple<int, int, int>> expected;
    for (uint32_t y = 0; y + 1 < n; ++y) {
        for (uint32_t x = 0; x + 1 < n; ++x) {
            const int a = static_cast<int>(y * n + x), b = a + 1, c = a + static_cast<int>(n) + 1,
                      d = a + static_cast<int>(n);
            expected.insert({a, b, c});
            expected.insert({a, c, d});
        }
    }
    EXPECT_TRUE(triangles == expected);
    EXPECT_LT(boxArea, 1.1 * (n - 1) * (n - 1));
}

TEST_F(KvxImport, ASplitIsWrittenWhollyOrNotAtAll) {
    WriteFile(dir.file("scan.ply"), GridPly(300));
    WriteFile(dir.file("scan-1.kvx"), "old part");
    // A folder where the second part goes.
    ASSERT_EQ(::mkdir(dir.file("scan-2.kvx").c_str(), 0755), 0);
    RunResult r = Import({"--split", dir.file("scan.ply"), dir.file("scan.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("scan-2.kvx") + ": Is a directory\n");
    EXPECT_EQ(ReadFile(dir.file("scan-1.kvx")), "old part");
    EXPECT_EQ(ListFolder(dir.path()),
              (std::vector<std::string>{"scan-1.kvx", "scan-2.kvx", "scan.ply"}));
}

// ---- The command line ----

TEST_F(KvxImport, HelpVersionAndUsage) {
    RunResult help = Import({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("usage: kvximport [options] <input> <output.kvx>\n", 0), 0u);
    EXPECT_NE(help.out.find("Example:\n  kvximport scan.ply scan.kvx\n"), std::string::npos);
    EXPECT_EQ(help.err, "");

    // --version is the program's, wherever it stands (kvximport_front_test.cpp).
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--version"}, std::vector<std::string>{"a", "--version"}}) {
        RunResult version = Import(args);
        EXPECT_EQ(version.exitStatus, 0);
        EXPECT_EQ(version.out, "kvximport " KVX_VERSION "\n");
    }

    for (std::vector<std::string> args :
         {std::vector<std::string>{}, std::vector<std::string>{"in.off"}}) {
        RunResult usage = Import(args);
        EXPECT_EQ(usage.exitStatus, 1);
        EXPECT_EQ(usage.out, "");
        EXPECT_EQ(usage.err, "usage: kvximport [options] <input> <output.kvx>\n");
    }
    const std::string see = "; see kvximport --help\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--bogus", "a.off", "b.kvx"}, "kvximport: unknown option --bogus" + see},
        {{"a.off", "b.kvx", "--colour-order"}, "kvximport: --colour-order needs a value" + see},
        {{"--split=yes", "a.off", "b.kvx"}, "kvximport: --split takes no value" + see},
        {{"--layout", "5", "a.off", "b.kvx"},
         "kvximport: --layout: expected 1, 2, 3, 4, -1, -2, points or wire, found \"5\"\n"},
        {{"--colour-order", "bgra", "a.off", "b.kvx"},
         "kvximport: --colour-order: expected argb or rgba, found \"bgra\"\n"},
        {{"--name", "two words", "a.off", "b.kvx"},
         "kvximport: --name: the name holds white space; a name is one word\n"},
        {{"--name", std::string(256, 'n'), "a.off", "b.kvx"},
         "kvximport: --name: the name is 256 bytes long; at most 255 fit\n"},
#ifdef KVX_HAVE_ASSIMP
        {{"--format", "xyz", "a.off", "b.kvx"}, "kvximport: --format: unknown format \"xyz\"\n"},
#else
        {{"--format", "glb", "a.off", "b.kvx"},
         "kvximport: --format: unknown format \"glb\" (this build has no assimp)\n"},
#endif
    };
    for (const Case& c : cases) {
        RunResult r = Import(c.args);
        EXPECT_EQ(r.exitStatus, 1) << c.args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    // Operands beyond two are said to be ignored.
    WriteFile(dir.file("in.off"), Off(Awkward(), false));
    RunResult extra = Import({dir.file("in.off"), dir.file("out.kvx"), "c"});
    EXPECT_EQ(extra.exitStatus, 0);
    EXPECT_EQ(extra.err, "kvximport: ignoring extra argument: c\n");
}

TEST_F(KvxImport, NegativeVersionsAreValuesAndDashDashEndsOptions) {
    const Mesh m = Awkward();
    WriteFile(dir.file("-in.off"), Off(m, false));
    RunResult r = Import({"--layout", "-2", "--", dir.file("-in.off"), dir.file("out.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    int32_t version = 0;
    std::memcpy(&version, out().data() + 11, 4);
    EXPECT_EQ(version, -2);
    // A name that starts like an option, after "--", from the folder; the
    // test's working folder is put back for the tests after it.
    struct WorkingFolder {
        char previous[4096];
        bool entered;
        explicit WorkingFolder(const std::string& path)
            : entered(::getcwd(previous, sizeof previous) != nullptr &&
                      ::chdir(path.c_str()) == 0) {}
        ~WorkingFolder() {
            if (entered && ::chdir(previous) != 0) std::abort();
        }
    } inFolder(dir.path());
    ASSERT_TRUE(inFolder.entered);
    r = Import({"--layout", "-1", "--", "-in.off", "-out.kvx"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(FileExists(dir.file("-out.kvx")));
    // --format reads a file of any name.
    WriteFile(dir.file("mesh.txt"), Obj(m, false));
    r = Import({"mesh.txt", "out.kvx", "--format", "OBJ"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

// ---- Bad input ----

TEST_F(KvxImport, BadInputGetsOneLineStatus2AndNoOutput) {
    const std::string in = dir.file("in");
    struct Case {
        std::string extension;
        std::string source;
        std::string err;  // after "kvximport: <dir>/in.<extension>"
    } cases[] = {
        {"off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n# pad\n",
         ":6: face 0 names vertex 3 of 3"},
        {"off", "OFF\n3 1 0\n0 0 0\n",
         ":2: the counts promise 3 vertices and 1 face, at least 19 "
         "bytes of text, but only 6 follow"},
        {"off", "OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n",
         ": no triangles (version 3 is made of triangles; version -1 takes vertices alone)"},
        {"obj", "v 0 0 0\nv 1 0 0\nf 1 2 3\n", ":3: vertex 3 is not defined (2 so far)"},
        {"obj", "v 0 0 0\nv 1 0 x\n", ":2: expected a number, found \"x\""},
        {"ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n",
         ":4: the header "
         "has no "
         "\"end_header\" line"},
        {"stl", std::string(80, 'x') + std::string("\x05\0\0\0", 4) + std::string(50, '\0'),
         ": the header announces 5 triangles (334 bytes), but the file has 134 bytes"},
        {"stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n",
         ":4: expected \"vertex\", found end of file"},
        {"xyz", "anything", ": unsupported extension \".xyz\""},
        {"", "anything", ": no extension to tell the format by (use --format)"},
    };
    for (const Case& c : cases) {
        const std::string path = c.extension.empty() ? in : in + "." + c.extension;
        WriteFile(path, c.source);
        WriteFile(dir.file("out.kvx"), "precious");
        RunResult r = Import({path, dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 2) << c.source;
        EXPECT_EQ(r.out, "");
        if (c.extension == "xyz") {
            EXPECT_EQ(r.err.rfind("kvximport: " + path + c.err, 0), 0u) << r.err;
        } else {
            EXPECT_EQ(r.err, "kvximport: " + path + c.err + "\n");
        }
        EXPECT_EQ(ReadFile(dir.file("out.kvx")), "precious");
        ::unlink(path.c_str());
    }
    // Missing and unreadable inputs; a directory.
    RunResult missing = Import({dir.file("none.ply"), dir.file("out.kvx")});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "kvximport: " + dir.file("none.ply") + ": No such file or directory\n");
    ASSERT_EQ(::mkdir(dir.file("folder.obj").c_str(), 0755), 0);
    RunResult folder = Import({dir.file("folder.obj"), dir.file("out.kvx")});
    EXPECT_EQ(folder.exitStatus, 2);
    EXPECT_EQ(folder.err, "kvximport: " + dir.file("folder.obj") + ": Is a directory\n");
    if (::geteuid() != 0) {
        WriteFile(dir.file("locked.off"), "OFF\n0 0 0\n");
        ::chmod(dir.file("locked.off").c_str(), 0);
        RunResult locked = Import({dir.file("locked.off"), dir.file("out.kvx")});
        EXPECT_EQ(locked.exitStatus, 2);
        EXPECT_EQ(locked.err, "kvximport: " + dir.file("locked.off") + ": Permission denied\n");
    }
    EXPECT_EQ(ReadFile(dir.file("out.kvx")), "precious");
    std::vector<std::string> left = {"folder.obj", "out.kvx"};
    if (::geteuid() != 0) left.insert(left.begin() + 1, "locked.off");
    EXPECT_EQ(ListFolder(dir.path()), left);
}

// ---- Streams and what the readers accept ----

// An endless device is judged by its first bytes, whatever the format.
TEST_F(KvxImport, AnEndlessStreamIsRefusedByItsFirstBytes) {
    const std::map<std::string, std::string> expected = {
        {"ply", "not a PLY file (it does not begin with \"ply\")"},
        {"obj", "not an OBJ file (a zero byte at offset 0; OBJ is text)"},
        {"off", "not an OFF file (a zero byte at offset 0; OFF is text)"},
        // 84 zero bytes are a binary STL of no triangles; no more is read.
        {"stl", "no triangles (version 3 is made of triangles; version -1 takes vertices alone)"},
    };
    for (const auto& [format, what] : expected) {
        SCOPED_TRACE(format);
        RunResult r = Import({"--format", format, "/dev/zero", dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "kvximport: /dev/zero: " + what + "\n");
        EXPECT_FALSE(FileExists(dir.file("out.kvx")));
    }
}

// A FIFO is opened once and read once: the writer writes the mesh a single
// time, as a producer in a shell pipeline would.
TEST_F(KvxImport, AFifoIsReadOnce) {
    const std::string fifo = dir.file("mesh.off");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string mesh = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2";
    WriteFile(dir.file("mesh.txt"), mesh);
    RunResult r =
        RunProgram("/bin/sh", {"-c", "cat \"$1\" > \"$2\" & exec \"$0\" \"$2\" \"$3\"",
                               KVXIMPORT_PATH, dir.file("mesh.txt"), fifo, dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Parse(out()).faces, 1u);
}

// An endless stream of valid text is read as a file of its length would
// be, until memory runs out: status 4 and one line, no signal.
TEST_F(KvxImport, AnEndlessStreamOfValidTextEndsWithStatus4) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#else
    RunResult r = RunProgram(
        "/bin/sh", {"-c", "ulimit -v 262144 && yes 'v 0 0 0' | exec \"$0\" \"$@\"", KVXIMPORT_PATH,
                    "--format", "obj", "/dev/stdin", dir.file("out.kvx")});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitStatus, 4) << r.err;
    EXPECT_EQ(r.err.rfind("kvximport: /dev/stdin: out of memory", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_FALSE(FileExists(dir.file("out.kvx")));
#endif
}

TEST_F(KvxImport, TheReadersAcceptWhatTheyShould) {
    const std::string tri = "0 0 0\n1 0 0\n0 1 0\n";
    struct Case {
        std::string extension, source, warning;
        uint32_t faces;
    } cases[] = {
        // No line end after the last number.
        {"off", "OFF\n3 1 0\n" + tri + "3 0 1 2", "", 1},
        {"obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3", "", 1},
        // A byte-order mark first.
        {"obj", "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", "", 1},
        {"off", "\xEF\xBB\xBFOFF\n3 1 0\n" + tri + "3 0 1 2\n", "", 1},
        // Points and lines among the faces: dropped, with one warning.
        {"off", "OFF\n3 3 0\n" + tri + "1 0\n3 0 1 2\n2 1 2\n", "2 faces", 1},
        {"off", "OFF\n3 2 0\n" + tri + "3 0 1 2\n2 1 2", "1 face", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        RunResult r = import(c.source, c.extension);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, c.warning.empty() ? std::string()
                                           : "kvximport: " + dir.file("in." + c.extension) + ": " +
                                                 c.warning + " of fewer than 3 corners dropped\n");
        const Kvx k = Parse(out());
        EXPECT_EQ(k.vertices, 3u);
        EXPECT_EQ(k.faces, c.faces);
    }
    // Points alone, without a final line end, as version -1.
    RunResult r = import(
        "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
        "property float z\nend_header\n0 0 0\n1 2 3",
        "ply", {"--layout", "-1"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    uint32_t vertices = 0;
    std::memcpy(&vertices, out().data() + 3, 4);
    EXPECT_EQ(vertices, 2u);
}

TEST_F(KvxImport, ALyingStlCountIsReadWithAWarning) {
    std::string stl(80, ' ');
    Put(stl, uint32_t{0}, false);
    for (float v : {0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
        Put(stl, v, false);
    stl += std::string(2, '\0');
    RunResult r = import(stl, "stl");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("in.stl") +
                         ": the header announces 0 triangles, the file holds 1; all 1 are read\n");
    EXPECT_EQ(out().size(), 15u + 3 * 28 + 6);
}

TEST_F(KvxImport, OutputThatCannotBeWritten) {
    WriteFile(dir.file("in.off"), Off(Awkward(), false));
    RunResult r = Import({dir.file("in.off"), dir.file("no/out.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("no/out.kvx") + ": No such file or directory\n");
    RunResult dev = Import({dir.file("in.off"), "/dev/full"});
    EXPECT_EQ(dev.exitStatus, 3);
    EXPECT_EQ(dev.err, "kvximport: /dev/full: No space left on device\n");
}

// Under a 256 MiB address-space limit (not in a sanitizer build, which
// reserves terabytes at start): meshes that do not fit end with status 4 and
// one line, whether the reader or the conversion runs short.
TEST_F(KvxImport, MemoryShortGivesStatus4AndNoFile) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#else
    // 16 and 10 million vertices of zero bytes (a sparse file): the first
    // does not fit as read, the second not as a KVX mesh.
    for (uint32_t vertices : {16000000u, 10000000u}) {
        const std::string path = dir.file("big.ply");
        WriteFile(path, "ply\nformat binary_little_endian 1.0\nelement vertex " +
                            std::to_string(vertices) +
                            "\nproperty float x\nproperty float y\nproperty float z\nend_header\n");
        ASSERT_EQ(::truncate(path.c_str(),
                             static_cast<off_t>(ReadFile(path).size() + 12 * uint64_t{vertices})),
                  0);
        RunResult r =
            RunProgram("/bin/sh", {"-c", "ulimit -v 262144 && exec \"$0\" \"$@\"", KVXIMPORT_PATH,
                                   "--layout", "-1", path, dir.file("out.kvx")});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitStatus, 4) << r.err;
        EXPECT_EQ(r.err.rfind("kvximport: " + path + ": out of memory", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"big.ply"}));
    }
#endif
}

// ---- kvxexport to .cmsh and back ----

// kvxexport <file> out.cmsh, then `converter` on the text: the same bytes.
class CmshRoundTrip : public ::testing::Test {
protected:
    void expectRoundTrip(const std::string& kvx, const char* converter) {
        WriteFile(dir.file("in.kvx"), kvx);
        RunResult e = RunProgram(KVXEXPORT_PATH, {dir.file("in.kvx"), dir.file("out.cmsh")});
        ASSERT_EQ(e.exitStatus, 0) << e.err;
        EXPECT_EQ(e.err, "");
        RunResult c = RunProgram(converter, {dir.file("out.cmsh"), dir.file("back.kvx")});
        ASSERT_EQ(c.exitStatus, 0) << c.err;
        EXPECT_TRUE(ReadFile(dir.file("back.kvx")) == kvx) << ReadFile(dir.file("out.cmsh"));
    }
    std::string refusal(const std::string& kvx) {
        WriteFile(dir.file("in.kvx"), kvx);
        RunResult e = RunProgram(KVXEXPORT_PATH, {dir.file("in.kvx"), dir.file("out.cmsh")});
        EXPECT_EQ(e.exitStatus, 2);
        EXPECT_FALSE(FileExists(dir.file("out.cmsh")));
        return e.err;
    }
    std::string text() const { return ReadFile(dir.file("out.cmsh")); }

    TempDir dir;
};

// A text mesh of hard values, converted by `converter`: colour words of
// every byte value, signed zeros, subnormals, infinities, the largest
// floats, v values that need their own text.
std::string HardCmsh(int values, int vertices) {
    std::string out = std::to_string(vertices) + " " + std::to_string(vertices - 2) + "\n";
    const char* positions[] = {"0",    "-0",  "1e-45", "-1.17549435e-38", "3.4028235e38",
                               "-inf", "inf", "0.1",   "1677721.7",       "-123.456"};
    for (int i = 0; i < vertices; ++i) {
        if (values == 9) {
            out += std::string(positions[(i + 3) % 10]) + " ";
            // v: whose 1 - v is exact, and whose 1 - v rounds.
            out += std::to_string(i) + "e-7 ";
        }
        if (values >= 7) {
            for (int c = 0; c < 4; ++c) {
                char value[32];
                std::snprintf(value, sizeof value, "%.9g", ((i * 4 + c) * 37 % 256 + 0.5) / 255.0);
                out += std::string(value) + " ";
            }
        }
        out += std::string(positions[i % 10]) + " " + positions[(i + 1) % 10] + " " +
               std::to_string(i) + ".25\n";
    }
    for (int t = 0; t + 2 < vertices; ++t)
        out += std::to_string(t) + " " + std::to_string(t + 2) + " " + std::to_string(t + 1) + "\n";
    if (values == 9) out += "n\xC3\xA4me\n";
    return out;
}

TEST_F(CmshRoundTrip, EveryVersionComesBackByteForByte) {
    struct Case {
        const char* converter;
        int values;
    } cases[] = {{KVXCONV1_PATH, 3}, {KVXCONV2_PATH, 7},  {KVXCONV3_PATH, 7},
                 {KVXCONV4_PATH, 9}, {KVXPOINTS_PATH, 7}, {KVXWIRE_PATH, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.converter);
        for (int vertices : {3, 12, 64}) {
            Conversion original = Convert(c.converter, HardCmsh(c.values, vertices));
            ASSERT_EQ(original.run.exitStatus, 0) << original.run.err;
            expectRoundTrip(original.file, c.converter);
        }
    }
    // The bundled examples and test meshes, through their converters.
    const char* examples = std::getenv("KVX_EXAMPLES");
    const std::string root = examples ? examples : "examples";
    for (auto [file, converter] :
         {std::pair{"/cube3.cmsh", KVXCONV1_PATH}, std::pair{"/cube7.cmsh", KVXCONV2_PATH},
          std::pair{"/cube7.cmsh", KVXCONV3_PATH}, std::pair{"/cube9.cmsh", KVXCONV4_PATH},
          std::pair{"/cube7.cmsh", KVXWIRE_PATH}, std::pair{"/cube7.cmsh", KVXPOINTS_PATH},
          std::pair{"/../tests/data/irregular7.cmsh", KVXWIRE_PATH},
          std::pair{"/../tests/data/irregular9.cmsh", KVXCONV4_PATH}}) {
        SCOPED_TRACE(file);
        Conversion original = Convert(converter, ReadFile(root + file));
        ASSERT_EQ(original.run.exitStatus, 0) << original.run.err;
        expectRoundTrip(original.file, converter);
    }
}

TEST_F(CmshRoundTrip, TheTextOfATriangle) {
    // Version 4: u as it is, 1 - the stored v, the colour bytes as short
    // decimals, the name last.
    Conversion c = Convert(KVXCONV4_PATH,
                           "3 1\n0.5 0.25 1 0 0.5 0.004 0 0 0\n1 0.1 0 1 0 1 1 0 0\n"
                           "0 1e-7 1 1 1 1 0 1 -0\n0 1 2\ntri\n");
    ASSERT_EQ(c.run.exitStatus, 0);
    expectRoundTrip(c.file, KVXCONV4_PATH);
    EXPECT_EQ(text(),
              "3 1\n0.5 0.25 1 0 0.5 0.004 0 0 0\n1 0.1 0 1 0 1 1 0 0\n"
              "0 1e-07 1 1 1 1 0 1 -0\n0 1 2\ntri\n");
}

TEST_F(CmshRoundTrip, RefusesWhatCannotComeBack) {
    // A v that 1 - t gives for no t.
    std::string v4 = KvxHeader(1, 0, 4) + Floats({0, 1e-30f});
    AppendU32(v4, 0xFFFFFFFF);
    v4 += Floats({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(refusal(v4), "kvxexport: " + dir.file("in.kvx") +
                               ": vertex 0: the stored v 1e-30 is 1 - t for no single-precision "
                               "t\n");
    // A NaN with a payload.
    std::string v2 = KvxHeader(1, 0, 2) + V1Record(0, std::bit_cast<float>(0xFFC00123u), 0, 0);
    EXPECT_EQ(refusal(v2), "kvxexport: " + dir.file("in.kvx") +
                               ": vertex 0: x is a NaN (0xFFC00123) that no text reads back to\n");
    // Edges that kvxwire cannot write in this order.
    std::string wire = KvxHeader(4, 2, -2);
    for (int i = 0; i < 4; ++i)
        wire += V1Record(0, float(i), 0, 0);
    wire += Indices({0, 1, 2, 3});
    EXPECT_EQ(refusal(wire), "kvxexport: " + dir.file("in.kvx") +
                                 ": edge 0 (0, 1) comes from no triangle in its place: kvxwire "
                                 "cannot write these edges in this order\n");
}

// ---- assimp: welding, glTF colours, source normals, points and lines ----

#ifdef KVX_HAVE_ASSIMP

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t k = 0; k < bytes.size(); k += 3) {
        auto byte = [&bytes](size_t at) {
            return at < bytes.size() ? uint32_t{static_cast<uint8_t>(bytes[at])} : 0u;
        };
        const uint32_t n = byte(k) << 16 | byte(k + 1) << 8 | byte(k + 2);
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += k + 1 < bytes.size() ? kAlphabet[n >> 6 & 63] : '=';
        out += k + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

// One accessor of a glTF: its values' bytes, component type, count and type.
struct Accessor {
    std::string bytes;
    int component;  // 5126 float, 5123 unsigned short
    size_t count;
    std::string type;
};

std::string FloatBytes(const std::vector<float>& values) {
    std::string out;
    for (float v : values)
        Put(out, v, false);
    return out;
}

// A glTF of one node and one mesh with one primitive: accessor k is
// attribute `names[k]`, or the indices where the name is "indices".
std::string OnePrimitiveGltf(const std::vector<Accessor>& accessors,
                             const std::vector<std::string>& names, int mode) {
    std::string buffer, views, list, attributes, indices;
    for (size_t k = 0; k < accessors.size(); ++k) {
        const Accessor& a = accessors[k];
        while (buffer.size() % 4 != 0)
            buffer += '\0';
        const std::string n = std::to_string(k), sep = k ? ", " : "";
        views += sep + R"({"buffer": 0, "byteOffset": )" + std::to_string(buffer.size()) +
                 R"(, "byteLength": )" + std::to_string(a.bytes.size()) + "}";
        list += sep + R"({"bufferView": )" + n + R"(, "componentType": )" +
                std::to_string(a.component) + R"(, "count": )" + std::to_string(a.count) +
                R"(, "type": ")" + a.type + "\"}";
        if (names[k] == "indices") {
            indices = R"(, "indices": )" + n;
        } else {
            attributes +=
                std::string(attributes.empty() ? "" : ", ") + "\"" + names[k] + "\": " + n;
        }
        buffer += a.bytes;
    }
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
 "nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {)" +
           attributes + "}" + indices + R"(, "mode": )" + std::to_string(mode) + R"(}]}],
 "buffers": [{"byteLength": )" +
           std::to_string(buffer.size()) + R"(, "uri": "data:application/octet-stream;base64,)" +
           Base64(buffer) + R"("}], "bufferViews": [)" + views + "], \"accessors\": [" + list +
           "]}";
}

// The records of a KVX file of any version, by its layout.
struct Records {
    const kvx::Layout* layout = nullptr;
    uint32_t vertices = 0, faces = 0;
    const char* first = nullptr;

    template <typename T>
    T at(uint32_t i, int offset, int k = 0) const {
        T value;
        std::memcpy(&value,
                    first + size_t{i} * layout->recordSize + static_cast<size_t>(offset) +
                        static_cast<size_t>(k) * sizeof(T),
                    sizeof value);
        return value;
    }
    std::tuple<float, float, float> position(uint32_t i) const {
        const int o = layout->positionOffset;
        return {at<float>(i, o), at<float>(i, o, 1), at<float>(i, o, 2)};
    }
    std::tuple<float, float, float> normal(uint32_t i) const {
        const int o = layout->normalOffset;
        return {at<float>(i, o), at<float>(i, o, 1), at<float>(i, o, 2)};
    }
    uint32_t color(uint32_t i) const { return at<uint32_t>(i, layout->colorOffset); }
    // The 16-bit index k of the block after the records.
    uint16_t index(size_t k) const {
        uint16_t v;
        std::memcpy(&v, first + size_t{vertices} * layout->recordSize + 2 * k, 2);
        return v;
    }
};

Records RecordsOf(const std::string& file) {
    Records r;
    int32_t version = 0;
    if (file.size() < 15) return r;
    std::memcpy(&r.vertices, file.data() + 3, 4);
    std::memcpy(&r.faces, file.data() + 7, 4);
    std::memcpy(&version, file.data() + 11, 4);
    r.layout = kvx::LayoutOf(version);
    if (r.layout == nullptr || file.size() < 15 + size_t{r.vertices} * r.layout->recordSize)
        r.layout = nullptr;
    r.first = file.data() + 15;
    return r;
}

TEST_F(KvxImport, AssimpFormatsAreWeldedUnlessNoWeld) {
    for (const char* model : {"/usr/share/assimp/models/Collada/teapots.DAE",
                              "/usr/share/assimp/models/3DS/fels.3ds"}) {
        SCOPED_TRACE(model);
        if (!FileExists(model)) GTEST_SKIP() << model << " is missing (assimp-testmodels)";
        RunResult welded = Import({model, dir.file("welded.kvx")});
        ASSERT_EQ(welded.exitStatus, 0) << welded.err;
        RunResult apart = Import({"--no-weld", model, dir.file("apart.kvx")});
        ASSERT_EQ(apart.exitStatus, 0) << apart.err;
        const std::string wf = ReadFile(dir.file("welded.kvx")),
                          af = ReadFile(dir.file("apart.kvx"));
        const Records w = RecordsOf(wf), a = RecordsOf(af);
        ASSERT_TRUE(w.layout && a.layout);
        // assimp gives every triangle corner a vertex of its own.
        EXPECT_EQ(a.vertices, 3 * a.faces);
        ASSERT_EQ(w.faces, a.faces);
        // Welded: one vertex per distinct (position, colour, texture
        // coordinates), in the order of first occurrence, and every corner
        // the same point as before.
        using Key = std::tuple<float, float, float, uint32_t, float, float>;
        auto key = [](const Records& r, uint32_t i) {
            auto [x, y, z] = r.position(i);
            const int uv = r.layout->uvOffset;
            return uv == kvx::kAbsent
                       ? Key{x, y, z, r.color(i), 0.0f, 0.0f}
                       : Key{x, y, z, r.color(i), r.at<float>(i, uv), r.at<float>(i, uv, 1)};
        };
        std::vector<Key> distinct;
        std::set<Key> seen;
        for (uint32_t i = 0; i < a.vertices; ++i) {
            if (seen.insert(key(a, i)).second) distinct.push_back(key(a, i));
        }
        ASSERT_EQ(w.vertices, distinct.size());
        EXPECT_LT(w.vertices, a.vertices / 3);
        for (uint32_t i = 0; i < w.vertices; ++i)
            ASSERT_EQ(key(w, i), distinct[i]) << i;
        for (size_t k = 0; k < 3 * size_t{a.faces}; ++k)
            ASSERT_EQ(w.position(w.index(k)), a.position(a.index(k))) << k;
    }
}

TEST_F(KvxImport, GltfColoursAreLinearAndBecomeRoundedSrgbBytes) {
    // Vertex b has the linear value whose sRGB encoding is byte b exactly, in
    // red, 255 - b in green; then Blender's grey 192 (0.5271) and a value in
    // the linear segment (0.002: 6.59, 6 if truncated).
    auto linear = [](double srgb) {
        return static_cast<float>(srgb <= 0.04045 ? srgb / 12.92
                                                  : std::pow((srgb + 0.055) / 1.055, 2.4));
    };
    std::vector<float> positions, colors;
    std::vector<uint32_t> expected;
    auto add = [&](float r, float g, float b, float a, uint32_t word) {
        const float i = static_cast<float>(positions.size() / 3);
        positions.insert(positions.end(), {i, 0, 0});
        colors.insert(colors.end(), {r, g, b, a});
        expected.push_back(word);
    };
    for (uint32_t b = 0; b < 256; ++b)
        add(linear(b / 255.0), linear((255 - b) / 255.0), 0, 1,
            0xFF000000u | b << 16 | (255 - b) << 8);
    add(0.5271f, 0.5271f, 0.5271f, 0.5f, 0x80C0C0C0u);
    add(0.002f, 0, 1, 0.25f, 0x400700FFu);
    const size_t n = positions.size() / 3;
    ASSERT_EQ(n % 3, 0u);
    const std::string gltf = OnePrimitiveGltf(
        {{FloatBytes(positions), 5126, n, "VEC3"}, {FloatBytes(colors), 5126, n, "VEC4"}},
        {"POSITION", "COLOR_0"}, 4);
    for (const char* extension : {"gltf", "glb"}) {
        SCOPED_TRACE(extension);
        RunResult r = std::string(extension) == "gltf" ? import(gltf, "gltf")
                                                       : import(gltf, "txt", {"--format", "gltf"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        const std::string file = out();
        const Records k = RecordsOf(file);
        ASSERT_TRUE(k.layout);
        ASSERT_EQ(k.vertices, n);
        for (uint32_t i = 0; i < n; ++i)
            EXPECT_EQ(k.color(i), expected[i]) << "vertex " << i;
        // rgba order puts red first.
        r = import(gltf, "gltf", {"--colour-order", "rgba"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(RecordsOf(out()).color(static_cast<uint32_t>(n - 2)), 0xC0C0C080u);
    }
    // Other formats' colours are sRGB as read: the same values written by
    // assimp as COLLADA are rounded to the nearest byte.
    if (!HaveAssimpCommand()) GTEST_SKIP() << "the assimp command is missing (assimp-utils)";
    WriteFile(dir.file("c.gltf"), gltf);
    const std::string command = "assimp export '" + dir.file("c.gltf") + "' '" + dir.file("c.dae") +
                                "' -fcollada >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    RunResult r = Import({dir.file("c.dae"), dir.file("c.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string file = ReadFile(dir.file("c.kvx"));
    const Records k = RecordsOf(file);
    ASSERT_TRUE(k.layout);
    std::set<uint32_t> words;
    for (uint32_t i = 0; i < k.vertices; ++i)
        words.insert(k.color(i));
    // assimp's COLLADA keeps red, green and blue (alpha becomes 1):
    // 0.5271 * 255 = 134.4 gives 134, and 0.002 * 255 = 0.51 gives 1.
    EXPECT_EQ(words.count(0xFF868686u), 1u);
    EXPECT_EQ(words.count(0xFF0100FFu), 1u);
}

// A cube of 24 vertices, 4 a face, each with its face's normal.
std::vector<Accessor> HardCube(bool withNormals) {
    std::vector<float> positions, normals;
    std::vector<uint16_t> indices;
    for (int axis = 0; axis < 3; ++axis) {
        for (int side : {1, -1}) {
            const size_t first = positions.size() / 3;
            // Two axes across the face, in an order that faces outward.
            const int u = (axis + (side > 0 ? 1 : 2)) % 3, v = (axis + (side > 0 ? 2 : 1)) % 3;
            for (auto [a, b] :
                 {std::pair{-1, -1}, std::pair{1, -1}, std::pair{1, 1}, std::pair{-1, 1}}) {
                float p[3], nrm[3] = {0, 0, 0};
                p[axis] = static_cast<float>(side);
                p[u] = static_cast<float>(a);
                p[v] = static_cast<float>(b);
                nrm[axis] = static_cast<float>(side);
                positions.insert(positions.end(), p, p + 3);
                normals.insert(normals.end(), nrm, nrm + 3);
            }
            for (size_t c : {0u, 1u, 2u, 0u, 2u, 3u})
                indices.push_back(static_cast<uint16_t>(first + c));
        }
    }
    std::string indexBytes;
    for (uint16_t i : indices)
        Put(indexBytes, i, false);
    std::vector<Accessor> accessors = {{FloatBytes(positions), 5126, 24, "VEC3"},
                                       {indexBytes, 5123, 36, "SCALAR"}};
    if (withNormals) accessors.push_back({FloatBytes(normals), 5126, 24, "VEC3"});
    return accessors;
}

// The native readers keep the source's normals too: OBJ's "vn" per corner
// (a vertex per distinct position and normal) and PLY's nx, ny, nz.
TEST_F(KvxImport, NativeReadersKeepTheirNormalsWhenAsked) {
    // Two triangles of a folded square: the shared edge's corners carry a
    // different normal in each triangle.
    const std::string obj =
        "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 1\nvn 0 0 1\nvn 0 -0.6 0.8\n"
        "f 1//1 2//1 3//1\nf 1//2 3//2 4//2\n";
    RunResult r = import(obj, "obj", {"--normals", "source"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string file = out();
    Records k = RecordsOf(file);
    ASSERT_TRUE(k.layout);
    ASSERT_EQ(k.vertices, 6u);  // corners 1 and 3 twice, with each normal
    for (uint32_t i : {0u, 1u, 2u})
        EXPECT_EQ(k.normal(i), std::make_tuple(0.0f, 0.0f, 1.0f)) << i;
    for (uint32_t i : {3u, 4u, 5u})
        EXPECT_EQ(k.normal(i), std::make_tuple(0.0f, -0.6f, 0.8f)) << i;
    // Smooth, the default: the four positions as they were, normals computed.
    r = import(obj, "obj");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    file = out();
    EXPECT_EQ(RecordsOf(file).vertices, 4u);
    // A corner without a normal: smooth normals, with the warning.
    r = import("v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3\n", "obj",
               {"--normals", "source"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "kvximport: " + dir.file("in.obj") +
                         ": the source has no normals for every vertex; smooth normals are "
                         "computed instead\n");

    const std::string ply =
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nproperty float nx\nproperty float ny\nproperty float nz\n"
        "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
        "0 0 0 0 0 1\n1 0 0 0.6 0 0.8\n0 1 0 0 0.6 0.8\n3 0 1 2\n";
    r = import(ply, "ply", {"--normals", "source"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    file = out();
    k = RecordsOf(file);
    ASSERT_EQ(k.vertices, 3u);
    EXPECT_EQ(k.normal(0), std::make_tuple(0.0f, 0.0f, 1.0f));
    EXPECT_EQ(k.normal(1), std::make_tuple(0.6f, 0.0f, 0.8f));
    EXPECT_EQ(k.normal(2), std::make_tuple(0.0f, 0.6f, 0.8f));
}

TEST_F(KvxImport, SourceNormalsAreKeptWhenAskedAndSmoothOnesAreTheConvertersBytes) {
    const std::string cube = OnePrimitiveGltf(HardCube(true), {"POSITION", "indices", "NORMAL"}, 4);
    RunResult r = import(cube, "gltf", {"--normals", "source"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string file = out();
    Records k = RecordsOf(file);
    ASSERT_TRUE(k.layout);
    // Welded by position and normal: the 24 stay, each with its face's normal
    // exactly: the one axis its face lies across, 1 or -1.
    ASSERT_EQ(k.vertices, 24u);
    ASSERT_EQ(k.faces, 12u);
    for (uint32_t i = 0; i < 24; ++i) {
        auto [x, y, z] = k.position(i);
        const float p[3] = {x, y, z};
        const uint32_t axis = i / 8;
        const int side = i / 4 % 2 == 0 ? 1 : -1;
        float expected[3] = {0, 0, 0};
        expected[axis] = static_cast<float>(side);
        EXPECT_EQ(p[axis], expected[axis]) << i;
        EXPECT_EQ(k.normal(i), std::make_tuple(expected[0], expected[1], expected[2])) << i;
    }
    // Version 4 keeps them too; versions without normals ignore the option.
    r = import(cube, "gltf", {"--normals", "source", "--layout", "4"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    file = out();
    k = RecordsOf(file);
    ASSERT_EQ(k.vertices, 24u);
    EXPECT_EQ(k.normal(23), std::make_tuple(0.0f, 0.0f, -1.0f));
    r = import(cube, "gltf", {"--normals", "source", "--layout", "2"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(RecordsOf(out()).vertices, 8u);

    // Smooth (the default): welded by position to 8 corners, the bytes of
    // kvxconv3 for those corners in the order of first occurrence.
    Mesh corners;
    std::map<std::tuple<float, float, float>, int> number;
    std::vector<std::vector<int>> triangles;
    const std::string raw = OnePrimitiveGltf(HardCube(false), {"POSITION", "indices"}, 4);
    {
        r = import(cube, "gltf", {"--no-weld"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        file = out();
        k = RecordsOf(file);
        ASSERT_EQ(k.vertices, 24u);
        for (uint32_t t = 0; t < k.faces; ++t) {
            std::vector<int> tri;
            for (int c = 0; c < 3; ++c) {
                auto p = k.position(k.index(3 * size_t{t} + static_cast<size_t>(c)));
                auto [it, fresh] = number.emplace(p, static_cast<int>(number.size()));
                if (fresh) {
                    auto [x, y, z] = p;
                    auto text = [](float v) { return std::to_string(static_cast<int>(v)); };
                    corners.vertices.push_back(
                        {text(x), text(y), text(z), "1", "1", "1", "1", "0", "0"});
                }
                tri.push_back(it->second);
            }
            triangles.push_back(tri);
        }
    }
    ASSERT_EQ(corners.vertices.size(), 8u);
    const std::string cmsh = Cmsh(corners, 7, Color::none, Identity(8), triangles);
    expectSame(cube, "gltf", KVXCONV3_PATH, cmsh);
    expectSame(cube, "gltf", KVXCONV3_PATH, cmsh, {"--normals", "smooth"});
    expectSame(raw, "gltf", KVXCONV3_PATH, cmsh);
    // Asked for and missing: smooth, with a warning.
    r = import(raw, "gltf", {"--normals", "source"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "kvximport: " + dir.file("in.gltf") +
                         ": the source has no normals for every vertex; smooth normals are "
                         "computed instead\n");
    EXPECT_TRUE(out() == Convert(KVXCONV3_PATH, cmsh).file);

    r = import(cube, "gltf", {"--normals", "flat"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "kvximport: --normals: expected smooth or source, found \"flat\"\n");
}

TEST_F(KvxImport, GltfPointsAndLinesAreVersionsMinus1AndMinus2) {
    // Four points; three segments, the last the first reversed.
    const std::string positions = FloatBytes({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 1});
    std::string indexBytes;
    for (int i : {0, 1, 1, 2, 1, 0, 2, 3})
        Put(indexBytes, static_cast<uint16_t>(i), false);
    const std::string points = OnePrimitiveGltf({{positions, 5126, 4, "VEC3"}}, {"POSITION"}, 0);
    const std::string lines =
        OnePrimitiveGltf({{positions, 5126, 4, "VEC3"}, {indexBytes, 5123, 8, "SCALAR"}},
                         {"POSITION", "indices"}, 1);
    const std::string in = dir.file("in.gltf");

    RunResult r = import(points, "gltf");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + in +
                         ": no triangles (version 3 is made of triangles; version -1 takes "
                         "vertices alone)\n");
    EXPECT_FALSE(FileExists(dir.file("out.kvx")));
    r = import(lines, "gltf", {"--layout", "4"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + in +
                         ": no triangles, only lines (version 4 is made of triangles; version -2 "
                         "takes lines, version -1 vertices alone)\n");
    EXPECT_FALSE(FileExists(dir.file("out.kvx")));

    const std::vector<std::tuple<float, float, float>> expected = {
        {0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 1}};
    for (const std::string* source : {&points, &lines}) {
        r = import(*source, "gltf", {"--layout", "-1"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        const std::string file = out();
        const Records k = RecordsOf(file);
        ASSERT_TRUE(k.layout);
        EXPECT_EQ(k.layout->version, -1);
        ASSERT_EQ(k.vertices, 4u);
        EXPECT_EQ(k.faces, 4u);
        for (uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(k.position(i), expected[i]) << i;
    }
    // The wireframe: each segment once, in order and direction of first
    // occurrence.
    r = import(lines, "gltf", {"--layout", "-2"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string file = out();
    const Records k = RecordsOf(file);
    ASSERT_TRUE(k.layout);
    EXPECT_EQ(k.layout->version, -2);
    ASSERT_EQ(k.vertices, 4u);
    ASSERT_EQ(k.faces, 3u);
    ASSERT_EQ(file.size(), 15 + 4 * k.layout->recordSize + 3 * 4);
    const uint16_t edges[6] = {0, 1, 1, 2, 2, 3};
    for (size_t e = 0; e < 6; ++e)
        EXPECT_EQ(k.index(e), edges[e]) << e;
    // Points alone have no edges.
    r = import(points, "gltf", {"--layout", "-2"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + in +
                         ": no triangles (version -2 is made of triangles; version -1 takes "
                         "vertices alone)\n");
}

#endif

}  // namespace
