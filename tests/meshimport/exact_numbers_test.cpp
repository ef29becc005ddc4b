// Every text reader rounds a decimal to float exactly as strtof does, on the
// values that naive parsers get wrong: halfway cases, long digit strings,
// the edges of the range, subnormals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "import_test_support.h"

namespace kvx::test {
namespace {

const std::vector<std::string> kAwkward = {
    "1677721.7",  // near 2^24 / 10: the float below and above are close
    "0.1",
    "16777217",               // halfway between two floats: ties to even
    "16777219",               // the other tie
    "3.4028235e38",           // the largest float
    "3.4028235677973366e38",  // just below the halfway point to infinity
    "3.4028236e38",           // beyond it: infinity
    "1e40",
    "-1e40",
    "1.17549435e-38",         // the smallest normal float
    "1.1754942e-38",          // the largest subnormal
    "1e-45",                  // the smallest subnormal, rounded up
    "7e-46",                  // rounds up to the smallest subnormal
    "7.006492321624085e-46",  // just above half of it
    "7.006492321624085354618e-46",
    "2e-46",  // rounds to zero
    "-0",
    "0.30000001192092896",
    "2.0000001192092896",
    "123456789012345678901234567890",
    "0.000000000000000000000000000000000000000000001401298464324817070923729583289916",
    "4.9406564584124654e-324",
    "8388608.5",  // halfway at the point where floats become integers
    "8388609.5",
    "1.00000005960464477539062499",  // one digit short of halfway: rounds down
    "1.00000005960464477539062501",  // just past it: rounds up
    "0x1.fffffep127",
    "INF",
    "-Infinity",
    "+5e-1",
    ".5",
    "5.",
};

float Strtof(const std::string& text) {
    return std::strtof(text.c_str(), nullptr);
}

TEST(ExactNumbers, EveryReaderRoundsAsStrtof) {
    for (const std::string& value : kAwkward) {
        SCOPED_TRACE(value);
        const uint32_t expected = Bits(Strtof(value));
        const std::string xyz = value + " 0 0";
        struct Source {
            std::string_view format;
            std::string text;
        } sources[] = {
            {"obj", "v " + xyz + "\n"},
            {"off", "OFF\n1 0 0\n" + xyz + "\n"},
            {"ply",
             "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n"
             "property float y\nproperty float z\nend_header\n" +
                 xyz + "\n"},
            {"ply",
             "ply\nformat ascii 1.0\nelement vertex 1\nproperty double x\n"
             "property double y\nproperty double z\nend_header\n" +
                 xyz + "\n"},
            {"stl", "solid\nfacet normal 0 0 0\nouter loop\nvertex " + xyz +
                        "\nvertex 0 0 0\nvertex 0 0 0\nendloop\nendfacet\nendsolid\n"},
        };
        for (const Source& s : sources) {
            ImportResult r = Read(s.format, s.text);
            ASSERT_TRUE(r.ok()) << r.error.message;
            ASSERT_FALSE(r.mesh.positions.empty());
            EXPECT_EQ(Bits(r.mesh.positions[0]), expected) << s.format;
        }
    }
}

}  // namespace
}  // namespace kvx::test
