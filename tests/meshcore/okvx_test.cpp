#include <gtest/gtest.h>

#include <cstring>

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

TEST(Mesh, V1AndV2RecordsOfTheSameValuesAreByteIdentical) {
    VertexkvxV1 a{0x336699CCu, 1.5f, -2.0f, 3.25f};
    VertexkvxV2 b{0x336699CCu, 1.5f, -2.0f, 3.25f};
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
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
