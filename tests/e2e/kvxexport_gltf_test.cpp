// kvxexport's glTF: the exact document and buffer of a small mesh, the
// colour encoding's round trip for every byte, the meshes glTF cannot hold,
// normals that are not of unit length, the .gltf and its .bin written as
// one set, and every bundled example read back through kvximport (assimp).
// The Khronos validator and three.js check the files too (web/test/gltf.test.js).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "meshview/gltf.h"
#include "test_support.h"

namespace {

RunResult Export(const std::vector<std::string>& args) {
    return RunProgram(KVXEXPORT_PATH, args);
}

// The standard sRGB encoding, written here from its definition.
double EncodeSrgb(double linear) {
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

TEST(GltfColour, EveryByteComesBackThroughTheStandardEncoding) {
    for (int c = 0; c < 256; ++c) {
        const float linear = LinearOfSrgb(static_cast<uint8_t>(c));
        EXPECT_EQ(std::lround(EncodeSrgb(linear) * 255), c) << c;
        // Within a float's rounding of the exact decoding.
        const double s = c / 255.0;
        const double exact = s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        EXPECT_NEAR(linear, exact, 1e-7 * exact + 1e-12) << c;
    }
    EXPECT_EQ(LinearOfSrgb(0), 0.0f);
    EXPECT_EQ(LinearOfSrgb(255), 1.0f);
}

TEST(GltfUri, OnlyUnreservedBytesStand) {
    EXPECT_EQ(UriOfFileName("mesh-1_a.b~.bin"), "mesh-1_a.b~.bin");
    EXPECT_EQ(UriOfFileName("a b#?%/\xC3\xA4.bin"), "a%20b%23%3F%25%2F%C3%A4.bin");
}

// A version-4 triangle: u, stored v, colour, normal, position; and a name.
std::string TriangleV4(const std::string& name, float normalZ = 1.0f) {
    std::string f = KvxHeader(3, 1, 4);
    auto vertex = [&](float u, float v, uint32_t color, float x, float y, float z) {
        f += Floats({u, v});
        AppendU32(f, color);
        f += Floats({0.0f, 0.0f, normalZ, x, y, z});
    };
    vertex(0.25f, 1.0f, 0x80FF0000u, 0.0f, -2.0f, 0.0f);
    vertex(1.0f, 0.75f, 0xFF00FF0Au, 1.0f, 0.0f, 0.1f);
    vertex(0.0f, 0.0f, 0x000000FFu, -0.5f, 1.0f, 0.5f);
    f += Indices({0, 1, 2});
    return f + name;
}

uint32_t U32At(const std::string& s, size_t at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

struct Glb {
    std::string json, buffer;
};

// The two chunks of a .glb, with its header and chunk heads checked.
Glb ReadGlb(const std::string& bytes) {
    Glb glb;
    EXPECT_GE(bytes.size(), 28u);
    if (bytes.size() < 28) return glb;
    EXPECT_EQ(bytes.substr(0, 4), "glTF");
    EXPECT_EQ(U32At(bytes, 4), 2u);
    EXPECT_EQ(U32At(bytes, 8), bytes.size());
    const uint32_t jsonLength = U32At(bytes, 12);
    EXPECT_EQ(jsonLength % 4, 0u);
    EXPECT_EQ(bytes.substr(16, 4), "JSON");
    glb.json = bytes.substr(20, jsonLength);
    const size_t bin = 20 + size_t{jsonLength};
    const uint32_t binLength = U32At(bytes, bin);
    EXPECT_EQ(binLength % 4, 0u);
    EXPECT_EQ(bytes.substr(bin + 4, 4), std::string("BIN\0", 4));
    EXPECT_EQ(bin + 8 + binLength, bytes.size());
    glb.buffer = bytes.substr(bin + 8, binLength);
    while (!glb.json.empty() && glb.json.back() == ' ')
        glb.json.pop_back();
    return glb;
}

std::string LinearFloats(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    auto decode = [](uint8_t c) {
        double s = c / 255.0;
        return static_cast<float>(s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4));
    };
    return Floats({decode(r), decode(g), decode(b), static_cast<float>(a / 255.0)});
}

class KvxExportGltf : public ::testing::Test {
protected:
    RunResult run(const std::string& kvx, const std::string& output,
                  std::vector<std::string> options = {}) {
        WriteFile(dir.file("in.kvx"), kvx);
        options.push_back(dir.file("in.kvx"));
        options.push_back(dir.file(output));
        return Export(options);
    }
    TempDir dir;
};

const std::string kTriangleJson =
    R"({"asset":{"version":"2.0","generator":"kvxexport )" KVX_VERSION R"("},)"
    R"("scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"name":"tri \"1\""}],)"
    R"("meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"COLOR_0":2,)"
    R"("TEXCOORD_0":3},"indices":4,"mode":4}],"name":"tri \"1\""}],)"
    R"("buffers":[{"byteLength":150}],"bufferViews":[)"
    R"({"buffer":0,"byteOffset":0,"byteLength":36,"target":34962},)"
    R"({"buffer":0,"byteOffset":36,"byteLength":36,"target":34962},)"
    R"({"buffer":0,"byteOffset":72,"byteLength":48,"target":34962},)"
    R"({"buffer":0,"byteOffset":120,"byteLength":24,"target":34962},)"
    R"({"buffer":0,"byteOffset":144,"byteLength":6,"target":34963}],"accessors":[)"
    R"({"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
    R"("min":[-0.5,-2,0],"max":[1,1,0.5]},)"
    R"({"bufferView":1,"componentType":5126,"count":3,"type":"VEC3"},)"
    R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC4"},)"
    R"({"bufferView":3,"componentType":5126,"count":3,"type":"VEC2"},)"
    R"({"bufferView":4,"componentType":5123,"count":3,"type":"SCALAR"}]})";

TEST_F(KvxExportGltf, TheDocumentAndBufferOfATriangle) {
    RunResult r = run(TriangleV4("tri \"1\""), "out.glb");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    Glb glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_EQ(glb.json, kTriangleJson);
    // 150 bytes, padded with two zero bytes.
    std::string buffer = Floats({0, -2, 0, 1, 0, 0.1f, -0.5f, 1, 0.5f});
    buffer += Floats({0, 0, 1, 0, 0, 1, 0, 0, 1});
    buffer += LinearFloats(0xFF, 0, 0, 0x80) + LinearFloats(0, 0xFF, 0x0A, 0xFF) +
              LinearFloats(0, 0, 0xFF, 0);
    buffer += Floats({0.25f, 1.0f, 1.0f, 0.75f, 0.0f, 0.0f});  // as stored
    buffer += Indices({0, 1, 2}) + Bytes({0, 0});
    EXPECT_EQ(glb.buffer, buffer);

    // rgba reads the colour word from its top byte.
    ASSERT_EQ(run(TriangleV4(""), "out.glb", {"--colour-order", "rgba"}).exitStatus, 0);
    glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_EQ(glb.buffer.substr(72, 48), LinearFloats(0x80, 0xFF, 0, 0) +
                                             LinearFloats(0xFF, 0, 0xFF, 0x0A) +
                                             LinearFloats(0, 0, 0, 0xFF));
    EXPECT_EQ(glb.json.find("\"name\""), std::string::npos);

    // The .gltf: the same document, its buffer in out.bin, unpadded.
    ASSERT_EQ(run(TriangleV4("tri \"1\""), "out.gltf").exitStatus, 0);
    std::string json = kTriangleJson;
    json.replace(json.find("\"byteLength\":150"), 0, "\"uri\":\"out.bin\",");
    EXPECT_EQ(ReadFile(dir.file("out.gltf")), json);
    EXPECT_EQ(ReadFile(dir.file("out.bin")), buffer.substr(0, 150));
}

TEST_F(KvxExportGltf, NamesBecomeJsonStrings) {
    struct Case {
        std::string name, json;
    };
    for (const Case& c : std::vector<Case>{
             {"a\\b\nc", R"("a\\b\u000ac")"},
             {std::string("x\0y", 3), R"("x\u0000y")"},
             {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x99\x82", "\"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x99\x82\""},
             // A lone continuation byte, an overlong form, a surrogate, a cut sequence.
             {"\x80|\xC0\xAF|\xED\xA0\x80|\xE2\x82",
              "\"\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|"
              "\xEF\xBF\xBD\xEF\xBF\xBD\""},
         }) {
        ASSERT_EQ(run(TriangleV4(c.name), "out.glb").exitStatus, 0);
        std::string json = ReadGlb(ReadFile(dir.file("out.glb"))).json;
        EXPECT_NE(json.find("\"nodes\":[{\"mesh\":0,\"name\":" + c.json + "}]"), std::string::npos)
            << json;
    }
}

// Version 1 records: colour, position.
std::string V1(int32_t version, std::vector<CVector> positions, std::vector<uint16_t> indices,
               uint32_t groups) {
    std::string f = KvxHeader(static_cast<uint32_t>(positions.size()), groups, version);
    for (CVector p : positions)
        f += V1Record(0xFF112233u, p.x, p.y, p.z);
    for (uint16_t i : indices)
        AppendU16(f, i);
    return f;
}

TEST_F(KvxExportGltf, MeshesGltfCannotHoldAreRefused) {
    struct Case {
        std::string kvx, message;
    };
    const float nan = std::nanf("");
    for (const Case& c : std::vector<Case>{
             {V1(1, {}, {}, 0), "the mesh has no vertices, which glTF cannot hold"},
             {V1(-1, {}, {}, 0), "the mesh has no vertices, which glTF cannot hold"},
             {V1(1, {{0, 0, 0}}, {}, 0), "the mesh has no triangles, which glTF cannot hold"},
             {V1(-2, {{0, 0, 0}}, {}, 0), "the mesh has no edges, which glTF cannot hold"},
             {V1(-1, {{0, 0, 0}, {1, nan, 0}}, {}, 0),
              "vertex 1's position is not finite, which glTF cannot hold"},
             {V1(1, {{0, 0, 0}, {1, 1, 1}, {INFINITY, 0, 0}}, {0, 1, 2}, 1),
              "vertex 2's position is not finite, which glTF cannot hold"},
         }) {
        for (const char* output : {"out.glb", "out.gltf"}) {
            WriteFile(dir.file(output), "precious");
            RunResult r = run(c.kvx, output);
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_EQ(r.err, "kvxexport: " + dir.file("in.kvx") + ": " + c.message + "\n");
            EXPECT_EQ(ReadFile(dir.file(output)), "precious");
        }
    }
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.kvx", "out.glb", "out.gltf"}));

    // Texture coordinates must be finite too.
    std::string v4 = TriangleV4("");
    const float inf = INFINITY;
    std::memcpy(&v4[15 + 36 + 4], &inf, 4);  // the second vertex's stored v
    RunResult r = run(v4, "out.glb");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxexport: " + dir.file("in.kvx") +
                         ": vertex 1's texture coordinates are not finite, which glTF cannot "
                         "hold\n");
}

TEST_F(KvxExportGltf, NormalsThatAreNotOfUnitLength) {
    // Within 0.0005 of unit length: written as stored.
    ASSERT_EQ(run(TriangleV4("", 1.0004f), "out.glb").exitStatus, 0);
    Glb glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_EQ(glb.buffer.substr(36, 36), Floats({0, 0, 1.0004f, 0, 0, 1.0004f, 0, 0, 1.0004f}));
    // Beyond: left out, with a warning.
    for (float z : {1.0006f, 0.0f}) {
        RunResult r = run(TriangleV4("", z), "out.glb");
        ASSERT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, "kvxexport: " + dir.file("out.glb") +
                             ": warning: normals left out: " + "vertex 0's normal (0, 0, " +
                             (z == 0 ? "0" : "1.000599980354309") + ") is not of unit length\n");
        glb = ReadGlb(ReadFile(dir.file("out.glb")));
        EXPECT_EQ(glb.json.find("NORMAL"), std::string::npos);
        EXPECT_NE(glb.json.find(R"("attributes":{"POSITION":0,"COLOR_0":1,"TEXCOORD_0":2})"),
                  std::string::npos);
    }

    // A vertex that no triangle names, of zero normal: (0, 0, 1), and the
    // others kept. Version 3: colour, normal, position.
    std::string v3 = KvxHeader(4, 1, 3);
    for (int i = 0; i < 4; ++i) {
        AppendU32(v3, 0xFFFFFFFFu);
        v3 += Floats({i == 3 ? 0.0f : 0.6f, i == 3 ? 0.0f : 0.8f, 0.0f});
        v3 += Floats({float(i), float(i * i), 0.0f});
    }
    v3 += Indices({0, 1, 2});
    RunResult r = run(v3, "out.glb");
    ASSERT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_EQ(glb.buffer.substr(48, 48),
              Floats({0.6f, 0.8f, 0, 0.6f, 0.8f, 0, 0.6f, 0.8f, 0, 0, 0, 1}));
}

TEST_F(KvxExportGltf, ModesAndIndexWidths) {
    // Lines and points, by the layout's primitive.
    ASSERT_EQ(run(V1(-2, {{0, 0, 0}, {1, 0, 0}}, {1, 0}, 1), "out.glb").exitStatus, 0);
    Glb glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_NE(glb.json.find(R"("indices":2,"mode":1})"), std::string::npos) << glb.json;
    EXPECT_EQ(glb.buffer.substr(glb.buffer.size() - 4), Indices({1, 0}));
    ASSERT_EQ(run(V1(-1, {{0, 0, 0}, {1, 0, 0}}, {}, 9), "out.glb").exitStatus, 0);
    glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_NE(glb.json.find(R"("attributes":{"POSITION":0,"COLOR_0":1},"mode":0})"),
              std::string::npos)
        << glb.json;
    EXPECT_EQ(glb.buffer.size(), 2u * 12 + 2u * 16);

    // An index of 65535, which glTF reserves in 16 bits: 32-bit indices.
    std::vector<CVector> many(65536, CVector{0, 0, 0});
    many[65535] = {1, 1, 1};
    ASSERT_EQ(run(V1(1, many, {0, 65535, 1, 65534, 0, 1}, 2), "out.glb").exitStatus, 0);
    glb = ReadGlb(ReadFile(dir.file("out.glb")));
    EXPECT_NE(glb.json.find(R"({"bufferView":2,"componentType":5125,"count":6,"type":"SCALAR"})"),
              std::string::npos);
    std::string wide;
    for (uint32_t i : {0u, 65535u, 1u, 65534u, 0u, 1u})
        AppendU32(wide, i);
    EXPECT_EQ(glb.buffer.substr(glb.buffer.size() - 24), wide);
    // One below it stays 16-bit.
    ASSERT_EQ(run(V1(1, many, {0, 65534, 1}, 1), "out.glb").exitStatus, 0);
    EXPECT_NE(ReadGlb(ReadFile(dir.file("out.glb"))).json.find("\"componentType\":5123"),
              std::string::npos);
}

// The .gltf and its .bin: both appear, or neither, and a failure leaves
// both as they were.
TEST_F(KvxExportGltf, TheDocumentAndItsBufferAreOneSet) {
    ASSERT_EQ(::mkdir(dir.file("out.bin").c_str(), 0700), 0);
    WriteFile(dir.file("out.gltf"), "precious");
    RunResult r = run(TriangleV4("t"), "out.gltf");
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxexport: " + dir.file("out.bin") + ": Is a directory\n");
    EXPECT_EQ(ReadFile(dir.file("out.gltf")), "precious");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.kvx", "out.bin", "out.gltf"}));

    // The buffer may not be the input.
    WriteFile(dir.file("mesh.bin"), TriangleV4("t"));
    r = Export({dir.file("mesh.bin"), dir.file("mesh.gltf")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_NE(r.err.find("kvxexport: " + dir.file("mesh.bin") + ": "), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir.file("mesh.bin")), TriangleV4("t"));
    EXPECT_FALSE(FileExists(dir.file("mesh.gltf")));

    // Both replaced together; the letter case of the extension does not
    // carry over to the buffer's.
    WriteFile(dir.file("old.bin"), "old");
    WriteFile(dir.file("old.GLTF"), "old");
    ASSERT_EQ(Export({dir.file("in.kvx"), dir.file("old.GLTF")}).exitStatus, 0);
    EXPECT_NE(ReadFile(dir.file("old.GLTF")).find("\"uri\":\"old.bin\""), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("old.bin")).size(), 150u);
}

// ---- kvximport reads the exports back (through assimp) ----

// The vertex lines and the group lines kvxdump prints of a file.
struct Dump {
    std::vector<std::string> vertices, groups;
};
Dump DumpOf(const std::string& kvx) {
    RunResult r = RunProgram(KVXDUMP_PATH, {kvx});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0; at < r.out.size();) {
        size_t end = r.out.find('\n', at);
        lines.push_back(r.out.substr(at, end - at));
        at = end + 1;
    }
    Dump d;
    if (lines.size() < 3) return d;
    const size_t vertices = std::stoul(lines[0].substr(lines[0].find('=') + 2));
    const size_t groups = std::stoul(lines[1].substr(lines[1].find('=') + 2));
    const bool points = lines[2] == "version = -1";
    for (size_t k = 3; k < lines.size(); ++k) {
        if (k < 3 + vertices) {
            d.vertices.push_back(lines[k]);
        } else if (!points && k < 3 + vertices + groups) {
            d.groups.push_back(lines[k]);
        }
    }
    return d;
}

// The position at the end of a vertex line, and its colour word.
std::string PositionOf(const std::string& line) {
    size_t at = line.size();
    for (int k = 0; k < 3; ++k)
        at = line.rfind(' ', at - 1);
    return line.substr(at + 1);
}
std::string ColorOf(const std::string& line) {
    size_t at = line.find("0x");
    return line.substr(at, line.find(' ', at) - at);
}

TEST(KvxExportGltfImport, EveryExampleComesBackThroughKvximport) {
    const char* examples = std::getenv("KVX_EXAMPLES");
    ASSERT_NE(examples, nullptr);
    TempDir dir;
    // Whether this build's kvximport reads glTF (through assimp).
    // Colours of every byte in red, green and blue, and no two alike.
    std::string probe = KvxHeader(256, 254, 2);
    for (uint32_t i = 0; i < 256; ++i)
        probe += V1Record(0xFF000000u | i << 16 | (255 - i) << 8 | ((i * 7) & 255), float(i),
                          float(i % 3), float(i % 5));
    for (uint16_t i = 0; i < 254; ++i)
        probe += Indices({i, uint16_t(i + 1), uint16_t(i + 2)});
    WriteFile(dir.file("probe.kvx"), probe);
    ASSERT_EQ(Export({dir.file("probe.kvx"), dir.file("probe.glb")}).exitStatus, 0);
    RunResult reading = RunProgram(
        KVXIMPORT_PATH,
        {"--layout", "2", "--no-weld", dir.file("probe.glb"), dir.file("probe-back.kvx")});
    if (reading.exitStatus != 0) GTEST_SKIP() << "kvximport does not read .glb: " << reading.err;
    // The importer turns glTF's linear colours back into the sRGB bytes.
    Dump sent = DumpOf(dir.file("probe.kvx")), returned = DumpOf(dir.file("probe-back.kvx"));
    ASSERT_EQ(returned.vertices.size(), 256u);
    EXPECT_EQ(returned.groups, sent.groups);
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(PositionOf(returned.vertices[i]), PositionOf(sent.vertices[i])) << i;
        EXPECT_EQ(ColorOf(returned.vertices[i]), ColorOf(sent.vertices[i])) << i;
    }

    struct Example {
        const char* converter;
        const char* input;
        const char* version;
    };
    for (const Example& e :
         {Example{KVXCONV1_PATH, "cube3.cmsh", "1"}, Example{KVXCONV2_PATH, "cube7.cmsh", "2"},
          Example{KVXCONV3_PATH, "cube7.cmsh", "3"}, Example{KVXCONV4_PATH, "cube9.cmsh", "4"},
          Example{KVXPOINTS_PATH, "cube7.cmsh", "-1"}, Example{KVXWIRE_PATH, "cube7.cmsh", "-2"}}) {
        SCOPED_TRACE(e.version);
        const std::string kvx = dir.file(std::string("v") + e.version + ".kvx");
        const std::string glb = dir.file(std::string("v") + e.version + ".glb");
        const std::string back = dir.file(std::string("v") + e.version + "-back.kvx");
        ASSERT_EQ(RunProgram(e.converter, {std::string(examples) + "/" + e.input, kvx}).exitStatus,
                  0);
        ASSERT_EQ(Export({kvx, glb}).exitStatus, 0);
        RunResult r = RunProgram(KVXIMPORT_PATH, {"--layout", e.version, "--no-weld", glb, back});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        Dump original = DumpOf(kvx), imported = DumpOf(back);
        ASSERT_EQ(imported.vertices.size(), original.vertices.size());
        EXPECT_EQ(imported.groups, original.groups);
        for (size_t i = 0; i < original.vertices.size(); ++i) {
            EXPECT_EQ(PositionOf(imported.vertices[i]), PositionOf(original.vertices[i])) << i;
            EXPECT_EQ(ColorOf(imported.vertices[i]), ColorOf(original.vertices[i])) << i;
        }
    }
}

}  // namespace
