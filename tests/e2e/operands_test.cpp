// What every program does with the paths it is given: an output that is the
// input file, through a symbolic or a hard link, is refused before anything
// is read or written; a KVX reader given another file (the arguments
// swapped) says it is not a KVX file; and a lone "-" is an operand, the file
// of that name, before and after "--".
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kSameFile[] = ": the same file as the input; choose another output\n";

// A triangle as OBJ text, for kvximport.
const char kObj[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

// Runs `program` with `args` inside `folder`, standard input from `stdinPath`.
RunResult RunIn(const std::string& folder, const std::string& program,
                const std::vector<std::string>& args, const std::string& stdinPath = "/dev/null") {
    std::vector<std::string> shell = {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh", folder,
                                      program};
    shell.insert(shell.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", shell, stdinPath);
}

// One program reading `input` (holding `bytes`) and writing an output named
// like `extension`, with `options` before the operands.
struct Case {
    std::string name;
    std::string path;
    std::string bytes;
    std::string inputName;
    std::string extension;
    std::vector<std::string> options;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const Converter& c : Converters())
        cases.push_back({c.name, c.path, ReadFile(c.example), "m.cmsh", ".cmsh", {}});
    Conversion cube = Convert(KVXCONV3_PATH, ReadFile(Example("cube7.cmsh")));
    cases.push_back({"kvxexport", KVXEXPORT_PATH, cube.file, "m.kvx", ".obj", {}});
    cases.push_back({"kvxexport", KVXEXPORT_PATH, cube.file, "m.kvx", ".ply", {}});
    cases.push_back({"kvxexport", KVXEXPORT_PATH, cube.file, "m.kvx", ".cmsh", {}});
    cases.push_back({"kvxrender", KVXRENDER_PATH, cube.file, "m.kvx", ".png", {"--size", "8x8"}});
    // "-" and "in" name no format: it is given.
    cases.push_back({"kvximport", KVXIMPORT_PATH, kObj, "m.obj", ".obj", {"--format", "obj"}});
    cases.push_back({"kvximport", KVXIMPORT_PATH, kObj, "m.obj", ".kvx", {"--format", "obj"}});
    return cases;
}

RunResult RunCase(const Case& c, const std::string& input, const std::string& output,
                  const std::string& stdinPath = "/dev/null") {
    std::vector<std::string> args = c.options;
    args.push_back(input);
    args.push_back(output);
    return RunProgram(c.path, args, stdinPath);
}

}  // namespace

TEST(Operands, AnOutputThatIsTheInputIsRefusedAndTheInputKept) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name + " to " + c.extension);
        TempDir dir;
        const std::string input = dir.file(c.inputName);
        WriteFile(input, c.bytes);
        const std::string symbolic = dir.file("symbolic" + c.extension);
        const std::string hard = dir.file("hard" + c.extension);
        ASSERT_EQ(::symlink(c.inputName.c_str(), symbolic.c_str()), 0);
        ASSERT_EQ(::link(input.c_str(), hard.c_str()), 0);
        const std::vector<std::string> before = ListFolder(dir.path());

        std::vector<std::pair<std::string, std::string>> pairs = {
            {symbolic, symbolic}, {input, symbolic}, {input, hard}, {hard, symbolic}};
        // The input's own name as the output, where kvxexport takes its
        // extension.
        if (c.name != "kvxexport" || c.inputName.ends_with(c.extension)) {
            pairs.push_back({symbolic, input});
            pairs.push_back({input, input});
        }
        for (const auto& [in, out] : pairs) {
            SCOPED_TRACE(in + " -> " + out);
            RunResult r = RunCase(c, in, out);
            EXPECT_EQ(r.exitStatus, 3);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.name + ": " + out + kSameFile);
            EXPECT_EQ(ReadFile(input), c.bytes);
        }
        // Standard input redirected from the file.
        RunResult r = RunCase(c, "/dev/stdin", hard, input);
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, c.name + ": " + hard + kSameFile);
        EXPECT_EQ(ReadFile(input), c.bytes);
        EXPECT_EQ(ListFolder(dir.path()), before);

        // Another file, and a copy of the input, are written (by kvximport
        // only under a name that is no other mesh format's).
        if (c.name == "kvximport" && c.extension != ".kvx") continue;
        const std::string other = dir.file("other" + c.extension);
        r = RunCase(c, symbolic, other);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_TRUE(FileExists(other));
        WriteFile(dir.file("copy"), c.bytes);
        r = RunCase(c, dir.file("copy"), hard);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(ReadFile(input), c.bytes);
    }
}

// Standard output appended to the input names the input too; devices and
// pipes are never taken for the input.
TEST(Operands, StandardOutputOntoTheInputIsRefusedAndDevicesAreNot) {
    TempDir dir;
    const std::string input = dir.file("m.cmsh");
    const std::string text = ReadFile(Example("cube7.cmsh"));
    WriteFile(input, text);
    RunResult r = RunProgram(
        "/bin/sh", {"-c", "exec \"$0\" \"$1\" /dev/stdout >> \"$1\"", KVXCONV3_PATH, input});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, std::string("kvxconv3: /dev/stdout") + kSameFile);
    EXPECT_EQ(ReadFile(input), text);

    // One pipe as both: read whole, then written.
    r = RunProgram("/bin/sh", {"-c", "cat \"$1\" | \"$0\" /dev/stdin /dev/stdout | cat",
                               KVXCONV3_PATH, input});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, Convert(KVXCONV3_PATH, text).file);
    // /dev/null as both: an empty input, not the same file.
    r = RunProgram(KVXCONV3_PATH, {"/dev/null", "/dev/null"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err.find("same file"), std::string::npos) << r.err;
}

// The arguments swapped: the picture or the text is not a KVX file, and the
// KVX file named as the output stays as it was.
TEST(Operands, AKvxReaderGivenAnotherFileSaysItIsNotKvx) {
    TempDir dir;
    const std::string kvx = dir.file("cube.kvx"), png = dir.file("cube.png");
    const std::string cube = Convert(KVXCONV3_PATH, ReadFile(Example("cube7.cmsh"))).file;
    WriteFile(kvx, cube);
    ASSERT_EQ(RunProgram(KVXRENDER_PATH, {"--size", "4x4", kvx, png}).exitStatus, 0);
    const std::string picture = ReadFile(png);
    WriteFile(dir.file("cube.cmsh"), ReadFile(Example("cube7.cmsh")));

    RunResult r = RunProgram(KVXRENDER_PATH, {png, kvx});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxrender: " + png + ": not a KVX file\n");
    std::string obj = dir.file("cube.obj");
    r = RunProgram(KVXEXPORT_PATH, {dir.file("cube.cmsh"), obj});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxexport: " + dir.file("cube.cmsh") + ": not a KVX file\n");
    r = RunProgram(KVXEXPORT_PATH, {png, dir.file("x.cmsh")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxexport: " + png + ": not a KVX file\n");
    EXPECT_EQ(ReadFile(kvx), cube);
    EXPECT_EQ(ReadFile(png), picture);
    EXPECT_FALSE(FileExists(obj));
}

// -h is --help on every program, anywhere before "--".
TEST(Operands, MinusHIsHelp) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        RunResult help = RunProgram(c.path, {"--help"});
        ASSERT_EQ(help.exitStatus, 0);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"-h"}, std::vector<std::string>{"in", "-h", "out"}}) {
            RunResult h = RunProgram(c.path, args);
            EXPECT_EQ(h.exitStatus, 0);
            EXPECT_EQ(h.out, help.out);
            EXPECT_EQ(h.err, "");
        }
    }
}

// A lone "-" is the file named "-", for every program, with or without "--"
// before it; standard input is not read (it holds other bytes here).
TEST(Operands, ALoneDashIsTheFileOfThatName) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name + " to " + c.extension);
        // kvximport writes no file named as a mesh of another format
        // (kvximport_front_test.cpp); its .kvx case stands for it here.
        if (c.name == "kvximport" && c.extension != ".kvx") continue;
        TempDir dir;
        WriteFile(dir.file("-"), c.bytes);
        WriteFile(dir.file("in"), c.bytes);
        WriteFile(dir.file("other"), "not a mesh\n");
        std::vector<std::string> args = c.options;
        args.push_back("in");
        args.push_back("expected" + c.extension);
        RunResult expected = RunIn(dir.path(), c.path, args);
        ASSERT_EQ(expected.exitStatus, 0) << expected.err;
        const std::string file = ReadFile(dir.file("expected" + c.extension));

        for (bool dashes : {false, true}) {
            args = c.options;
            if (dashes) args.push_back("--");
            args.push_back("-");
            args.push_back("out" + c.extension);
            RunResult r = RunIn(dir.path(), c.path, args, dir.file("other"));
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, expected.out);
            EXPECT_EQ(ReadFile(dir.file("out" + c.extension)), file);
        }
        // "-" as the output too: the input itself, refused.
        args = c.options;
        args.insert(args.end(), {"--", "-", "-"});
        RunResult r = RunIn(dir.path(), c.path, args);
        if (c.name == "kvxexport") {
            // No extension that names a format.
            EXPECT_EQ(r.exitStatus, 1);
        } else {
            EXPECT_EQ(r.exitStatus, 3);
            EXPECT_EQ(r.err, c.name + ": -" + kSameFile);
        }
        EXPECT_EQ(ReadFile(dir.file("-")), c.bytes);
        // As an output name of its own.
        if (c.name != "kvxexport") {
            args = c.options;
            args.insert(args.end(), {"in", "-"});
            r = RunIn(dir.path(), c.path, args);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(ReadFile(dir.file("-")), file);
        }
    }
}

TEST(Operands, KvxdumpReadsTheFileNamedDash) {
    TempDir dir;
    const std::string cube = Convert(KVXCONV3_PATH, ReadFile(Example("cube7.cmsh"))).file;
    WriteFile(dir.file("-"), cube);
    WriteFile(dir.file("cube.kvx"), cube);
    RunResult expected = RunIn(dir.path(), KVXDUMP_PATH, {"cube.kvx"});
    ASSERT_EQ(expected.exitStatus, 0);
    ASSERT_NE(expected.out, "");
    for (auto args : {std::vector<std::string>{"-"}, std::vector<std::string>{"--", "-"}}) {
        RunResult r = RunIn(dir.path(), KVXDUMP_PATH, args, Example("cube7.cmsh"));
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, "");
    }
    // No file of that name: the message names it.
    TempDir empty;
    RunResult r = RunIn(empty.path(), KVXDUMP_PATH, {"-"}, dir.file("cube.kvx"));
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvxdump: -: No such file or directory\n");
}
