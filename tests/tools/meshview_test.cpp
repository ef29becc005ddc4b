// The mesh view that kvxrender and kvxexport read through: fields of every
// version, the index checks, the colour readings and the option words.
#include <gtest/gtest.h>

#include <string>

#include "meshview/export.h"
#include "meshview/mesh_view.h"
#include "meshview/raster.h"
#include "test_support.h"

namespace {

// One vertex record of `version`; each field holds a value of its own.
std::string Record(int32_t version, uint32_t color, float base) {
    std::string r;
    if (version == 4) {
        AppendF32(r, base + 0.25f);  // u
        AppendF32(r, base + 0.5f);   // v, stored as 1 - the text's value
    }
    AppendU32(r, color);
    if (version == 3 || version == 4) {
        AppendF32(r, base + 1.0f);
        AppendF32(r, base + 2.0f);
        AppendF32(r, base + 3.0f);
    }
    AppendF32(r, base + 10.0f);
    AppendF32(r, base + 20.0f);
    AppendF32(r, base + 30.0f);
    return r;
}

// A file of `vertexCount` records and the given 16-bit index values.
std::string File(int32_t version, uint32_t vertexCount, uint32_t groupCount,
                 std::initializer_list<uint16_t> indices, const std::string& name = "") {
    std::string f = KvxHeader(vertexCount, groupCount, version);
    for (uint32_t i = 0; i < vertexCount; ++i)
        f += Record(version, 0xA0B0C0D0u + i, static_cast<float>(i) * 100.0f);
    for (uint16_t index : indices)
        AppendU16(f, index);
    return f + name;
}

struct Loaded {
    OKVX m{};
    MeshGuard guard{m};
    MeshView view;
    bool ok = false;
    std::string error;

    explicit Loaded(const std::string& bytes) {
        EXPECT_EQ(KvxLoadMemory(m, bytes.data(), bytes.size()), 1);
        ok = MakeMeshView(m, &view, &error);
    }
};

TEST(MeshView, ReadsTheFieldsOfEveryVersion) {
    for (int32_t version : {1, 2, 3, 4, -1, -2}) {
        SCOPED_TRACE(version);
        bool lines = version == -2, points = version == -1;
        Loaded l(File(version, 2, points ? 7 : 1,
                      lines    ? std::initializer_list<uint16_t>{1, 0}
                      : points ? std::initializer_list<uint16_t>{}
                               : std::initializer_list<uint16_t>{1, 0, 1},
                      version == 4 ? "cube" : ""));
        ASSERT_TRUE(l.ok) << l.error;
        const MeshView& v = l.view;
        EXPECT_EQ(v.primitive, lines    ? Primitive::lines
                               : points ? Primitive::points
                                        : Primitive::triangles);
        EXPECT_EQ(v.vertexCount, 2u);
        EXPECT_EQ(v.groupCount, points ? 0u : 1u);  // a point set's face count means nothing
        EXPECT_EQ(ViewColor(v, 1), 0xA0B0C0D1u);
        CVector p = ViewPosition(v, 1);
        EXPECT_EQ(FloatBits(p.x), FloatBits(110.0f));
        EXPECT_EQ(FloatBits(p.y), FloatBits(120.0f));
        EXPECT_EQ(FloatBits(p.z), FloatBits(130.0f));
        CVector n = ViewNormal(v, 1);
        bool normals = version == 3 || version == 4;
        EXPECT_EQ(v.hasNormals, normals);
        EXPECT_EQ(FloatBits(n.x), FloatBits(normals ? 101.0f : 0.0f));
        EXPECT_EQ(FloatBits(n.z), FloatBits(normals ? 103.0f : 0.0f));
        TexCoord st = ViewTexCoord(v, 1);
        EXPECT_EQ(v.hasTexture, version == 4);
        EXPECT_EQ(FloatBits(st.s), FloatBits(version == 4 ? 100.25f : 0.0f));
        EXPECT_EQ(FloatBits(st.t), FloatBits(version == 4 ? 1.0f - 100.5f : 0.0f));
        EXPECT_EQ(v.name == nullptr ? std::string("-") : std::string(v.name),
                  version == 4 ? "cube" : "-");
    }
}

TEST(MeshView, RefusesVersionsWithoutKnownGeometry) {
    for (int32_t version : {0, -3, 5}) {
        std::string f = KvxHeader(0, 0, version);
        OKVX m{};
        MeshGuard guard{m};
        KvxLoadMemory(m, f.data(), f.size());
        MeshView view;
        std::string error;
        EXPECT_FALSE(MakeMeshView(m, &view, &error));
        EXPECT_EQ(error, "version " + std::to_string(version) +
                             " is not supported (versions 1 to 4, -1 and -2 are)");
    }
}

TEST(MeshView, ChecksEveryIndexAgainstTheVertexCount) {
    // The last vertex is fine; one past it is named with its group.
    EXPECT_TRUE(Loaded(File(1, 3, 2, {0, 1, 2, 2, 1, 0})).ok);
    Loaded face(File(3, 3, 2, {0, 1, 2, 2, 3, 0}));
    EXPECT_FALSE(face.ok);
    EXPECT_EQ(face.error, "face 1 names vertex 3 of 3");
    Loaded wide(File(4, 3, 1, {65535, 0, 0}));
    EXPECT_EQ(wide.error, "face 0 names vertex 65535 of 3");
    Loaded edge(File(-2, 2, 2, {0, 1, 1, 2}));
    EXPECT_EQ(edge.error, "edge 1 names vertex 2 of 2");
    Loaded none(File(2, 0, 1, {0, 0, 0}));
    EXPECT_EQ(none.error, "face 0 names vertex 0 of 0");
    // A point set has no indices to check, whatever its face count says.
    EXPECT_TRUE(Loaded(File(-1, 0, 9, {})).ok);
}

TEST(MeshView, ReadsTheColourWordEitherWay) {
    Rgba argb = DecodeColor(0x11223344u, ColorOrder::argb);
    EXPECT_EQ((std::vector<int>{argb.r, argb.g, argb.b, argb.a}),
              (std::vector<int>{0x22, 0x33, 0x44, 0x11}));
    Rgba rgba = DecodeColor(0x11223344u, ColorOrder::rgba);
    EXPECT_EQ((std::vector<int>{rgba.r, rgba.g, rgba.b, rgba.a}),
              (std::vector<int>{0x11, 0x22, 0x33, 0x44}));
}

TEST(MeshView, OptionWords) {
    ColorOrder order = ColorOrder::argb;
    EXPECT_TRUE(ParseColorOrder("rgba", &order));
    EXPECT_EQ(order, ColorOrder::rgba);
    EXPECT_TRUE(ParseColorOrder("argb", &order));
    EXPECT_EQ(order, ColorOrder::argb);
    EXPECT_FALSE(ParseColorOrder("RGBA", &order));
    EXPECT_FALSE(ParseColorOrder("", &order));

    ViewDirection view = ViewDirection::iso;
    EXPECT_TRUE(ParseViewDirection("bottom", &view));
    EXPECT_EQ(view, ViewDirection::bottom);
    EXPECT_FALSE(ParseViewDirection("isometric", &view));
    EXPECT_EQ(view, ViewDirection::bottom);

    ExportFormat format = ExportFormat::obj;
    EXPECT_TRUE(ExportFormatOf("dir.obj/mesh.PLY", &format));
    EXPECT_EQ(format, ExportFormat::ply);
    EXPECT_TRUE(ExportFormatOf(".Obj", &format));
    EXPECT_EQ(format, ExportFormat::obj);
    EXPECT_FALSE(ExportFormatOf("mesh.stl", &format));
    EXPECT_FALSE(ExportFormatOf("ply", &format));
    EXPECT_FALSE(ExportFormatOf("mesh.ply ", &format));
}

TEST(MeshView, NamesFitOnOneLine) {
    EXPECT_EQ(OneLineName("a b\tc\nd\x7f"
                          "e\xc3\xa9"),
              "a b?c?d?e\xc3\xa9");
}

}  // namespace
