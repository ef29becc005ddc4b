// What the six converters share, run on each of them: the command line,
// inputs that cannot be read, outputs that cannot be written, standard
// output as the output file, streams, the advice on text that follows the
// last entry, and an input that shrinks while it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

TEST(Converters, UsageForTooFewArguments) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "0 0");
    for (const Converter& c : Converters()) {
        for (auto args : {std::vector<std::string>{}, std::vector<std::string>{dir.file("in.cmsh")},
                          std::vector<std::string>{"--", dir.file("in.cmsh")}}) {
            RunResult r = RunProgram(c.path, args);
            EXPECT_EQ(r.exitStatus, 1) << c.name;
            // The usage text as it always was, then one line that says why.
            EXPECT_EQ(r.out, kConverterUsage);
            EXPECT_EQ(r.err, c.name + ": missing operands; see " + c.name + " --help\n");
        }
        // --quiet changes nothing there.
        RunResult quiet = RunProgram(c.path, {"-q", dir.file("in.cmsh")});
        EXPECT_EQ(quiet.exitStatus, 1);
        EXPECT_EQ(quiet.out, kConverterUsage);
    }
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"in.cmsh"});
}

// -q and --quiet, anywhere on the line, silence what a converter prints on
// standard output (kvxwire's progress lines, kvxconv4's name) and nothing
// else: the file is the same, byte for byte, and warnings still come.
TEST(Converters, QuietPrintsNothingAndWritesTheSameFile) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        SCOPED_TRACE(c.name);
        const std::string loud = dir.file(c.name + ".kvx"), quiet = dir.file(c.name + "-q.kvx");
        RunResult plain = RunProgram(c.path, {c.example, loud});
        ASSERT_EQ(plain.exitStatus, 0) << plain.err;
        for (auto args : {std::vector<std::string>{"-q", c.example, quiet},
                          std::vector<std::string>{c.example, quiet, "--quiet"}}) {
            std::remove(quiet.c_str());
            RunResult r = RunProgram(c.path, args);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(ReadFile(quiet), ReadFile(loud));
        }
        // After "--" it is an operand: here the output's name.
        RunResult operand = RunProgram("/bin/sh", {"-c", "cd \"$1\" && exec \"$0\" -- \"$2\" -q",
                                                   c.path, dir.path(), c.example});
        EXPECT_EQ(operand.exitStatus, 0) << operand.err;
        EXPECT_EQ(operand.out, plain.out);
        EXPECT_EQ(ReadFile(dir.file("-q")), ReadFile(loud));
        std::remove(dir.file("-q").c_str());
        EXPECT_EQ(RunProgram(c.path, {"--quiet=yes", c.example, quiet}).err,
                  c.name + ": --quiet takes no value; see " + c.name + " --help\n");
    }
    // The warning on text after the last entry is not silenced.
    RunResult warned = RunProgram(ConverterNamed("kvxconv3").path,
                                  {"-q", Example("cube9.cmsh"), dir.file("w.kvx")});
    EXPECT_EQ(warned.exitStatus, 0);
    EXPECT_EQ(warned.out, "");
    EXPECT_NE(warned.err.find("warning: "), std::string::npos) << warned.err;
    // Programs without the option do not take -q.
    EXPECT_EQ(RunProgram(KVXDUMP_PATH, {"-q", dir.file("kvxconv3.kvx")}).err,
              "kvxdump: unknown option -q; see kvxdump --help\n");
}

TEST(Converters, HelpVersionAndOptionsTheGnuWay) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        SCOPED_TRACE(c.name);
        RunResult help = RunProgram(c.path, {"--help"});
        EXPECT_EQ(help.exitStatus, 0);
        EXPECT_EQ(help.out.substr(0, help.out.find('\n')),
                  "usage: " + c.name + " <input.cmsh> <output.kvx>");
        EXPECT_NE(help.out.find("Example:\n  " + c.name + " "), std::string::npos);
        EXPECT_EQ(help.err, "");
        // Anywhere on the line, as long as no "--" came before it.
        EXPECT_EQ(RunProgram(c.path, {c.example, dir.file("x.kvx"), "--help"}).out, help.out);

        RunResult version = RunProgram(c.path, {"--version"});
        EXPECT_EQ(version.exitStatus, 0);
        EXPECT_EQ(version.out, c.name + " " KVX_VERSION "\n");

        RunResult unknown = RunProgram(c.path, {"--colour", c.example, dir.file("x.kvx")});
        EXPECT_EQ(unknown.exitStatus, 1);
        EXPECT_EQ(unknown.out, "");
        EXPECT_EQ(unknown.err, c.name + ": unknown option --colour; see " + c.name + " --help\n");
        EXPECT_EQ(RunProgram(c.path, {"-x", c.example, dir.file("x.kvx")}).exitStatus, 1);

        // After "--", "--help" is the output file's name.
        RunResult named = RunProgram("/bin/sh", {"-c", "cd \"$1\" && exec \"$0\" -- \"$2\" --help",
                                                 c.path, dir.path(), c.example});
        EXPECT_EQ(named.exitStatus, 0) << named.err;
        EXPECT_EQ(ReadFile(dir.file("--help")).substr(0, 3), "KVX");

        // Further operands are ignored, and said to be.
        RunResult extra = RunProgram(c.path, {c.example, dir.file("y.kvx"), "extra", "more"});
        EXPECT_EQ(extra.exitStatus, 0);
        EXPECT_EQ(extra.err, c.name + ": ignoring extra arguments: extra more\n");
        EXPECT_EQ(ReadFile(dir.file("y.kvx")), ReadFile(dir.file("--help")));
    }
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"--help", "y.kvx"}));
}

TEST(Converters, InputsThatCannotBeRead) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        RunResult r = RunProgram(c.path, {dir.file("none.cmsh"), dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.name + ": " + dir.file("none.cmsh") + ": No such file or directory\n");
        r = RunProgram(c.path, {dir.path(), dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, c.name + ": " + dir.path() + ": Is a directory\n");
        // A name holding a line break is still named on one line.
        r = RunProgram(c.path, {dir.file("two\nlines"), dir.file("out.kvx")});
        EXPECT_EQ(r.err,
                  c.name + ": " + dir.file("two\\x0alines") + ": No such file or directory\n");
    }
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Converters, OutputsThatCannotBeWritten) {
    TempDir dir;
    // Large enough that the file passes a 100-block size limit.
    for (size_t values : {3u, 7u, 9u}) {
        std::string big = "20000 0\n";
        for (int i = 0; i < 20000; ++i)
            big += std::string("0 0 1 1 1 1 1 2 3\n").substr(18 - 2 * values);
        WriteFile(dir.file("big" + std::to_string(values) + ".cmsh"), big);
    }
    for (const Converter& c : Converters()) {
        const std::string big =
            dir.file("big" + std::to_string(c.layout.valuesPerVertex) + ".cmsh");
        SCOPED_TRACE(c.name);
        RunResult r = RunProgram(c.path, {c.example, dir.file("no/out.kvx")});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, c.name + ": " + dir.file("no/out.kvx") + ": No such file or directory\n");
        if (FileExists("/dev/full")) {
            r = RunProgram(c.path, {c.example, "/dev/full"});
            EXPECT_EQ(r.exitStatus, 3);
            EXPECT_EQ(r.err, c.name + ": /dev/full: No space left on device\n");
        }
        // A size limit makes the write fail (it does not end the program),
        // whether the file or standard output meets it; the old file stays.
        WriteFile(dir.file("out.kvx"), "precious");
        r = RunProgram("/bin/sh", {"-c", "ulimit -f 100; exec \"$0\" \"$1\" \"$2\" >/dev/null",
                                   c.path, big, dir.file("out.kvx")});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, c.name + ": " + dir.file("out.kvx") + ": File too large\n");
        EXPECT_EQ(ReadFile(dir.file("out.kvx")), "precious");
        if (c.layout.echoes) {
            r = RunProgram("/bin/sh", {"-c", "ulimit -f 1; exec \"$0\" \"$1\" \"$2\" >\"$3\"",
                                       c.path, big, dir.file("echo.kvx"), dir.file("echo")});
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.exitStatus, 3);
            EXPECT_EQ(r.err.substr(r.err.size() - 32), "standard output: File too large\n");
            EXPECT_FALSE(FileExists(dir.file("echo.kvx")));
        }
    }
}

// The file written to standard output stays clean: what the converter
// prints goes to standard error, and kvxdump reads the file from the pipe.
TEST(Converters, StandardOutputAsTheOutputFile) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        SCOPED_TRACE(c.name);
        RunResult file = RunProgram(c.path, {c.example, dir.file("out.kvx")});
        ASSERT_EQ(file.exitStatus, 0);
        RunResult piped =
            RunProgram("/bin/sh", {"-c", "\"$0\" \"$1\" /dev/stdout | \"$2\" /dev/stdin", c.path,
                                   c.example, KVXDUMP_PATH});
        EXPECT_EQ(piped.exitStatus, 0);
        EXPECT_EQ(piped.out, RunProgram(KVXDUMP_PATH, {dir.file("out.kvx")}).out);
        EXPECT_EQ(piped.err, file.out);

        // A regular file behind /dev/stdout is written in place, in append
        // mode where it was opened so, never renamed over.
        WriteFile(dir.file("log"), "PREVIOUS\n");
        RunResult appended = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" /dev/stdout >>\"$2\"",
                                                    c.path, c.example, dir.file("log")});
        EXPECT_EQ(appended.exitStatus, 0);
        EXPECT_EQ(ReadFile(dir.file("log")), "PREVIOUS\n" + ReadFile(dir.file("out.kvx")));
    }
}

TEST(Converters, ReadTheirTextFromAStream) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        ASSERT_EQ(RunProgram(c.path, {c.example, dir.file("file.kvx")}).exitStatus, 0);
        RunResult r = RunProgram(c.path, {"/dev/stdin", dir.file("stream.kvx")}, c.example);
        EXPECT_EQ(r.exitStatus, 0) << c.name << r.err;
        EXPECT_EQ(ReadFile(dir.file("stream.kvx")), ReadFile(dir.file("file.kvx"))) << c.name;
    }
    // An endless stream of zero bytes is refused at its first token.
    RunResult zero = RunProgram(KVXCONV3_PATH, {"/dev/stdin", dir.file("zero.kvx")}, "/dev/zero");
    EXPECT_EQ(zero.exitStatus, 2);
    EXPECT_EQ(zero.err.rfind("kvxconv3: /dev/stdin:1: expected the vertex count, found \"\\x00", 0),
              0u)
        << zero.err;
    // A stream whose first MiB holds no counts is refused as such, though
    // they follow.
    RunResult late = RunProgram(
        "/bin/sh", {"-c", "{ yes '' | head -c 1100000; cat \"$1\"; } | \"$0\" /dev/stdin \"$2\"",
                    KVXCONV3_PATH, Example("cube7.cmsh"), dir.file("late.kvx")});
    EXPECT_EQ(late.exitStatus, 2);
    EXPECT_EQ(late.err,
              "kvxconv3: /dev/stdin: no vertex and face counts in the first 1048576 bytes\n");
    EXPECT_FALSE(FileExists(dir.file("late.kvx")));
}

// Text after the last entry is allowed and changes nothing, but it is
// named: a text mesh read with the wrong converter gives a scrambled mesh.
TEST(Converters, TextAfterTheLastEntryIsPointedOut) {
    struct Case {
        const char* example;
        std::vector<std::string> warnings;  // per converter, "" for none
    };
    const std::string to7 =
        "; this looks like a 7-value mesh (kvxconv2, kvxconv3, kvxpoints, kvxwire)";
    const std::string to9 = "; this looks like a 9-value mesh (kvxconv4)";
    const Case cases[] = {
        {"cube3.cmsh", {"", "", "", "", "", ""}},
        {"cube7.cmsh", {"32 values follow the last triangle" + to7, "", "", "", "", ""}},
        {"cube9.cmsh",
         {"", "17 values follow the last triangle" + to9,
          "17 values follow the last triangle" + to9, "",
          "53 values follow the last vertex, where 12 triangle entries take 36" + to9,
          "17 values follow the last triangle" + to9}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        for (size_t k = 0; k < Converters().size(); ++k) {
            const Converter& converter = Converters()[k];
            RunResult r = RunProgram(converter.path, {Example(c.example), dir.file("out.kvx")});
            SCOPED_TRACE(converter.name + " on " + c.example);
            const std::string& warning = c.warnings[k];
            if (r.exitStatus != 0) {
                // Too few values for the layout: refused, not advised.
                EXPECT_EQ(r.exitStatus, 2);
                EXPECT_EQ(warning, "");
                continue;
            }
            EXPECT_EQ(r.err, warning.empty() ? ""
                                             : converter.name + ": " + Example(c.example) +
                                                   ": warning: " + warning + "\n");
        }
    }
    // A second word after the name of kvxconv4 is not part of it.
    WriteFile(dir.file("in.cmsh"), "0 0\nteapot lid\n");
    RunResult r = RunProgram(KVXCONV4_PATH, {dir.file("in.cmsh"), dir.file("out.kvx")});
    EXPECT_EQ(r.out, "|teapot|");
    EXPECT_EQ(r.err, "kvxconv4: " + dir.file("in.cmsh") +
                         ": warning: 1 word follows the name, which is one word\n");
}

// Another process truncates the input while a converter reads it: the
// converter, held on a full pipe, finds the rest of its text gone and says
// so instead of dying of SIGBUS; the old output stays.
TEST(Converters, AnInputThatShrinksWhileReadIsRefused) {
    TempDir dir;
    std::string text = "200000 0\n";
    for (int i = 0; i < 200000; ++i)
        text += "1 0.5 0.25 0.125 " + std::to_string(i) + " 2 3\n";
    WriteFile(dir.file("in.cmsh"), text);
    WriteFile(dir.file("out.kvx"), "precious");
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    char* argv[] = {const_cast<char*>(KVXCONV2_PATH), in.data(), out.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, KVXCONV2_PATH, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    // The echo fills the pipe long before the text is read; then the file goes.
    char buffer[4096];
    ASSERT_GT(::read(pipeFds[0], buffer, sizeof buffer), 0);
    ::usleep(200000);
    ASSERT_EQ(::truncate(in.c_str(), 1000), 0);
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(ReadFile(dir.file("err")),
              "kvxconv2: " + in + ": the file changed while it was read\n");
    EXPECT_EQ(ReadFile(out), "precious");
}
