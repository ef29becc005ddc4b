// The fuzz targets' seed corpus and regression inputs, run through the same
// checks as under libFuzzer (harness.h), so that every build tests them.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "harness.h"
#include "test_support.h"

// Names the target in test output.
void PrintTo(FuzzTarget target, std::ostream* out) {
    *out << FuzzTargetName(target);
}

namespace {

class Replay : public testing::TestWithParam<FuzzTarget> {};

TEST_P(Replay, EverySeedAndRegressionInputEndsCleanly) {
    ASSERT_TRUE(FuzzInit());
    const std::string name = FuzzTargetName(GetParam());
    size_t seeds = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        std::string path = std::string(KVX_FUZZ_DIR) + "/" + folder + "/" + name;
        for (const std::string& file : ListFolder(path)) {
            if (file[0] == '.') continue;
            SCOPED_TRACE(path + "/" + file);
            std::string bytes = ReadFile(path + "/" + file);
            EXPECT_EQ(
                FuzzOne(GetParam(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                "");
            if (folder[0] == 'c') ++seeds;
        }
    }
    EXPECT_GE(seeds, 3u) << "the seed corpus of " << name << " is missing";
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, testing::ValuesIn(kFuzzTargets),
                         [](const testing::TestParamInfo<FuzzTarget>& target) {
                             return std::string(FuzzTargetName(target.param));
                         });

}  // namespace
