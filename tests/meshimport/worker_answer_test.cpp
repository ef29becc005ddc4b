// The assimp worker's answer: a mesh and a failure round trip exactly,
// every shorter prefix and every hostile answer in fuzz/regressions/answer
// is refused as garbled.
#include "meshimport/worker_answer.h"

#include <gtest/gtest.h>

#include <string>

#include "meshimport/assimp_reader.h"
#include "test_support.h"

namespace {

kvx::ImportResult Sample() {
    kvx::ImportResult r;
    r.mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, -0.0f, 2.5f, 1e-40f};
    r.mesh.hasColors = true;
    r.mesh.colors = {0xFFFF0000u, 1, 2, 0x7F0000FFu};
    r.mesh.hasTexCoords = true;
    r.mesh.texCoords = {0, 0, 1, 0, 0, 1, 0.5f, 0.25f};
    r.mesh.triangles = {0, 1, 2, 3, 2, 1};
    r.mesh.name = "flag-0";
    return r;
}

TEST(WorkerAnswer, AMeshRoundTripsAndEveryShorterPrefixIsGarbled) {
    std::string bytes;
    kvx::EncodeWorkerAnswer(Sample(), bytes);
    ASSERT_EQ(bytes.size(), 6u + 1 + 4 + 6 + 16 + 48 + 16 + 32 + 24);
    kvx::ImportResult back;
    std::string why;
    ASSERT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why), kvx::AnswerErrc::ok)
        << why;
    const kvx::ImportedMesh& m = back.mesh;
    EXPECT_TRUE(back.ok());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.positions.data()), 48),
              std::string(reinterpret_cast<const char*>(Sample().mesh.positions.data()), 48));
    EXPECT_EQ(m.colors, Sample().mesh.colors);
    EXPECT_EQ(m.texCoords, Sample().mesh.texCoords);
    EXPECT_EQ(m.triangles, Sample().mesh.triangles);
    EXPECT_EQ(m.name, "flag-0");
    for (size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), n, back, &why), kvx::AnswerErrc::garbled)
            << n;
        EXPECT_FALSE(why.empty());
    }
    std::string longer = bytes + "x";
    EXPECT_EQ(kvx::DecodeWorkerAnswer(longer.data(), longer.size(), back, &why),
              kvx::AnswerErrc::garbled);
    EXPECT_EQ(why, "1 bytes after the answer");
    // The last index at the vertex count.
    bytes[bytes.size() - 4] = 4;
    EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why),
              kvx::AnswerErrc::garbled);
    EXPECT_EQ(why, "triangle 1 names vertex 4 of 4");
}

TEST(WorkerAnswer, FailuresKeepTheirKindAndLine) {
    kvx::ImportResult failed;
    failed.error.kind = kvx::FailureKind::bad_input;
    failed.error.message = "in.gltf: refers to \"/etc/passwd\", outside the file's folder";
    std::string bytes;
    kvx::EncodeWorkerAnswer(failed, bytes);
    kvx::ImportResult back;
    ASSERT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, nullptr),
              kvx::AnswerErrc::ok);
    EXPECT_EQ(back.error.kind, kvx::FailureKind::bad_input);
    EXPECT_EQ(back.error.message, failed.error.message);
    failed.error.kind = kvx::FailureKind::memory;
    failed.error.message.clear();
    bytes.clear();
    kvx::EncodeWorkerAnswer(failed, bytes);
    ASSERT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, nullptr),
              kvx::AnswerErrc::ok);
    EXPECT_EQ(back.error.kind, kvx::FailureKind::memory);
}

TEST(WorkerAnswer, EveryHostileAnswerIsGarbled) {
    const std::string folder = std::string(KVX_SOURCE_DIR) + "/fuzz/regressions/answer";
    size_t count = 0;
    for (const std::string& file : ListFolder(folder)) {
        SCOPED_TRACE(file);
        const std::string bytes = ReadFile(folder + "/" + file);
        kvx::ImportResult back;
        std::string why;
        EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why),
                  kvx::AnswerErrc::garbled);
        EXPECT_TRUE(back.mesh.positions.empty());
        ++count;
    }
    EXPECT_GE(count, 6u);
}

TEST(WorkerAnswer, SizesReadAsTheManualGivesThem) {
    EXPECT_EQ(kvx::SizeText(uint64_t{2} << 30), "2 GiB");
    EXPECT_EQ(kvx::SizeText(uint64_t{256} << 20), "256 MiB");
    EXPECT_EQ(kvx::SizeText(1536 * 1024), "1536 KiB");
    EXPECT_EQ(kvx::SizeText(1025), "1025 bytes");
}

TEST(WorkerAnswer, NormalsAndLinesRoundTripAndTheirIndicesAreChecked) {
    kvx::ImportResult r;
    r.mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    r.mesh.hasNormals = true;
    r.mesh.normals = {0, 0, 1, -0.0f, 1, 0, 0.5f, 0.5f, 0.25f};
    r.mesh.lines = {0, 1, 2, 0};
    std::string bytes;
    kvx::EncodeWorkerAnswer(r, bytes);
    // Header, flags, name, three counts, positions, normals, lines.
    ASSERT_EQ(bytes.size(), 6u + 1 + 4 + 24 + 36 + 36 + 16);
    EXPECT_EQ(bytes[6], 4 | 8);
    kvx::ImportResult back;
    std::string why;
    ASSERT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why), kvx::AnswerErrc::ok)
        << why;
    EXPECT_TRUE(back.mesh.hasNormals);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.mesh.normals.data()), 36),
              std::string(reinterpret_cast<const char*>(r.mesh.normals.data()), 36));
    EXPECT_EQ(back.mesh.lines, r.mesh.lines);
    EXPECT_TRUE(back.mesh.triangles.empty());
    EXPECT_TRUE(kvx::IsConsistent(back.mesh));
    for (size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), n, back, &why), kvx::AnswerErrc::garbled)
            << n;
    }
    bytes[bytes.size() - 8] = 3;
    EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why),
              kvx::AnswerErrc::garbled);
    EXPECT_EQ(why, "line 1 names vertex 3 of 3");
    EXPECT_TRUE(back.mesh.lines.empty());
    // An unknown flag.
    bytes[6] = 16;
    EXPECT_EQ(kvx::DecodeWorkerAnswer(bytes.data(), bytes.size(), back, &why),
              kvx::AnswerErrc::garbled);
    EXPECT_EQ(why, "unknown flags 16");
}

}  // namespace
