// kvx::ReadCmshMesh, the converters' work as a library call: against the
// built programs' own files, with what it echoes, its work arrays, and on
// several threads at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "meshcore/layout.h"
#include "meshtext/cmsh_mesh.h"
#include "test_support.h"

namespace {

// The bytes the library's mesh saves as, or the failure's line.
std::string Saved(const kvx::Layout& layout, const std::string& input, const std::string& output) {
    kvx::OwnedMesh mesh;
    kvx::Failure failure;
    if (!kvx::ReadCmshMesh(input.c_str(), input, layout, mesh.m, failure)) return failure.message;
    KvxStatus why;
    if (!(mesh.m.*(layout.save))(output.c_str(), &why)) return KvxStatusMessage(why);
    return ReadFile(output);
}

// What the program writes for `input`, run as a process of its own.
std::string ProgramFile(const Converter& c, const std::string& input, const std::string& output) {
    RunResult r = RunProgram(c.path, {input, output});
    EXPECT_EQ(r.exitStatus, 0) << c.name << ": " << r.err;
    return ReadFile(output);
}

// Every call an echo gets, as text.
class Recorder final : public kvx::CmshEcho {
public:
    void counts(const OKVX& m) override {
        calls +=
            "counts " + std::to_string(m.vertexCount) + " " + std::to_string(m.faceCount) + ";";
    }
    void vertices(const OKVX&, uint32_t done) override {
        calls += "vertices " + std::to_string(done) + ";";
    }
    void triangles(const uint16_t*, uint32_t done) override {
        calls += "triangles " + std::to_string(done) + ";";
    }
    void name(const OKVX& m) override { calls += std::string("name ") + m.name + ";"; }
    void text(const char* line) override { calls += line; }

    std::string calls;
};

std::string Echoed(int32_t version, const std::string& input, bool* ok = nullptr) {
    kvx::OwnedMesh mesh;
    kvx::Failure failure;
    Recorder echo;
    const bool read = kvx::ReadCmshMesh(input.c_str(), "in", *kvx::LayoutOf(version), mesh.m,
                                        failure, nullptr, &echo);
    if (ok != nullptr) *ok = read;
    return echo.calls;
}

TEST(ReadCmshMesh, SavesTheProgramsBytesForEveryConverter) {
    TempDir dir;
    int converters = 0;
    for (const Converter& c : Converters()) {
        const kvx::Layout* layout = kvx::LayoutOf(c.layout.version);
        ASSERT_NE(layout, nullptr) << c.name;
        EXPECT_STREQ(layout->text.program, c.name.c_str());
        EXPECT_EQ(Saved(*layout, c.example, dir.file("library.kvx")),
                  ProgramFile(c, c.example, dir.file("program.kvx")))
            << c.name;
        ++converters;
    }
    EXPECT_EQ(converters, 6);
}

TEST(ReadCmshMesh, EchoesWhatEachConverterPrintsInItsOrder) {
    const std::string cube3 = Example("cube3.cmsh"), cube7 = Example("cube7.cmsh"),
                      cube9 = Example("cube9.cmsh");
    EXPECT_EQ(Echoed(1, cube3), "counts 8 12;vertices 8;triangles 12;");
    EXPECT_EQ(Echoed(2, cube7), "counts 8 12;vertices 8;triangles 12;");
    EXPECT_EQ(Echoed(3, cube7), "");
    EXPECT_EQ(Echoed(4, cube9), "name cube;");
    // A point set's header repeats the vertex count.
    EXPECT_EQ(Echoed(-1, cube7), "counts 8 8;vertices 8;");
    EXPECT_EQ(Echoed(-2, cube7),
              "loading faces...\n\t\t\tdone!\nreading lines...\n\t\t\tdone!\n"
              "Optimizing...\n\t\t\tdone!\nwrite optimized Wireframe to mesh...\n\t\t\tdone!\n");
}

TEST(ReadCmshMesh, AFailureStillTellsWhatWasReadBeforeIt) {
    TempDir dir;
    // The third vertex entry is no number; the second triangle names vertex 9.
    WriteFile(dir.file("vertex.cmsh"), "3 1\n0 0 0\n1 0 0\n1 x 0\n0 1 2\n");
    WriteFile(dir.file("face.cmsh"), "3 2\n0 0 0\n1 0 0\n0 1 0\n0 1 2\n0 1 9\n");
    WriteFile(dir.file("face7.cmsh"),
              "3 2\n1 1 1 1 0 0 0\n1 1 1 1 1 0 0\n1 1 1 1 0 1 0\n0 1 2\n0 1 9\n");
    bool ok = true;
    EXPECT_EQ(Echoed(1, dir.file("vertex.cmsh"), &ok), "counts 3 1;vertices 2;");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Echoed(1, dir.file("face.cmsh"), &ok), "counts 3 2;vertices 3;triangles 1;");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Echoed(-2, dir.file("face7.cmsh"), &ok), "loading faces...\n");
    EXPECT_FALSE(ok);

    kvx::OwnedMesh mesh;
    kvx::Failure failure;
    const std::string face = dir.file("face.cmsh");
    ASSERT_FALSE(kvx::ReadCmshMesh(face.c_str(), "face.cmsh", *kvx::LayoutOf(1), mesh.m, failure));
    EXPECT_EQ(failure.kind, kvx::FailureKind::bad_input);
    EXPECT_EQ(failure.message.rfind("face.cmsh:6: ", 0), 0u) << failure.message;
}

TEST(ReadCmshMesh, TheCallersWorkArraysAreFilledAndFreedWhereTheProgramsAre) {
    CFace* faces = nullptr;
    uint16_t* triangles = nullptr;
    CLine* lines = nullptr;
    CLine* distinct = nullptr;
    const kvx::CmshWork work{&faces, &triangles, &lines, &distinct};
    const std::string cube7 = Example("cube7.cmsh");
    for (int32_t version : {3, -2}) {
        kvx::OwnedMesh mesh;
        kvx::Failure failure;
        ASSERT_TRUE(kvx::ReadCmshMesh(cube7.c_str(), "cube7.cmsh", *kvx::LayoutOf(version), mesh.m,
                                      failure, nullptr, nullptr, work))
            << failure.message;
    }
    // The normals' faces and the two edge lists are released as the work
    // ends; the wireframe's triangles, as read, stay the caller's.
    EXPECT_EQ(faces, nullptr);
    EXPECT_EQ(lines, nullptr);
    EXPECT_EQ(distinct, nullptr);
    ASSERT_NE(triangles, nullptr);
    // cube7.cmsh's first and last triangles.
    EXPECT_EQ(std::vector<uint16_t>(triangles, triangles + 3), (std::vector<uint16_t>{0, 2, 1}));
    EXPECT_EQ(std::vector<uint16_t>(triangles + 33, triangles + 36),
              (std::vector<uint16_t>{1, 6, 5}));
    KvxFree(triangles);
}

TEST(ReadCmshMesh, ThreadsConvertAtOnceAsOneDoesAlone) {
    TempDir dir;
    std::vector<std::string> alone;
    for (const Converter& c : Converters())
        alone.push_back(
            Saved(*kvx::LayoutOf(c.layout.version), c.example, dir.file(c.name + ".kvx")));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                size_t k = 0;
                for (const Converter& c : Converters()) {
                    const std::string out = dir.file(std::to_string(t) + c.name + ".kvx");
                    if (Saved(*kvx::LayoutOf(c.layout.version), c.example, out) != alone[k++])
                        ++mismatches[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
