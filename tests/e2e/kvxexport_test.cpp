// End-to-end runs of kvxexport: exact PLY and OBJ files for every version,
// the failures, and every bundled example read back by a real client
// (assimp) with the counts of the KVX file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string kUsage =
    "usage: kvxexport [--colour-order argb|rgba] <input.kvx> "
    "<output.glb|.gltf|.ply|.obj|.off|.stl|.cmsh>\n";

RunResult Export(const std::vector<std::string>& args) {
    return RunProgram(KVXEXPORT_PATH, args);
}

// Three vertices of a version-4 triangle: u, v (stored: 1 - the text's v),
// colour, normal, position; and the name "tri".
std::string TriangleV4(const std::string& name = "tri") {
    std::string f = KvxHeader(3, 1, 4);
    auto vertex = [&f](float u, float v, uint32_t color, float x, float y, float z) {
        f += Floats({u, v});
        AppendU32(f, color);
        f += Floats({0.0f, 0.0f, 1.0f, x, y, z});
    };
    vertex(0.25f, 1.0f, 0x80FF0000u, 0.0f, 0.0f, 0.0f);
    vertex(1.0f, 0.75f, 0xFF00FF00u, 1.0f, 0.0f, 0.0f);
    vertex(0.0f, 0.0f, 0x000000FFu, 0.0f, 1.0f, 0.5f);
    f += Indices({0, 1, 2});
    return f + name;
}

// Version 1, 2, -1 or -2 records: colour 0x11223344 + i, position (i, 2i, -0.1).
std::string SmallV1(int32_t version, uint32_t vertexCount, uint32_t groupCount,
                    std::initializer_list<uint16_t> indices) {
    std::string f = KvxHeader(vertexCount, groupCount, version);
    for (uint32_t i = 0; i < vertexCount; ++i) {
        AppendU32(f, 0x11223344u + i);
        f += Floats({float(i), float(2 * i), -0.1f});
    }
    f += Indices(indices);
    return f;
}

const std::string kPlyStart = "ply\nformat binary_little_endian 1.0\n";
const std::string kPlyPosition = "property float x\nproperty float y\nproperty float z\n";
const std::string kPlyColour =
    "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n";

class KvxExport : public ::testing::Test {
protected:
    // Writes `kvx`, exports it to out.<extension> and returns the run.
    RunResult run(const std::string& kvx, const std::string& extension,
                  std::vector<std::string> options = {}) {
        WriteFile(dir.file("in.kvx"), kvx);
        std::vector<std::string> args = {dir.file("in.kvx"), out(extension)};
        args.insert(args.end(), options.begin(), options.end());
        return Export(args);
    }
    std::string out(const std::string& extension) const { return dir.file("out." + extension); }

    TempDir dir;
};

TEST_F(KvxExport, PlyOfAVersion4Triangle) {
    RunResult r = run(TriangleV4(), "ply");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::string expected = kPlyStart + "comment tri\nelement vertex 3\n" + kPlyPosition +
                           "property float nx\nproperty float ny\nproperty float nz\n" +
                           kPlyColour + "property float s\nproperty float t\n" +
                           "element face 1\nproperty list uchar uint vertex_indices\n" +
                           "end_header\n";
    // Colours read as alpha, red, green, blue; t = 1 - the stored v.
    auto vertex = [&expected](float x, float y, float z, std::initializer_list<int> rgba, float s,
                              float t) {
        expected += Floats({x, y, z, 0.0f, 0.0f, 1.0f});
        for (int c : rgba)
            expected += static_cast<char>(c);
        AppendF32(expected, s);
        AppendF32(expected, t);
    };
    vertex(0, 0, 0, {0xFF, 0x00, 0x00, 0x80}, 0.25f, 0.0f);
    vertex(1, 0, 0, {0x00, 0xFF, 0x00, 0xFF}, 1.0f, 0.25f);
    vertex(0, 1, 0.5f, {0x00, 0x00, 0xFF, 0x00}, 0.0f, 1.0f);
    expected += Bytes({3, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(ReadFile(out("ply")), expected);
}

TEST_F(KvxExport, PlyOfTheOtherVersions) {
    // Version 1 with the other colour reading: red, green, blue, alpha are
    // the word's bytes from the top.
    ASSERT_EQ(run(SmallV1(1, 3, 1, {2, 1, 0}), "ply", {"--colour-order", "rgba"}).exitStatus, 0);
    std::string v1 = kPlyStart + "element vertex 3\n" + kPlyPosition + kPlyColour +
                     "element face 1\nproperty list uchar uint vertex_indices\nend_header\n";
    for (int i = 0; i < 3; ++i) {
        v1 += Floats({float(i), float(2 * i), -0.1f});
        v1 += Bytes({0x11, 0x22, 0x33, 0x44 + i});
    }
    v1 += Bytes({3, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(ReadFile(out("ply")), v1);
    // The option in its other spelling reads the same.
    ASSERT_EQ(run(SmallV1(1, 3, 1, {2, 1, 0}), "ply", {"--color-order=rgba"}).exitStatus, 0);
    EXPECT_EQ(ReadFile(out("ply")), v1);

    // A wireframe: an edge element.
    ASSERT_EQ(run(SmallV1(-2, 2, 1, {1, 0}), "ply").exitStatus, 0);
    std::string wire = kPlyStart + "element vertex 2\n" + kPlyPosition + kPlyColour +
                       "element edge 1\nproperty int vertex1\nproperty int vertex2\nend_header\n";
    for (int i = 0; i < 2; ++i) {
        wire += Floats({float(i), float(2 * i), -0.1f});
        wire += Bytes({0x22, 0x33, 0x44 + i, 0x11});
    }
    wire += Bytes({1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(ReadFile(out("ply")), wire);

    // A point set: vertices alone, whatever its face count says.
    ASSERT_EQ(run(SmallV1(-1, 1, 7, {}), "PLY").exitStatus, 0);
    std::string points =
        kPlyStart + "element vertex 1\n" + kPlyPosition + kPlyColour + "end_header\n";
    points += Floats({0.0f, 0.0f, -0.1f});
    points += Bytes({0x22, 0x33, 0x44, 0x11});
    EXPECT_EQ(ReadFile(out("PLY")), points);
}

// Nine significant digits ("%.9g"), and each vertex's red, green and blue
// as byte / 255 after its position.
TEST_F(KvxExport, ObjOfEveryVersion) {
    ASSERT_EQ(run(TriangleV4(), "obj").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")),
              "o tri\nv 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 1 0.5 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
              "vn 0 0 1\nvt 0.25 0\nvt 1 0.25\nvt 0 1\nf 1/1/1 2/2/2 3/3/3\n");

    // Version 3: normals without texture coordinates; no name.
    std::string v3 = KvxHeader(3, 1, 3);
    for (int i = 0; i < 3; ++i) {
        AppendU32(v3, 0xFF808080u + 0x11u * uint32_t(i));
        v3 += Floats({0.6f, -0.8f, 0.0f, 1e-7f * float(i), 3.0e38f, -0.0f});
    }
    v3 += Indices({2, 0, 1});
    ASSERT_EQ(run(v3, "obj").exitStatus, 0);
    // 0x80 / 255 = 0.501960814..., 0x91 / 255 = 0.568627477..., 0xA2 / 255.
    EXPECT_EQ(ReadFile(out("obj")),
              "v 0 3.00000001e+38 -0 0.501960814 0.501960814 0.501960814\n"
              "v 1.00000001e-07 3.00000001e+38 -0 0.501960814 0.501960814 0.568627477\n"
              "v 2.00000002e-07 3.00000001e+38 -0 0.501960814 0.501960814 0.635294139\n"
              "vn 0.600000024 -0.800000012 0\nvn 0.600000024 -0.800000012 0\n"
              "vn 0.600000024 -0.800000012 0\nf 3//3 1//1 2//2\n");

    // Versions 1 and 2: positions, colours and faces alone; the colour word
    // 0x11223344 + i read as argb, or as rgba.
    const std::string argb =
        "v 0 0 -0.100000001 0.13333334 0.200000003 0.266666681\n"
        "v 1 2 -0.100000001 0.13333334 0.200000003 0.270588249\n"
        "v 2 4 -0.100000001 0.13333334 0.200000003 0.274509817\n";
    for (int32_t version : {1, 2}) {
        ASSERT_EQ(run(SmallV1(version, 3, 2, {0, 1, 2, 2, 1, 0}), "obj").exitStatus, 0);
        EXPECT_EQ(ReadFile(out("obj")), argb + "f 1 2 3\nf 3 2 1\n");
    }
    ASSERT_EQ(run(SmallV1(1, 1, 0, {}), "obj", {"--colour-order", "rgba"}).exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")), "v 0 0 -0.100000001 0.0666666701 0.13333334 0.200000003\n");
    ASSERT_EQ(run(SmallV1(-2, 3, 2, {0, 1, 2, 0}), "obj").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")), argb + "l 1 2\nl 3 1\n");
    ASSERT_EQ(run(SmallV1(-1, 2, 2, {}), "obj").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")), argb.substr(0, argb.find("v 2 4")));
}

// COFF: colours as bytes; a wireframe's edges as faces of two corners; a
// point set without faces.
TEST_F(KvxExport, OffOfEveryPrimitive) {
    ASSERT_EQ(run(TriangleV4(), "off").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("off")),
              "COFF\n3 1 0\n0 0 0 255 0 0 128\n1 0 0 0 255 0 255\n0 1 0.5 0 0 255 0\n"
              "3 0 1 2\n");
    ASSERT_EQ(run(SmallV1(-2, 3, 2, {0, 1, 2, 0}), "OFF", {"--colour-order", "rgba"}).exitStatus,
              0);
    EXPECT_EQ(ReadFile(out("OFF")),
              "COFF\n3 2 0\n0 0 -0.100000001 17 34 51 68\n1 2 -0.100000001 17 34 51 69\n"
              "2 4 -0.100000001 17 34 51 70\n2 0 1\n2 2 0\n");
    ASSERT_EQ(run(SmallV1(-1, 1, 5, {}), "off").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("off")), "COFF\n1 0 0\n0 0 -0.100000001 34 51 68 17\n");
}

// Binary STL: the header, the count, and per triangle its unit normal
// (zero for one of no area), its corners and a zero attribute word.
TEST_F(KvxExport, StlOfTriangles) {
    std::string kvx = KvxHeader(4, 2, 1);
    for (CVector p : {CVector{0, 0, 0}, CVector{2, 0, 0}, CVector{0, 0, 3}, CVector{4, 0, 0}}) {
        AppendU32(kvx, 0xFFFFFFFFu);
        kvx += Floats({p.x, p.y, p.z});
    }
    kvx += Indices({0, 1, 2, 0, 1, 3});
    ASSERT_EQ(run(kvx, "stl").exitStatus, 0);
    std::string expected = "binary STL written by kvxexport";
    expected.resize(80, '\0');
    AppendU32(expected, 2);
    // (2, 0, 0) x (0, 0, 3) = (0, -6, 0): the normal (0, -1, 0).
    expected += Floats({0, -1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 3}) + Bytes({0, 0});
    expected += Floats({0, 0, 0, 0, 0, 0, 2, 0, 0, 4, 0, 0}) + Bytes({0, 0});
    EXPECT_EQ(ReadFile(out("stl")), expected);

    // Only triangles: a wireframe and a point set are refused, and the
    // output is left alone.
    for (int32_t version : {-2, -1}) {
        WriteFile(out("stl"), "precious");
        RunResult r = run(SmallV1(version, 2, 1, {0, 1}), "stl");
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "kvxexport: " + dir.file("in.kvx") + ": " +
                             (version == -2 ? "a wireframe" : "a point set") + " (version " +
                             std::to_string(version) +
                             ") has no triangles, which are all STL holds\n");
        EXPECT_EQ(ReadFile(out("stl")), "precious");
    }
}

// What kvximport makes of an exported STL or OFF file equals the file it
// came from: for OFF the records and the triangles, the colours too; for
// STL, which holds no shared vertices and no colour, every triangle's
// corners in order.
TEST_F(KvxExport, StlAndOffComeBackThroughKvximport) {
    const std::string kvx = dir.file("cube.kvx");
    ASSERT_EQ(RunProgram(KVXCONV2_PATH, {Example("cube7.cmsh"), kvx}).exitStatus, 0);
    const std::string original = ReadFile(kvx);
    for (const char* extension : {"off", "stl"}) {
        SCOPED_TRACE(extension);
        ASSERT_EQ(Export({kvx, out(extension)}).exitStatus, 0);
        const std::string back = dir.file(std::string("back-") + extension + ".kvx");
        RunResult r = RunProgram(KVXIMPORT_PATH, {"--layout", "2", out(extension), back});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        const std::string file = ReadFile(back);
        ASSERT_GE(file.size(), 15u);
        uint32_t vertices, faces;
        std::memcpy(&vertices, file.data() + 3, 4);
        std::memcpy(&faces, file.data() + 7, 4);
        ASSERT_EQ(faces, 12u);
        auto corner = [](const std::string& f, uint32_t count, uint32_t face, int k) {
            uint16_t index;
            std::memcpy(&index, f.data() + 15 + 16 * size_t{count} + 6 * size_t{face} + 2 * k, 2);
            return f.substr(15 + 16 * size_t{index}, 16);  // the record: colour, x, y, z
        };
        if (std::string(extension) == "off") {
            EXPECT_EQ(file, original);
            continue;
        }
        EXPECT_EQ(vertices, 8u);  // welded, as STL is by default
        for (uint32_t t = 0; t < 12; ++t) {
            for (int k = 0; k < 3; ++k) {
                // Positions alike; STL has no colour, so the default white.
                EXPECT_EQ(corner(file, vertices, t, k).substr(4),
                          corner(original, 8, t, k).substr(4))
                    << "triangle " << t << " corner " << k;
                EXPECT_EQ(corner(file, vertices, t, k).substr(0, 4), std::string(4, '\xFF'));
            }
        }
    }
}

TEST_F(KvxExport, NamesStayOnTheirLine) {
    ASSERT_EQ(run(TriangleV4("a\nb\rc d\x7F\x1F\xC3\xA4"), "obj").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")).substr(0, 14), "o a?b?c d??\xC3\xA4\n");
    ASSERT_EQ(run(TriangleV4("\x7F"), "ply").exitStatus, 0);
    EXPECT_NE(ReadFile(out("ply")).find("\ncomment ?\n"), std::string::npos);
    ASSERT_EQ(run(TriangleV4(""), "ply").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("ply")).find("comment"), std::string::npos);
}

// A zero byte inside a name is shown as any control character is, in the
// OBJ "o" line and the PLY comment alike; zero bytes after the last other
// byte cannot be told from the end of the name.
TEST_F(KvxExport, ANameWithAZeroByteIsShownWhole) {
    const std::string names[][2] = {{std::string("ab\0cd", 5), "ab?cd"},
                                    {std::string("\0x", 2), "?x"},
                                    {std::string("a\0\0\0b\0", 6), "a???b"}};
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(shown);
        ASSERT_EQ(run(TriangleV4(name), "obj").exitStatus, 0);
        std::string obj = ReadFile(out("obj"));
        EXPECT_EQ(obj.substr(0, obj.find("\nv ") + 1), "o " + shown + "\n");
        ASSERT_EQ(run(TriangleV4(name), "ply").exitStatus, 0);
        std::string ply = ReadFile(out("ply"));
        EXPECT_EQ(ply.substr(0, ply.find("element")), kPlyStart + "comment " + shown + "\n");
    }
    // A name of zero bytes alone is no name.
    ASSERT_EQ(run(TriangleV4(std::string(3, '\0')), "obj").exitStatus, 0);
    EXPECT_EQ(ReadFile(out("obj")).substr(0, 2), "v ");
    // The text mesh holds no zero byte: refused, as before.
    RunResult r = run(TriangleV4(std::string("ab\0cd", 5)), "cmsh");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxexport: " + dir.file("in.kvx") +
                         ": the name holds a zero byte, which no text mesh holds\n");
}

TEST_F(KvxExport, CommandLineMistakesAreOneLine) {
    WriteFile(dir.file("in.kvx"), TriangleV4());
    std::string in = dir.file("in.kvx"), ply = out("ply");
    ExpectUsageMistakes(KVXEXPORT_PATH,
                        {
                            {{}, kUsage},
                            {{in}, kUsage},
                            {{in, ply, "--colour-order"},
                             "kvxexport: --colour-order needs a value; see kvxexport --help\n"},
                            {{in, ply, "--colour-order", "bgra"},
                             "kvxexport: --colour-order: expected argb or rgba, found \"bgra\"\n"},
                            {{"--size", "2x2", in, ply},
                             "kvxexport: unknown option --size; see kvxexport --help\n"},
                            {{in, dir.file("out.stla")},
                             "kvxexport: " + dir.file("out.stla") +
                                 ": the output name must end in .glb, .gltf, .ply, .obj, .off, "
                                 ".stl or .cmsh\n"},
                            {{in, dir.file("ply")},
                             "kvxexport: " + dir.file("ply") +
                                 ": the output name must end in .glb, .gltf, .ply, .obj, .off, "
                                 ".stl or .cmsh\n"},
                        });
    EXPECT_FALSE(FileExists(ply));
    // A name that is the extension alone still ends in it.
    EXPECT_EQ(Export({in, dir.file(".obj")}).exitStatus, 0);
    EXPECT_EQ(ReadFile(dir.file(".obj")).substr(0, 2), "o ");
    // Options may stand anywhere; further operands are ignored, and said to be.
    EXPECT_EQ(Export({"--colour-order", "rgba", in, ply}).exitStatus, 0);
    RunResult extra = Export({in, ply, "extra"});
    EXPECT_EQ(extra.exitStatus, 0);
    EXPECT_EQ(extra.err, "kvxexport: ignoring extra argument: extra\n");
    EXPECT_EQ(Export({"--version"}).out, "kvxexport " KVX_VERSION "\n");
    EXPECT_EQ(Export({"--help"}).out.substr(0, kUsage.size()), kUsage);
}

TEST_F(KvxExport, BadInputLeavesTheOutputAlone) {
    struct Case {
        std::string kvx;
        std::string message;
    };
    std::string truncated = TriangleV4().substr(0, 40);
    for (const Case& c : std::vector<Case>{
             {SmallV1(1, 3, 2, {0, 1, 2, 0, 3, 1}), "face 1 names vertex 3 of 3"},
             {SmallV1(-2, 2, 2, {0, 1, 2, 0}), "edge 1 names vertex 2 of 2"},
             {SmallV1(2, 3, 1, {0, 65535, 1}), "face 0 names vertex 65535 of 3"},
             {SmallV1(1, 0, 1, {0, 0, 0}), "face 0 names vertex 0 of 0"},
             {KvxHeader(0, 0, -3), "version -3 is not supported (versions 1 to 4, -1 and -2 are)"},
             {KvxHeader(0, 0, 7), "version 7 is not supported (versions 1 to 4, -1 and -2 are)"},
             {truncated, "truncated: the header promises " + std::to_string(15 + 3 * 36 + 6) +
                             " bytes, the file has 40"},
         }) {
        for (const char* extension : {"ply", "obj", "off", "stl", "glb"}) {
            WriteFile(out(extension), "precious");
            RunResult r = run(c.kvx, extension);
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_EQ(r.err, "kvxexport: " + dir.file("in.kvx") + ": " + c.message + "\n");
            EXPECT_EQ(ReadFile(out(extension)), "precious");
        }
    }
    RunResult missing = Export({dir.file("none.kvx"), out("obj")});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "kvxexport: " + dir.file("none.kvx") + ": No such file or directory\n");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.kvx", "out.glb", "out.obj",
                                                                "out.off", "out.ply", "out.stl"}));
}

TEST_F(KvxExport, AnOutputThatCannotBeWritten) {
    std::string target = dir.file("missing/out.ply");
    RunResult r = run(TriangleV4(), "ply");
    ASSERT_EQ(r.exitStatus, 0);
    r = Export({dir.file("in.kvx"), target});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxexport: " + target + ": No such file or directory\n");
    ::mkdir(dir.file("folder.obj").c_str(), 0700);
    r = Export({dir.file("in.kvx"), dir.file("folder.obj")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxexport: " + dir.file("folder.obj") + ": Is a directory\n");
    // A device is written directly, never renamed over.
    ASSERT_EQ(::symlink("/dev/null", dir.file("null.obj").c_str()), 0);
    r = Export({dir.file("in.kvx"), dir.file("null.obj")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("null.obj").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ---- A real client reads the exports ----

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// The number after "<label>:" on its own line of `assimp info`; -1 if none.
long InfoNumber(const std::string& info, const std::string& label) {
    size_t at = info.find("\n" + label + ":");
    if (at == std::string::npos) return -1;
    return std::strtol(info.c_str() + at + label.size() + 2, nullptr, 10);
}

std::string InfoWord(const std::string& info, const std::string& label) {
    size_t at = info.find("\n" + label + ":");
    if (at == std::string::npos) return "";
    size_t from = info.find_first_not_of(' ', at + label.size() + 2);
    return info.substr(from, info.find('\n', from) - from);
}

TEST(KvxExportAssimp, ReadsEveryExportedExampleWithTheFileCounts) {
    std::string assimp = FindProgram("assimp");
    if (assimp.empty()) GTEST_SKIP() << "assimp (Debian: assimp-utils) is not installed";
    const char* examples = std::getenv("KVX_EXAMPLES");
    ASSERT_NE(examples, nullptr);
    TempDir dir;
    struct Example {
        const char* converter;
        const char* input;
        const char* name;
        int32_t version;
    };
    for (const Example& e : {Example{KVXCONV1_PATH, "cube3.cmsh", "v1", 1},
                             Example{KVXCONV2_PATH, "cube7.cmsh", "v2", 2},
                             Example{KVXCONV3_PATH, "cube7.cmsh", "v3", 3},
                             Example{KVXCONV4_PATH, "cube9.cmsh", "v4", 4},
                             Example{KVXPOINTS_PATH, "cube7.cmsh", "points", -1},
                             Example{KVXWIRE_PATH, "cube7.cmsh", "wire", -2}}) {
        SCOPED_TRACE(e.name);
        std::string kvx = dir.file(std::string(e.name) + ".kvx");
        ASSERT_EQ(RunProgram(e.converter, {std::string(examples) + "/" + e.input, kvx}).exitStatus,
                  0);
        std::string bytes = ReadFile(kvx);
        uint32_t vertexCount, groupCount;
        std::memcpy(&vertexCount, bytes.data() + 3, 4);
        std::memcpy(&groupCount, bytes.data() + 7, 4);
        if (e.version == -1) groupCount = 0;
        long corners = e.version == -2 ? 2 : 3;
        const char* primitive = e.version == -1   ? "points"
                                : e.version == -2 ? "lines"
                                                  : "triangles";

        for (const char* extension : {"ply", "obj"}) {
            SCOPED_TRACE(extension);
            std::string file = dir.file(std::string(e.name) + "." + extension);
            ASSERT_EQ(Export({kvx, file}).exitStatus, 0);
            // Raw: no post-processing, which would merge or split vertices.
            RunResult info = RunProgram(assimp, {"info", file, "-r"});
            ASSERT_EQ(info.exitStatus, 0) << info.out << info.err;
            long vertices = InfoNumber(info.out, "Vertices");
            long faces = InfoNumber(info.out, "Faces");
            if (std::string(extension) == "ply") {
                EXPECT_EQ(vertices, vertexCount);
                // assimp reads no PLY edge element: a wireframe comes back as
                // its vertices (the edges are checked byte for byte above).
                if (e.version == -2) {
                    EXPECT_EQ(faces, 0);
                    EXPECT_EQ(InfoWord(info.out, "Primitive Types"), "points");
                } else {
                    EXPECT_EQ(faces, groupCount);
                    EXPECT_EQ(InfoWord(info.out, "Primitive Types"), primitive);
                }
            } else {
                // assimp gives every corner of an OBJ face or line a vertex
                // of its own.
                EXPECT_EQ(faces, groupCount);
                EXPECT_EQ(vertices, groupCount == 0 ? vertexCount : corners * groupCount);
                EXPECT_EQ(InfoWord(info.out, "Primitive Types"), primitive);
                if (e.version == 4) {
                    EXPECT_NE(info.out.find(" (cube): "), std::string::npos);
                }
            }
        }
    }
}

// A version-2 mesh of awkward floats (random bit patterns of every
// magnitude, which a reader that rounds its last digit wrongly gets wrong
// from shorter text) and varied colours, triangles (i, i + 1, i + 2).
std::string AwkwardMesh(std::vector<float>* values, std::vector<uint32_t>* colors) {
    uint32_t state = 12345;
    auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    std::string f = KvxHeader(200, 198, 2);
    for (uint32_t i = 0; i < 200; ++i) {
        float xyz[3];
        for (float& v : xyz) {
            uint32_t bits = (next() & 0x807FFFFFu) | ((90u + next() % 76u) << 23);
            std::memcpy(&v, &bits, 4);
            values->push_back(v);
        }
        colors->push_back(0xFF000000u | (next() & 0xFFFFFFu));
        f += V1Record(colors->back(), xyz[0], xyz[1], xyz[2]);
    }
    for (uint16_t i = 0; i < 198; ++i)
        f += Indices({i, uint16_t(i + 1), uint16_t(i + 2)});
    return f;
}

// assimp reads the OBJ's positions back within a unit in the last place
// and its colours byte for byte: `assimp export` to binary STL, whose floats are compared, and
// to text PLY, whose colour bytes are (assimp 5.2's binary PLY declares
// uchar colours but writes floats). assimp gives each face corner a vertex
// of its own, in face order.
TEST(KvxExportAssimp, ReadsTheObjBackExactly) {
    std::string assimp = FindProgram("assimp");
    if (assimp.empty()) GTEST_SKIP() << "assimp (Debian: assimp-utils) is not installed";
    TempDir dir;
    std::vector<float> values;
    std::vector<uint32_t> colors;
    WriteFile(dir.file("in.kvx"), AwkwardMesh(&values, &colors));
    ASSERT_EQ(Export({dir.file("in.kvx"), dir.file("m.obj")}).exitStatus, 0);
    for (const char* format : {"stlb", "ply"}) {
        RunResult r =
            RunProgram(assimp, {"export", dir.file("m.obj"), dir.file(std::string("m.") + format),
                                "-f" + std::string(format)});
        ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    }
    const std::string stl = ReadFile(dir.file("m.stlb"));
    ASSERT_EQ(stl.size(), 84u + 198u * 50u);
    for (uint32_t corner = 0; corner < 594; ++corner) {
        const uint32_t vertex = corner / 3 + corner % 3;
        float xyz[3];
        std::memcpy(xyz, stl.data() + 84 + corner / 3 * 50 + 12 + corner % 3 * 12, 12);
        // Within one unit in the last place: assimp's parser, like Open3D's,
        // at times gives the next float of a small value ("-1.82914409e-05").
        for (uint32_t k = 0; k < 3; ++k) {
            ASSERT_LE(
                std::llabs(int64_t{FloatBits(xyz[k])} - int64_t{FloatBits(values[vertex * 3 + k])}),
                1)
                << corner;
        }
    }
    // Text PLY: "x y z red green blue alpha" per corner after the header.
    const std::string ply = ReadFile(dir.file("m.ply"));
    std::istringstream lines(ply.substr(ply.find("end_header\n") + 11));
    for (uint32_t corner = 0; corner < 594; ++corner) {
        std::string x, y, z;
        int rgba[4];
        ASSERT_TRUE(lines >> x >> y >> z >> rgba[0] >> rgba[1] >> rgba[2] >> rgba[3]) << corner;
        const uint32_t c = colors[corner / 3 + corner % 3];
        ASSERT_EQ((std::vector<int>{rgba[0], rgba[1], rgba[2], rgba[3]}),
                  (std::vector<int>{int(c >> 16 & 255), int(c >> 8 & 255), int(c & 255), 255}))
            << corner;
    }
}

// Open3D reads the OBJ's colours back byte for byte (as value * 255,
// rounded) and its positions within one unit in the last place: its parser
// is less exact than nine digits need (the next float at times), through
// /usr/bin/python3.
TEST(KvxExportOpen3d, ReadsTheObjBackExactly) {
    if (RunProgram("/usr/bin/python3", {"-c", "import open3d"}).exitStatus != 0)
        GTEST_SKIP() << "Open3D (Debian: python3-open3d) is not installed";
    TempDir dir;
    std::vector<float> values;
    std::vector<uint32_t> colors;
    WriteFile(dir.file("in.kvx"), AwkwardMesh(&values, &colors));
    ASSERT_EQ(Export({dir.file("in.kvx"), dir.file("m.obj")}).exitStatus, 0);
    // One line per vertex: the float bits of x, y, z and the three bytes;
    // each float's bits are compared within 1.
    const char* script = R"(
import struct, sys, open3d
m = open3d.io.read_triangle_mesh(sys.argv[1])
for v, c in zip(m.vertices, m.vertex_colors):
    bits = [struct.unpack('<I', struct.pack('<f', x))[0] for x in v]
    print(*bits, *[round(x * 255) for x in c])
)";
    RunResult r = RunProgram("/usr/bin/python3", {"-c", script, dir.file("m.obj")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::istringstream lines(r.out);
    for (size_t i = 0; i < colors.size(); ++i) {
        int64_t bits[3];
        int rgb[3];
        ASSERT_TRUE(lines >> bits[0] >> bits[1] >> bits[2] >> rgb[0] >> rgb[1] >> rgb[2]) << i;
        for (size_t k = 0; k < 3; ++k)
            EXPECT_LE(std::llabs(bits[k] - int64_t{FloatBits(values[i * 3 + k])}), 1) << i;
        const uint32_t c = colors[i];
        EXPECT_EQ((std::vector<int>{rgb[0], rgb[1], rgb[2]}),
                  (std::vector<int>{int(c >> 16 & 255), int(c >> 8 & 255), int(c & 255)}))
            << i;
    }
    std::string rest;
    EXPECT_FALSE(lines >> rest);
}

}  // namespace
