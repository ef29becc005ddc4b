// What kvx.Mesh(...) builds, without Python: golden files of the normal
// model, the converters' checks and messages, and the colour forms.
#include "mesh_build.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kvxpy::BuildMesh;
using BuildResult = kvx::FailureKind;
using kvxpy::MeshSource;

// A mesh as arrays, the way the module hands them over.
struct Arrays {
    std::vector<float> positions, uv;
    std::vector<uint32_t> colors;
    std::vector<int64_t> indices;
    std::string name;
};

// A text mesh of 7 or 9 values per vertex, parsed here with strtof (the
// same correctly rounded values as the converters' reader) and packed with
// PackColors.
Arrays ParseText(const std::string& path, int values) {
    std::istringstream in(ReadFile(path));
    uint64_t vertices = 0, faces = 0;
    in >> vertices >> faces;
    Arrays a;
    std::vector<float> colorValues;
    for (uint64_t i = 0; i < vertices; ++i) {
        for (int k = 0; k < values; ++k) {
            std::string token;
            in >> token;
            float v = std::strtof(token.c_str(), nullptr);
            int at = k - (values - 7);  // colour values first in 7, after u v in 9
            if (at < 0) {
                a.uv.push_back(v);
            } else if (at < 4) {
                colorValues.push_back(v);
            } else {
                a.positions.push_back(v);
            }
        }
    }
    a.colors.resize(vertices);
    std::string message;
    EXPECT_TRUE(kvxpy::PackColors(colorValues.data(), vertices, a.colors.data(), message))
        << message;
    for (uint64_t k = 0; k < faces * 3; ++k) {
        int64_t index = 0;
        in >> index;
        a.indices.push_back(index);
    }
    if (values == 9) in >> a.name;
    return a;
}

MeshSource SourceOf(const Arrays& a, int32_t version) {
    MeshSource s;
    s.version = version;
    s.vertexCount = a.positions.size() / 3;
    s.positions = a.positions.data();
    s.colors = a.colors.empty() ? nullptr : a.colors.data();
    s.indices.signedValues = a.indices.data();
    s.indices.rows = a.indices.size() / (version == -2 ? 2 : 3);
    s.name = a.name;
    return s;
}

// The file a built mesh saves as, or "" when the build or save fails.
std::string Saved(const MeshSource& s) {
    OKVX m{};
    std::string message;
    if (BuildMesh(s, m, message) != BuildResult::none) {
        ADD_FAILURE() << message;
        return "";
    }
    TempDir dir;
    const std::string path = dir.file("out.kvx");
    const bool saved = (m.*kvx::SaveOperationOf(s.version))(path.c_str(), nullptr);
    KvxRelease(m);
    return saved ? ReadFile(path) : "";
}

// The message of a build that must fail, with the mesh left zero.
std::string Refusal(const MeshSource& s, BuildResult expected = BuildResult::bad_input) {
    OKVX m{};
    std::string message;
    EXPECT_EQ(BuildMesh(s, m, message), expected);
    EXPECT_EQ(m.verticesV1, nullptr);
    EXPECT_EQ(m.verticesV3, nullptr);
    EXPECT_EQ(m.faces, nullptr);
    EXPECT_EQ(m.vertexCount, 0u);
    KvxRelease(m);
    return message;
}

// The golden files of tests/data, computed by the exact model
// normals_model.py: the same normals, colours, flipped v and name as
// kvxconv3 and kvxconv4 write.
TEST(BuildMesh, MatchesTheNormalModelsGoldenFiles) {
    struct Case {
        std::string text;
        int values;
        int32_t version;
        std::string golden;
    } cases[] = {
        {Example("cube7.cmsh"), 7, 3, TestData("cube-v3.kvx")},
        {Example("cube9.cmsh"), 9, 4, TestData("cube-v4.kvx")},
        {TestData("irregular7.cmsh"), 7, 3, TestData("irregular-v3.kvx")},
        {TestData("irregular9.cmsh"), 9, 4, TestData("irregular-v4.kvx")},
    };
    for (const Case& c : cases) {
        Arrays a = ParseText(c.text, c.values);
        MeshSource s = SourceOf(a, c.version);
        if (c.version == 4) s.uv = a.uv.data();
        const std::string golden = ReadFile(c.golden);
        ASSERT_FALSE(golden.empty()) << c.golden;
        EXPECT_TRUE(Saved(s) == golden) << c.text;
    }
}

TEST(BuildMesh, StoredUvIsKeptAndUvIsFlipped) {
    Arrays a;
    a.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    a.uv = {0.5f, 0.25f, 1.0f, 0.1f, -2.0f, 3.0f};
    a.indices = {0, 1, 2};
    MeshSource s = SourceOf(a, 4);
    OKVX m{};
    std::string message;
    s.storedUv = a.uv.data();
    ASSERT_EQ(BuildMesh(s, m, message), BuildResult::none);
    EXPECT_EQ(m.verticesV4[0].v, 0.25f);
    EXPECT_EQ(m.verticesV4[2].u, -2.0f);
    KvxRelease(m);
    s.storedUv = nullptr;
    s.uv = a.uv.data();
    ASSERT_EQ(BuildMesh(s, m, message), BuildResult::none);
    EXPECT_EQ(m.verticesV4[0].u, 0.5f);
    EXPECT_EQ(m.verticesV4[0].v, 0.75f);
    EXPECT_EQ(m.verticesV4[1].v, 1.0f - 0.1f);  // rounded once, in single precision
    EXPECT_EQ(m.verticesV4[2].v, -2.0f);
    KvxRelease(m);
}

TEST(BuildMesh, DefaultsFollowTheConverters) {
    Arrays a;
    a.positions = {1, 2, 3, 4, 5, 6};
    MeshSource s = SourceOf(a, 1);
    std::string message;
    struct Case {
        int32_t version;
        uint32_t color;
        uint32_t faceCount;
    } cases[] = {{1, 0xFFFF0000u, 0}, {2, 0xFFFFFFFFu, 0}, {-1, 0xFFFFFFFFu, 2}};
    for (const Case& c : cases) {
        s.version = c.version;
        OKVX m{};
        ASSERT_EQ(BuildMesh(s, m, message), BuildResult::none);
        const VertexkvxV1* v =
            c.version == 2 ? reinterpret_cast<const VertexkvxV1*>(m.verticesV2) : m.verticesV1;
        EXPECT_EQ(v[1].color, c.color) << c.version;
        EXPECT_EQ(v[1].z, 6.0f);
        // kvxpoints writes the vertex count as the face count.
        EXPECT_EQ(m.faceCount, c.faceCount) << c.version;
        EXPECT_EQ(m.version, c.version);
        KvxRelease(m);
    }
}

TEST(BuildMesh, EveryIndexMustNameAVertexAndFitIn16Bits) {
    Arrays a;
    a.positions.assign(4 * 3, 0.0f);
    struct Case {
        int32_t version;
        std::vector<int64_t> indices;
        std::string message;  // "" when accepted
    } cases[] = {
        {3, {0, 1, 2, 1, 2, 3}, ""},
        {3, {0, 1, 2, 1, 2, 4}, "face 1 names vertex 4 of 4"},
        {3, {0, -1, 2}, "face 0 names vertex -1 of 4"},
        {2, {3, 3, 3, 0, 0, 5}, "face 1 names vertex 5 of 4"},
        {-2, {0, 3, 3, 0}, ""},
        {-2, {0, 3, 3, 0, 4, 0}, "edge 2 names vertex 4 of 4"},
    };
    for (const Case& c : cases) {
        Arrays b = a;
        b.indices = c.indices;
        MeshSource s = SourceOf(b, c.version);
        if (c.message.empty()) {
            OKVX m{};
            std::string message;
            ASSERT_EQ(BuildMesh(s, m, message), BuildResult::none) << message;
            EXPECT_EQ(m.faceCount, c.indices.size() / (c.version == -2 ? 2 : 3));
            EXPECT_EQ(m.faces[c.indices.size() - 1], c.indices.back());
            KvxRelease(m);
        } else {
            EXPECT_EQ(Refusal(s), c.message);
        }
    }

    // Past 65535 an index is refused even where the vertex exists.
    Arrays big;
    big.positions.assign(70000 * 3, 0.0f);
    big.indices = {0, 65535, 1};
    MeshSource s = SourceOf(big, 1);
    OKVX m{};
    std::string message;
    ASSERT_EQ(BuildMesh(s, m, message), BuildResult::none);
    EXPECT_EQ(m.faces[1], 65535);
    KvxRelease(m);
    big.indices = {0, 65536, 1};
    EXPECT_EQ(Refusal(SourceOf(big, 1)),
              "face 0 names vertex 65536, beyond the 16-bit index range (at most 65535)");

    // Unsigned indices past the signed range.
    const uint64_t huge[] = {0, 1, std::numeric_limits<uint64_t>::max()};
    s = SourceOf(a, 3);
    s.indices = {nullptr, huge, 1};
    EXPECT_EQ(Refusal(s), "face 0 names vertex 18446744073709551615 of 4");
}

TEST(BuildMesh, CountsAreLimitedAsTheConvertersLimitThem) {
    MeshSource s;
    s.version = 3;
    s.vertexCount = 153391690;  // one past 4 GiB of 28-byte records
    EXPECT_EQ(Refusal(s), "the vertex count 153391690 is too large (at most 153391689)");
    s.version = -1;
    s.vertexCount = 268435456;
    EXPECT_EQ(Refusal(s), "the vertex count 268435456 is too large (at most 268435455)");
    s.vertexCount = 0;
    s.version = 4;
    s.indices.rows = 214748365;  // 20-byte faces of the normal pass
    EXPECT_EQ(Refusal(s), "the face count 214748365 is too large (at most 214748364)");
    s.version = -2;
    s.indices.rows = 1073741824;
    EXPECT_EQ(Refusal(s), "the edge count 1073741824 is too large (at most 1073741823)");
}

TEST(BuildMesh, NamesAreCheckedAsKvxconv4ChecksThem) {
    std::string message;
    EXPECT_TRUE(kvxpy::CheckName(std::string(255, 'n'), message));
    EXPECT_FALSE(kvxpy::CheckName(std::string(256, 'n'), message));
    EXPECT_EQ(message, "the name is 256 characters long; at most 255 fit");
    EXPECT_FALSE(kvxpy::CheckName(std::string("ab\0c\n", 5), message));
    EXPECT_EQ(message, "the name \"ab\\x00c\\x0a\" holds a zero byte");

    Arrays a;
    a.positions = {0, 0, 0};
    a.name = std::string(300, 'x');
    EXPECT_EQ(Refusal(SourceOf(a, 4)), "the name is 300 characters long; at most 255 fit");
    a.name = "part 7";  // a file's name may hold what a text token cannot
    MeshSource s = SourceOf(a, 4);
    const std::string file = Saved(s);
    EXPECT_EQ(file.substr(file.size() - 6), "part 7");
}

TEST(PackColors, TruncatesAsTheTextReaderAndRefusesWhatSpills) {
    const float good[] = {0.2f, 0.4f, 0.6f, 0.8f, 1.003f, -0.001f, 0.5f, 1.0f};
    uint32_t words[2] = {};
    std::string message;
    ASSERT_TRUE(kvxpy::PackColors(good, 2, words, message));
    EXPECT_EQ(words[0], 0x336699CCu);
    EXPECT_EQ(words[1], 0xFF007FFFu);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float value;
        std::string message;
    } cases[] = {
        {256.0f / 255.0f, "vertex 1: colour value 1.0039216 times 255 is outside 0 to 255"},
        {-0.004f, "vertex 1: colour value -0.004 times 255 is outside 0 to 255"},
        {nan, "vertex 1: colour value nan is not a number"},
    };
    for (const Case& c : cases) {
        float values[8] = {0, 0, 0, 0, 0, 0, c.value, 0};
        EXPECT_FALSE(kvxpy::PackColors(values, 2, words, message));
        EXPECT_EQ(message, c.message);
    }
}

TEST(ColorWords, IntegersInRangeAndBytesInEitherOrder) {
    uint32_t words[3] = {};
    std::string message;
    const int64_t good[] = {0, 4294967295, 0x336699CC};
    ASSERT_TRUE(kvxpy::WordsFromIntegers(good, 3, words, message));
    EXPECT_EQ(words[1], 0xFFFFFFFFu);
    const int64_t negative[] = {0, 1, -1};
    EXPECT_FALSE(kvxpy::WordsFromIntegers(negative, 3, words, message));
    EXPECT_EQ(message, "vertex 2: colour word -1 is outside 0 to 4294967295");
    const uint64_t wide[] = {4294967296};
    EXPECT_FALSE(kvxpy::WordsFromIntegers(wide, 1, words, message));
    EXPECT_EQ(message, "vertex 0: colour word 4294967296 is outside 0 to 4294967295");

    const uint8_t rgba[] = {0x11, 0x22, 0x33, 0x44};
    kvxpy::WordsFromBytes(rgba, 1, ColorOrder::argb, words);
    EXPECT_EQ(words[0], 0x44112233u);
    kvxpy::WordsFromBytes(rgba, 1, ColorOrder::rgba, words);
    EXPECT_EQ(words[0], 0x11223344u);
}

}  // namespace
