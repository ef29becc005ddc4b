#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

void RemoveTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        for (const std::string& name : ListFolder(path))
            RemoveTree(path + "/" + name);
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kvxtest.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

void AppendU16(std::string& out, uint16_t v) {
    out.append(reinterpret_cast<const char*>(&v), 2);
}
void AppendU32(std::string& out, uint32_t v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}
void AppendI32(std::string& out, int32_t v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}
void AppendF32(std::string& out, float v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}

std::string KvxHeader(uint32_t vertexCount, uint32_t faceCount, int32_t version) {
    std::string out = "KVX";
    AppendU32(out, vertexCount);
    AppendU32(out, faceCount);
    AppendI32(out, version);
    return out;
}

std::string V1Record(uint32_t color, float x, float y, float z) {
    std::string out;
    AppendU32(out, color);
    return out + Floats({x, y, z});
}

std::string Floats(std::initializer_list<float> values) {
    std::string out;
    for (float v : values)
        AppendF32(out, v);
    return out;
}

std::string Indices(std::initializer_list<uint16_t> values) {
    std::string out;
    for (uint16_t v : values)
        AppendU16(out, v);
    return out;
}

uint32_t FloatBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

std::string Example(const std::string& name) {
    const char* examples = std::getenv("KVX_EXAMPLES");
    return std::string(examples ? examples : KVX_SOURCE_DIR "/examples") + "/" + name;
}

std::string TestData(const std::string& name) {
    return std::string(KVX_SOURCE_DIR "/tests/data/") + name;
}

const std::vector<Converter>& Converters() {
    static const std::vector<Converter> converters = [] {
        const char* paths[] = {KVXCONV1_PATH, KVXCONV2_PATH,  KVXCONV3_PATH,
                               KVXCONV4_PATH, KVXPOINTS_PATH, KVXWIRE_PATH};
        std::vector<Converter> all;
        for (size_t k = 0; k < std::size(kConverterLayouts); ++k) {
            const ConverterLayout& l = kConverterLayouts[k];
            const char* example = l.valuesPerVertex == 3   ? "cube3.cmsh"
                                  : l.valuesPerVertex == 7 ? "cube7.cmsh"
                                                           : "cube9.cmsh";
            all.push_back({l, l.name, paths[k], Example(example)});
        }
        return all;
    }();
    return converters;
}

const Converter& ConverterNamed(const std::string& name) {
    for (const Converter& c : Converters()) {
        if (c.name == name) return c;
    }
    throw std::runtime_error("no converter " + name);
}

Conversion Convert(const char* program, const std::string& text) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), text);
    Conversion c;
    c.run = RunProgram(program, {dir.file("in.cmsh"), dir.file("out.kvx")});
    c.file = ReadFile(dir.file("out.kvx"));
    return c;
}

void ExpectConverted(const Conversion& c, const std::string& out, const std::string& file) {
    EXPECT_EQ(c.run.exitStatus, 0);
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.run.out, out);
    EXPECT_EQ(c.file, file);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& stdinPath) {
    TempDir capture;
    std::string outPath = capture.file("stdout"), errPath = capture.file("stderr");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    RunResult result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(wstatus)) result.exitStatus = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

void ExpectUsageMistakes(const std::string& program, const std::vector<UsageMistake>& mistakes) {
    for (const UsageMistake& m : mistakes) {
        std::string line;
        for (const std::string& a : m.args)
            line += " '" + a + "'";
        SCOPED_TRACE(program + line);
        RunResult r = RunProgram(program, m.args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, m.problem);
        EXPECT_EQ(r.out, "");
    }
}

std::string PreloadableProgram(const std::string& program, const std::string& sharedCopies) {
    if (sharedCopies.empty()) return program;
    const std::string copy = sharedCopies + "/" + program.substr(program.rfind('/') + 1);
    return ::access(copy.c_str(), X_OK) == 0 ? copy : program;
}
