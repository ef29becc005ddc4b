// How the programs are linked: statically where the build says so, and every
// program the fault tests preload a library into reachable by it (linked to
// the shared C library, itself or through its copy).
#include <elf.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Whether the ELF file at `path` asks for a program interpreter, as every
// dynamically linked program does. Fails the test on anything but a 64-bit
// ELF file.
bool HasInterpreter(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr header{};
    in.read(reinterpret_cast<char*>(&header), sizeof header);
    EXPECT_TRUE(in && header.e_ident[EI_MAG0] == ELFMAG0 && header.e_ident[EI_CLASS] == ELFCLASS64)
        << path;
    for (unsigned k = 0; in && k < header.e_phnum; ++k) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + k * header.e_phentsize));
        in.read(reinterpret_cast<char*>(&segment), sizeof segment);
        if (in && segment.p_type == PT_INTERP) return true;
    }
    return false;
}

struct Program {
    const char* path;
    bool mayBeStatic;  // false: it links a library that is shared only
};

std::vector<Program> Programs() {
    std::vector<Program> programs;
    for (const Converter& c : Converters())
        programs.push_back({c.path.c_str(), true});
    programs.push_back({KVXDUMP_PATH, true});
    // kvximport and kvxopt open meshoptimizer with dlopen where it is shared.
    programs.push_back({KVXIMPORT_PATH, KVX_MESHIMPORT_STATIC != 0});
#ifdef KVXOPT_PATH
    programs.push_back({KVXOPT_PATH, KVX_MESHIMPORT_STATIC != 0});
#endif
    programs.push_back({KVXEXPORT_PATH, true});
#ifdef KVXRENDER_PATH
    programs.push_back({KVXRENDER_PATH, KVX_PNG_STATIC != 0});
#endif
    return programs;
}

}  // namespace

TEST(StaticPrograms, LinkedAsConfiguredAndPreloadableForTheFaultTests) {
    for (const Program& p : Programs()) {
        SCOPED_TRACE(p.path);
        const bool dynamic = HasInterpreter(p.path);
        EXPECT_EQ(dynamic, !(KVX_STATIC_GLIBC != 0 && p.mayBeStatic));
        const std::string preloadable = PreloadableProgram(p.path, KVX_SHARED_PROGRAMS);
        EXPECT_EQ(preloadable != p.path, !dynamic);
        EXPECT_TRUE(HasInterpreter(preloadable));
    }
}

// The copy a preloaded library reaches behaves as the program does.
TEST(StaticPrograms, SharedCopyConvertsAlike) {
    TempDir dir;
    for (const Converter& c : Converters()) {
        const std::string copy = PreloadableProgram(c.path, KVX_SHARED_PROGRAMS);
        const std::string a = dir.path() + "/a.kvx", b = dir.path() + "/b.kvx";
        RunResult ra = RunProgram(c.path, {c.example, a});
        RunResult rb = RunProgram(copy, {c.example, b});
        EXPECT_EQ(ra.exitStatus, 0) << c.name;
        EXPECT_EQ(ra.out, rb.out) << c.name;
        EXPECT_EQ(ra.err, rb.err) << c.name;
        EXPECT_EQ(ReadFile(a), ReadFile(b)) << c.name;
    }
}
