// The bad-input matrix: every kind of malformed text mesh against every
// converter, with the outcome of each cell written down. A cell either
// converts (where the converter never reads the faulty part; a warning may
// say what it did not read) or fails with exit status 2 and exactly one
// line naming the program, the file, the line and the fault, leaving the
// previous output file as it was and nothing beside it. This is the one
// place where the converters' messages for bad text are checked.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// One vertex entry of ones, with `replaced` (if any) as value `at`.
std::string Vertex(const ConverterLayout& l, int at = -1, const std::string& replaced = "") {
    std::string entry;
    for (int k = 0; k < static_cast<int>(l.valuesPerVertex); ++k) {
        entry += (k ? " " : "") + (k == at ? replaced : "1");
    }
    return entry + "\n";
}

// Three vertices (lines 2 to 4), then `triangle` on line 5 and `rest`.
std::string Triangle(const ConverterLayout& l, const std::string& triangle,
                     const std::string& rest = "") {
    return "3 1\n" + Vertex(l) + Vertex(l) + Vertex(l) + triangle + rest;
}

// The value of colour `k` of a vertex (the first value where there is no
// colour, which kvxconv1 reads as a position).
int ColourAt(const ConverterLayout& l, int k) {
    return l.colorAt < 0 ? 0 : l.colorAt + k;
}

// What one converter does with a text: the exit status, and standard error
// after "<program>: <input>" ("" when nothing is printed).
struct Outcome {
    int status;
    std::string err;
};

struct Case {
    std::string what;
    std::function<std::string(const ConverterLayout&)> text;
    // kvxconv1, kvxconv2, kvxconv3, kvxconv4, kvxpoints, kvxwire.
    std::vector<Outcome> outcomes;
};

// The same outcome in every converter.
std::vector<Outcome> All(const Outcome& o) {
    return std::vector<Outcome>(6, o);
}

const Outcome kConverts{0, ""};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"an empty file", [](const ConverterLayout&) { return std::string(); },
         All({2, ":1: expected the vertex count, found end of file"})},
        {"a word for the vertex count",
         [](const ConverterLayout&) { return std::string("abc 0\n"); },
         All({2, ":1: expected the vertex count, found \"abc\""})},
        {"a negative vertex count", [](const ConverterLayout&) { return std::string("-1 0\n"); },
         All({2, ":1: expected the vertex count, found \"-1\""})},
        {"a vertex count past 32 bits",
         [](const ConverterLayout&) { return std::string("4294967296 0"); },
         All({2, ":1: the vertex count \"4294967296\" does not fit in 32 bits"})},
        {"no face count", [](const ConverterLayout&) { return std::string("1\n"); },
         All({2, ":1: expected the face count, found end of file"})},
        {"a fraction for the face count",
         [](const ConverterLayout&) { return std::string("1 0.5\n"); },
         All({2, ":1: expected the face count, found \"0.5\""})},
        // Every array stays below 4 GiB (16, 28 or 36 bytes a vertex), and
        // the text must hold two bytes a value.
        {"a vertex count past the arrays",
         [](const ConverterLayout&) { return std::string("200000000 0\n"); },
         {{2,
           ":1: the counts promise 200000000 vertices and 0 faces, at least 1200000000 bytes "
           "of text, but only 1 follow"},
          {2,
           ":1: the counts promise 200000000 vertices and 0 faces, at least 2800000000 bytes "
           "of text, but only 1 follow"},
          {2, ":1: the vertex count 200000000 is too large (at most 153391689)"},
          {2, ":1: the vertex count 200000000 is too large (at most 119304647)"},
          {2,
           ":1: the counts promise 200000000 vertices, at least 2800000000 bytes of text, but "
           "only 1 follow"},
          {2,
           ":1: the counts promise 200000000 vertices and 0 faces, at least 2800000000 bytes "
           "of text, but only 1 follow"}}},
        // 6 bytes a triangle as read, 20 for the face normals, 24 for the
        // edges of kvxwire.
        {"a face count past the arrays",
         [](const ConverterLayout&) { return std::string("0 300000000\n"); },
         {{2,
           ":1: the counts promise 0 vertices and 300000000 faces, at least 1800000000 bytes "
           "of text, but only 1 follow"},
          {2,
           ":1: the counts promise 0 vertices and 300000000 faces, at least 1800000000 bytes "
           "of text, but only 1 follow"},
          {2, ":1: the face count 300000000 is too large (at most 214748364)"},
          {2, ":1: the face count 300000000 is too large (at most 214748364)"},
          kConverts,
          {2, ":1: the face count 300000000 is too large (at most 178956970)"}}},
        {"counts that the text cannot hold",
         [](const ConverterLayout& l) { return "3 1\n" + Vertex(l); },
         {{2,
           ":1: the counts promise 3 vertices and 1 face, at least 24 bytes of text, but "
           "only 7 follow"},
          {2,
           ":1: the counts promise 3 vertices and 1 face, at least 48 bytes of text, but "
           "only 15 follow"},
          {2,
           ":1: the counts promise 3 vertices and 1 face, at least 48 bytes of text, but "
           "only 15 follow"},
          {2,
           ":1: the counts promise 3 vertices and 1 face, at least 60 bytes of text, but "
           "only 19 follow"},
          {2, ":1: the counts promise 3 vertices, at least 42 bytes of text, but only 15 follow"},
          {2,
           ":1: the counts promise 3 vertices and 1 face, at least 48 bytes of text, but "
           "only 15 follow"}}},
        {"a value that is not a number",
         [](const ConverterLayout& l) {
             return "2 0\n" + Vertex(l) +
                    Vertex(l, static_cast<int>(l.valuesPerVertex) - 1, "1.5abc") + "\n";
         },
         All({2, ":3: expected a number, found \"1.5abc\""})},
        {"a vertex entry cut short",
         [](const ConverterLayout& l) {
             std::string entry = Vertex(l);
             return "1 0\n" + entry.substr(0, entry.size() - 3) + std::string(20, ' ');
         },
         {{2, ":2: expected 3 vertex values, found end of file"},
          {2, ":2: expected 7 vertex values, found end of file"},
          {2, ":2: expected 7 vertex values, found end of file"},
          {2, ":2: expected 9 vertex values, found end of file"},
          {2, ":2: expected 7 vertex values, found end of file"},
          {2, ":2: expected 7 vertex values, found end of file"}}},
        {"a colour that is not a number",
         [](const ConverterLayout& l) { return "1 0\n" + Vertex(l, ColourAt(l, 0), "nan"); },
         {kConverts,
          {2, ":2: colour value nan is not a number"},
          {2, ":2: colour value nan is not a number"},
          {2, ":2: colour value nan is not a number"},
          {2, ":2: colour value nan is not a number"},
          {2, ":2: colour value nan is not a number"}}},
        {"a colour of 1e10",
         [](const ConverterLayout& l) { return "1 0\n" + Vertex(l, ColourAt(l, 3), "1e10"); },
         {kConverts,
          {2, ":2: colour value 1e+10 times 255 is outside 0 to 255"},
          {2, ":2: colour value 1e+10 times 255 is outside 0 to 255"},
          {2, ":2: colour value 1e+10 times 255 is outside 0 to 255"},
          {2, ":2: colour value 1e+10 times 255 is outside 0 to 255"},
          {2, ":2: colour value 1e+10 times 255 is outside 0 to 255"}}},
        // A value that would spill into the next byte: 1 0 0 2 once gave
        // 0xFF0001FE, and -0.5 set every higher bit.
        {"a colour of 2",
         [](const ConverterLayout& l) { return "1 0\n" + Vertex(l, ColourAt(l, 3), "2"); },
         {kConverts,
          {2, ":2: colour value 2 times 255 is outside 0 to 255"},
          {2, ":2: colour value 2 times 255 is outside 0 to 255"},
          {2, ":2: colour value 2 times 255 is outside 0 to 255"},
          {2, ":2: colour value 2 times 255 is outside 0 to 255"},
          {2, ":2: colour value 2 times 255 is outside 0 to 255"}}},
        {"a colour of -0.5",
         [](const ConverterLayout& l) { return "1 0\n" + Vertex(l, ColourAt(l, 1), "-0.5"); },
         {kConverts,
          {2, ":2: colour value -0.5 times 255 is outside 0 to 255"},
          {2, ":2: colour value -0.5 times 255 is outside 0 to 255"},
          {2, ":2: colour value -0.5 times 255 is outside 0 to 255"},
          {2, ":2: colour value -0.5 times 255 is outside 0 to 255"},
          {2, ":2: colour value -0.5 times 255 is outside 0 to 255"}}},
        {"a triangle entry cut short",
         [](const ConverterLayout& l) { return Triangle(l, "0 1", std::string(20, ' ')); },
         {{2, ":5: expected 3 vertex indices, found end of file"},
          {2, ":5: expected 3 vertex indices, found end of file"},
          {2, ":5: expected 3 vertex indices, found end of file"},
          {2, ":5: expected 3 vertex indices, found end of file"},
          kConverts,
          {2, ":5: expected 3 vertex indices, found end of file"}}},
        {"a word for an index",
         [](const ConverterLayout& l) { return Triangle(l, "0 x 2\n"); },
         {{2, ":5: expected a vertex index, found \"x\""},
          {2, ":5: expected a vertex index, found \"x\""},
          {2, ":5: expected a vertex index, found \"x\""},
          {2, ":5: expected a vertex index, found \"x\""},
          kConverts,
          {2, ":5: expected a vertex index, found \"x\""}}},
        {"an index past 32 bits",
         [](const ConverterLayout& l) { return Triangle(l, "0 1 4294967296\n"); },
         {{2, ":5: vertex index \"4294967296\" does not fit in 32 bits"},
          {2, ":5: vertex index \"4294967296\" does not fit in 32 bits"},
          {2, ":5: vertex index \"4294967296\" does not fit in 32 bits"},
          {2, ":5: vertex index \"4294967296\" does not fit in 32 bits"},
          kConverts,
          {2, ":5: vertex index \"4294967296\" does not fit in 32 bits"}}},
        // Indices name vertices in every layout: a file that names a vertex
        // it does not have is refused by every reader after the converter.
        {"an index past the vertices",
         [](const ConverterLayout& l) { return Triangle(l, "0 1 3\n"); },
         {{2, ":5: face 0 names vertex 3 of 3"},
          {2, ":5: face 0 names vertex 3 of 3"},
          {2, ":5: face 0 names vertex 3 of 3"},
          {2, ":5: face 0 names vertex 3 of 3"},
          kConverts,
          {2, ":5: face 0 names vertex 3 of 3"}}},
        // Not cut to its low 16 bits, which would make it vertex 2.
        {"an index past 16 bits",
         [](const ConverterLayout& l) { return Triangle(l, "0 1 65538\n"); },
         {{2, ":5: face 0 names vertex 65538 of 3"},
          {2, ":5: face 0 names vertex 65538 of 3"},
          {2, ":5: face 0 names vertex 65538 of 3"},
          {2, ":5: face 0 names vertex 65538 of 3"},
          kConverts,
          {2, ":5: face 0 names vertex 65538 of 3"}}},
        {"a name of 256 characters",
         [](const ConverterLayout& l) {
             return Triangle(l, "0 1 2\n", std::string(256, 'n') + "\n");
         },
         {{0, ": warning: 1 value follows the last triangle"},
          {0, ": warning: 1 value follows the last triangle"},
          {0, ": warning: 1 value follows the last triangle"},
          {2, ":6: the name is 256 characters long; at most 255 fit"},
          kConverts,
          {0, ": warning: 1 value follows the last triangle"}}},
        {"a name holding a zero byte",
         [](const ConverterLayout& l) {
             return Triangle(l, "0 1 2\n", std::string("ab\0cd\n", 6));
         },
         {{0, ": warning: 1 value follows the last triangle"},
          {0, ": warning: 1 value follows the last triangle"},
          {0, ": warning: 1 value follows the last triangle"},
          {2, ":6: the name \"ab\\x00cd\" holds a zero byte"},
          kConverts,
          {0, ": warning: 1 value follows the last triangle"}}},
    };
    return cases;
}

TEST(FaultMatrix, EveryMalformedTextInEveryConverter) {
    TempDir dir;
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    const std::vector<std::string> names{"in.cmsh", "out.kvx"};
    for (const Case& c : Cases()) {
        ASSERT_EQ(c.outcomes.size(), Converters().size()) << c.what;
        for (size_t k = 0; k < Converters().size(); ++k) {
            const Converter& converter = Converters()[k];
            const Outcome& expected = c.outcomes[k];
            SCOPED_TRACE(converter.name + ", " + c.what);
            WriteFile(in, c.text(converter.layout));
            WriteFile(out, "the previous file");
            RunResult r = RunProgram(converter.path, {in, out});
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.exitStatus, expected.status);
            EXPECT_EQ(r.err,
                      expected.err.empty() ? "" : converter.name + ": " + in + expected.err + "\n");
            if (expected.status == 0) {
                EXPECT_EQ(ReadFile(out).substr(0, 3), "KVX");
            } else {
                EXPECT_EQ(ReadFile(out), "the previous file");
            }
            EXPECT_EQ(ListFolder(dir.path()), names);
        }
    }
}

}  // namespace
