// The PLY reader: one mesh in the three encodings, property types and
// aliases, extra properties, lists and elements read past, colours, counts
// checked against the file, and every refusal.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "import_test_support.h"

namespace kvx::test {
namespace {

constexpr std::string_view kPly = "ply";

enum class Encoding { ascii, little, big };

// Writes values in one encoding: ASCII as text (floats in the given text),
// binary in the given byte order.
class Writer {
public:
    explicit Writer(Encoding e) : e_(e) {}

    template <typename T>
    Writer& put(T value, const std::string& text = "") {
        if (e_ == Encoding::ascii) {
            out_ += (text.empty() ? std::to_string(value) : text) + " ";
            return *this;
        }
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        if (e_ == Encoding::big) {
            for (size_t k = 0; k < sizeof(T) / 2; ++k)
                std::swap(bytes[k], bytes[sizeof(T) - 1 - k]);
        }
        out_.append(bytes, sizeof(T));
        return *this;
    }
    Writer& line() {
        if (e_ == Encoding::ascii) out_ += "\n";
        return *this;
    }
    const std::string& bytes() const { return out_; }

private:
    Encoding e_;
    std::string out_;
};

const char* FormatName(Encoding e) {
    return e == Encoding::ascii    ? "ascii"
           : e == Encoding::little ? "binary_little_endian"
                                   : "binary_big_endian";
}

// Four vertices (one unused), a quad and a triangle, with a list element
// before the vertices, extra properties of every kind and an edge element
// after the faces.
std::string AwkwardPly(Encoding e) {
    std::string header = "ply\nformat " + std::string(FormatName(e)) + " 1.0\n" +
                         "comment made by hand\n"
                         "obj_info nothing\n"
                         "element material 1\n"
                         "property list uint uchar label\n"
                         "property float64 shine\n"
                         "element vertex 4\n"
                         "property float32 x\n"
                         "property double y\n"
                         "property int z\n"
                         "property short extra\n"
                         "property uchar red\n"
                         "property uint8 green\n"
                         "property uchar blue\n"
                         "property list ushort int neighbours\n"
                         "property float s\n"
                         "property float t\n"
                         "element face 2\n"
                         "property uchar flags\n"
                         "property list uint int vertex_indices\n"
                         "property double weight\n"
                         "element edge 1\n"
                         "property int vertex1\n"
                         "property int vertex2\n"
                         "end_header\n";
    Writer w(e);
    w.put<uint32_t>(3)
        .put<uint8_t>(65)
        .put<uint8_t>(66)
        .put<uint8_t>(67)
        .put<double>(0.5, "0.5")
        .line();
    struct V {
        float x;
        double y;
        std::string yText;
        int32_t z;
        uint8_t r, g, b;
        float s, t;
    } vertices[4] = {
        {0.1f, 0.1, "0.1", 0, 255, 0, 0, 0.0f, 0.25f},
        {1.0f, 1e-40, "1e-40", -7, 0, 255, 0, 1.0f, 0.5f},
        {-0.0f, 3.0000001, "3.0000001", 16777217, 0, 0, 255, 0.5f, 1.0f},
        {5.0f, 5.0, "5", 5, 1, 2, 3, 0.0f, 0.0f},
    };
    for (const V& v : vertices) {
        char xText[32];
        std::snprintf(xText, sizeof xText, "%.9g", static_cast<double>(v.x));
        w.put(v.x, xText).put(v.y, v.yText).put(v.z).put<int16_t>(-3);
        w.put(v.r).put(v.g).put(v.b);
        w.put<uint16_t>(2).put<int32_t>(1).put<int32_t>(2);
        w.put(v.s, std::to_string(v.s)).put(v.t, std::to_string(v.t)).line();
    }
    w.put<uint8_t>(9).put<uint32_t>(4).put<int32_t>(0).put<int32_t>(1).put<int32_t>(2).put<int32_t>(
        3);
    w.put<double>(1.5, "1.5").line();
    w.put<uint8_t>(0).put<uint32_t>(3).put<int32_t>(2).put<int32_t>(1).put<int32_t>(0);
    w.put<double>(2.5, "2.5").line();
    w.put<int32_t>(0).put<int32_t>(1).line();
    return header + w.bytes();
}

TEST(PlyReader, TheSameMeshInEveryEncoding) {
    for (Encoding e : {Encoding::ascii, Encoding::little, Encoding::big}) {
        SCOPED_TRACE(FormatName(e));
        ImportResult r = Read(kPly, AwkwardPly(e));
        ASSERT_TRUE(r.ok()) << r.error.message;
        const ImportedMesh& m = r.mesh;
        // Doubles and integers rounded once to float; the ASCII text "0.1"
        // rounded as strtof rounds it, which equals the double's rounding.
        EXPECT_EQ(BitsOf(m.positions), BitsOf({0.1f, 0.1f, 0.0f, 1.0f, 1e-40f, -7.0f, -0.0f,
                                               3.0000001f, 16777216.0f, 5.0f, 5.0f, 5.0f}));
        // uchar colours are the bytes; a missing alpha is opaque.
        EXPECT_EQ(m.colors,
                  (std::vector<uint32_t>{0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF010203}));
        EXPECT_EQ(m.texCoords, (std::vector<float>{0, 0.25f, 1, 0.5f, 0.5f, 1, 0, 0}));
        EXPECT_EQ(m.triangles, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 2, 1, 0}));
    }
}

TEST(PlyReader, FloatColoursAreRoundedToTheNearestByte) {
    const std::string ply =
        "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
        "property float z\nproperty float diffuse_red\nproperty float diffuse_green\n"
        "property float diffuse_blue\nproperty float alpha\nend_header\n"
        "0 0 0 0.2 0.4 0.6 0.999\n";
    ImportResult argb = Read(kPly, ply);
    ASSERT_TRUE(argb.ok()) << argb.error.message;
    EXPECT_EQ(argb.mesh.colors, (std::vector<uint32_t>{0xFF336699}));
    ImportResult rgba = Read(kPly, ply, {ColorOrder::rgba});
    EXPECT_EQ(rgba.mesh.colors, (std::vector<uint32_t>{0x336699FF}));
}

TEST(PlyReader, CountsAndListsOfEveryWidth) {
    // A uint vertex count written as a large number that the file cannot
    // hold is refused before anything is allocated; uchar and int lists.
    for (const char* types :
         {"uchar uchar", "uchar int", "int uint", "uint ushort", "char short"}) {
        std::string ply =
            std::string("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n") +
            "property float y\nproperty float z\nelement face 1\nproperty list " + types +
            " vertex_index\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 2 1 0\n";
        ImportResult r = Read(kPly, ply);
        ASSERT_TRUE(r.ok()) << types << ": " << r.error.message;
        EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{2, 1, 0}));
    }
    // Faces of two, one and no corners (lines and points, as assimp writes
    // them) are dropped.
    ImportResult lines = Read(kPly,
                              "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n"
                              "property float y\nproperty float z\nelement face 4\nproperty list "
                              "uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n"
                              "2 0 1\n3 0 1 2\n1 2\n0\n");
    ASSERT_TRUE(lines.ok()) << lines.error.message;
    EXPECT_EQ(lines.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(Refusal(kPly,
                      "ply\nformat binary_little_endian 1.0\nelement vertex 4294967295\n"
                      "property float x\nproperty float y\nproperty float z\nend_header\n"),
              "m.ply:3: the counts up to element vertex (4294967295) need at least 51539607540 "
              "bytes of data, but only 0 follow the header");
    // An element without properties takes no bytes, whatever its count.
    ImportResult empty = Read(kPly,
                              "ply\nformat binary_little_endian 1.0\nelement nothing 4294967295\n"
                              "element vertex 0\nproperty float x\nproperty float y\n"
                              "property float z\nend_header\n");
    ASSERT_TRUE(empty.ok()) << empty.error.message;
    EXPECT_EQ(empty.mesh.vertexCount(), 0u);
    EXPECT_EQ(Refusal(kPly, "ply\nformat ascii 1.0\nelement vertex 4294967296\nend_header\n"),
              "m.ply:3: the count of element vertex, \"4294967296\", is not a number from 0 to "
              "4294967295");
}

TEST(PlyReader, RefusesWhatItCannotRead) {
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    const std::string start = "ply\nformat ascii 1.0\nelement vertex 3\n" + xyz;
    const std::string faces =
        "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
        "0 0 0\n1 0 0\n0 1 0\n";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {start + faces + "3 0 1 3\n", "m.ply:13: face 0 names vertex 3 of 3"},
        {start + faces + "3 0 -1 2\n", "m.ply:13: face 0 names vertex -1 of 3"},
        {start + faces + "2 0 3\n", "m.ply:13: face 0 names vertex 3 of 3"},
        {start + faces + "3 0 1\n",
         "m.ply:13: expected property vertex_indices of face 0, found end of file"},
        {start + faces + "3 0 1 2.5\n",
         "m.ply:13: expected a value of type int for property vertex_indices of face 0, found "
         "\"2.5\""},
        {start + faces + "300 0 1 2\n",
         "m.ply:13: expected a value of type uchar for the list count of property "
         "vertex_indices of face 0, found \"300\""},
        {start + "end_header\n0 0 0\n1 0 x\n0 1 0\n",
         "m.ply:9: expected a number for property z of vertex 1, found \"x\""},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
         "end_header\n0 0\n",
         "m.ply:3: the vertex element has no property z"},
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + xyz +
             "property uchar red\nproperty float green\nproperty uchar blue\nend_header\n",
         "m.ply:3: the colour properties mix integer and floating-point types"},
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + xyz + "property uchar red\nend_header\n",
         "m.ply:3: the vertex element has some of red, green and blue, not all"},
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + xyz +
             "property int red\nproperty int green\nproperty int blue\nend_header\n0 0 0 1 256 0\n",
         "m.ply:11: the green value 256 of vertex 0 is not a byte (0 to 255)"},
        {"ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int vertex_indices\n"
         "end_header\n3 0 1 2\n",
         "m.ply:6: face 0 names vertex 0 of 0"},
        {"ply\nformat ascii 1.0\nelement face 0\nproperty int vertex_indices\nend_header\n",
         "m.ply:3: the face property vertex_indices is not a list of integers"},
        {"ply\nformat ascii 1.0\nelement face 0\nproperty list uchar int corners\nend_header\n",
         "m.ply:3: the face element has no vertex_indices list"},
        {"ply\nformat ascii 1.0\nproperty float x\nend_header\n",
         "m.ply:3: a property before the first element"},
        {"ply\nformat ascii 1.0\nelement vertex 0\nproperty float16 x\nend_header\n",
         "m.ply:4: expected \"property <type> <name>\" or \"property list <integer type> <type> "
         "<name>\""},
        {"ply\nformat ascii 1.0\nelement face 0\nproperty list float int vertex_indices\n"
         "end_header\n",
         "m.ply:4: expected \"property <type> <name>\" or \"property list <integer type> <type> "
         "<name>\""},
        {"ply\nformat binary_middle_endian 1.0\nend_header\n",
         "m.ply:2: unknown encoding \"binary_middle_endian\" (ascii, binary_little_endian or "
         "binary_big_endian)"},
        {"ply\nelement vertex 0\nend_header\n", "m.ply:3: the header has no \"format\" line"},
        {"ply\nformat ascii 1.0\nelement vertex 0\n",
         "m.ply:3: the header has no \"end_header\" line"},
        {"ply\nformat ascii 1.0\nelement vertex 0\nproperty float\nend_header\n",
         "m.ply:4: expected \"property <type> <name>\" or \"property list <integer type> <type> "
         "<name>\""},
        {"PLY\n", "m.ply:1: expected \"ply\" on the first line, found \"PLY\""},
        {"", "m.ply:1: expected \"ply\" on the first line, found end of file"},
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + xyz + "element vertex 1\n" + xyz +
             "end_header\n",
         "m.ply:7: a second vertex element"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Refusal(kPly, c.text), c.message) << c.text;

    // Binary data that ends early, and the count check with exact sizes.
    std::string binary =
        "ply\nformat binary_big_endian 1.0\nelement vertex 2\n" + xyz + "end_header\n";
    EXPECT_EQ(Refusal(kPly, binary + std::string(23, '\0')),
              "m.ply:3: the counts up to element vertex (2) need at least 24 bytes of data, but "
              "only 23 follow the header");
    std::string list = "ply\nformat binary_little_endian 1.0\nelement vertex 3\n" + xyz +
                       "element face 1\nproperty list uchar int vertex_indices\nend_header\n" +
                       std::string(36, '\0');
    EXPECT_EQ(Refusal(kPly, list + "\x03" + std::string(8, '\0')),
              "m.ply: the data ends inside face 0 (of 1)");
}

TEST(PlyReader, EveryPrefixEndsCleanly) {
    for (Encoding e : {Encoding::ascii, Encoding::little, Encoding::big}) {
        SCOPED_TRACE(FormatName(e));
        const std::string ply = AwkwardPly(e);
        // Every prefix cuts the header or the data the header announces,
        // but the last blank and line feed of the ASCII text.
        EXPECT_EQ(CheckEveryPrefix(kPly, ply), ply.size() - (e == Encoding::ascii ? 2 : 0));
    }
}

}  // namespace
}  // namespace kvx::test
