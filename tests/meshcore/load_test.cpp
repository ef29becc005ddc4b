// The loader, through all three ways in: memory, a regular file and a pipe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "meshcore/okvx.h"
#include "test_support.h"

namespace {

struct Loaded {
    OKVX m{};
    int32_t result = -1;
    KvxStatus status;
    ~Loaded() { KvxRelease(m); }
};

// Writes `bytes` into a FIFO from a thread, for as long as the reader reads.
class FifoWriter {
public:
    FifoWriter(const std::string& path, std::string bytes) {
        std::signal(SIGPIPE, SIG_IGN);
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        thread_ = std::thread([path, data = std::move(bytes)] {
            int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            // Small pieces, so that the reader meets short reads.
            for (size_t at = 0; at < data.size();) {
                ssize_t n = ::write(fd, data.data() + at, std::min<size_t>(7, data.size() - at));
                if (n <= 0) break;  // the reader stopped early
                at += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    ~FifoWriter() { thread_.join(); }

private:
    std::thread thread_;
};

using Check = std::function<void(Loaded&)>;

// Loads `bytes` from memory, from a regular file and from a FIFO, each into
// a mesh that starts as a copy of `start` (whose pointers must be null), and
// runs `check` on each outcome.
void LoadEach(const std::string& bytes, const OKVX& start, const Check& check) {
    TempDir dir;
    {
        SCOPED_TRACE("memory");
        auto l = std::make_unique<Loaded>();
        l->m = start;
        l->result = KvxLoadMemory(l->m, bytes.data(), bytes.size(), &l->status);
        check(*l);
    }
    {
        SCOPED_TRACE("regular file");
        std::string path = dir.file("mesh.kvx");
        WriteFile(path, bytes);
        auto l = std::make_unique<Loaded>();
        l->m = start;
        l->result = l->m.load(path.c_str(), &l->status);
        check(*l);
    }
    {
        SCOPED_TRACE("pipe");
        std::string path = dir.file("pipe");
        auto l = std::make_unique<Loaded>();
        {
            FifoWriter writer(path, bytes);
            l->m = start;
            l->result = l->m.load(path.c_str(), &l->status);
        }
        check(*l);
    }
}

void LoadEach(const std::string& bytes, const Check& check) {
    LoadEach(bytes, OKVX{}, check);
}

void ExpectNoArrays(const OKVX& m) {
    EXPECT_EQ(m.faces, nullptr);
    EXPECT_EQ(m.verticesV1, nullptr);
    EXPECT_EQ(m.verticesV2, nullptr);
    EXPECT_EQ(m.verticesV3, nullptr);
    EXPECT_EQ(m.verticesV4, nullptr);
}

void ExpectLoaded(const Loaded& l) {
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(l.status.code, KvxErrc::ok);
}

void ExpectFailed(const Loaded& l, KvxErrc code, uint64_t expected, uint64_t found) {
    EXPECT_EQ(l.result, 0);
    EXPECT_EQ(l.status.code, code);
    EXPECT_EQ(l.status.expected, expected);
    EXPECT_EQ(l.status.found, found);
    ExpectNoArrays(l.m);
}

// Valid files of each version, small enough to cut at every length.
struct Sample {
    const char* what;
    std::string file;
    size_t blocksEnd;  // where the index block ends
};

std::vector<Sample> Samples() {
    std::vector<Sample> s;
    auto add = [&](const char* what, std::string blocks, const std::string& trailer = "") {
        s.push_back({what, blocks + trailer, blocks.size()});
    };
    add("v1", KvxHeader(2, 1, 1) + V1Record(0x0ABCDEF0u, 1.5f, -0.25f, 100.0f) +
                  V1Record(0xFFFFFFFFu, 0.1f, -0.0f, 3.0f) + Indices({0, 1, 65535}));
    add("v2", KvxHeader(1, 1, 2) + V1Record(0x12345678u, -1, 0.5f, 2) + Indices({0, 0, 0}));
    add("v3",
        KvxHeader(1, 2, 3) + Floats({1e-30f, 0, 1, -1, 2, 3, 4}) + Indices({0, 0, 0, 7, 8, 9}));
    add("v4",
        KvxHeader(1, 1, 4) + Floats({0.25f, 0.75f, 1e-30f, 0, 0, 1, -1, -2, -3}) +
            Indices({3, 2, 1}),
        "ab");
    // A point set's faceCount describes nothing; bytes behind it are no indices.
    add("vn1", KvxHeader(2, 9, -1) + V1Record(1, 1, 2, 3) + V1Record(2, 4, 5, 6));
    add("vn2", KvxHeader(2, 3, -2) + V1Record(1, 1, 2, 3) + V1Record(2, 4, 5, 6) +
                   Indices({0, 1, 1, 0, 65535, 1}));
    add("vn3",
        KvxHeader(1, 1, -3) + Floats({1, 2, 3, 4, 5, 6, 7}) + Indices({10, 11, 12, 13, 14, 15}));
    return s;
}

// The vertex member a version fills; every other one must stay null.
const void* VertexMember(const OKVX& m, int32_t version) {
    switch (version) {
        case 2:
            return m.verticesV2;
        case 3:
        case -3:
            return m.verticesV3;
        case 4:
            return m.verticesV4;
        default:
            return m.verticesV1;
    }
}

}  // namespace

TEST(Load, EachVersionFillsItsOwnMembersWithExactlyTheFileBytes) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.what);
        const std::string& f = sample.file;
        LoadEach(sample.what == std::string("vn1") ? f + "junk" : f, [&](Loaded& l) {
            ExpectLoaded(l);
            int32_t version;
            std::memcpy(&version, f.data() + 11, 4);
            EXPECT_EQ(l.m.version, version);
            EXPECT_EQ(std::memcmp(&l.m.vertexCount, f.data() + 3, 4), 0);
            EXPECT_EQ(std::memcmp(&l.m.faceCount, f.data() + 7, 4), 0);
            const void* vertices = VertexMember(l.m, version);
            ASSERT_NE(vertices, nullptr);
            int others = (l.m.verticesV1 != nullptr) + (l.m.verticesV2 != nullptr) +
                         (l.m.verticesV3 != nullptr) + (l.m.verticesV4 != nullptr);
            EXPECT_EQ(others, 1);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(vertices) % 16, 0u);
            // Byte equality of the records is equality of every float's bits.
            size_t vertexBytes = size_t{l.m.vertexCount} * KvxRecordSize(version);
            EXPECT_EQ(std::memcmp(vertices, f.data() + 15, vertexBytes), 0);
            size_t indexBytes = sample.blocksEnd - 15 - vertexBytes;
            if (version == -1) {
                EXPECT_EQ(l.m.faces, nullptr);
            } else {
                ASSERT_NE(l.m.faces, nullptr);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(l.m.faces) % 16, 0u);
                EXPECT_EQ(std::memcmp(l.m.faces, f.data() + 15 + vertexBytes, indexBytes), 0);
            }
            EXPECT_EQ(std::string(l.m.name), f.substr(sample.blocksEnd));
        });
    }
    LoadEach(KvxHeader(0, 0, 1), [](Loaded& l) {
        ExpectLoaded(l);
        EXPECT_NE(l.m.verticesV1, nullptr);
        EXPECT_NE(l.m.faces, nullptr);
    });
}

TEST(Load, UnknownVersionsSetOnlyTheHeader) {
    for (int32_t version : {0, 5, -4, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(version);
        // Counts far beyond the file: nothing is read past the header.
        LoadEach(KvxHeader(0xFFFFFFFFu, 7, version) + "xyz", [&](Loaded& l) {
            EXPECT_EQ(l.result, 0);
            EXPECT_EQ(l.status.code, KvxErrc::unsupported_version);
            EXPECT_EQ(l.m.version, version);
            EXPECT_EQ(l.m.vertexCount, 0xFFFFFFFFu);
            EXPECT_EQ(l.m.faceCount, 7u);
            ExpectNoArrays(l.m);
            EXPECT_EQ(l.m.name[0], 0);
        });
    }
}

TEST(Load, TheMagicIsNeverChecked) {
    std::string file = Samples()[0].file;
    file.replace(0, 3, "\0zz", 3);
    LoadEach(file, [&](Loaded& l) {
        ExpectLoaded(l);
        EXPECT_EQ(std::memcmp(l.m.verticesV1, file.data() + 15, 32), 0);
    });
}

// A file shorter than its header is truncated; the words it holds whole
// are still set, the others keep whatever they held.
TEST(Load, AShortHeaderIsTruncatedAndSetsOnlyTheWholeWords) {
    std::string header = KvxHeader(0x11111111u, 0x22222222u, 4);
    for (size_t length = 0; length < kKvxHeaderSize; ++length) {
        SCOPED_TRACE(length);
        LoadEach(header.substr(0, length), [&](Loaded& l) {
            ExpectFailed(l, KvxErrc::truncated, kKvxHeaderSize, length);
            EXPECT_EQ(KvxStatusMessage(l.status), "truncated: the file has " +
                                                      std::to_string(length) +
                                                      " bytes, fewer than the 15 of a header");
            EXPECT_EQ(l.m.vertexCount, length >= 7 ? 0x11111111u : 0u);
            EXPECT_EQ(l.m.faceCount, length >= 11 ? 0x22222222u : 0u);
            EXPECT_EQ(l.m.version, 0);
        });
    }
    OKVX start{};
    start.vertexCount = 0xAAAAAAAAu;
    start.faceCount = 0xBBBBBBBBu;
    start.version = 9;
    for (size_t length : {0u, 6u, 7u, 10u, 11u, 14u}) {
        SCOPED_TRACE(length);
        LoadEach(header.substr(0, length), start, [&](Loaded& l) {
            EXPECT_EQ(l.result, 0);
            EXPECT_EQ(l.m.vertexCount, length >= 7 ? 0x11111111u : 0xAAAAAAAAu);
            EXPECT_EQ(l.m.faceCount, length >= 11 ? 0x22222222u : 0xBBBBBBBBu);
            EXPECT_EQ(l.m.version, 9);
        });
    }
}

// The magic is never required, but whether it is there is told.
TEST(Load, AMissingMagicIsToldAndLoadsAllTheSame) {
    std::string file = Samples()[0].file;
    LoadEach(file, [](Loaded& l) {
        ExpectLoaded(l);
        EXPECT_FALSE(l.status.magicMissing);
    });
    for (const char* magic : {"PNG", "kvx", "KV\n"}) {
        std::string other = magic + file.substr(3);
        LoadEach(other, [&](Loaded& l) {
            ExpectLoaded(l);
            EXPECT_TRUE(l.status.magicMissing);
        });
        // Said on a failure past the header too.
        LoadEach(other.substr(0, 16), [&](Loaded& l) {
            EXPECT_EQ(l.status.code, KvxErrc::truncated);
            EXPECT_TRUE(l.status.magicMissing);
        });
    }
}

// Without the magic, only an accepted version makes a file KVX; the
// header words it holds are set all the same.
TEST(Load, NeitherMagicNorAcceptedVersionIsNotKvx) {
    for (int32_t version : {0, 5, -4, 0x20202020}) {
        SCOPED_TRACE(version);
        LoadEach("kvx" + KvxHeader(7, 8, version).substr(3) + "rest", [&](Loaded& l) {
            ExpectFailed(l, KvxErrc::not_kvx, 0, 0);
            EXPECT_TRUE(l.status.magicMissing);
            EXPECT_EQ(KvxStatusMessage(l.status), "not a KVX file");
            EXPECT_EQ(l.m.vertexCount, 7u);
            EXPECT_EQ(l.m.faceCount, 8u);
            EXPECT_EQ(l.m.version, version);
        });
    }
    // Shorter than a header: the bytes there decide.
    for (const char* bytes : {"x", "KX", "KVx", "PNG\r\n", "0 0 0 0 0 0"}) {
        SCOPED_TRACE(bytes);
        LoadEach(bytes, [&](Loaded& l) { ExpectFailed(l, KvxErrc::not_kvx, 0, 0); });
    }
    // Even where the mesh held an accepted version before: the file has none.
    OKVX start{};
    start.version = 1;
    LoadEach("abc", start, [](Loaded& l) {
        ExpectFailed(l, KvxErrc::not_kvx, 0, 0);
        EXPECT_EQ(l.m.version, 1);
    });
    for (const char* bytes : {"", "K", "KV", "KVX", "KVX\x01\x02"}) {
        SCOPED_TRACE(bytes);
        LoadEach(bytes, [&](Loaded& l) {
            ExpectFailed(l, KvxErrc::truncated, kKvxHeaderSize, std::strlen(bytes));
            EXPECT_FALSE(l.status.magicMissing);
        });
    }
    // The magic with an unknown version stays unsupported_version.
    LoadEach(KvxHeader(0, 0, 5), [](Loaded& l) {
        EXPECT_EQ(l.status.code, KvxErrc::unsupported_version);
        EXPECT_FALSE(l.status.magicMissing);
    });
}

TEST(Load, EveryShortPrefixFailsBeforeAllocating) {
    for (const Sample& c : Samples()) {
        for (size_t length = kKvxHeaderSize; length < c.file.size(); ++length) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(length));
            Loaded l;
            l.result = KvxLoadMemory(l.m, c.file.data(), length, &l.status);
            if (length < c.blocksEnd) {
                ExpectFailed(l, KvxErrc::truncated, c.blocksEnd, length);
                EXPECT_EQ(l.m.name[0], 0);
            } else {
                // The name runs to the end of the file, so it is only shorter.
                ExpectLoaded(l);
                EXPECT_EQ(std::string(l.m.name), c.file.substr(c.blocksEnd, length - c.blocksEnd));
            }
        }
    }
}

TEST(Load, HugeCountsFailAtOnceWithTheirSizeIn64Bits) {
    std::string file = KvxHeader(0xFFFFFFFFu, 0, 1) + std::string(25, 'x');
    LoadEach(file, [](Loaded& l) {
        EXPECT_EQ(l.m.vertexCount, 0xFFFFFFFFu);
        ExpectFailed(l, KvxErrc::truncated, 15 + 0xFFFFFFFFull * 16, 40);
    });
    // 0x10000000 records of 16 bytes wrap to 0 in 32 bits.
    LoadEach(KvxHeader(0x10000000u, 0, 1),
             [](Loaded& l) { ExpectFailed(l, KvxErrc::truncated, 15 + (1ull << 32), 15); });
    LoadEach(KvxHeader(0xFFFFFFFFu, 0xFFFFFFFFu, 4),
             [](Loaded& l) { ExpectFailed(l, KvxErrc::truncated, 15 + 0xFFFFFFFFull * 42, 15); });
    LoadEach(KvxHeader(0, 0xFFFFFFFFu, -3),
             [](Loaded& l) { ExpectFailed(l, KvxErrc::truncated, 15 + 0xFFFFFFFFull * 12, 15); });
    LoadEach(KvxHeader(0, 0x40000000u, -2),
             [](Loaded& l) { ExpectFailed(l, KvxErrc::truncated, 15 + (1ull << 32), 15); });
}

TEST(Load, NameTrailerUpTo255BytesAndNoFurther) {
    const std::string blocks = Samples()[3].file.substr(0, Samples()[3].blocksEnd);
    LoadEach(blocks, [](Loaded& l) {
        ExpectLoaded(l);
        for (char c : l.m.name)
            EXPECT_EQ(c, 0);
    });
    std::string longest(255, 'n');
    longest[0] = 'a';
    LoadEach(blocks + longest, [&](Loaded& l) {
        ExpectLoaded(l);
        EXPECT_EQ(std::string(l.m.name, 255), longest);
        EXPECT_EQ(l.m.name[255], 0);
    });
    for (size_t length : {256u, 1000u, 70000u}) {
        SCOPED_TRACE(length);
        int source = 0;  // memory, regular file, pipe
        LoadEach(blocks + std::string(length, 'n'), [&](Loaded& l) {
            // A pipe is not read past the 256th byte: its length is unknown.
            ExpectFailed(l, KvxErrc::name_too_long, 255, source++ == 2 ? 0 : length);
            for (char c : l.m.name)
                EXPECT_EQ(c, 0);
        });
    }
    // Trailer bytes are taken as they stand, and the text ends behind them
    // even in a mesh that held a longer name.
    OKVX start{};
    std::memset(start.name, 'x', 255);
    LoadEach(blocks + std::string("ab\0c", 4), start, [](Loaded& l) {
        ExpectLoaded(l);
        EXPECT_EQ(std::string(l.m.name, 6), std::string("ab\0c\0x", 6));
    });
}

TEST(Load, AFileThatCannotBeOpenedOrReadLeavesTheMeshAlone) {
    TempDir dir;
    OKVX m{};
    m.vertexCount = 3;
    KvxStatus status;
    EXPECT_EQ(m.load(dir.file("missing.kvx").c_str(), &status), 0);
    EXPECT_EQ(status.code, KvxErrc::open_failed);
    EXPECT_EQ(status.sysErrno, ENOENT);
    EXPECT_EQ(m.vertexCount, 3u);
    EXPECT_EQ(KvxStatusMessage(status), "No such file or directory");

    EXPECT_EQ(m.load(dir.path().c_str(), &status), 0);
    EXPECT_EQ(status.code, KvxErrc::read_failed);
    EXPECT_EQ(status.sysErrno, EISDIR);
    EXPECT_EQ(m.vertexCount, 3u);
    ExpectNoArrays(m);
    EXPECT_EQ(m.load(dir.path().c_str()), 0);  // no status wanted
}

TEST(Load, AnEndlessStreamIsReadOnlyAsFarAsTheHeaderAsks) {
    OKVX m{};
    KvxStatus status;
    EXPECT_EQ(m.load("/dev/zero", &status), 0);
    EXPECT_EQ(status.code, KvxErrc::not_kvx);
    EXPECT_EQ(m.version, 0);
    ExpectNoArrays(m);

    // Zero bytes after a version-4 header with no records: the name would
    // never end, so the stream is left after one byte more than fits.
    TempDir dir;
    std::string path = dir.file("endless");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::signal(SIGPIPE, SIG_IGN);
    uint64_t written = 0;
    std::thread writer([&] {
        int fd = ::open(path.c_str(), O_WRONLY);
        std::string bytes = KvxHeader(0, 0, 4) + std::string(4096, '\0');
        while (::write(fd, bytes.data(), bytes.size()) > 0) {
            written += bytes.size();
            bytes.assign(4096, '\0');
        }
        ::close(fd);
    });
    OKVX n{};
    EXPECT_EQ(n.load(path.c_str(), &status), 0);
    writer.join();
    EXPECT_EQ(status.code, KvxErrc::name_too_long);
    EXPECT_EQ(KvxStatusMessage(status), "the name is longer than 255 bytes");
    ExpectNoArrays(n);
}

TEST(Load, CorruptedHeaderBytesNeverGiveMoreThanTheFileHolds) {
    for (const Sample& sample : Samples()) {
        for (size_t at = 3; at < kKvxHeaderSize; ++at) {
            for (int value : {0x00, 0x01, 0x80, 0xFF}) {
                std::string bad = sample.file;
                bad[at] = static_cast<char>(value);
                Loaded l;
                l.result = KvxLoadMemory(l.m, bad.data(), bad.size(), &l.status);
                if (l.result == 1) {
                    // Whatever loaded, the file held every byte of it.
                    int32_t v = l.m.version;
                    uint64_t groupBytes = v == -1 ? 0 : v == -2 ? 4 : v == -3 ? 12 : 6;
                    uint64_t need = 15 + uint64_t{l.m.vertexCount} * KvxRecordSize(v) +
                                    uint64_t{l.m.faceCount} * groupBytes;
                    EXPECT_LE(need, bad.size());
                } else {
                    ExpectNoArrays(l.m);
                }
            }
        }
    }
}

TEST(Load, EverySaveOperationLoadsBack) {
    TempDir dir;
    std::string path = dir.file("saved.kvx");
    OKVX src{};
    MeshGuard guard{src};
    src.vertexCount = 3;
    src.faceCount = 2;
    src.faces = KvxAllocateArray<uint16_t>(6);
    const uint16_t indices[] = {0, 1, 2, 2, 1, 65535};
    std::memcpy(src.faces, indices, sizeof indices);
    src.verticesV1 = KvxAllocateArray<VertexkvxV1>(3);
    src.verticesV2 = KvxAllocateArray<VertexkvxV2>(3);
    src.verticesV3 = KvxAllocateArray<VertexkvxV3>(3);
    src.verticesV4 = KvxAllocateArray<VertexkvxV4>(3);
    for (uint32_t i = 0; i < 3; ++i) {
        float f = static_cast<float>(i) * 0.37f - 1e-5f;
        src.verticesV1[i] = {0x01020304u * (i + 1), f, -f, f * 1e30f};
        src.verticesV2[i] = {0xF0000000u >> i, f * 3, 1 / (f + 2), -0.0f};
        src.verticesV3[i] = {i, f, f + 1, f + 2, f + 3, f + 4, f + 5};
        src.verticesV4[i] = {f, 1 - f, 0x80808080u + i, f, f, f, -f, -f, 1e-38f};
    }
    std::strcpy(src.name, "a name with spaces");

    struct Case {
        bool (OKVX::*save)(const char*, KvxStatus*) const;
        int32_t version;
    };
    for (Case c : {Case{&OKVX::saveV1, 1}, Case{&OKVX::saveV2, 2}, Case{&OKVX::saveV3, 3},
                   Case{&OKVX::saveV4, 4}, Case{&OKVX::saveVn1, -1}, Case{&OKVX::saveVn2, -2}}) {
        SCOPED_TRACE(c.version);
        ASSERT_TRUE((src.*c.save)(path.c_str(), nullptr));
        Loaded l;
        l.result = l.m.load(path.c_str(), &l.status);
        ExpectLoaded(l);
        EXPECT_EQ(l.m.version, c.version);
        EXPECT_EQ(l.m.vertexCount, 3u);
        EXPECT_EQ(l.m.faceCount, 2u);
        const void* want = VertexMember(src, c.version);
        const void* got = VertexMember(l.m, c.version);
        // Byte equality of the records is equality of every float's bits.
        EXPECT_EQ(std::memcmp(got, want, 3 * KvxRecordSize(c.version)), 0);
        if (c.version == -1) {
            EXPECT_EQ(l.m.faces, nullptr);
        } else {
            ASSERT_NE(l.m.faces, nullptr);
            size_t values = c.version == -2 ? 4 : 6;
            EXPECT_EQ(std::memcmp(l.m.faces, src.faces, values * 2), 0);
        }
        EXPECT_STREQ(l.m.name, c.version == 4 ? src.name : "");
    }
}
