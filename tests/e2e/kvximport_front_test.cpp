// kvximport as the one front end, run as users run it:
//   - a text mesh (.cmsh) gives the very file of its converter, run as the
//     reference: the bundled examples and generated meshes, the layout
//     found from the values or named by --layout (every layout on every
//     example: the same status, bytes and line as the converter), from a
//     file and through a pipe;
//   - texts that fit several layouts or none, refused with their lines;
//   - the options a text mesh refuses or takes;
//   - --version in every position, --layout's names;
//   - outputs named as other mesh formats refused, and the names that pass.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

RunResult Import(const std::vector<std::string>& args) {
    return RunProgram(KVXIMPORT_PATH, args);
}

// The converter kvximport follows for a text of n values per vertex unless
// --layout names another.
const char* DefaultConverter(uint32_t values) {
    return values == 3 ? "kvxconv1" : values == 7 ? "kvxconv3" : "kvxconv4";
}

// A program's stderr with its name at the start of each line made `to`.
std::string Renamed(const std::string& err, const std::string& from, const std::string& to) {
    std::string out;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(at, end - at);
        if (line.rfind(from + ": ", 0) == 0) line = to + line.substr(from.size());
        out += line;
        at = end;
    }
    return out;
}

class KvxImportText : public ::testing::Test {
protected:
    TempDir dir;
    std::string in = dir.file("in.cmsh");
    std::string out = dir.file("out.kvx");

    // The converter on `in`: its status, its stderr as kvximport would say
    // it, and its file ("" where none).
    struct Reference {
        int status;
        std::string err;
        std::string file;
    };
    Reference convert(const Converter& c) {
        const std::string file = dir.file("reference.kvx");
        std::remove(file.c_str());
        RunResult r = RunProgram(c.path, {in, file});
        return {r.exitStatus, Renamed(r.err, c.name, "kvximport"),
                FileExists(file) ? ReadFile(file) : ""};
    }
    // kvximport on `in` gives what converter `c` gives, and prints nothing
    // on standard output.
    void expectAsConverter(const Converter& c, const std::vector<std::string>& options = {}) {
        SCOPED_TRACE(c.name);
        std::remove(out.c_str());
        std::vector<std::string> args = options;
        args.push_back(in);
        args.push_back(out);
        RunResult r = Import(args);
        const Reference expected = convert(c);
        EXPECT_EQ(r.exitStatus, expected.status);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FileExists(out) ? ReadFile(out) : "", expected.file);
    }
    void expectRefused(const std::string& text, int status, const std::string& line) {
        WriteFile(in, text);
        RunResult r = Import({in, out});
        EXPECT_EQ(r.exitStatus, status) << text;
        EXPECT_EQ(r.err, "kvximport: " + in + ": " + line + "\n");
        EXPECT_FALSE(FileExists(out));
    }
};

// A mesh of v vertices and f triangles in the text of n values per vertex,
// with values the float reader must get exactly; `name` after the
// triangles (n = 9) unless empty.
std::string RandomText(uint32_t n, uint32_t v, uint32_t f, const std::string& name,
                       std::mt19937& random) {
    std::uniform_real_distribution<float> any(-1000.0f, 1000.0f), unit(0.0f, 1.0f);
    std::string text = std::to_string(v) + "\n" + std::to_string(f) + "\n";
    char buffer[64];
    for (uint32_t i = 0; i < v; ++i) {
        for (uint32_t k = 0; k < n; ++k) {
            // u v and the four colour values lie in [0, 1]; x y z anywhere.
            const bool bounded = k + 3 < n;
            std::snprintf(buffer, sizeof buffer, "%.9g ", bounded ? unit(random) : any(random));
            text += buffer;
        }
        text += "\n";
    }
    std::uniform_int_distribution<uint32_t> index(0, v - 1);
    for (uint32_t t = 0; t < f; ++t)
        text += std::to_string(index(random)) + " " + std::to_string(index(random)) + " " +
                std::to_string(index(random)) + "\n";
    if (!name.empty()) text += name + "\n";
    return text;
}

TEST_F(KvxImportText, EveryLayoutOnEveryExampleIsItsConverters) {
    // With --layout, whatever the converter makes of the text: its file,
    // its failure or its warning on what follows.
    for (const char* example : {"cube3.cmsh", "cube7.cmsh", "cube9.cmsh"}) {
        SCOPED_TRACE(example);
        WriteFile(in, ReadFile(Example(example)));
        for (const Converter& c : Converters())
            expectAsConverter(c, {"--layout", std::to_string(c.layout.version)});
        // Without it, the converter of the values the text holds.
        const uint32_t values = example[4] == '3' ? 3 : example[4] == '7' ? 7 : 9;
        const Reference reference = convert(ConverterNamed(DefaultConverter(values)));
        EXPECT_EQ(reference.status, 0);
        EXPECT_NE(reference.file, "");
        expectAsConverter(ConverterNamed(DefaultConverter(values)));
    }
}

TEST_F(KvxImportText, GeneratedMeshesGiveTheirConvertersBytes) {
    std::mt19937 random(23);
    for (uint32_t n : {3u, 7u, 9u}) {
        for (auto [v, f] : {std::pair{1u, 1u}, std::pair{5u, 9u}, std::pair{300u, 1000u}}) {
            SCOPED_TRACE(std::to_string(n) + " values, " + std::to_string(v) + " vertices");
            WriteFile(in, RandomText(n, v, f, n == 9 ? "mesh-" + std::to_string(v) : "", random));
            expectAsConverter(ConverterNamed(DefaultConverter(n)));
            if (n == 7)
                for (const Converter& c : Converters())
                    if (c.layout.valuesPerVertex == 7)
                        expectAsConverter(c, {"--layout", std::to_string(c.layout.version)});
        }
    }
    // Nine values without a name word: kvxconv4's empty name.
    WriteFile(in, RandomText(9, 4, 2, "", random));
    expectAsConverter(ConverterNamed("kvxconv4"));
    // A name alone after no entries fits nine values only.
    WriteFile(in, "0 0 lonely\n");
    expectAsConverter(ConverterNamed("kvxconv4"));
    // The extension in capitals, and --format for a file of any name.
    const std::string text = RandomText(7, 6, 4, "", random);
    WriteFile(dir.file("IN.CMSH"), text);
    WriteFile(dir.file("in.txt"), text);
    WriteFile(in, text);
    const std::string expected = convert(ConverterNamed("kvxconv3")).file;
    ASSERT_EQ(Import({dir.file("IN.CMSH"), out}).exitStatus, 0);
    EXPECT_EQ(ReadFile(out), expected);
    ASSERT_EQ(Import({"--format", "cmsh", dir.file("in.txt"), out}).exitStatus, 0);
    EXPECT_EQ(ReadFile(out), expected);
}

TEST_F(KvxImportText, AStreamIsMeasuredThenConverted) {
    std::mt19937 random(7);
    for (uint32_t n : {3u, 7u, 9u}) {
        SCOPED_TRACE(n);
        WriteFile(in, RandomText(n, 2000, 3000, n == 9 ? "streamed" : "", random));
        const Reference expected = convert(ConverterNamed(DefaultConverter(n)));
        for (const char* layout : {"", " --layout -2"}) {
            RunResult r = RunProgram("/bin/sh", {"-c",
                                                 std::string("cat \"$1\" | \"$0\" --format cmsh") +
                                                     layout + " /dev/stdin \"$2\"",
                                                 KVXIMPORT_PATH, in, out});
            if (*layout != '\0') {
                // kvxwire reads 7 values: the same run as kvxwire's on the stream.
                if (n != 7) continue;
                EXPECT_EQ(r.exitStatus, 0) << r.err;
                EXPECT_EQ(ReadFile(out), convert(ConverterNamed("kvxwire")).file);
                continue;
            }
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(ReadFile(out), expected.file);
        }
    }
    // An endless stream is read no further than the longest text its counts
    // allow.
    RunResult endless = RunProgram(
        "/bin/sh", {"-c", "yes 1 | \"$0\" --format cmsh /dev/stdin \"$1\"", KVXIMPORT_PATH, out});
    EXPECT_EQ(endless.exitStatus, 2);
    EXPECT_EQ(endless.err,
              "kvximport: /dev/stdin: 1 vertex and 1 face take 6 (3 per vertex), 10 (7 per "
              "vertex) or 12 or 13 (9 per vertex, without or with a name) values after the "
              "counts; found more than 13\n");
}

TEST_F(KvxImportText, TextsThatFitSeveralLayoutsOrNoneAreRefused) {
    const std::string all =
        "the text fits 3, 7 and 9 values per vertex; choose with --layout 1, --layout 3 or "
        "--layout 4";
    expectRefused("0 0\n", 1, all);
    expectRefused("0 2\n0 0 0\n0 0 0\n", 1, all);
    expectRefused("2 0\n1 2 3 4\n", 2,
                  "2 vertices and 0 faces take 6 (3 per vertex), 14 (7 per vertex) or 18 or 19 "
                  "(9 per vertex, without or with a name) values after the counts; found 4");
    // One short of three values, one over seven.
    expectRefused("1 1\n0 0\n0 0 0\n", 2,
                  "1 vertex and 1 face take 6 (3 per vertex), 10 (7 per vertex) or 12 or 13 (9 "
                  "per vertex, without or with a name) values after the counts; found 5");
    expectRefused("1 1\n1 1 1 1 0 0 0 x\n0 0 0\n", 2,
                  "1 vertex and 1 face take 6 (3 per vertex), 10 (7 per vertex) or 12 or 13 (9 "
                  "per vertex, without or with a name) values after the counts; found 11");
    // A choice made, the converter's run.
    WriteFile(in, "0 0\n");
    for (const Converter& c : Converters())
        expectAsConverter(c, {"--layout", std::to_string(c.layout.version)});
    // Counts that are no counts: the converters' own lines.
    for (const char* text : {"", "5\n", "x 0\n", "4294967296 0\n", "1 -1\n"}) {
        SCOPED_TRACE(text);
        WriteFile(in, text);
        expectAsConverter(ConverterNamed("kvxconv1"));
    }
}

TEST_F(KvxImportText, OptionsThatCannotApplyAreRefusedAndTheNameIsTaken) {
    WriteFile(in, ReadFile(Example("cube9.cmsh")));
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--split"}, std::vector<std::string>{"--weld"},
          std::vector<std::string>{"--colour-order", "rgba"}}) {
        std::vector<std::string> args = options;
        args.push_back(in);
        args.push_back(out);
        RunResult r = Import(args);
        EXPECT_EQ(r.exitStatus, 1);
        const std::string option = options.size() == 1 ? options[0] : "--colour-order rgba";
        EXPECT_EQ(r.err, "kvximport: " + in + ": " + option +
                             " does not apply to a text mesh (.cmsh), which is converted as its "
                             "converter converts it\n");
        EXPECT_FALSE(FileExists(out));
    }
    // --name stands for the name word of nine values; --no-weld and argb
    // are what the converters do.
    ASSERT_EQ(
        Import({"--name", "given", "--no-weld", "--colour-order", "argb", in, out}).exitStatus, 0);
    const std::string named = ReadFile(out);
    std::string text = ReadFile(Example("cube9.cmsh"));
    const size_t end = text.find_last_not_of(" \t\r\n") + 1;
    const size_t start = text.find_last_of(" \t\r\n", end - 1) + 1;
    WriteFile(in, text.substr(0, start) + "given" + text.substr(end));
    EXPECT_EQ(named, convert(ConverterNamed("kvxconv4")).file);
    // Where the layout has no name, it is not used, as for every input.
    WriteFile(in, ReadFile(Example("cube7.cmsh")));
    ASSERT_EQ(Import({"--name", "given", in, out}).exitStatus, 0);
    EXPECT_EQ(ReadFile(out), convert(ConverterNamed("kvxconv3")).file);
}

// ---- The command line ----

TEST(KvxImportLayout, VersionIsTheProgramsWhereverItStands) {
    TempDir dir;
    const std::string obj = dir.file("spider.obj"), kvx = dir.file("s.kvx");
    WriteFile(obj, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--version"},
                                               {"--version", obj, kvx},
                                               {obj, "--version", kvx},
                                               {obj, kvx, "--version"},
                                               {"--version", "3", obj, kvx},
                                               {"--layout", "3", obj, kvx, "--version"},
                                               {"--split", "--version", "--", obj, kvx}}) {
        RunResult r = Import(args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "kvximport " KVX_VERSION "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(FileExists(kvx));
    }
    RunResult help = Import({"--help"});
    EXPECT_NE(help.out.find("\n  --layout L "), std::string::npos);
    EXPECT_NE(help.out.find("once --version N, is --layout N"), std::string::npos);
}

TEST(KvxImportLayout, EveryNameWritesItsVersion) {
    TempDir dir;
    const std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    WriteFile(in, ReadFile(Example("cube7.cmsh")));
    const std::pair<const char*, int32_t> names[] = {{"1", 1},       {"2", 2},    {"3", 3},
                                                     {"4", 4},       {"-1", -1},  {"-2", -2},
                                                     {"points", -1}, {"wire", -2}};
    for (auto [name, version] : names) {
        SCOPED_TRACE(name);
        std::remove(out.c_str());
        WriteFile(in, ReadFile(Example(version == 4 ? "cube9.cmsh" : "cube7.cmsh")));
        RunResult r = Import({"--layout", name, in, out});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        const std::string file = ReadFile(out);
        ASSERT_GE(file.size(), 15u);
        int32_t written = 0;
        std::memcpy(&written, file.data() + 11, 4);
        EXPECT_EQ(written, version);
    }
    ExpectUsageMistakes(
        KVXIMPORT_PATH,
        {{{"--layout", "-3", in, out},
          "kvximport: --layout: expected 1, 2, 3, 4, -1, -2, points or wire, found \"-3\"\n"},
         {{"--layout", "Wire", in, out},
          "kvximport: --layout: expected 1, 2, 3, 4, -1, -2, points or wire, found \"Wire\"\n"},
         {{"--layout", in, out}, "usage: kvximport [options] <input> <output.kvx>\n"}});
}

TEST(KvxImportOutput, NamesOfOtherMeshFormatsAreRefused) {
    TempDir dir;
    const std::string in = dir.file("in.off");
    WriteFile(in, "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    const std::string head = ": an output of kvximport is a KVX file";
    std::vector<std::pair<std::string, std::string>> refused = {
        {"out.ply", "; to write PLY, use kvxexport"},
        {"out.PLY", "; to write PLY, use kvxexport"},
        {"out.obj", "; to write OBJ, use kvxexport"},
        {"out.cmsh", "; to write a text mesh, use kvxexport"},
        {"out.stl", "; to write STL, use kvxexport"},
        {"out.off", "; to write OFF, use kvxexport"},
    };
#ifdef KVX_HAVE_ASSIMP
    refused.push_back({"out.glb", "; to write GLB, use kvxexport"});
    refused.push_back({"out.gltf", "; to write GLTF, use kvxexport"});
    // A format that assimp reads and kvxexport does not write.
    refused.push_back({"out.dae", ", not DAE"});
#endif
    std::vector<UsageMistake> mistakes;
    for (const auto& [name, advice] : refused) {
        mistakes.push_back(
            {{in, dir.file(name)}, "kvximport: " + dir.file(name) + head + advice + "\n"});
        mistakes.push_back({{"--split", in, dir.file(name)},
                            "kvximport: " + dir.file(name) + head + advice + "\n"});
    }
    ExpectUsageMistakes(KVXIMPORT_PATH, mistakes);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"in.off"});

    // A KVX name, any other extension, none, and devices pass.
    RunResult first = Import({in, dir.file("out.kvx")});
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    const std::string expected = ReadFile(dir.file("out.kvx"));
    for (const char* name : {"out.bin", "out", "out.ply.kvx"}) {
        RunResult r = Import({in, dir.file(name)});
        EXPECT_EQ(r.exitStatus, 0) << name << r.err;
        EXPECT_EQ(ReadFile(dir.file(name)), expected) << name;
    }
    EXPECT_EQ(Import({in, "/dev/null"}).exitStatus, 0);
    RunResult toStdout = Import({in, "/dev/stdout"});
    EXPECT_EQ(toStdout.exitStatus, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, expected);
}

}  // namespace
