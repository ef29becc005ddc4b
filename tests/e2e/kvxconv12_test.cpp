// End-to-end runs of kvxconv1 and kvxconv2.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const std::string kUsage = "proper usage is: <input.cmsh> <output.kvx>\n";

}  // namespace

TEST(Kvxconv1, UsageForTooFewArguments) {
    TempDir dir;
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{dir.file("in.cmsh")}}) {
        RunResult r = RunProgram(KVXCONV1_PATH, args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}
