// The text mesh writer that kvxexport calls: colour values that truncate
// back to their byte, flipped v values, the triangles that give a
// wireframe's edges (against kvxwire's own edge rule), and the files it
// refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "meshcore/edges.h"
#include "meshcore/failure.h"
#include "meshtext/cmsh_writer.h"
#include "meshtext/color.h"
#include "meshtext/parse_number.h"
#include "test_support.h"

namespace {

float Parse(const std::string& text) {
    float v = 0.0f;
    EXPECT_EQ(ParseFloat(text.data(), text.data() + text.size(), v).ec, std::errc()) << text;
    return v;
}

// The converters' colour rule on one value.
int Packed(const std::string& text) {
    const float values[4] = {Parse(text), 0, 0, 0};
    uint32_t color = 0;
    int bad = 0;
    if (!PackColor(values, color, bad)) return -1;
    return static_cast<int>(color >> 24);
}

TEST(CmshColourText, EveryByteComesBackAndNoShorterDecimalDoes) {
    EXPECT_STREQ(CmshColorText(0), "0");
    EXPECT_STREQ(CmshColorText(255), "1");
    EXPECT_STREQ(CmshColorText(127), "0.5");
    EXPECT_STREQ(CmshColorText(1), "0.004");
    EXPECT_STREQ(CmshColorText(128), "0.502");
    for (int b = 0; b < 256; ++b) {
        const std::string text = CmshColorText(static_cast<uint8_t>(b));
        ASSERT_EQ(Packed(text), b) << text;
        if (b == 0 || b == 255) continue;
        // No decimal with fewer digits after the point gives b.
        const size_t digits = text.size() - 2;
        for (size_t fewer = 1, scale = 10; fewer < digits; ++fewer, scale *= 10) {
            for (size_t m = 0; m < scale; ++m) {
                std::string shorter = std::to_string(m);
                shorter = "0." + std::string(fewer - shorter.size(), '0') + shorter;
                ASSERT_NE(Packed(shorter), b) << shorter << " is shorter than " << text;
            }
        }
    }
}

// The stored v that kvxconv4 makes of a text.
float StoredV(const std::string& text) {
    volatile float one = 1.0f;
    return one - Parse(text);
}

uint32_t Bits(float v) {
    return std::bit_cast<uint32_t>(v);
}

TEST(CmshFlippedText, TheStoredVComesBack) {
    struct Case {
        float v;
        const char* text;
    } cases[] = {
        {0.75f, "0.25"},
        {1.0f, "0"},
        {1.0f - 0.1f, "0.1"},
        {0.5f, "0.5"},
        {0.0f, "1"},
        {-1.0f, "2"},
        {0x1p-24f, "0.99999994"},
        {INFINITY, "-inf"},
        {-INFINITY, "inf"},
        {std::nanf(""), "nan"},
        {-std::nanf(""), "-nan"},
        {-3e38f, "3e+38"},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(CmshFlippedText(c.v, &text)) << c.v;
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(Bits(StoredV(text)), Bits(c.v)) << text;
    }
    // No float t gives these: 1 - t is never -0, never a positive value
    // below 2^-24, never a NaN with a payload.
    std::string text;
    for (float v : {-0.0f, 1e-30f, 0x1p-25f, 0x1.8p-24f, std::bit_cast<float>(0x7FC00001u)}) {
        EXPECT_FALSE(CmshFlippedText(v, &text)) << v;
    }
}

TEST(CmshFlippedText, EveryValueThatKvxconv4StoresComesBack) {
    // Texts t of every magnitude and sign, as the stored 1 - t.
    std::mt19937 random(7);
    for (int k = 0; k < 200000; ++k) {
        const float t = std::bit_cast<float>(static_cast<uint32_t>(random()));
        if (std::isnan(t)) continue;
        volatile float one = 1.0f;
        const float v = one - t;
        std::string text;
        ASSERT_TRUE(CmshFlippedText(v, &text)) << t;
        ASSERT_EQ(Bits(StoredV(text)), Bits(v)) << t << " " << text;
    }
}

// A KVX file as bytes, loaded.
struct Loaded {
    std::string bytes;
    OKVX m{};
    explicit Loaded(std::string file) : bytes(std::move(file)) {
        KvxStatus why;
        EXPECT_NE(KvxLoadMemory(m, bytes.data(), bytes.size(), &why), 0) << KvxStatusMessage(why);
    }
    ~Loaded() { KvxRelease(m); }

    std::string refusal() {
        CmshPlan plan;
        kvx::Failure f = PlanCmsh(m, bytes, &plan);
        EXPECT_EQ(f.kind, kvx::FailureKind::bad_input) << f.message;
        return f.message;
    }
};

// The edges kvxwire keeps of `triangles`: (t0, t1), (t1, t2), (t2, t0) of
// each, the first occurrence of each edge, by kvxwire's own routine.
std::vector<uint16_t> WireEdges(const std::vector<uint32_t>& triangles) {
    std::vector<CLine> all;
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        for (int k = 0; k < 3; ++k)
            all.push_back({triangles[t + static_cast<size_t>(k)],
                           triangles[t + static_cast<size_t>((k + 1) % 3)]});
    }
    std::vector<CLine> kept(all.size());
    uint32_t count = 0;
    EXPECT_TRUE(kvx::AppendNewLines(all.data(), kept.data(), all.size(), kept.size(), count));
    std::vector<uint16_t> edges;
    for (uint32_t k = 0; k < count; ++k) {
        edges.push_back(static_cast<uint16_t>(kept[k].a));
        edges.push_back(static_cast<uint16_t>(kept[k].b));
    }
    return edges;
}

std::string Wireframe(uint32_t vertices, const std::vector<uint16_t>& edges) {
    std::string f = KvxHeader(vertices, static_cast<uint32_t>(edges.size() / 2), -2);
    for (uint32_t i = 0; i < vertices; ++i)
        f += V1Record(0xFFFFFFFF, float(i), 0, 0);
    for (uint16_t e : edges)
        AppendU16(f, e);
    return f;
}

TEST(PlanCmsh, AnyWireframeThatKvxwireWritesHasItsTriangles) {
    std::mt19937 random(11);
    for (int mesh = 0; mesh < 3000; ++mesh) {
        // Few vertices, so that edges repeat, in both directions, and
        // triangles degenerate.
        const auto vertices = static_cast<uint32_t>(1 + random() % 7);
        std::vector<uint32_t> triangles;
        for (auto k = static_cast<uint32_t>(3 * (1 + random() % 12)); k > 0; --k) {
            triangles.push_back(static_cast<uint32_t>(random() % vertices));
        }
        const std::vector<uint16_t> edges = WireEdges(triangles);
        Loaded file(Wireframe(vertices, edges));
        CmshPlan plan;
        kvx::Failure f = PlanCmsh(file.m, file.bytes, &plan);
        ASSERT_FALSE(f) << f.message;
        std::vector<uint32_t> planned(plan.triangles.begin(), plan.triangles.end());
        ASSERT_EQ(WireEdges(planned), edges);
    }
}

TEST(PlanCmsh, RefusesWhatNoConverterWrites) {
    // Edges that no triangles make in this order, or a repeated one.
    EXPECT_EQ(Loaded(Wireframe(4, {0, 1, 2, 3})).refusal(),
              "edge 0 (0, 1) comes from no triangle in its place: kvxwire cannot write these "
              "edges in this order");
    EXPECT_EQ(Loaded(Wireframe(2, {0, 1, 1, 1, 1, 0})).refusal(),
              "edge 2 (1, 0) repeats an earlier edge; kvxwire writes each once");

    const std::string v1 = KvxHeader(1, 0, 1) + V1Record(0xFFFF0000, 0, 0, 0);
    Loaded magic("KVY" + v1.substr(3));
    EXPECT_EQ(magic.refusal(), "the file does not start with \"KVX\", which the converters write");
    EXPECT_EQ(Loaded(v1 + "xy").refusal(),
              "the file has 2 bytes after its last block, which no converter writes");
    EXPECT_EQ(Loaded(KvxHeader(1, 0, 1) + V1Record(0xFFFFFFFF, 0, 0, 0)).refusal(),
              "vertex 0: a version-1 colour other than 0xFFFF0000, which kvxconv1 never writes");
    EXPECT_EQ(Loaded(KvxHeader(1, 7, -1) + V1Record(1, 0, 0, 0)).refusal(),
              "the face count 7 of a point set is not its vertex count 1, which kvxpoints "
              "writes there");
    EXPECT_EQ(
        Loaded(KvxHeader(1, 0, 2) + V1Record(1, 0, std::bit_cast<float>(0x7FC00001u), 0)).refusal(),
        "vertex 0: y is a NaN (0x7FC00001) that no text reads back to");

    // Version 3: a stored normal that the positions do not give.
    std::string v3 = KvxHeader(3, 1, 3);
    for (int i = 0; i < 3; ++i) {
        AppendU32(v3, 0xFFFFFFFF);
        v3 += Floats({0, 0, i == 2 ? -1.0f : 1.0f, float(i == 1), float(i == 2), 0});
    }
    v3 += Indices({0, 1, 2});
    EXPECT_EQ(Loaded(v3).refusal(),
              "vertex 2: the stored normal is not the one computed from the positions, which "
              "kvxconv3 would write");

    // Version 4: names and v values that no text carries.
    auto v4 = [](float v, const std::string& name) {
        std::string f = KvxHeader(1, 0, 4) + Floats({0, v});
        AppendU32(f, 0xFFFFFFFF);
        return f + Floats({0, 0, 0, 0, 0, 0}) + name;
    };
    EXPECT_EQ(Loaded(v4(0.5f, "two words")).refusal(),
              "the name holds white space; a text mesh's name is one word");
    EXPECT_EQ(Loaded(v4(0.5f, std::string("a\0b", 3))).refusal(),
              "the name holds a zero byte, which no text mesh holds");
    EXPECT_EQ(Loaded(v4(1e-30f, "n")).refusal(),
              "vertex 0: the stored v 1e-30 is 1 - t for no single-precision t");
    EXPECT_EQ(Loaded(v4(-0.0f, "n")).refusal(),
              "vertex 0: the stored v -0 is 1 - t for no single-precision t");

    // Versions that no converter writes, and codes of no version.
    for (int32_t version : {0, -3, 5}) {
        OKVX m{};
        m.version = version;
        CmshPlan plan;
        kvx::Failure f = PlanCmsh(m, "KVX", &plan);
        EXPECT_EQ(f.kind, kvx::FailureKind::bad_input);
        EXPECT_EQ(f.message, "version " + std::to_string(version) +
                                 " has no text mesh: no converter writes it");
    }
}

// The text of a planned file, written by WriteCmsh.
std::string TextOf(const std::string& kvx) {
    Loaded file(kvx);
    CmshPlan plan;
    kvx::Failure f = PlanCmsh(file.m, file.bytes, &plan);
    EXPECT_FALSE(f) << f.message;
    TempDir dir;
    KvxStatus why;
    EXPECT_TRUE(WriteCmsh(file.m, plan, dir.file("m.cmsh").c_str(), &why)) << KvxStatusMessage(why);
    return ReadFile(dir.file("m.cmsh"));
}

TEST(WriteCmsh, EachVersionInItsConvertersOrder) {
    // Version 1: positions only, in their shortest texts.
    std::string v1 = KvxHeader(3, 1, 1) + V1Record(0xFFFF0000, 0.1f, -0.0f, 1e-45f) +
                     V1Record(0xFFFF0000, 1, 2, 3) +
                     V1Record(0xFFFF0000, INFINITY, -INFINITY, 16777216.0f) + Indices({0, 2, 1});
    EXPECT_EQ(TextOf(v1), "3 1\n0.1 -0 1e-45\n1 2 3\ninf -inf 16777216\n0 2 1\n");

    // Versions 2 and -1: the four colour values, then the position; a point
    // set has no triangles.
    EXPECT_EQ(TextOf(KvxHeader(1, 0, 2) + V1Record(0x80FF0001, 1.5f, 0, -2)),
              "1 0\n0.502 1 0 0.004 1.5 0 -2\n");
    EXPECT_EQ(TextOf(KvxHeader(2, 2, -1) + V1Record(0, 0, 0, 0) + V1Record(0xFF000000, 1, 1, 1)),
              "2 0\n0 0 0 0 0 0 0\n1 0 0 0 1 1 1\n");

    // Version 3: the normals are not written (kvxconv3 computes them).
    std::string v3 = KvxHeader(3, 1, 3);
    for (int i = 0; i < 3; ++i) {
        AppendU32(v3, 0xFFFFFFFF);
        v3 += Floats({0, 0, 1, float(i == 1), float(i == 2), 0});
    }
    EXPECT_EQ(TextOf(v3 + Indices({0, 1, 2})),
              "3 1\n1 1 1 1 0 0 0\n1 1 1 1 1 0 0\n1 1 1 1 0 1 0\n0 1 2\n");

    // Version 4: u, the flipped v, the colour values, the position; the name.
    std::string v4 = KvxHeader(1, 0, 4) + Floats({0.25f, 0.75f});
    AppendU32(v4, 0x00FF7F01);
    v4 += Floats({0, 0, 0, 4, 5, 6}) + "tri";
    EXPECT_EQ(TextOf(v4), "1 0\n0.25 0.25 0 1 0.5 0.004 4 5 6\ntri\n");

    // Version -2: the planned triangles in place of the edges.
    EXPECT_EQ(TextOf(Wireframe(3, {0, 1, 1, 2, 2, 0})),
              "3 1\n1 1 1 1 0 0 0\n1 1 1 1 1 0 0\n1 1 1 1 2 0 0\n0 1 2\n");
}

}  // namespace
