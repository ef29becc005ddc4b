// Every byte-prefix of a valid text mesh (each layout, each converter) and
// of a valid KVX file (each version) ends cleanly: through the harness's
// checks (harness.h), and with the exact outcome a cut file calls for, in
// the converter programs and kvxdump too (which the harness, over the
// libraries alone, does not run).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "load_model.h"
#include "meshcore/okvx.h"
#include "programs.h"
#include "test_support.h"
#include "wire.h"

namespace {

const std::string kExamples = std::string(KVX_SOURCE_DIR) + "/examples/";
const std::string kData = std::string(KVX_SOURCE_DIR) + "/tests/data/";

std::string Check(FuzzTarget target, const std::string& bytes) {
    return FuzzOne(target, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Offset of the first byte of token `n` (0-based) of a text, or npos.
size_t TokenStart(const std::string& text, size_t n) {
    size_t pos = 0;
    for (size_t k = 0;; ++k) {
        pos = text.find_first_not_of(" \t\n\v\f\r", pos);
        if (pos == std::string::npos || k == n) return pos;
        pos = text.find_first_of(" \t\n\v\f\r", pos);
    }
}

struct Ran {
    int status = -1;
    std::string err;  // standard error
};

// Runs a program's work with its standard output discarded and its standard
// error kept in `errPath`; returns its exit status and what it said, and
// releases what it allocated.
template <typename Work>
Ran Quietly(const std::string& errPath, Work work) {
    int savedOut = ::dup(1), savedErr = ::dup(2);
    int null = ::open("/dev/null", O_WRONLY);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(null, 1);
    ::dup2(err, 2);
    Ran r;
    r.status = work();
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    ::close(null);
    ::close(err);
    ReleaseProgramState();
    r.err = ReadFile(errPath);
    ::unlink(errPath.c_str());
    return r;
}

// A converter on `in`, writing `out`: its exit status.
int Convert(int (*run)(const char*, const char*), const std::string& in, const std::string& out,
            const std::string& errPath) {
    return Quietly(errPath, [&] { return run(in.c_str(), out.c_str()); }).status;
}

struct TextCase {
    const char* file;
    int (*run)(const char*, const char*);
    FuzzTarget target;  // the text target that covers the converter
    bool runTarget;     // once per text: cmsh7 runs all four converters of cube7
    char selector;      // the converter's first byte in the round-trip target
    size_t valuesPerVertex;
    bool readsTriangles;
};

const TextCase kTextCases[] = {
    {"cube3.cmsh", RunKvxconv1, FuzzTarget::cmsh3, true, '0', 3, true},
    {"cube7.cmsh", RunKvxconv2, FuzzTarget::cmsh7, true, '1', 7, true},
    {"cube7.cmsh", RunKvxconv3, FuzzTarget::cmsh7, false, '2', 7, true},
    {"cube9.cmsh", RunKvxconv4, FuzzTarget::cmsh9, true, '3', 9, true},
    {"cube7.cmsh", RunKvxpoints, FuzzTarget::cmsh7, false, '4', 7, false},
    {"cube7.cmsh", RunKvxwire, FuzzTarget::cmsh7, false, '5', 7, true},
};

TEST(Prefixes, EveryPrefixOfATextMeshFailsCleanlyOrConverts) {
    ASSERT_TRUE(FuzzInit());
    TempDir dir;
    for (const TextCase& c : kTextCases) {
        std::string text = ReadFile(kExamples + c.file);
        // The cube: 8 vertices, 12 triangles. A prefix converts once it
        // holds the first character of the last token the converter needs
        // (a cut number is still a number); a shorter one fails.
        size_t tokens = 2 + 8 * c.valuesPerVertex + (c.readsTriangles ? 12 * 3 : 0);
        size_t lastStart = TokenStart(text, tokens - 1);
        ASSERT_NE(lastStart, std::string::npos);
        for (size_t length = 0; length <= text.size(); ++length) {
            SCOPED_TRACE(std::string(c.file) + " cut at " + std::to_string(length) + " for '" +
                         c.selector + "'");
            std::string prefix = text.substr(0, length);
            if (c.runTarget) {
                EXPECT_EQ(Check(c.target, prefix), "");
            }
            EXPECT_EQ(Check(FuzzTarget::roundtrip, c.selector + prefix), "");
            WriteFile(dir.file("in.cmsh"), prefix);
            int status = Convert(c.run, dir.file("in.cmsh"), dir.file("out.kvx"), dir.file("err"));
            EXPECT_EQ(status, length > lastStart ? 0 : 2);
            EXPECT_EQ(FileExists(dir.file("out.kvx")), status == 0);
            ::unlink(dir.file("out.kvx").c_str());
        }
    }
}

TEST(Prefixes, EveryPrefixOfAnIrregularMeshEndsCleanly) {
    ASSERT_TRUE(FuzzInit());
    for (auto [file, target] : {std::pair{"irregular7.cmsh", FuzzTarget::cmsh7},
                                {"irregular9.cmsh", FuzzTarget::cmsh9}}) {
        std::string text = ReadFile(kData + file);
        ASSERT_FALSE(text.empty());
        for (size_t length = 0; length <= text.size(); ++length) {
            SCOPED_TRACE(std::string(file) + " cut at " + std::to_string(length));
            EXPECT_EQ(Check(target, text.substr(0, length)), "");
        }
    }
}

// A valid file of every version, with the offset where its blocks end.
struct KvxCase {
    std::string what;
    std::string file;
    uint64_t blocksEnd;
};

std::vector<KvxCase> KvxCases() {
    TempDir dir;
    std::vector<KvxCase> cases;
    struct {
        const char* what;
        int (*run)(const char*, const char*);
        const char* input;
        uint64_t blocksEnd;
    } made[] = {
        // 8 vertices and 12 triangles (18 distinct edges for the wireframe).
        {"version 1", RunKvxconv1, "cube3.cmsh", 15 + 8 * 16 + 12 * 6},
        {"version 2", RunKvxconv2, "cube7.cmsh", 15 + 8 * 16 + 12 * 6},
        {"version 3", RunKvxconv3, "cube7.cmsh", 15 + 8 * 28 + 12 * 6},
        {"version 4", RunKvxconv4, "cube9.cmsh", 15 + 8 * 36 + 12 * 6},
        {"version -1", RunKvxpoints, "cube7.cmsh", 15 + 8 * 16},
        {"version -2", RunKvxwire, "cube7.cmsh", 15 + 8 * 16 + 18 * 4},
    };
    for (const auto& m : made) {
        EXPECT_EQ(Convert(m.run, kExamples + m.input, dir.file("out.kvx"), dir.file("err")), 0)
            << m.what;
        cases.push_back({m.what, ReadFile(dir.file("out.kvx")), m.blocksEnd});
    }
    // Version -3 has no writer: two records and one group of six values.
    std::string minus3 = KvxHeader(2, 1, -3);
    for (int k = 0; k < 14; ++k) {
        AppendF32(minus3, static_cast<float>(k) * 0.5f);
    }
    for (int v : {0, 1, 1, 0, 65535, 2}) {
        AppendU16(minus3, static_cast<uint16_t>(v));
    }
    cases.push_back({"version -3", minus3, 15 + 2 * 28 + 12});
    return cases;
}

TEST(Prefixes, EveryPrefixOfAKvxFileIsTruncatedOrAShorterName) {
    ASSERT_TRUE(FuzzInit());
    for (const KvxCase& c : KvxCases()) {
        // Only version 4 carries bytes past its blocks: the name "cube".
        ASSERT_EQ(c.file.size(), c.blocksEnd + (c.what == "version 4" ? 4 : 0)) << c.what;
        for (size_t length = 0; length <= c.file.size(); ++length) {
            SCOPED_TRACE(c.what + " cut at " + std::to_string(length));
            std::string prefix = c.file.substr(0, length);
            EXPECT_EQ(Check(FuzzTarget::load, prefix), "");

            OKVX m{};
            MeshGuard guard{m};
            KvxStatus status;
            int32_t result = KvxLoadMemory(m, prefix.data(), prefix.size(), &status);
            if (length < kKvxHeaderSize) {
                // Not even a header: truncated, the fresh mesh keeps version 0.
                EXPECT_EQ(result, 0);
                EXPECT_EQ(status.code, KvxErrc::truncated);
                EXPECT_EQ(status.expected, kKvxHeaderSize);
                EXPECT_EQ(m.version, 0);
            } else if (length < c.blocksEnd) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(status.code, KvxErrc::truncated);
                EXPECT_EQ(status.expected, c.blocksEnd);
                EXPECT_EQ(status.found, length);
                EXPECT_EQ(m.faces, nullptr);
            } else {
                EXPECT_EQ(result, 1);
                EXPECT_EQ(std::string(m.name), c.file.substr(c.blocksEnd, length - c.blocksEnd));
            }
        }
    }
}

// kvxdump on a KVX file ends as its loader does: status 0 where the file
// loads or names a version it cannot read, with a warning where the magic
// is missing; else status 2 and the load's failure in one line.
void ExpectDumpEndsAsTheLoad(const std::string& bytes, TempDir& dir) {
    const std::string path = dir.file("in.kvx");
    WriteFile(path, bytes);
    const Ran dump = Quietly(dir.file("err"), [&] { return RunKvxdump(path.c_str()); });
    const KvxStatus status =
        ModelFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).status;
    const std::string name = "kvxdump: " + path + ": ";
    if (status.code == KvxErrc::ok || status.code == KvxErrc::unsupported_version) {
        EXPECT_EQ(dump.status, 0);
        EXPECT_EQ(dump.err, status.magicMissing ? name +
                                                      "warning: the file does not begin with "
                                                      "\"KVX\"; reading it anyway\n"
                                                : "");
    } else {
        EXPECT_EQ(dump.status, 2);
        EXPECT_EQ(dump.err, name + KvxStatusMessage(status) + "\n");
    }
}

TEST(Prefixes, KvxdumpEndsEveryPrefixOfAKvxFileAndEveryLoadInputAsTheLoaderDoes) {
    TempDir dir;
    for (const KvxCase& c : KvxCases()) {
        for (size_t length = 0; length <= c.file.size(); ++length) {
            SCOPED_TRACE(c.what + " cut at " + std::to_string(length));
            ExpectDumpEndsAsTheLoad(c.file.substr(0, length), dir);
        }
    }
    // The load target's seeds and the inputs that once failed it.
    for (const char* folder : {"/corpus/load", "/regressions/load"}) {
        const std::string path = std::string(KVX_FUZZ_DIR) + folder;
        for (const std::string& file : ListFolder(path)) {
            SCOPED_TRACE(path + "/" + file);
            ExpectDumpEndsAsTheLoad(ReadFile(path + "/" + file), dir);
        }
    }
}

}  // namespace
