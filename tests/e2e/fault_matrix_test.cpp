// The bad-input matrix: every kind of malformed text mesh against every
// converter. Each cell either converts (where the converter never reads the
// faulty part) or fails with exit status 2 and exactly one line naming the
// program, the file, the line and the fault, leaving the previous output
// file as it was and nothing beside it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Layout {
    std::string program;
    std::string path;
    int values;          // per vertex entry
    int colourAt;        // position of the first colour value, or -1
    bool triangles;      // reads triangle entries
    bool checksIndices;  // indices must name a vertex
    bool name;           // reads a name token
};

const std::vector<Layout> kLayouts = {
    {"kvxconv1", KVXCONV1_PATH, 3, -1, true, false, false},
    {"kvxconv2", KVXCONV2_PATH, 7, 0, true, false, false},
    {"kvxconv3", KVXCONV3_PATH, 7, 0, true, true, false},
    {"kvxconv4", KVXCONV4_PATH, 9, 2, true, true, true},
    {"kvxpoints", KVXPOINTS_PATH, 7, 0, false, false, false},
    {"kvxwire", KVXWIRE_PATH, 7, 0, true, false, false},
};

// One vertex entry of ones, with `replaced` (if any) as value `at`.
std::string Vertex(const Layout& l, int at = -1, const std::string& replaced = "") {
    std::string entry;
    for (int k = 0; k < l.values; ++k) {
        entry += (k ? " " : "") + (k == at ? replaced : "1");
    }
    return entry + "\n";
}

// Three vertices (lines 2 to 4), then `triangle` on line 5 and `rest`.
std::string Triangle(const Layout& l, const std::string& triangle, const std::string& rest = "") {
    return "3 1\n" + Vertex(l) + Vertex(l) + Vertex(l) + triangle + rest;
}

struct Case {
    std::string what;
    std::function<std::string(const Layout&)> text;
    // "<line>: <message>" for a converter that must refuse the text, "" for
    // one that converts it.
    std::function<std::string(const Layout&, const std::string& text)> refusal;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"an empty file", [](const Layout&) { return std::string(); },
         [](const Layout&, const std::string&) {
             return std::string("1: expected the vertex count, found end of file");
         }},
        {"a word for the vertex count", [](const Layout&) { return std::string("abc 0\n"); },
         [](const Layout&, const std::string&) {
             return std::string("1: expected the vertex count, found \"abc\"");
         }},
        {"a negative vertex count", [](const Layout&) { return std::string("-1 0\n"); },
         [](const Layout&, const std::string&) {
             return std::string("1: expected the vertex count, found \"-1\"");
         }},
        {"a vertex count past 32 bits", [](const Layout&) { return std::string("4294967296 0"); },
         [](const Layout&, const std::string&) {
             return std::string("1: the vertex count \"4294967296\" does not fit in 32 bits");
         }},
        {"no face count", [](const Layout&) { return std::string("1\n"); },
         [](const Layout&, const std::string&) {
             return std::string("1: expected the face count, found end of file");
         }},
        {"a fraction for the face count", [](const Layout&) { return std::string("1 0.5\n"); },
         [](const Layout&, const std::string&) {
             return std::string("1: expected the face count, found \"0.5\"");
         }},
        {"counts that the text cannot hold", [](const Layout& l) { return "3 1\n" + Vertex(l); },
         [](const Layout& l, const std::string& text) {
             int values = 3 * l.values + (l.triangles ? 3 : 0);
             return "1: the counts promise 3 vertices" +
                    std::string(l.triangles ? " and 1 faces" : "") + ", at least " +
                    std::to_string(2 * values) + " bytes of text, but only " +
                    std::to_string(text.size() - 3) + " follow";
         }},
        {"a value that is not a number",
         [](const Layout& l) {
             return "2 0\n" + Vertex(l) + Vertex(l, l.values - 1, "1.5abc") + "\n";
         },
         [](const Layout&, const std::string&) {
             return std::string("3: expected a number, found \"1.5abc\"");
         }},
        {"a vertex entry cut short",
         [](const Layout& l) {
             std::string entry = Vertex(l);
             return "1 0\n" + entry.substr(0, entry.size() - 3) + std::string(20, ' ');
         },
         [](const Layout& l, const std::string&) {
             return "2: expected " + std::to_string(l.values) + " vertex values, found end of file";
         }},
        {"a colour that is not a number",
         [](const Layout& l) {
             return "1 0\n" + Vertex(l, l.colourAt < 0 ? 0 : l.colourAt, "nan");
         },
         [](const Layout& l, const std::string&) {
             return l.colourAt < 0 ? "" : "2: colour value nan is not a number";
         }},
        {"a colour beyond 32 bits",
         [](const Layout& l) {
             return "1 0\n" + Vertex(l, l.colourAt < 0 ? 0 : l.colourAt + 3, "1e10");
         },
         [](const Layout& l, const std::string&) {
             return l.colourAt < 0 ? ""
                                   : "2: colour value 1e+10 times 255 is outside the 32-bit range";
         }},
        {"a triangle entry cut short",
         [](const Layout& l) { return Triangle(l, "0 1", std::string(20, ' ')); },
         [](const Layout& l, const std::string&) {
             return l.triangles ? "5: expected 3 vertex indices, found end of file" : "";
         }},
        {"a word for an index", [](const Layout& l) { return Triangle(l, "0 x 2\n"); },
         [](const Layout& l, const std::string&) {
             return l.triangles ? "5: expected a vertex index, found \"x\"" : "";
         }},
        {"an index past 32 bits", [](const Layout& l) { return Triangle(l, "0 1 4294967296\n"); },
         [](const Layout& l, const std::string&) {
             return l.triangles ? "5: vertex index \"4294967296\" does not fit in 32 bits" : "";
         }},
        {"an index past the vertices", [](const Layout& l) { return Triangle(l, "0 1 3\n"); },
         [](const Layout& l, const std::string&) {
             return l.checksIndices ? "5: face 0 names vertex 3 of 3" : "";
         }},
        {"a name of 256 characters",
         [](const Layout& l) { return Triangle(l, "0 1 2\n", std::string(256, 'n') + "\n"); },
         [](const Layout& l, const std::string&) {
             return l.name ? "6: the name is 256 characters long; at most 255 fit" : "";
         }},
        {"a name holding a zero byte",
         [](const Layout& l) { return Triangle(l, "0 1 2\n", std::string("ab\0cd\n", 6)); },
         [](const Layout& l, const std::string&) {
             return l.name ? "6: the name \"ab\\x00cd\" holds a zero byte" : "";
         }},
    };
    return cases;
}

TEST(FaultMatrix, EveryMalformedTextInEveryConverter) {
    TempDir dir;
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    const std::vector<std::string> names{"in.cmsh", "out.kvx"};
    int refused = 0, converted = 0;
    for (const Case& c : Cases()) {
        for (const Layout& l : kLayouts) {
            SCOPED_TRACE(l.program + ", " + c.what);
            std::string text = c.text(l);
            std::string refusal = c.refusal(l, text);
            WriteFile(in, text);
            WriteFile(out, "the previous file");
            RunResult r = RunProgram(l.path, {in, out});
            EXPECT_EQ(r.signal, 0);
            if (refusal.empty()) {
                ++converted;
                EXPECT_EQ(r.exitStatus, 0);
                EXPECT_EQ(r.err, "");
                EXPECT_NE(ReadFile(out), "the previous file");
            } else {
                ++refused;
                EXPECT_EQ(r.exitStatus, 2);
                EXPECT_EQ(r.err, l.program + ": " + in + ":" + refusal + "\n");
                EXPECT_EQ(ReadFile(out), "the previous file");
            }
            EXPECT_EQ(ListFolder(dir.path()), names);
        }
    }
    // The cells where a converter never reads the faulty part.
    EXPECT_EQ(converted, 2 + 3 + 4 + 5 + 5);
    EXPECT_EQ(refused + converted, 17 * 6);
}

}  // namespace
