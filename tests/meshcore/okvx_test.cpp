#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "test_support.h"

TEST(Mesh, LinesAreEqualInEitherDirection) {
    EXPECT_TRUE((CLine{3, 7} == CLine{7, 3}));
    EXPECT_TRUE((CLine{3, 7} == CLine{3, 7}));
    EXPECT_FALSE((CLine{3, 7} == CLine{3, 3}));
    EXPECT_FALSE((CLine{3, 7} == CLine{7, 7}));
    EXPECT_FALSE((CLine{3, 7} == CLine{3, 8}));
    EXPECT_TRUE((CLine{5, 5} == CLine{5, 5}));
    EXPECT_FALSE((CLine{5, 5} == CLine{5, 6}));
    EXPECT_TRUE((CLine{65535, 0} == CLine{0, 65535}));
}

TEST(Mesh, AllocationsAreAlignedAndOverflowIsRefused) {
    for (uint64_t count : {0u, 1u, 3u, 1000u}) {
        void* p = KvxAllocate(count, 6);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        KvxFree(p);
    }
    EXPECT_EQ(KvxAllocate(UINT64_MAX / 2, 4), nullptr);
    EXPECT_EQ(KvxAllocate(uint64_t{1} << 62, 1), nullptr);
    // Products that wrap to a small number in 64 bits: 2^64 + 4 and 2^64 + 36.
    EXPECT_EQ(KvxAllocate((uint64_t{1} << 62) + 1, 4), nullptr);
    EXPECT_EQ(KvxAllocate((uint64_t{1} << 60) + 1, 36), nullptr);
    EXPECT_EQ(KvxAllocateArray<VertexkvxV1>((uint64_t{1} << 60) + 1), nullptr);
}

TEST(Mesh, ReleaseFreesAndZeroFills) {
    OKVX m{};
    m.version = 3;
    m.vertexCount = 2;
    m.verticesV3 = KvxAllocateArray<VertexkvxV3>(2);
    m.faces = KvxAllocateArray<uint16_t>(3);
    std::strcpy(m.name, "x");
    KvxRelease(m);
    EXPECT_EQ(m.version, 0);
    EXPECT_EQ(m.vertexCount, 0u);
    EXPECT_EQ(m.verticesV3, nullptr);
    EXPECT_EQ(m.faces, nullptr);
    EXPECT_EQ(m.name[0], 0);
}

TEST(Mesh, RecordSizesByVersion) {
    EXPECT_EQ(KvxRecordSize(1), 16u);
    EXPECT_EQ(KvxRecordSize(2), 16u);
    EXPECT_EQ(KvxRecordSize(-1), 16u);
    EXPECT_EQ(KvxRecordSize(-2), 16u);
    EXPECT_EQ(KvxRecordSize(3), 28u);
    EXPECT_EQ(KvxRecordSize(-3), 28u);
    EXPECT_EQ(KvxRecordSize(4), 36u);
    EXPECT_EQ(KvxRecordSize(0), 0u);
    EXPECT_EQ(KvxRecordSize(5), 0u);
    EXPECT_EQ(KvxRecordSize(-4), 0u);
}

// The layout table against docs/format.md: "Versions" (record, R, index
// block, trailer), "Vertex records" (field offsets), "Index blocks" (values
// per group), "Writing" (the save of each version) and the converters'
// table (values per vertex and their meaning, in order).
struct DocumentedLayout {
    int32_t version;
    kvx::VertexMember member;
    uint32_t recordSize;
    int color, position, normal, uv;  // byte offsets, -1 where the record has none
    int indexValuesPerGroup;
    kvx::Primitive primitive;
    bool hasName;
    kvx::SaveOperation save;
    const char* program;  // null: written by no tool
    int valuesPerVertex, colorAt, uvAt, positionAt;
};

TEST(Layout, EveryVersionAsTheFormatDescribesIt) {
    using kvx::Primitive;
    using kvx::VertexMember;
    const DocumentedLayout documented[] = {
        {1, VertexMember::v1, 16, 0, 4, -1, -1, 3, Primitive::triangles, false, &OKVX::saveV1,
         "kvxconv1", 3, -1, -1, 0},
        {2, VertexMember::v2, 16, 0, 4, -1, -1, 3, Primitive::triangles, false, &OKVX::saveV2,
         "kvxconv2", 7, 0, -1, 4},
        {3, VertexMember::v3, 28, 0, 16, 4, -1, 3, Primitive::triangles, false, &OKVX::saveV3,
         "kvxconv3", 7, 0, -1, 4},
        {4, VertexMember::v4, 36, 8, 24, 12, 0, 3, Primitive::triangles, true, &OKVX::saveV4,
         "kvxconv4", 9, 2, 0, 6},
        {-1, VertexMember::v1, 16, 0, 4, -1, -1, 0, Primitive::points, false, &OKVX::saveVn1,
         "kvxpoints", 7, 0, -1, 4},
        {-2, VertexMember::v1, 16, 0, 4, -1, -1, 2, Primitive::lines, false, &OKVX::saveVn2,
         "kvxwire", 7, 0, -1, 4},
        {-3, VertexMember::v3, 28, 0, 16, 4, -1, 6, Primitive::records, false, nullptr, nullptr, 0,
         -1, -1, 0},
    };
    ASSERT_EQ(kvx::Layouts().size(), std::size(documented));
    for (size_t k = 0; k < std::size(documented); ++k) {
        const DocumentedLayout& d = documented[k];
        SCOPED_TRACE("version " + std::to_string(d.version));
        const kvx::Layout& l = kvx::Layouts()[k];
        EXPECT_EQ(kvx::LayoutOf(d.version), &l);
        EXPECT_EQ(l.version, d.version);
        EXPECT_EQ(l.member, d.member);
        EXPECT_EQ(l.recordSize, d.recordSize);
        EXPECT_EQ(KvxRecordSize(d.version), d.recordSize);
        EXPECT_EQ(l.colorOffset, d.color);
        EXPECT_EQ(l.positionOffset, d.position);
        EXPECT_EQ(l.normalOffset, d.normal);
        EXPECT_EQ(l.uvOffset, d.uv);
        EXPECT_EQ(l.indexValuesPerGroup, d.indexValuesPerGroup);
        EXPECT_EQ(l.primitive, d.primitive);
        EXPECT_EQ(l.hasName, d.hasName);
        EXPECT_EQ(l.save, d.save);
        EXPECT_EQ(kvx::SaveOperationOf(d.version), d.save);
        EXPECT_EQ(std::string(l.text.program ? l.text.program : "-"),
                  std::string(d.program ? d.program : "-"));
        EXPECT_EQ(l.text.valuesPerVertex, d.valuesPerVertex);
        EXPECT_EQ(l.text.colorAt, d.colorAt);
        EXPECT_EQ(l.text.uvAt, d.uvAt);
        EXPECT_EQ(l.text.positionAt, d.positionAt);
        // kvxconv1 colours every vertex opaque red; only kvxpoints reads no
        // triangles and writes the vertex count as the face count; kvxconv3
        // and kvxconv4 compute normals, kvxconv4 alone reads a name.
        EXPECT_EQ(l.text.fixedColor, d.version == 1 ? 0xFFFF0000u : 0u);
        EXPECT_TRUE(d.program == nullptr || l.text.readsTriangles == (d.version != -1));
        EXPECT_EQ(l.text.faceCountIsVertexCount, d.version == -1);
        EXPECT_EQ(l.text.smoothNormals, d.version == 3 || d.version == 4);
        EXPECT_EQ(l.text.readsName, d.version == 4);

        // The vertex member the layout names is the one it sets.
        OKVX m{};
        alignas(16) unsigned char records[64];
        kvx::SetVertexArray(m, l, records);
        const void* members[] = {m.verticesV1, m.verticesV2, m.verticesV3, m.verticesV4};
        for (size_t v = 0; v < 4; ++v)
            EXPECT_EQ(members[v], v == static_cast<size_t>(d.member) ? records : nullptr) << v;
        EXPECT_EQ(kvx::VertexArrayOf(m, l), records);
    }
    for (int32_t code : {0, 5, -4, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(kvx::LayoutOf(code), nullptr) << code;
        EXPECT_EQ(KvxRecordSize(code), 0u) << code;
        EXPECT_EQ(kvx::SaveOperationOf(code), nullptr) << code;
    }
}

TEST(Layout, JsonForTheWebLoadersTest) {
    const std::string json = kvx::LayoutsJson();
    EXPECT_EQ(json.rfind("{\n  \"headerSize\": 15,\n  \"layouts\": [\n    {\"version\": 1, ", 0),
              0u)
        << json;
    EXPECT_NE(json.find("},\n    {\"version\": 4, \"recordSize\": 36, \"fields\": {\"uv\": 0, "
                        "\"color\": 8, \"normal\": 12, \"position\": 24}, "
                        "\"indexValuesPerGroup\": 3, \"primitive\": \"triangles\", "
                        "\"hasName\": true, \"program\": \"kvxconv4\", \"valuesPerVertex\": 9},\n"),
              std::string::npos)
        << json;
    const std::string last =
        "},\n    {\"version\": -3, \"recordSize\": 28, \"fields\": {\"color\": 0, \"normal\": 4, "
        "\"position\": 16}, \"indexValuesPerGroup\": 6, \"primitive\": \"records\", "
        "\"hasName\": false, \"program\": null, \"valuesPerVertex\": 0}\n  ]\n}\n";
    ASSERT_GE(json.size(), last.size());
    EXPECT_EQ(json.substr(json.size() - last.size()), last);
    // One object per layout.
    size_t objects = 0;
    for (size_t at = json.find("{\"version\": "); at != std::string::npos;
         at = json.find("{\"version\": ", at + 1))
        ++objects;
    EXPECT_EQ(objects, kvx::Layouts().size());
}
