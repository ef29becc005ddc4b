// End-to-end runs of kvxconv1 and kvxconv2: what they echo and the bytes
// they write. What all converters share is in converters_test.cpp, their
// messages for bad text in fault_matrix_test.cpp.
#include <gtest/gtest.h>

#include "test_support.h"

TEST(Kvxconv1, EmptyMeshPrintsTheCountsAndWritesTheHeader) {
    Conversion c = Convert(KVXCONV1_PATH, "0 0");
    ExpectConverted(c, "vertexCount = 0\nfaceCount = 0\nversion = 1\n",
                    Bytes({'K', 'V', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(Kvxconv1, EchoesAndWritesPositionsWithTheFixedColour) {
    Conversion c = Convert(KVXCONV1_PATH, "3 2\n1 2 3\n0.1 -0.5 1e3\n0 0 0\n0 1 2\n2 1 +0\n");
    ExpectConverted(c,
                    "vertexCount = 3\nfaceCount = 2\nversion = 1\n"
                    "0xFFFF0000 1.000000 2.000000 3.000000\n"
                    "0xFFFF0000 0.100000 -0.500000 1000.000000\n"
                    "0xFFFF0000 0.000000 0.000000 0.000000\n"
                    "0 1 2\n"
                    "2 1 0\n",
                    KvxHeader(3, 2, 1) + V1Record(0xFFFF0000, 1, 2, 3) +
                        V1Record(0xFFFF0000, 0.1f, -0.5f, 1000) + V1Record(0xFFFF0000, 0, 0, 0) +
                        Indices({0, 1, 2}) + Indices({2, 1, 0}));
}

TEST(Kvxconv2, PacksColoursAndEchoesThem) {
    Conversion c = Convert(KVXCONV2_PATH,
                           "4 2\n"
                           "1 0 0 0 1 2 3\n"
                           "0.2 0.4 0.6 0.8 -1 -2 -3\n"
                           "0.5 0.3 0.999\n1.003 4 5 6\n"  // one entry over two lines
                           "-0.003 0 0 1 7 8 9 0 1 2\n"    // an entry and a triangle on one line
                           "3 2 1\n");
    ExpectConverted(c,
                    "vertexCount = 4\nfaceCount = 2\nversion = 2\n"
                    "0xFF000000 1.000000 2.000000 3.000000\n"
                    "0x336699CC -1.000000 -2.000000 -3.000000\n"
                    "0x7F4CFEFF 4.000000 5.000000 6.000000\n"
                    "0xFF 7.000000 8.000000 9.000000\n"
                    "0 1 2\n"
                    "3 2 1\n",
                    KvxHeader(4, 2, 2) + V1Record(0xFF000000, 1, 2, 3) +
                        V1Record(0x336699CC, -1, -2, -3) + V1Record(0x7F4CFEFF, 4, 5, 6) +
                        V1Record(0x000000FF, 7, 8, 9) + Indices({0, 1, 2, 3, 2, 1}));
}

// Each entry read is echoed before the fault in the next one is reported.
TEST(Kvxconv2, EchoesWhatItReadBeforeAFault) {
    Conversion c = Convert(KVXCONV2_PATH, "2 2\n1 0 0 0 1 2 3\n1 0 0 0 4 5 6\n0 1 0\n1 0 2\n");
    EXPECT_EQ(c.run.exitStatus, 2);
    EXPECT_EQ(c.run.out,
              "vertexCount = 2\nfaceCount = 2\nversion = 2\n"
              "0xFF000000 1.000000 2.000000 3.000000\n"
              "0xFF000000 4.000000 5.000000 6.000000\n"
              "0 1 0\n");
    EXPECT_NE(c.run.err.find(":5: face 1 names vertex 2 of 2\n"), std::string::npos);
    EXPECT_EQ(c.file, "");
}
