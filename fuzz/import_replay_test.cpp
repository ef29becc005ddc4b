// The seed corpus and regression inputs of kvximport's readers through the
// same checks as under libFuzzer (import_harness.h), and every byte-prefix
// of each seed, so that every build tests them.
#include <gtest/gtest.h>

#include <string>

#include "import_harness.h"
#include "test_support.h"

namespace {

class ImportReplay : public testing::TestWithParam<std::string> {};

std::string Check(const std::string& target, const std::string& bytes, size_t size) {
    return ImportFuzzOne(target, reinterpret_cast<const uint8_t*>(bytes.data()), size);
}

TEST_P(ImportReplay, EverySeedEveryPrefixAndEveryRegressionEndsCleanly) {
    ASSERT_TRUE(ImportFuzzInit());
    const std::string& name = GetParam();
    size_t seeds = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        const std::string path = std::string(KVX_FUZZ_DIR) + "/" + folder + "/" + name;
        for (const std::string& file : ListFolder(path)) {
            if (file[0] == '.') continue;
            SCOPED_TRACE(path + "/" + file);
            const std::string bytes = ReadFile(path + "/" + file);
            EXPECT_EQ(Check(GetParam(), bytes, bytes.size()), "");
            if (folder[0] != 'c') continue;
            ++seeds;
            for (size_t n = 0; n < bytes.size(); ++n) {
                std::string problem = Check(GetParam(), bytes, n);
                ASSERT_EQ(problem, "") << "the first " << n << " bytes";
            }
        }
    }
    EXPECT_GE(seeds, 3u) << "the seed corpus of " << name << " is missing";
}

INSTANTIATE_TEST_SUITE_P(Fuzz, ImportReplay, testing::ValuesIn(ImportFuzzTargets()),
                         [](const testing::TestParamInfo<std::string>& target) {
                             return target.param;
                         });

}  // namespace
