// The readers' fast paths against their generic loops: the same mesh, byte
// for byte, or the same error line, for every text and every binary PLY
// layout, including each prefix, the lines around every limit and text
// changed byte by byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../../meshimport/reader_support.h"
#include "../../meshimport/text_scan.h"
#include "import_test_support.h"

namespace kvx::test {
namespace {

using detail::Scan;
// ReadObjWith on one thread, and ReadPlyWith.
ImportResult Obj(const std::string& path, const char* data, size_t size, const ReadOptions& options,
                 Scan scan) {
    return detail::ReadObjWith(path, data, size, options, scan, 0);
}
constexpr auto PlyWith = detail::ReadPlyWith;
constexpr auto OffWith = detail::ReadOffWith;

std::vector<uint32_t> Bits(const std::vector<float>& v) {
    std::vector<uint32_t> bits;
    for (float f : v)
        bits.push_back(std::bit_cast<uint32_t>(f));
    return bits;
}

// Both paths of `read` (the reading of a format, with a Scan) on an exact
// copy of `bytes`: the same result.
template <typename Read>
void ExpectSame(Read read, const std::string& bytes, const ReadOptions& options = {}) {
    const std::vector<char> copy(bytes.begin(), bytes.end());
    ImportResult fast = read("m", copy.data(), copy.size(), options, Scan::fast);
    ImportResult generic = read("m", copy.data(), copy.size(), options, Scan::generic);
    ASSERT_EQ(fast.ok(), generic.ok())
        << fast.error.message << " | " << generic.error.message << "\n"
        << bytes;
    if (!fast.ok()) {
        EXPECT_EQ(fast.error.message, generic.error.message) << bytes;
        EXPECT_EQ(fast.error.kind, generic.error.kind);
        return;
    }
    const ImportedMesh& a = fast.mesh;
    const ImportedMesh& b = generic.mesh;
    EXPECT_EQ(Bits(a.positions), Bits(b.positions)) << bytes;
    EXPECT_EQ(Bits(a.texCoords), Bits(b.texCoords)) << bytes;
    EXPECT_EQ(Bits(a.normals), Bits(b.normals)) << bytes;
    EXPECT_EQ(a.colors, b.colors) << bytes;
    EXPECT_EQ(a.triangles, b.triangles) << bytes;
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.warnings, b.warnings);
    EXPECT_EQ(a.hasColors, b.hasColors);
    EXPECT_EQ(a.hasTexCoords, b.hasTexCoords);
    EXPECT_EQ(a.hasNormals, b.hasNormals);
}

// Every prefix of `bytes`, each with both option sets.
template <typename Read>
void ExpectSamePrefixes(Read read, const std::string& bytes) {
    ReadOptions normals;
    normals.keepNormals = true;
    normals.colorOrder = ColorOrder::rgba;
    for (size_t n = 0; n <= bytes.size(); ++n) {
        ExpectSame(read, bytes.substr(0, n));
        ExpectSame(read, bytes.substr(0, n), normals);
    }
}

// A text that passes through every statement the fast path reads and the
// ways a line may end: CR LF, a backslash, a comment, blanks of each kind.
const std::string kObjText =
    "# a comment \\\n"
    "o  the name \r\n"
    "v 0 0 0\n"
    "v\t1.5 0 0 # a comment\n"
    "v 0 1e0 0 0.25 0.5 1\r\n"
    "v 1 1 0 1\n"
    "  \t\n"
    "\r\n"
    "v 0.1 0.2 \\\n"
    "0.3\n"
    "vt 0 0\n"
    "vt 1\t0 0\r\n"
    "vt 0.5\n"
    "vn 0 0 1\n"
    "vn 0 1 0 #\n"
    "usemtl x\n"
    "f 1 2 3\n"
    "f 1/1 2/2 3/3 4/1\n"
    "f -1//1 -2//2 -3//-1\n"
    "f 1/1/1 2/2/2 3/3/2\r\n"
    "f 1 2\n"
    "f 005 1 2 # five\n"
    "f\v1 2\f3\n"
    "l 1 2\n"
    "f 1 2 \\\n"
    " 3\n"
    "f 1 2 3";

TEST(ReaderScan, ObjFastLinesGiveTheGenericResultForEveryPrefix) {
    ExpectSamePrefixes(Obj, kObjText);
}

// Each line the fast path must leave to the generic one, alone and after
// valid lines, so that the error names the same line.
TEST(ReaderScan, ObjErrorsNameTheSameLine) {
    const std::string v3 = "v 0 0 0\nv 1 0 0\r\nv 0 1 0\n";
    const char* lines[] = {
        "v 1 2",
        "v 1 2 3 4 5",
        "v 1 2 3 4 5 6 7",
        "v 1 2 3#x",
        "v 1 2 3\\x",
        "v 1 2 +3",
        "v nan 0 0",
        "v 0 0 0 2 0 0",
        "v 0 0 0 0 nan 0",
        "v\n1 2 3",
        "vt",
        "vt 1 2 3 4",
        "vt x",
        "vn 1 2",
        "vn 1 2 3 4",
        "f",
        "f 1 2 4",
        "f 1 2 -4",
        "f 0 1 2",
        "f +1 2 3",
        "f 1/ 2 3",
        "f 1// 2 3",
        "f 1/1/ 2 3",
        "f 1/1/1/1 2 3",
        "f 1 2 1.0",
        "f 1 2 3x",
        "f 1 2 3/x",
        "f 1 2 -",
        "f 1 2 1234567890",
        "f 1 2 99999999999",
        "f 1 2 000000001",
        "f 1 2 -0",
        "f 1//1 2 3",
        "f 1/1 2 3",
        "f #",
        "fv 1 2 3",
        "vx 1 2 3",
        "f 1 2 3\\",
        "v 1 2 3 \\",
        "f 1 2\\\n3",
    };
    for (const char* line : lines) {
        for (const std::string& before : {std::string(), v3, v3 + "vt 0 0\nvn 0 0 1\n"}) {
            for (const char* after : {"", "\n", "\r\n", "\nv 9 9 9\n"}) {
                SCOPED_TRACE(before + line + after);
                ExpectSame(Obj, before + line + after);
            }
        }
    }
    // The line numbers themselves, through the fast path.
    EXPECT_EQ(Refusal("obj", v3 + "\n# c\n  \nf 1 2 4\n"),
              "m.obj:7: vertex 4 is not defined (3 so far)");
    EXPECT_EQ(Refusal("obj", v3 + "v 1 \\\n2 \\\n3\r\nf 1 2 0\n"),
              "m.obj:7: vertex 0 does not exist: OBJ counts from 1");
}

// `text` changed in one to three bytes at a time, `rounds` times, into
// bytes of `alphabet`, which the scanners decide on: both paths alike.
template <typename Read>
void ExpectSameMutated(Read read, const std::string& text, std::string_view alphabet, int rounds) {
    uint64_t seed = 12345;
    for (int round = 0; round < rounds; ++round) {
        std::string changed = text;
        for (int k = 0; k < 1 + round % 3; ++k) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            const size_t at = (seed >> 33) % changed.size();
            changed[at] = alphabet[(seed >> 20) % alphabet.size()];
        }
        ExpectSame(read, changed);
    }
}

TEST(ReaderScan, ObjMutatedTextsGiveTheGenericResult) {
    ExpectSameMutated(Obj, kObjText, " \t\r\n#\\/-+0159.evtnf\v", 3000);
}

// The text read in two parts, split at every byte (the part starting at
// the next line start after a line no backslash continues), gives what one
// generic reading gives: the same mesh, or the same error with its line.
template <typename Each>
void ForEverySplit(const std::string& text, Each each) {
    for (size_t at = 1; at <= text.size(); ++at) {
        SCOPED_TRACE("split at " + std::to_string(at));
        each([at](const std::string& path, const char* data, size_t size,
                  const ReadOptions& options,
                  Scan scan) { return detail::ReadObjWith(path, data, size, options, scan, at); });
    }
}

TEST(ReaderScan, ObjSplitAnywhereGivesTheOneThreadResult) {
    // Elements and faces on both sides, polygons, colours first seen in
    // the second part, an index counting back, names, comments, CR LF.
    const std::string text =
        "v 0 0 0\r\nv 1 0 0\nv 1 1 0\n# c \\\nvt 0 0\nvt 1 0\nvn 0 0 1\n"
        "f 1/1/1 2/2/1 3/1/1\nv 0 1 0 0.5 0.25 1\nf 1 2 3 4\nf 4 3\nv 2 2 0\n"
        "f 1/2 3/1 5/2\nf 1 2 \\\n3\nv 0 0 1\nf -1 1 2\no late\nf 6 5 4 3\nf 2 3 4";
    ReadOptions normals;
    normals.keepNormals = true;
    ForEverySplit(text, [&](auto read) {
        ExpectSame(read, text);
        ExpectSame(read, text, normals);
        ExpectSame(read, text + "\n");
    });
    // Errors on either side of the split, and an index the first part
    // defines only later than the second names it.
    for (const std::string bad :
         {"v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\nf 1 2 3\nf 1 2 4\nv 0 1 0\nf 1 2 3\n",
          "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\nv 9 9 9 2 0 0\nf 1 2 3\nf 1 2 3\n",
          "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 1 1 0\nf 1 2 3\nf 1 2 3/1\nf 1 2 3\n",
          "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\nf 1 2 3\nf 1 2 3//1\nf 1 2 3\nvn 0 0 1\n",
          "v 0 0 0\nv 1 0 0\nv 1 1 0\nf x\nf 1 2 3\nf 1 2 3\nf 1 2 3\nf 1 2 0\n"}) {
        ForEverySplit(bad, [&](auto read) { ExpectSame(read, bad); });
    }
    // The line of an error in the second part, named from the file's start.
    const std::string late = kObjText + "\nv 1 2\n";
    const std::string message = Refusal("obj", late);
    EXPECT_EQ(message,
              "m.obj:28: \"v\" takes 3, 4 or 6 numbers (x y z, x y z w or x y z r g b), "
              "found 2");
    ForEverySplit(late, [&](auto read) {
        ImportResult r = read("m.obj", late.data(), late.size(), {}, Scan::fast);
        EXPECT_EQ(r.error.message, message);
    });
}

// The plain decimal path rounds as strtof does, or leaves the token to
// ParseFloat: random decimals of 1 to 19 digits with the point anywhere,
// float midpoints (a double rounding would go wrong there), the limits of
// the normal floats, and tokens that are no plain decimals.
TEST(ReaderScan, PlainDecimalsAreRoundedAsStrtofRoundsThem) {
    auto check = [](const std::string& token, bool plain) {
        const std::string line = token + "\n";
        float value = 0.0f;
        const char* end = detail::ScanPlainFloatInLine(line.data(), value);
        EXPECT_EQ(end != nullptr, plain) << token;
        if (end) {
            EXPECT_EQ(end, line.data() + token.size()) << token;
            EXPECT_EQ(std::bit_cast<uint32_t>(value),
                      std::bit_cast<uint32_t>(std::strtof(token.c_str(), nullptr)))
                << token;
        }
        // Through ScanFloatInLine every token reads as ParseFloat reads it.
        float scanned = 0.0f, parsed = 0.0f;
        ParseResult a = detail::ScanFloatInLine(line.data(), line.data() + line.size(), scanned);
        ParseResult b = ParseFloat(line.data(), line.data() + line.size(), parsed);
        EXPECT_EQ(a.ec, b.ec) << token;
        EXPECT_EQ(a.ptr, b.ptr) << token;
        if (a.ec == std::errc()) {
            EXPECT_EQ(std::bit_cast<uint32_t>(scanned), std::bit_cast<uint32_t>(parsed)) << token;
        }
    };
    uint64_t seed = 7;
    auto next = [&seed] {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        return seed >> 33;
    };
    for (int k = 0; k < 200000; ++k) {
        const int digits = 1 + static_cast<int>(next() % 19);
        std::string token = next() % 2 ? "-" : "";
        for (int d = 0; d < digits; ++d)
            token += static_cast<char>('0' + next() % 10);
        const size_t point = next() % (token.size() + 1);
        if (point > (token[0] == '-' ? 1u : 0u)) token.insert(point, ".");
        float value = 0.0f;
        const std::string line = token + "\n";
        if (detail::ScanPlainFloatInLine(line.data(), value)) {
            EXPECT_EQ(std::bit_cast<uint32_t>(value),
                      std::bit_cast<uint32_t>(std::strtof(token.c_str(), nullptr)))
                << token;
        }
    }
    // Exact midpoints between neighbouring floats go to ParseFloat: 2^24 + 1
    // lies halfway between 2^24 and 2^24 + 2, 2^25 + 2 between 2^25 and
    // 2^25 + 4; their neighbours a digit off do not.
    for (const char* t : {"16777217", "16777217.0", "-33554434"})
        check(t, false);
    for (const char* t : {"16777216.9999999", "16777217.0000001", "33554435", "1", "-1.5", "1.",
                          "0.1", "-52.9283", "7.98575401", "1234567890123456", "0.0000001",
                          "9007199254740992", "0", "-0", "0.000", "-0.0", "000"})
        check(t, true);
    // More than 19 digits, and what is no plain decimal: the general path.
    for (const char* t : {"1e5", "+1", ".5", "-.5", "inf", "nan", "0x1p3", "1.2.3", "1-", "--1",
                          "-", "1,5", "12345678901234567890",
                          // 2^53 + 1, no exact double; 2^64 + 1, beyond the digits' word.
                          "9007199254740993", "18446744073709551617",
                          "340282366920938463463374607431768211456", "0.0000000000000000000001"})
        check(t, false);
}

// One vertex per distinct (v, vt, vn) in the order of first use, against
// a reference kept in a std::map, on corners drawn at random.
TEST(ReaderScan, ObjCornersBecomeVerticesInFirstUseOrder) {
    for (bool keepNormals : {false, true}) {
        // Two positions and many texture coordinates: keys that share a
        // position meet in the table.
        std::string text = "v 0 0 0\nv 1 0 0\nvn 0 0 1\nvn 0 1 0\nvn 1 0 0\n";
        for (int k = 0; k < 2000; ++k)
            text += "vt " + std::to_string(k) + " 1\n";
        uint64_t seed = 99;
        auto next = [&seed](int n) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            return static_cast<int>((seed >> 33) % static_cast<uint64_t>(n));
        };
        std::map<std::tuple<int, int, int>, uint32_t> reference;
        std::vector<uint32_t> triangles;
        std::vector<float> u;
        for (int f = 0; f < 2730; ++f) {
            text += "f";
            for (int c = 0; c < 3; ++c) {
                const int v = next(2), t = next(2000), n = next(3);
                text += " " + std::to_string(v + 1) + "/" + std::to_string(t + 1) + "/" +
                        std::to_string(n + 1);
                auto [it, added] = reference.try_emplace({v, t, keepNormals ? n : -1},
                                                         static_cast<uint32_t>(reference.size()));
                if (added) u.push_back(float(t));
                triangles.push_back(it->second);
            }
            text += "\n";
        }
        ReadOptions options;
        options.keepNormals = keepNormals;
        ImportResult r = Read("obj", text, options);
        ASSERT_TRUE(r.ok()) << r.error.message;
        EXPECT_EQ(r.mesh.triangles, triangles);
        ASSERT_EQ(r.mesh.texCoords.size(), 2 * u.size());
        for (size_t k = 0; k < u.size(); ++k)
            EXPECT_EQ(r.mesh.texCoords[2 * k], u[k]);
    }
}

// Repeated reads in one process give the same mesh as the first.
TEST(ReaderScan, RepeatedReadsAreAlike) {
    ImportResult first = Read("obj", kObjText);
    ASSERT_TRUE(first.ok()) << first.error.message;
    for (int k = 0; k < 3; ++k) {
        ImportResult again = Read("obj", kObjText);
        EXPECT_EQ(Bits(again.mesh.positions), Bits(first.mesh.positions));
        EXPECT_EQ(again.mesh.triangles, first.mesh.triangles);
        ImportResult split =
            detail::ReadObjWith("m.obj", kObjText.data(), kObjText.size(), {}, Scan::fast, 200);
        EXPECT_EQ(split.mesh.triangles, first.mesh.triangles);
    }
    // A text above the size from which ReadObj splits it.
    std::string large;
    for (size_t k = 0; large.size() < detail::kParallelObjBytes + 100; ++k)
        large += "v " + std::to_string(k) + ".5 0.1 -3e-2\nf 1 1 " + std::to_string(k + 1) + "\n";
    ExpectSame(Obj, large);
    ImportResult whole = Read("obj", large);
    ImportResult one = Obj("m.obj", large.data(), large.size(), {}, Scan::fast);
    ASSERT_TRUE(whole.ok()) << whole.error.message;
    EXPECT_EQ(Bits(whole.mesh.positions), Bits(one.mesh.positions));
    EXPECT_EQ(whole.mesh.triangles, one.mesh.triangles);
}

// A binary little-endian PLY file: a header of `vertexProperties` and
// `faceList` (empty: no face element), then `body`.
struct Ply {
    std::string header;
    std::string body;

    Ply(const std::string& vertexProperties, uint32_t vertices, const std::string& faceList,
        uint32_t faces) {
        header = "ply\nformat binary_little_endian 1.0\nelement vertex " +
                 std::to_string(vertices) + "\n" + vertexProperties;
        if (!faceList.empty()) header += "element face " + std::to_string(faces) + "\n" + faceList;
        header += "end_header\n";
    }
    template <typename T>
    Ply& add(T value) {
        char bytes[sizeof value];
        std::memcpy(bytes, &value, sizeof value);
        body.append(bytes, sizeof value);
        return *this;
    }
    std::string text() const { return header + body; }
};

const std::string kXyz = "property float x\nproperty float y\nproperty float z\n";
const std::string kNormals = "property float nx\nproperty float ny\nproperty float nz\n";
const std::string kRgb = "property uchar red\nproperty uchar green\nproperty uchar blue\n";

// Four vertices of the layout (xyz, then normals, colours, alpha, uv, an
// extra float as the flags say), and faces of `corners` each.
std::string PlyOf(bool normals, bool colors, bool alpha, bool uv, bool extra,
                  const std::string& countType, const std::string& indexType,
                  const std::vector<std::vector<int32_t>>& faces) {
    std::string properties = kXyz;
    if (extra) properties = "property float psz\n" + properties;
    if (normals) properties += kNormals;
    if (colors) properties += kRgb;
    if (alpha) properties += "property uchar alpha\n";
    if (uv) properties += "property float s\nproperty float t\n";
    Ply ply(properties, 4,
            faces.empty() && countType.empty()
                ? ""
                : "property list " + countType + " " + indexType + " vertex_indices\n",
            static_cast<uint32_t>(faces.size()));
    for (int i = 0; i < 4; ++i) {
        if (extra) ply.add(7.0f);
        ply.add(float(i)).add(float(i & 1) + 0.1f).add(-float(i) / 3.0f);
        if (normals) ply.add(0.0f).add(float(i)).add(1.0f);
        if (colors) ply.add(uint8_t(i * 60)).add(uint8_t(255 - i)).add(uint8_t(i));
        if (alpha) ply.add(uint8_t(100 + i));
        if (uv) ply.add(0.25f * float(i)).add(1.0f - 0.25f * float(i));
    }
    for (const auto& face : faces) {
        const auto n = static_cast<uint32_t>(face.size());
        if (countType == "uchar") {
            ply.add(uint8_t(n));
        } else {
            ply.add(n);
        }
        for (int32_t index : face)
            ply.add(index);
    }
    return ply.text();
}

TEST(ReaderScan, BinaryPlyLayoutsGiveTheGenericResult) {
    const std::vector<std::vector<int32_t>> faces = {{0, 1, 2}, {2, 1, 3}, {0, 2, 3}};
    for (int flags = 0; flags < 32; ++flags) {
        const bool normals = flags & 1, colors = flags & 2, alpha = flags & 4, uv = flags & 8,
                   extra = flags & 16;
        for (const char* count : {"uchar", "int", "uint", "ushort"}) {
            for (const char* index : {"int", "uint", "ushort"}) {
                SCOPED_TRACE(std::to_string(flags) + count + index);
                ExpectSamePrefixes(PlyWith,
                                   PlyOf(normals, colors, alpha, uv, extra, count, index, faces));
            }
        }
    }
}

// Faces the fast path hands back to the generic loop in the middle of the
// element, and the reading goes on from there.
TEST(ReaderScan, BinaryPlyFacesTheGenericLoopJudges) {
    const std::vector<std::vector<int32_t>> cases[] = {
        {{0, 1, 2}, {0, 1, 2, 3}, {1, 2, 3}},  // a quad among triangles
        {{0, 1, 2}, {0, 1}, {1, 2, 3}},        // a line, dropped
        {{0, 1, 2}, {0, 1, 4}},                // the vertex count itself
        {{0, 1, 2}, {0, -1, 2}},               // a negative index
        {{3, 3, 3}, {}},                       // no corners
    };
    for (const auto& faces : cases) {
        for (const char* count : {"uchar", "int"}) {
            const std::string ply = PlyOf(false, false, false, false, false, count, "int", faces);
            ExpectSame(PlyWith, ply);
            ExpectSamePrefixes(PlyWith, ply);
        }
    }
    // The quad's triangles come between the others, as the generic loop
    // gives them.
    const std::string quad = PlyOf(false, false, false, false, false, "uchar", "int",
                                   {{0, 1, 2}, {0, 1, 3, 2}, {1, 2, 3}});
    ImportResult q = Read("ply", quad);
    ASSERT_TRUE(q.ok()) << q.error.message;
    ASSERT_EQ(q.mesh.triangles.size(), 12u);
    EXPECT_EQ(std::vector<uint32_t>(q.mesh.triangles.begin(), q.mesh.triangles.begin() + 3),
              (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(std::vector<uint32_t>(q.mesh.triangles.end() - 3, q.mesh.triangles.end()),
              (std::vector<uint32_t>{1, 2, 3}));
    // A negative int count: refused by the generic loop with the face.
    Ply negative(kXyz, 1, "property list int int vertex_indices\n", 1);
    negative.add(0.0f).add(0.0f).add(0.0f).add(int32_t{-3});
    EXPECT_EQ(Refusal("ply", negative.text()),
              "m.ply: the list vertex_indices of face 0 has a negative length, -3");
}

// Texture coordinates of the faces' corners alone: the vertices read fast
// have none of their own.
TEST(ReaderScan, BinaryPlyCornerTextureCoordinates) {
    Ply ply(kXyz, 3, "property list uchar int vertex_indices\nproperty list uchar float texcoord\n",
            1);
    for (int i = 0; i < 3; ++i)
        ply.add(float(i)).add(0.5f).add(float(-i));
    ply.add(uint8_t{3}).add(0).add(1).add(2).add(uint8_t{6});
    for (int k = 0; k < 6; ++k)
        ply.add(0.125f * float(k + 1));
    ExpectSamePrefixes(PlyWith, ply.text());
    ImportResult r = Read("ply", ply.text());
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.texCoords, (std::vector<float>{0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f}));
}

// Counts the data cannot hold are refused before anything is read; the
// vertices are read straight into the arrays, in the file's order.
TEST(ReaderScan, BinaryPlyCountsAndValues) {
    Ply huge(kXyz, 4000000000u, "", 0);
    huge.add(1.0f).add(2.0f).add(3.0f);
    EXPECT_NE(Refusal("ply", huge.text()).find("need at least 48000000000 bytes"),
              std::string::npos);
    ReadOptions options;
    options.keepNormals = true;
    const std::string ply = PlyOf(true, true, true, true, true, "uchar", "uint", {{0, 1, 2}});
    ImportResult r = Read("ply", ply, options);
    ASSERT_TRUE(r.ok()) << r.error.message;
    ASSERT_EQ(r.mesh.vertexCount(), 4u);
    EXPECT_EQ(r.mesh.positions[9], 3.0f);
    EXPECT_EQ(r.mesh.positions[10], 1.1f);
    EXPECT_EQ(r.mesh.positions[11], -1.0f);
    EXPECT_EQ(r.mesh.normals[10], 3.0f);
    // argb: alpha 103, red 180, green 252, blue 3.
    EXPECT_EQ(r.mesh.colors[3], 0x67B4FC03u);
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
}

// An ASCII PLY file of every vertex property the fast path reads, records
// over several lines and together on one, CR LF, and faces it hands back.
const std::string kPlyHeader =
    "ply\r\nformat ascii 1.0\ncomment c\nelement vertex 5\n" + kXyz + kNormals + kRgb +
    "property uchar alpha\nproperty float s\nproperty double t\nproperty float q\n"
    "property uchar flags\nelement face 7\nproperty list uchar int vertex_indices\nend_header\n";
const std::string kPlyVertices =
    "0 0 0 0 0 1 255 0 10 255 0 0 0.5 7\n"
    "1.5 -0 0 0 1 0 0 255 0 128 1 0 -1e3 0\r\n"
    "0 1e0 0.25\t1 0 0\n 0 0 255 0 0.5 1 3 1\n"
    "1 1 0 0.1 0.2 0.3 1 2 3 4 0.125 0.875 0.3333333333 200 "
    "-2.5 0.001 7 0 0 1 9 9 9 9 0.0 1.00 nan 0\n";
const std::string kPlyFaces =
    "3 0 1 2\n"
    "3\t2 1 3\r\n"
    "4 0 1 3 2\n"
    "3 0 1\n4\n"
    "03 1 2 3 3 4 0 2\n"
    "3 000000002 3 4";
const std::string kPlyText = kPlyHeader + kPlyVertices + kPlyFaces;

TEST(ReaderScan, AsciiPlyGivesTheGenericResultForEveryPrefix) {
    ExpectSamePrefixes(PlyWith, kPlyText);
    ExpectSamePrefixes(PlyWith, kPlyText + "\n");
}

// Other property types: the generic loop reads those elements whole.
TEST(ReaderScan, AsciiPlyLayouts) {
    const std::string vertices = "0 0 0 1 2 3\n1 0 0 4 5 6\n0 1 0 7 8 9\n";
    for (const char* colour : {"uchar", "ushort", "float", "char"}) {
        for (const char* index : {"int", "uint", "ushort", "uchar"}) {
            for (const char* count : {"uchar", "int", "char"}) {
                const std::string text =
                    "ply\nformat ascii 1.0\nelement vertex 3\n" + kXyz + "property " + colour +
                    " red\nproperty " + colour + " green\nproperty " + colour +
                    " blue\nelement face 2\nproperty list " + count + " " + index +
                    " vertex_indices\nend_header\n" + vertices + "3 0 1 2\n3 2 1 0\n";
                SCOPED_TRACE(text);
                ExpectSame(PlyWith, text);
                ExpectSame(PlyWith, text.substr(0, text.size() - 3));
            }
        }
    }
    // Indices of a type narrower than the vertex count.
    std::string many;
    for (int k = 0; k < 300; ++k)
        many += std::to_string(k) + " 0 0\n";
    for (const char* index : {"uchar", "char", "ushort", "short", "int", "uint"}) {
        for (const char* face :
             {"3 0 1 255", "3 0 1 256", "3 127 128 2", "3 299 0 1", "3 300 0 1"}) {
            const std::string text = "ply\nformat ascii 1.0\nelement vertex 300\n" + kXyz +
                                     "element face 1\nproperty list uchar " + index +
                                     " vertex_indices\nend_header\n" + many + face + "\n";
            SCOPED_TRACE(std::string(index) + face);
            ExpectSame(PlyWith, text);
        }
    }
    // Faces before the vertices, and corners with texture coordinates.
    ExpectSamePrefixes(PlyWith,
                       "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int "
                       "vertex_indices\nelement vertex 3\n" +
                           kXyz + "end_header\n3 0 1 2\n" + vertices.substr(0, 6) + "\n" +
                           vertices.substr(12, 6) + "\n" + vertices.substr(24, 6) + "\n");
    ExpectSamePrefixes(PlyWith, "ply\nformat ascii 1.0\nelement vertex 3\n" + kXyz +
                                    "element face 1\nproperty list uchar int vertex_indices\n"
                                    "property list uchar float texcoord\nend_header\n"
                                    "0 0 0\n1 0 0\n0 1 0\n3 0 1 2 6 0 0 1 0 0 1\n");
}

// Each value the fast path must leave to the generic loop, in the first
// and in a later record, so that the error names the same line; and the
// limits themselves.
TEST(ReaderScan, AsciiPlyValuesTheGenericLoopJudges) {
    const std::string header = "ply\nformat ascii 1.0\nelement vertex 4\n" + kXyz + kRgb +
                               "element face 2\nproperty list uchar uint vertex_indices\n"
                               "end_header\n";
    const std::string good = "0 0 0 1 2 3\n1 0 0 4 5 6\n0 1 0 7 8 9\n1 1 0 255 0 0\n";
    const char* values[] = {"256",
                            "-1",
                            "+1",
                            "1.0",
                            "1e",
                            "0x1p3",
                            "1.5.",
                            "-",
                            "nan",
                            "inf",
                            "1e39",
                            "1e-50",
                            "4",
                            "1234567890",
                            "9999999999",
                            "0004",
                            "1#",
                            "3 0 1 2 3",
                            "",
                            "18446744073709551617",
                            "18446744073709551871"};
    for (const char* value : values) {
        for (size_t at : {0u, 6u, 42u, 50u, 52u, 60u, 64u}) {
            std::string body = good + "3 0 1 2\n3 3 2 1\n";
            // Replaces the token at `at`.
            const size_t end = body.find_first_of(" \n", at);
            body.replace(at, end - at, value);
            SCOPED_TRACE(body);
            ExpectSame(PlyWith, header + body);
        }
    }
    // The last vertex is a valid index, the vertex count is none.
    const std::string faces = "3 0 1 2\n3 3 2 1\n";
    ImportResult last = Read("ply", header + good + faces);
    ASSERT_TRUE(last.ok()) << last.error.message;
    EXPECT_EQ(last.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 3, 2, 1}));
    EXPECT_EQ(last.mesh.colors[3], EncodeColor({255, 0, 0, 255}, ColorOrder::argb));
    EXPECT_EQ(Refusal("ply", header + good + "3 0 1 2\n3 4 2 1\n"),
              "m.ply:18: face 1 names vertex 4 of 4");
    EXPECT_EQ(Refusal("ply", header + good + "3 0 1 2\n\n3 3 2 1000000000\n"),
              "m.ply:19: face 1 names vertex 1000000000 of 4");
    EXPECT_EQ(Refusal("ply", header + good.substr(0, 36) + "1 1 0 255 0 256\n" + faces),
              "m.ply:16: expected a value of type uchar for property blue of vertex 3, found "
              "\"256\"");
}

TEST(ReaderScan, AsciiPlyMutatedTextsGiveTheGenericResult) {
    ExpectSameMutated(PlyWith, kPlyText, " \t\r\n#-+0234589.en", 3000);
}

// An OFF file through every line the fast path reads: comments, blank
// lines, CR LF, a coloured face, polygons and points, and the last line
// without a line feed.
const std::string kOffText =
    "OFF\n# c\n5 7 0\n"
    "0 0 0\n"
    "1.5 -0 0 # a comment\n"
    "\n  \t\r\n# c\n"
    "0 1e0 0.25\r\n"
    "\t1 1 0#c\n"
    "0.1 0.2 0.3333333333 \n"
    "3 0 1 2\n"
    "3\t2 1 3 # c\r\n"
    "3 0 1 2 255 0 0\n"
    "4 0 1 3 2\n"
    "2 0 1\n"
    "03 1 2 3\n"
    "3 000000002 3 4";

TEST(ReaderScan, OffGivesTheGenericResultForEveryPrefix) {
    ExpectSamePrefixes(OffWith, kOffText);
    ExpectSamePrefixes(OffWith, kOffText + "\n");
    // Other keywords: normals and texture coordinates, colours.
    ExpectSamePrefixes(OffWith, "NOFF\n3 1\n0 0 0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2\n");
    ExpectSamePrefixes(OffWith, "STOFF\n3 1\n0 0 0 0.5 1\n1 0 0 0 0\n0 1 0 1 1\n3 0 1 2\n");
    ExpectSamePrefixes(OffWith,
                       "STNOFF 3 1 0\n0 0 0 0 0 1 0 .5\n1 0 0 0 0 1 1 0\n0 1 0 0 0 1 1 "
                       "1\n3 0 1 2\n");
    ExpectSamePrefixes(OffWith,
                       "COFF\n3 1\n0 0 0 255 0 0\n1 0 0 0 255 0 9\n0 1 0 0 0 1\n3 0 1 2\n");
}

// Each line the fast path must leave to the generic loop, so that the
// error names the same line; and the limits themselves.
TEST(ReaderScan, OffLinesTheGenericLoopJudges) {
    const std::string header = "OFF\n4 2 0\n";
    const std::string good = "0 0 0\n1 0 0\n0 1 0\n1 1 0\n";
    const char* vertexLines[] = {"1 2",      "1 2 3 4", "1 2 +3",   "nan 0 0",   "1 2 3#",
                                 "1 2 3x",   "1e 0 0",  "1e39 0 0", "0x1p3 1 1", "-.5 1 1",
                                 "1. 2. 3.", "1 2\n3",  "# 1 2 3",  "1,2,3"};
    const char* faceLines[] = {"3 0 1 4",
                               "3 0 1 -1",
                               "3 0 1",
                               "3 0 1 2 3 4 5 6",
                               "3 0 1 2 x",
                               "3 0# 1 2",
                               "3 0 1 2#",
                               "3 0 1 1234567890",
                               "3 0 1 000000003",
                               "+3 0 1 2",
                               "3 0 1 +2",
                               "-1 0 1 2",
                               "3 0 1 2.0",
                               "3\n0 1 2",
                               "x",
                               "3 0 1 2 0.5 0.5 0.5 1",
                               "5 0 1 2 3",
                               "",
                               "3 0 1 18446744073709551617",
                               "3 18446744073709551616 1 2"};
    for (const char* line : vertexLines) {
        for (size_t before : {size_t{0}, size_t{12}}) {
            for (const char* after : {"", "\n"}) {
                std::string text = header + good.substr(0, before) + line + "\n" +
                                   good.substr(before, 24 - before) + "3 0 1 2\n3 3 2 1" + after;
                SCOPED_TRACE(text);
                ExpectSame(OffWith, text);
            }
        }
    }
    for (const char* line : faceLines) {
        for (const char* first : {"", "3 0 1 2\n"}) {
            for (const char* after : {"", "\n", "\n3 3 2 1\n"}) {
                std::string text = header + good + first + line + after;
                SCOPED_TRACE(text);
                ExpectSame(OffWith, text);
            }
        }
    }
    // The last vertex is a valid index, the vertex count is none.
    ImportResult last = Read("off", header + good + "3 0 1 2\n3 3 2 1\n");
    ASSERT_TRUE(last.ok()) << last.error.message;
    EXPECT_EQ(last.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 3, 2, 1}));
    EXPECT_EQ(Refusal("off", header + good + "3 0 1 2\n\n# c\n3 4 2 1\n"),
              "m.off:10: face 1 names vertex 4 of 4");
    EXPECT_EQ(Refusal("off", header + good + "3 0 1 2\n3 3 2 1 0.5 x\n"),
              "m.off:8: expected a number, found \"x\"");
    EXPECT_EQ(Refusal("off", header + good.substr(0, 18) + "\n1 1\n3 0 1 2\n3 3 2 1\n"),
              "m.off:7: expected 3 values for a vertex, found 2");
}

TEST(ReaderScan, OffMutatedTextsGiveTheGenericResult) {
    ExpectSameMutated(OffWith, kOffText, " \t\r\n#-+0234589.e", 3000);
}

// Repeated reads in one process give the same mesh as the first.
TEST(ReaderScan, RepeatedTextReadsAreAlike) {
    for (const char* format : {"ply", "off"}) {
        const std::string& text = std::string_view(format) == "ply" ? kPlyText : kOffText;
        ImportResult first = Read(format, text);
        ASSERT_TRUE(first.ok()) << first.error.message;
        EXPECT_FALSE(first.mesh.triangles.empty());
        for (int k = 0; k < 3; ++k) {
            ImportResult again = Read(format, text);
            EXPECT_EQ(Bits(again.mesh.positions), Bits(first.mesh.positions));
            EXPECT_EQ(again.mesh.colors, first.mesh.colors);
            EXPECT_EQ(again.mesh.triangles, first.mesh.triangles);
            EXPECT_EQ(again.mesh.warnings, first.mesh.warnings);
        }
    }
    // A large text, as a benchmark reads it.
    std::string off = "OFF\n40000 39999 0\n";
    for (int k = 0; k < 40000; ++k)
        off += std::to_string(k) + ".25 0." + std::to_string(k % 97) + " -3.5\n";
    for (int k = 0; k < 39999; ++k)
        off += "3 " + std::to_string(k) + " " + std::to_string(k + 1) + " 0\n";
    ExpectSame(OffWith, off);
}

}  // namespace
}  // namespace kvx::test
