// kvximport's reading through the assimp worker, with hostile inputs made
// here: a deep node chain, a node graph that doubles at every level, buffer
// references outside the file's folder, a FIFO, a worker that is missing;
// and a scene with its buffer beside it, which is still read.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

#ifdef KVX_HAVE_ASSIMP

class Worker : public testing::Test {
protected:
    TempDir dir;
    RunResult import(const std::vector<std::string>& args) {
        return RunProgram(KVXIMPORT_PATH, args);
    }
};

int Lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// One triangle in a buffer at `uri` (36 bytes of positions).
std::string TriangleGltf(const std::string& uri, const std::string& nodes = "",
                         const std::string& scene = "[0]") {
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": )" + scene +
           R"(}], "nodes": [)" + (nodes.empty() ? R"({"mesh": 0})" : nodes) +
           R"(], "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
 "buffers": [{"byteLength": 36, "uri": ")" +
           uri + R"("}], "bufferViews": [{"buffer": 0, "byteLength": 36}],
 "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
   "min": [0, 0, 0], "max": [1, 1, 0]}]})";
}

std::string TriangleBytes() {
    const float p[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    return std::string(reinterpret_cast<const char*>(p), sizeof p);
}

TEST_F(Worker, ABufferBesideTheSceneIsReadAndOneOutsideItIsRefused) {
    WriteFile(dir.file("tri.bin"), TriangleBytes());
    WriteFile(dir.file("scene.gltf"), TriangleGltf("tri.bin"));
    RunResult r = import({dir.file("scene.gltf"), dir.file("out.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.file("out.kvx")).size(), 15u + 3 * 28 + 6);
    // The same with a format named, from another name in the same folder.
    WriteFile(dir.file("scene.txt"), TriangleGltf("tri.bin"));
    r = import({"--format", "gltf", dir.file("scene.txt"), dir.file("named.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.file("named.kvx")), ReadFile(dir.file("out.kvx")));

    ::mkdir(dir.file("sub").c_str(), 0755);
    ASSERT_EQ(::symlink("../tri.bin", dir.file("sub/link.bin").c_str()), 0);
    for (const std::string& uri : {std::string("../../etc/passwd"), std::string("/etc/passwd"),
                                   std::string("../tri.bin"), std::string("link.bin")}) {
        SCOPED_TRACE(uri);
        WriteFile(dir.file("sub/bad.gltf"), TriangleGltf(uri));
        r = import({dir.file("sub/bad.gltf"), dir.file("bad.kvx")});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "kvximport: " + dir.file("sub/bad.gltf") + ": refers to \"" + uri +
                             "\", outside the file's folder\n");
        EXPECT_FALSE(FileExists(dir.file("bad.kvx")));
    }
    // A FIFO as a buffer is not a regular file.
    ASSERT_EQ(::mkfifo(dir.file("sub/fifo.bin").c_str(), 0600), 0);
    WriteFile(dir.file("sub/bad.gltf"), TriangleGltf("fifo.bin"));
    r = import({dir.file("sub/bad.gltf"), dir.file("bad.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("sub/bad.gltf") +
                         ": refers to \"fifo.bin\", which is not a regular file\n");
}

TEST_F(Worker, AFifoNamedAsASceneIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(dir.file("x.gltf").c_str(), 0600), 0);
    RunResult r = import({"--reader-time=5", dir.file("x.gltf"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("x.gltf") +
                         ": not a regular file; formats read through assimp are read from "
                         "files only\n");
}

TEST_F(Worker, DeepChainsEndInOneLineNeverASignal) {
    // 200000 nodes, each the child of the one before.
    std::string nodes;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        nodes += i + 1 < n ? "{\"children\": [" + std::to_string(i + 1) + "]},"
                           : std::string("{\"mesh\": 0}");
    }
    WriteFile(dir.file("tri.bin"), TriangleBytes());
    WriteFile(dir.file("deep.gltf"), TriangleGltf("tri.bin", nodes));
    RunResult r = import({dir.file("deep.gltf"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2) << r.err;
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kvximport: " + dir.file("deep.gltf") + ": ", 0), 0u) << r.err;
    EXPECT_FALSE(FileExists(dir.file("out.kvx")));

    // COLLADA nodes nested 100000 deep.
    std::string dae =
        R"(<?xml version="1.0"?><COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" )"
        R"(version="1.4.1"><library_visual_scenes><visual_scene id="s">)";
    for (int i = 0; i < 100000; ++i)
        dae += "<node>";
    for (int i = 0; i < 100000; ++i)
        dae += "</node>";
    dae += R"(</visual_scene></library_visual_scenes><scene><instance_visual_scene url="#s"/>)"
           R"(</scene></COLLADA>)";
    WriteFile(dir.file("deep.dae"), dae);
    r = import({dir.file("deep.dae"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2) << r.err;
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kvximport: " + dir.file("deep.dae") + ": ", 0), 0u) << r.err;
}

TEST_F(Worker, ANodeGraphThatDoublesAtEveryLevelMeetsTheMemoryLimit) {
    // Node k names node k + 1 twice: 2^30 nodes once expanded.
    std::string nodes;
    const int n = 30;
    for (int i = 0; i < n; ++i) {
        const std::string next = std::to_string(i + 1);
        nodes += "{\"children\": [" + next + ", " + next + "]},";
    }
    nodes += "{\"mesh\": 0}";
    WriteFile(dir.file("tri.bin"), TriangleBytes());
    WriteFile(dir.file("dag.gltf"), TriangleGltf("tri.bin", nodes));
    RunResult r = import(
        {"--reader-memory=256M", "--reader-time=60", dir.file("dag.gltf"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 4) << r.err;
    EXPECT_EQ(r.err, "kvximport: " + dir.file("dag.gltf") +
                         ": the reader ran out of memory (limit 256 MiB)\n");
}

TEST_F(Worker, AMissingWorkerRefusesAssimpFormatsOnly) {
    WriteFile(dir.file("tri.bin"), TriangleBytes());
    WriteFile(dir.file("scene.gltf"), TriangleGltf("tri.bin"));
    const std::string missing = dir.file("no-such-worker");
    RunResult r = RunProgram("/usr/bin/env", {"KVX_ASSIMP_WORKER=" + missing, KVXIMPORT_PATH,
                                              dir.file("scene.gltf"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("scene.gltf") +
                         ": formats read through assimp need the reader " + missing +
                         ", which cannot be started (No such file or directory)\n");
    WriteFile(dir.file("tri.off"), "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    r = RunProgram("/usr/bin/env", {"KVX_ASSIMP_WORKER=" + missing, KVXIMPORT_PATH,
                                    dir.file("tri.off"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

// Each way a worker can fail, through the stand-in: one line, the status.
TEST_F(Worker, EveryWayTheWorkerFailsIsOneLineAndItsStatus) {
    const std::string in = dir.file("m.gltf");
    struct Case {
        std::string content;
        int status;
        std::string err;
    } cases[] = {
        {"segv", 2, "the reader crashed (SIGSEGV); the file is malformed"},
        {"abort", 2, "the reader crashed (SIGABRT); the file is malformed"},
        {"hang", 2, "the reader took more than 1 s; the file may be hostile or too large"},
        {"spin", 2, "the reader took more than 1 s; the file may be hostile or too large"},
        {"xcpu", 2, "the reader took more than 1 s; the file may be hostile or too large"},
        {"allocate", 4, "the reader ran out of memory (limit 64 MiB)"},
        {"garbage", 2,
         "the reader's answer is garbled (the name needs 5 x 1 bytes; 0 of 11 are left)"},
        {"oversize 1025", 2, "the reader's answer is larger than 1 KiB"},
        {"oversize 1024", 2, "the reader's answer is garbled (no answer's magic)"},
        {"silent", 2, "the reader ended without an answer"},
        {"fail", 2, "the reader failed (exit status 3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        WriteFile(in, c.content);
        RunResult r =
            RunProgram("/usr/bin/env",
                       {"KVX_ASSIMP_WORKER=" KVX_FAKE_WORKER, KVXIMPORT_PATH, "--reader-time=1",
                        "--reader-memory=64M", "--reader-output=1K", in, dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_EQ(r.err, "kvximport: " + in + ": " + c.err + "\n");
        EXPECT_FALSE(FileExists(dir.file("out.kvx")));
    }
    // A valid answer is the mesh, and repeated runs keep working.
    WriteFile(in, "mesh");
    for (int k = 0; k < 2; ++k) {
        RunResult r = RunProgram("/usr/bin/env", {"KVX_ASSIMP_WORKER=" KVX_FAKE_WORKER,
                                                  KVXIMPORT_PATH, in, dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(ReadFile(dir.file("out.kvx")).size(), 15u + 3 * 28 + 6);
    }
}

#endif

}  // namespace
