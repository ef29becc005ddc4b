// Golden bytes of the six save operations, and what a failed save leaves.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstring>

#include "meshcore/okvx.h"
#include "test_support.h"

namespace {

// A mesh with real data in every array a save may read.
struct SampleMesh {
    OKVX m{};
    MeshGuard guard{m};
    SampleMesh(uint32_t vertexCount, uint32_t faceCount) {
        m.vertexCount = vertexCount;
        m.faceCount = faceCount;
        m.verticesV1 = KvxAllocateArray<VertexkvxV1>(vertexCount);
        m.verticesV2 = KvxAllocateArray<VertexkvxV2>(vertexCount);
        m.verticesV3 = KvxAllocateArray<VertexkvxV3>(vertexCount);
        m.verticesV4 = KvxAllocateArray<VertexkvxV4>(vertexCount);
        m.faces = KvxAllocateArray<uint16_t>(uint64_t{faceCount} * 3);
        for (uint32_t i = 0; i < vertexCount; ++i) {
            float f = static_cast<float>(i);
            m.verticesV1[i] = {0xFFFF0000u + i, f, f + 0.5f, -f};
            m.verticesV2[i] = {0x336699CCu ^ i, -f, 2 * f, 0.25f};
            m.verticesV3[i] = {0x017E0000u | i, 0.6f, 0.8f, 0.0f, f, 1, 2};
            m.verticesV4[i] = {0.25f, 0.75f, 0xFFFFFF81u, 0, 0, 1, f, -1, -2};
        }
        for (uint32_t k = 0; k < faceCount * 3; ++k)
            m.faces[k] = static_cast<uint16_t>(k * 4099);
    }
};

std::string Block(const void* data, size_t bytes) {
    return std::string(static_cast<const char*>(data), bytes);
}

std::string Saved(const OKVX& m, bool (OKVX::*op)(const char*, KvxStatus*) const) {
    TempDir dir;
    std::string path = dir.file("out.kvx");
    KvxStatus status;
    EXPECT_TRUE((m.*op)(path.c_str(), &status));
    EXPECT_EQ(status.code, KvxErrc::ok);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
    return ReadFile(path);
}

}  // namespace

TEST(Save, EmptyMeshIsTheHeaderAlone) {
    OKVX m{};
    m.version = 77;  // never written: each operation writes its own code
    EXPECT_EQ(Saved(m, &OKVX::saveV1), Bytes({'K', 'V', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(Saved(m, &OKVX::saveV2), KvxHeader(0, 0, 2));
    EXPECT_EQ(Saved(m, &OKVX::saveV3), KvxHeader(0, 0, 3));
    EXPECT_EQ(Saved(m, &OKVX::saveV4), KvxHeader(0, 0, 4));
    EXPECT_EQ(Saved(m, &OKVX::saveVn1).substr(11), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Saved(m, &OKVX::saveVn2).substr(11), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(Save, EveryVersionWritesItsRecordsAndIndices) {
    SampleMesh s(3, 2);
    const OKVX& m = s.m;
    std::string triples = Block(m.faces, 12);
    EXPECT_EQ(Saved(m, &OKVX::saveV1), KvxHeader(3, 2, 1) + Block(m.verticesV1, 48) + triples);
    EXPECT_EQ(Saved(m, &OKVX::saveV2), KvxHeader(3, 2, 2) + Block(m.verticesV2, 48) + triples);
    EXPECT_EQ(Saved(m, &OKVX::saveV3), KvxHeader(3, 2, 3) + Block(m.verticesV3, 84) + triples);
    EXPECT_EQ(Saved(m, &OKVX::saveV4), KvxHeader(3, 2, 4) + Block(m.verticesV4, 108) + triples);
    // Two lines: the first four indices, as pairs.
    EXPECT_EQ(Saved(m, &OKVX::saveVn2),
              KvxHeader(3, 2, -2) + Block(m.verticesV1, 48) + Block(m.faces, 8));
    EXPECT_EQ(Saved(m, &OKVX::saveVn1), KvxHeader(3, 2, -1) + Block(m.verticesV1, 48));
}

TEST(Save, RecordFieldsLandAtTheirBytePositions) {
    SampleMesh s(1, 1);
    s.m.verticesV1[0] = {0xFFFF0000u, 1.0f, 2.0f, -3.0f};
    s.m.verticesV4[0] = {0.25f, 0.75f, 0x336699CCu, 0.6f, 0.8f, 0.0f, 1.0f, 2.0f, 3.0f};
    s.m.faces[0] = 65535;
    s.m.faces[1] = 0;
    s.m.faces[2] = 258;
    std::string v1 = KvxHeader(1, 1, 1);
    v1 += Bytes({0x00, 0x00, 0xFF, 0xFF});  // colour, low byte first
    AppendF32(v1, 1.0f);
    AppendF32(v1, 2.0f);
    AppendF32(v1, -3.0f);
    v1 += Bytes({0xFF, 0xFF, 0x00, 0x00, 0x02, 0x01});
    EXPECT_EQ(Saved(s.m, &OKVX::saveV1), v1);

    std::string v4 = KvxHeader(1, 1, 4);
    for (float f : {0.25f, 0.75f})
        AppendF32(v4, f);
    v4 += Bytes({0xCC, 0x99, 0x66, 0x33});
    for (float f : {0.6f, 0.8f, 0.0f, 1.0f, 2.0f, 3.0f})
        AppendF32(v4, f);
    v4 += Bytes({0xFF, 0xFF, 0x00, 0x00, 0x02, 0x01});
    EXPECT_EQ(Saved(s.m, &OKVX::saveV4), v4);
}

TEST(Save, FileSizesFollowTheCounts) {
    SampleMesh points(5, 5);
    EXPECT_EQ(Saved(points.m, &OKVX::saveVn1).size(), 95u);
    SampleMesh wire(2, 3);
    EXPECT_EQ(Saved(wire.m, &OKVX::saveVn2).size(), 59u);
    SampleMesh triangle(3, 1);
    EXPECT_EQ(Saved(triangle.m, &OKVX::saveV3).size(), 105u);
}

TEST(Save, NameTrailerIsTheNonZeroBytesOfTheFirst255) {
    SampleMesh s(0, 0);
    std::strcpy(s.m.name, "abc");
    EXPECT_EQ(Saved(s.m, &OKVX::saveV4), KvxHeader(0, 0, 4) + "abc");
    std::memset(s.m.name, 0, sizeof s.m.name);
    EXPECT_EQ(Saved(s.m, &OKVX::saveV4), KvxHeader(0, 0, 4));
    std::memcpy(s.m.name, "ab\0cd", 5);
    s.m.name[255] = 'z';  // never written
    EXPECT_EQ(Saved(s.m, &OKVX::saveV4), KvxHeader(0, 0, 4) + "abcd");
    std::memset(s.m.name, 'n', 255);
    EXPECT_EQ(Saved(s.m, &OKVX::saveV4), KvxHeader(0, 0, 4) + std::string(255, 'n'));
}

TEST(Save, MissingArraysAreRefusedNotRead) {
    OKVX m{};
    m.vertexCount = 2;
    TempDir dir;
    KvxStatus status;
    EXPECT_FALSE(m.saveV3(dir.file("x.kvx").c_str(), &status));
    EXPECT_EQ(status.code, KvxErrc::invalid_mesh);
    m.vertexCount = 0;
    m.faceCount = 1;
    EXPECT_FALSE(m.saveV1(dir.file("x.kvx").c_str(), &status));
    EXPECT_EQ(status.code, KvxErrc::invalid_mesh);
    EXPECT_TRUE(m.saveVn1(dir.file("x.kvx").c_str(), &status)) << "a point set has no indices";
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"x.kvx"});
}

TEST(Save, FailuresReportWhyAndLeaveNothingBehind) {
    SampleMesh s(3, 1);
    TempDir dir;
    KvxStatus status;
    EXPECT_FALSE(s.m.saveV2(dir.file("missing/out.kvx").c_str(), &status));
    EXPECT_EQ(status.code, KvxErrc::open_failed);
    EXPECT_EQ(status.sysErrno, ENOENT);
    EXPECT_EQ(KvxStatusMessage(status), "No such file or directory");
    EXPECT_FALSE(s.m.saveV2(dir.path().c_str(), &status));
    EXPECT_EQ(status.sysErrno, EISDIR);
    EXPECT_TRUE(ListFolder(dir.path()).empty());

    if (FileExists("/dev/full")) {
        EXPECT_FALSE(s.m.saveV2("/dev/full", &status));
        EXPECT_EQ(status.code, KvxErrc::write_failed);
        EXPECT_EQ(status.sysErrno, ENOSPC);
        struct stat st;
        ASSERT_EQ(::stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "a device is written, never replaced";
    }
}

TEST(Save, AnExistingFileSurvivesAFailedWrite) {
    SampleMesh s(20000, 20000);
    TempDir dir;
    std::string path = dir.file("out.kvx");
    WriteFile(path, "previous contents");

    // A file size limit makes the write fail part way.
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    KvxStatus status;
    bool saved = s.m.saveV3(path.c_str(), &status);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(status.code, KvxErrc::write_failed);
    EXPECT_EQ(status.sysErrno, EFBIG);
    EXPECT_EQ(ReadFile(path), "previous contents");
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
}

TEST(Save, ReplacingKeepsModeAndWritesThroughLinks) {
    SampleMesh s(1, 0);
    TempDir dir;
    std::string target = dir.file("real.kvx"), link = dir.file("link.kvx");
    WriteFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.kvx", link.c_str()), 0);
    ASSERT_TRUE(s.m.saveVn1(link.c_str()));
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(ReadFile(target), KvxHeader(1, 0, -1) + Block(s.m.verticesV1, 16));
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"link.kvx", "real.kvx"}));
}

TEST(Save, NewFilesFollowTheUmask) {
    SampleMesh s(0, 0);
    TempDir dir;
    mode_t old = ::umask(027);
    bool saved = s.m.saveV1(dir.file("new.kvx").c_str());
    ::umask(old);
    ASSERT_TRUE(saved);
    struct stat st;
    ASSERT_EQ(::stat(dir.file("new.kvx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Save, DevicesAreWrittenDirectly) {
    SampleMesh s(2, 1);
    ASSERT_TRUE(s.m.saveV1("/dev/null"));
    struct stat st;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}
