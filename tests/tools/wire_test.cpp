// kvxwire's edge de-duplication: inLines as the plain scan, and inList
// (hash-based) against the result of that scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "test_support.h"
#include "wire.h"

namespace {

// Sets mesh.faceCount, the bound of inLines, for one test and restores it.
class Wire : public ::testing::Test {
protected:
    void SetUp() override { saved_ = mesh.faceCount; }
    void TearDown() override { mesh.faceCount = saved_; }

    // A line list of 3 * triangles slots, all sentinels, bounding inLines.
    std::vector<CLine> EmptyList(uint32_t triangles) {
        mesh.faceCount = triangles;
        return std::vector<CLine>(3 * size_t{triangles}, kSentinelLine);
    }

private:
    uint32_t saved_ = 0;
};

// The edge list of triangles as kvxwire builds it.
std::vector<CLine> EdgesOf(const std::vector<uint32_t>& triangles) {
    std::vector<CLine> lines;
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        lines.push_back({triangles[t], triangles[t + 1]});
        lines.push_back({triangles[t + 1], triangles[t + 2]});
        lines.push_back({triangles[t + 2], triangles[t]});
    }
    return lines;
}

// The specified de-duplication, one full scan per record.
uint32_t ScanInList(const std::vector<CLine>& from, std::vector<CLine>& into) {
    uint32_t appended = 0;
    for (const CLine& line : from) {
        if (!inLines(into.data(), line)) into[appended++] = line;
    }
    return appended;
}

// Lines compared by their fields, so that direction counts.
std::vector<std::pair<uint32_t, uint32_t>> Pairs(const std::vector<CLine>& lines, size_t n) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (size_t k = 0; k < n; ++k)
        pairs.emplace_back(lines[k].a, lines[k].b);
    return pairs;
}

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace

TEST_F(Wire, InLinesScansExactlyThreeSlotsPerTriangle) {
    std::vector<CLine> list = EmptyList(2);
    list.push_back({1, 2});  // slot 6: past the bound
    EXPECT_FALSE(inLines(list.data(), {1, 2}));
    list[5] = {3, 4};  // the last slot inside
    EXPECT_TRUE(inLines(list.data(), {3, 4}));
    EXPECT_TRUE(inLines(list.data(), {4, 3}));
    EXPECT_FALSE(inLines(list.data(), {3, 3}));
    EXPECT_FALSE(inLines(list.data(), {4, 4}));
    mesh.faceCount = 1;
    EXPECT_FALSE(inLines(list.data(), {3, 4}));
    mesh.faceCount = 0;
    EXPECT_FALSE(inLines(list.data(), {3, 4}));
}

TEST_F(Wire, SentinelSlotsMatchNoRealEdge) {
    std::vector<CLine> list = EmptyList(1);
    for (CLine line : {CLine{0, 0}, CLine{0, 65535}, CLine{65535, 65535}, CLine{5, 5}}) {
        EXPECT_FALSE(inLines(list.data(), line)) << line.a << "," << line.b;
    }
    EXPECT_TRUE(inLines(list.data(), kSentinelLine));
    list[0] = {5, 5};
    EXPECT_TRUE(inLines(list.data(), {5, 5}));
    EXPECT_FALSE(inLines(list.data(), {5, 6}));
}

TEST_F(Wire, CountLimitsWhatIsVisited) {
    std::vector<CLine> from = EdgesOf({0, 1, 2, 3, 4, 5});
    std::vector<CLine> into = EmptyList(2);
    EXPECT_EQ(inList(from.data(), into.data(), 4), 4u);
    EXPECT_EQ(into[4].a, kSentinelLine.a);
    EXPECT_EQ(inList(from.data(), into.data(), 0), 0u);
}

// Indices above 65535 never come from a mesh, but the contract covers them:
// they compare like any others, and a record equal to the sentinel is found
// in the slots not yet filled.
TEST_F(Wire, WideIndicesAndTheSentinelFollowTheScan) {
    std::vector<CLine> from = {{70000, 3}, {3, 70000},      kSentinelLine,   {4464, 3},
                               {3, 4464},  {UINT32_MAX, 0}, {0, UINT32_MAX}, {65536, 65536}};
    std::vector<CLine> into = EmptyList(3);
    std::vector<CLine> reference = into;
    uint32_t want = ScanInList(from, reference);
    EXPECT_EQ(want, 4u);
    EXPECT_EQ(inList(from.data(), into.data(), from.size()), want);
    EXPECT_EQ(Pairs(into, into.size()), Pairs(reference, reference.size()));
}

// Small meshes over few vertices, so that repeated, reversed and degenerate
// edges abound; some indices at the ends of the 16-bit range, and a few
// records outside it.
TEST_F(Wire, MatchesThePlainScanOnRandomMeshes) {
    const uint32_t kPool[] = {0, 1, 2, 3, 4, 5, 6, 65534, 65535, 65536, 9999999, UINT32_MAX};
    uint64_t state = 20240607;
    for (int round = 0; round < 3000; ++round) {
        uint32_t triangles = static_cast<uint32_t>(SplitMix(state) % 40);
        uint32_t spread = 2 + static_cast<uint32_t>(SplitMix(state) % 9);  // of kPool
        bool wide = round % 4 == 3;
        std::vector<uint32_t> indices;
        for (uint32_t k = 0; k < 3 * triangles; ++k) {
            uint32_t pick = static_cast<uint32_t>(SplitMix(state) % spread);
            indices.push_back(wide ? kPool[(pick + 3) % std::size(kPool)] : kPool[pick]);
        }
        std::vector<CLine> from = EdgesOf(indices);
        // Now and then a list with room to spare, or a record equal to the sentinel.
        uint32_t capacity = triangles + (round % 5 == 0 ? 2 : 0);
        if (wide && !from.empty()) from[SplitMix(state) % from.size()] = kSentinelLine;
        std::vector<CLine> into = EmptyList(capacity);
        std::vector<CLine> reference = into;
        uint32_t want = ScanInList(from, reference);
        ASSERT_EQ(inList(from.data(), into.data(), from.size()), want) << "round " << round;
        ASSERT_EQ(Pairs(into, into.size()), Pairs(reference, reference.size()))
            << "round " << round;

        std::vector<CLine> direct = EmptyList(capacity);
        uint32_t appended = 0;
        ASSERT_TRUE(
            kvx::AppendNewLines(from.data(), direct.data(), from.size(), from.size(), appended));
        ASSERT_EQ(appended, want);
        ASSERT_EQ(Pairs(direct, direct.size()), Pairs(reference, reference.size()));
    }
}

// A mesh far larger than the scan could handle in a test: the edges of a
// closed grid, each shared by two triangles and given twice, once reversed.
TEST_F(Wire, KeepsEachEdgeOfALargeGridOnce) {
    constexpr uint32_t kSide = 256;
    std::vector<uint32_t> triangles;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < kSide; ++i) {
            for (uint32_t j = 0; j < kSide; ++j) {
                uint32_t v00 = i * kSide + j, v01 = i * kSide + (j + 1) % kSide;
                uint32_t v10 = (i + 1) % kSide * kSide + j;
                uint32_t v11 = (i + 1) % kSide * kSide + (j + 1) % kSide;
                if (pass == 0) {
                    triangles.insert(triangles.end(), {v00, v10, v11, v00, v11, v01});
                } else {
                    triangles.insert(triangles.end(), {v00, v11, v10, v00, v01, v11});
                }
            }
        }
    }
    std::vector<CLine> from = EdgesOf(triangles);
    std::vector<CLine> into = EmptyList(static_cast<uint32_t>(triangles.size() / 3));
    uint32_t kept = inList(from.data(), into.data(), from.size());
    // Three edges per grid cell: two sides and the diagonal.
    ASSERT_EQ(kept, 3 * kSide * kSide);
    // Each edge as it first came, checked against an ordered set.
    std::set<std::pair<uint32_t, uint32_t>> seen;
    std::vector<CLine> want;
    for (const CLine& line : from) {
        if (seen.insert(std::minmax(line.a, line.b)).second) want.push_back(line);
    }
    ASSERT_EQ(want.size(), kept);
    EXPECT_EQ(Pairs(into, kept), Pairs(want, kept));
}

// Beyond half a million distinct edges the de-duplication changes method;
// the result may not change with it: first occurrences, in order and
// direction, repeats and reversals dropped, and a wide index among them.
TEST_F(Wire, MostlyDistinctEdgesKeepTheirFirstOccurrences) {
    uint64_t state = 42;
    std::vector<uint32_t> triangles;
    for (int t = 0; t < 250000; ++t) {
        for (int k = 0; k < 3; ++k)
            triangles.push_back(static_cast<uint32_t>(SplitMix(state) % 65536));
        if (t % 7 == 0 && t > 0) {
            // Repeat an earlier triangle reversed, and make one degenerate.
            size_t earlier = 3 * (SplitMix(state) % static_cast<uint64_t>(t));
            triangles.insert(triangles.end(),
                             {triangles[earlier + 2], triangles[earlier + 1], triangles[earlier]});
            triangles.insert(triangles.end(), {triangles[earlier], triangles[earlier], 65535});
        }
    }
    for (bool wide : {false, true}) {
        std::vector<CLine> from = EdgesOf(triangles);
        if (wide) from[from.size() / 2] = {70000, 3};
        std::vector<CLine> into = EmptyList(static_cast<uint32_t>(from.size() / 3));
        uint32_t kept = inList(from.data(), into.data(), from.size());
        std::unordered_set<uint64_t> seen(2 * from.size());
        std::vector<CLine> want;
        for (const CLine& line : from) {
            auto [low, high] = std::minmax(line.a, line.b);
            if (seen.insert(uint64_t{low} << 32 | high).second) want.push_back(line);
        }
        ASSERT_GT(want.size(), 600000u);
        ASSERT_EQ(kept, want.size()) << wide;
        EXPECT_EQ(Pairs(into, kept), Pairs(want, kept)) << wide;
    }
}
