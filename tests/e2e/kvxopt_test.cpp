// kvxopt, and kvximport's --optimize, --fit and --lods, run as users run
// them: every version keeps its records and its triangles or lines, the
// same input gives the same bytes, --stats prints its lines, the levels of
// detail are written all or none, a fit stays within one file's vertices,
// and every mistake is one line with its status, the output untouched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "meshcore/layout.h"
#include "test_support.h"

namespace {

RunResult Opt(const std::vector<std::string>& args) {
    return RunProgram(KVXOPT_PATH, args);
}

RunResult Import(const std::vector<std::string>& args) {
    return RunProgram(KVXIMPORT_PATH, args);
}

// An n x n grid over a wave as OBJ text, its triangles shuffled, with
// texture coordinates where asked.
std::string GridObj(uint32_t n, bool uv = false) {
    std::string out;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < n; ++j) {
            out += "v " + std::to_string(i) + " " + std::to_string(j) + " " +
                   std::to_string(0.3 * std::sin(0.4 * i) * std::cos(0.3 * j)) + "\n";
            if (uv) out += "vt " + std::to_string(i / double(n)) + " 0.5\n";
        }
    }
    std::vector<std::array<uint32_t, 3>> triangles;
    for (uint32_t i = 0; i + 1 < n; ++i) {
        for (uint32_t j = 0; j + 1 < n; ++j) {
            const uint32_t p = i * n + j + 1;
            triangles.push_back({p, p + n, p + n + 1});
            triangles.push_back({p, p + n + 1, p + 1});
        }
    }
    std::shuffle(triangles.begin(), triangles.end(), std::mt19937(3));
    for (const auto& t : triangles) {
        if (uv) {
            out += "f " + std::to_string(t[0]) + "/" + std::to_string(t[0]) + " " +
                   std::to_string(t[1]) + "/" + std::to_string(t[1]) + " " + std::to_string(t[2]) +
                   "/" + std::to_string(t[2]) + "\n";
        } else {
            out += "f " + std::to_string(t[0]) + " " + std::to_string(t[1]) + " " +
                   std::to_string(t[2]) + "\n";
        }
    }
    return out;
}

// A binary PLY grid of n x n vertices in the plane z = 0 with a bump.
std::string GridPly(uint32_t n) {
    std::string out = "ply\nformat binary_little_endian 1.0\nelement vertex " +
                      std::to_string(n * n) +
                      "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                      std::to_string(2 * (n - 1) * (n - 1)) +
                      "\nproperty list uchar int vertex_indices\nend_header\n";
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x)
            for (float v : {float(x), float(y), float(std::sin(0.05 * x) * std::cos(0.07 * y))})
                AppendF32(out, v);
    for (uint32_t y = 0; y + 1 < n; ++y) {
        for (uint32_t x = 0; x + 1 < n; ++x) {
            const int32_t a = int32_t(y * n + x), b = a + 1, c = a + int32_t(n) + 1,
                          d = a + int32_t(n);
            for (std::array<int32_t, 3> t : {std::array<int32_t, 3>{a, b, c}, {a, c, d}}) {
                out += '\3';
                for (int32_t i : t)
                    AppendI32(out, i);
            }
        }
    }
    return out;
}

struct Loaded {
    OKVX m{};
    bool ok = false;
    explicit Loaded(const std::string& path) { ok = m.load(path.c_str()) == 1; }
    ~Loaded() { KvxRelease(m); }
};

std::string Record(const OKVX& m, size_t v) {
    const kvx::Layout& layout = *kvx::LayoutOf(m.version);
    return std::string(
        static_cast<const char*>(kvx::VertexArrayOf(m, layout)) + v * layout.recordSize,
        layout.recordSize);
}

// The records, and the groups as their records (triangles up to a
// rotation of their corners), each sorted.
std::pair<std::vector<std::string>, std::vector<std::string>> Contents(const OKVX& m) {
    std::vector<std::string> records, groups;
    for (size_t v = 0; v < m.vertexCount; ++v)
        records.push_back(Record(m, v));
    const kvx::Layout& layout = *kvx::LayoutOf(m.version);
    for (size_t g = 0; layout.primitive != kvx::Primitive::points && g < m.faceCount; ++g) {
        const uint16_t* c = &m.faces[g * layout.indexValuesPerGroup];
        if (layout.primitive == kvx::Primitive::lines) {
            groups.push_back(Record(m, c[0]) + ">" + Record(m, c[1]));
            continue;
        }
        std::array<std::string, 3> corners = {Record(m, c[0]), Record(m, c[1]), Record(m, c[2])};
        std::rotate(corners.begin(), std::min_element(corners.begin(), corners.end()),
                    corners.end());
        groups.push_back(corners[0] + "|" + corners[1] + "|" + corners[2]);
    }
    std::sort(records.begin(), records.end());
    std::sort(groups.begin(), groups.end());
    return {records, groups};
}

// What a folder holds, name by name, with each file's inode and contents.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const std::string& name : ListFolder(folder)) {
        struct stat st;
        ::lstat((folder + "/" + name).c_str(), &st);
        out[name] = std::to_string(st.st_ino) + " " + ReadFile(folder + "/" + name);
    }
    return out;
}

class KvxOpt : public ::testing::Test {
protected:
    // The grid as a KVX file of `version`, by kvximport.
    std::string Kvx(int32_t version, uint32_t n = 12) {
        const std::string obj = dir.file("grid.obj"),
                          kvx = dir.file("grid" + std::to_string(version) + ".kvx");
        WriteFile(obj, GridObj(n, version == 4));
        RunResult r = Import({"--layout", std::to_string(version), obj, kvx});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        return kvx;
    }
    TempDir dir;
};

TEST_F(KvxOpt, EveryVersionKeepsItsRecordsAndGroupsAndGivesTheSameBytesAgain) {
    for (int32_t version : {1, 2, 3, 4, -1, -2}) {
        SCOPED_TRACE(version);
        const std::string in = Kvx(version), out = dir.file("out.kvx");
        RunResult r = Opt({in, out});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        Loaded a(in), b(out);
        ASSERT_TRUE(a.ok && b.ok);
        EXPECT_EQ(b.m.version, version);
        EXPECT_EQ(b.m.vertexCount, a.m.vertexCount);
        EXPECT_EQ(b.m.faceCount, a.m.faceCount);
        EXPECT_STREQ(b.m.name, a.m.name);
        EXPECT_EQ(Contents(b.m), Contents(a.m));
        EXPECT_NE(ReadFile(out), ReadFile(in));
        const std::string bytes = ReadFile(out);
        ASSERT_EQ(Opt({in, out}).exitStatus, 0);
        EXPECT_EQ(ReadFile(out), bytes);
        // --no-optimize copies the mesh as it is.
        ASSERT_EQ(Opt({"--no-optimize", in, out}).exitStatus, 0);
        EXPECT_EQ(ReadFile(out), ReadFile(in));
    }
}

TEST_F(KvxOpt, KvximportsOptimizeChangesTheOrderAlone) {
    const std::string obj = dir.file("grid.obj");
    WriteFile(obj, GridObj(15));
    ASSERT_EQ(Import({obj, dir.file("plain.kvx")}).exitStatus, 0);
    ASSERT_EQ(Import({"--optimize", obj, dir.file("gpu.kvx")}).exitStatus, 0);
    ASSERT_EQ(Opt({obj, dir.file("opt.kvx")}).exitStatus, 0);
    Loaded plain(dir.file("plain.kvx")), gpu(dir.file("gpu.kvx"));
    ASSERT_TRUE(plain.ok && gpu.ok);
    EXPECT_EQ(Contents(gpu.m), Contents(plain.m));
    EXPECT_NE(ReadFile(dir.file("gpu.kvx")), ReadFile(dir.file("plain.kvx")));
    EXPECT_EQ(ReadFile(dir.file("opt.kvx")), ReadFile(dir.file("gpu.kvx")));
}

TEST_F(KvxOpt, StatsSayTheCountsAndFiguresBeforeAndAfter) {
    const std::string in = Kvx(3, 20);
    RunResult r = Opt({"--stats", in, dir.file("out.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string number = R"(([0-9]+\.[0-9]{3}))";
    const std::regex line("(before|after): 722 triangles, 400 vertices, ACMR " + number +
                          ", ATVR " + number + ", overdraw " + number + ", overfetch " + number);
    std::vector<std::smatch> lines(2);
    const std::string first = r.out.substr(0, r.out.find('\n')),
                      second = r.out.substr(first.size() + 1),
                      secondLine = second.substr(0, second.size() - 1);
    ASSERT_TRUE(std::regex_match(first, lines[0], line)) << r.out;
    ASSERT_TRUE(std::regex_match(secondLine, lines[1], line)) << r.out;
    EXPECT_EQ(lines[0][1], "before");
    EXPECT_EQ(lines[1][1], "after");
    EXPECT_EQ(second.back(), '\n');
    // ATVR is ACMR times triangles per vertex; the order lowers both.
    for (const auto& m : lines)
        EXPECT_NEAR(std::stod(m[3]), std::stod(m[2]) * 722 / 400, 0.002);
    EXPECT_LT(std::stod(lines[1][2]), 0.8);
    EXPECT_GT(std::stod(lines[0][2]), 1.5);

    r = Opt({"--stats", "--simplify", "0.5", in, dir.file("half.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::regex simplified(
        R"(before: 722 triangles[^\n]*\nsimplified: ([0-9]+) triangles \(aimed at 361\), ([0-9]+) vertices, error ([0-9.e-]+) of the extent\nafter: ([0-9]+) triangles, ([0-9]+) vertices, [^\n]*\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, simplified)) << r.out;
    EXPECT_EQ(m[1], m[4]);
    EXPECT_EQ(m[2], m[5]);
    EXPECT_LE(std::stoi(m[1]), 361);
    EXPECT_GE(std::stoi(m[1]), 330);
    EXPECT_LE(std::stod(m[3]), 0.01);
    Loaded half(dir.file("half.kvx"));
    ASSERT_TRUE(half.ok);
    EXPECT_EQ(std::to_string(half.m.faceCount), m[1].str());
}

TEST_F(KvxOpt, UsageMistakesAreOneLineAndStatusOne) {
    const std::string in = Kvx(3), out = dir.file("out.kvx");
    ExpectUsageMistakes(
        KVXOPT_PATH,
        {{{"--simplify", "0", in, out},
          "kvxopt: --simplify: expected a share above 0 and at most 1, found \"0\"\n"},
         {{"--simplify", "1.01", in, out},
          "kvxopt: --simplify: expected a share above 0 and at most 1, found \"1.01\"\n"},
         {{"--simplify", "0.5x", in, out},
          "kvxopt: --simplify: expected a share above 0 and at most 1, found \"0.5x\"\n"},
         {{"--simplify", "nan", in, out},
          "kvxopt: --simplify: expected a share above 0 and at most 1, found \"nan\"\n"},
         {{"--error", "-0.1", in, out},
          "kvxopt: --error: expected a share of the extent, 0 or more, found \"-0.1\"\n"},
         {{"--lods", "0", in, out},
          "kvxopt: --lods: expected a number of levels from 1 to 16, found \"0\"\n"},
         {{"--lods", "17", in, out},
          "kvxopt: --lods: expected a number of levels from 1 to 16, found \"17\"\n"},
         {{"--fit", "--split", in, out}, "kvxopt: --fit and --split exclude each other\n"},
         {{"--lods", "2", "--split", in, out}, "kvxopt: --lods and --split exclude each other\n"},
         {{"--layout", "1", in, out},
          "kvxopt: " + in +
              ": --layout does not apply to a KVX input, which keeps its version and its "
              "records\n"},
         {{"--weld", in, out},
          "kvxopt: " + in +
              ": --weld does not apply to a KVX input, which keeps its version and its records\n"},
         {{"--optimise", in, out}, "kvxopt: unknown option --optimise; see kvxopt --help\n"},
         {{in, dir.file("out.ply")},
          "kvxopt: " + dir.file("out.ply") +
              ": an output of kvxopt is a KVX file; to write PLY, "
              "use kvxexport\n"}});
    // The last level, and a share of exactly 1, are taken.
    EXPECT_EQ(Opt({"--lods", "16", "--no-optimize", in, out}).exitStatus, 0);
    EXPECT_EQ(Opt({"--simplify", "1", in, out}).exitStatus, 0);
    RunResult r = Opt({in, in});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxopt: " + in + ": the same file as the input; choose another output\n");
}

TEST_F(KvxOpt, BadInputIsRefusedWithOneLineAndTheOutputKept) {
    const std::string out = dir.file("out.kvx");
    WriteFile(out, "old");
    // An index beyond the vertices; an edge likewise; a version no program
    // writes; a truncated file; a file that is not KVX.
    std::string badFace = KvxHeader(3, 2, 1) + V1Record(0, 0, 0, 0) + V1Record(0, 1, 0, 0) +
                          V1Record(0, 0, 1, 0) + Indices({0, 1, 2, 2, 1, 3});
    std::string badEdge =
        KvxHeader(2, 1, -2) + V1Record(0, 0, 0, 0) + V1Record(0, 1, 0, 0) + Indices({0, 2});
    std::string readOnly = KvxHeader(0, 0, -3);
    struct Case {
        std::string bytes, message;
    };
    const std::string in = dir.file("in.kvx");
    for (const Case& c : {Case{badFace, in + ": face 1 names vertex 3 of 3"},
                          Case{badEdge, in + ": edge 0 names vertex 2 of 2"},
                          Case{readOnly, in + ": version -3 is read only"},
                          Case{badFace.substr(0, 60),
                               in + ": truncated: the header promises 75 bytes, the file has 60"},
                          Case{"v 0 0 0\n", in + ": not a KVX file"}}) {
        SCOPED_TRACE(c.message);
        WriteFile(in, c.bytes);
        for (const char* option : {"--optimize", "--no-optimize", "--stats"}) {
            RunResult r = Opt({option, in, out});
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_EQ(r.err, "kvxopt: " + c.message + "\n");
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(ReadFile(out), "old");
        }
    }
    // A mesh that cannot be simplified: a point set.
    const std::string points = Kvx(-1);
    RunResult r = Opt({"--simplify", "0.5", points, out});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxopt: " + points + ": no triangles to simplify\n");
    EXPECT_EQ(ReadFile(out), "old");
}

TEST_F(KvxOpt, LevelsOfDetailHalveAndAreWrittenAllOrNone) {
    const std::string obj = dir.file("grid.obj");
    WriteFile(obj, GridObj(30));
    TempDir outs;
    RunResult r = Opt({"--lods", "3", obj, outs.file("g.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "kvxopt: " + obj + ": 4 levels of detail: " + outs.file("g-lod0.kvx") + ", " +
                         outs.file("g-lod1.kvx") + ", " + outs.file("g-lod2.kvx") + ", " +
                         outs.file("g-lod3.kvx") + "\n");
    EXPECT_EQ(ListFolder(outs.path()),
              (std::vector<std::string>{"g-lod0.kvx", "g-lod1.kvx", "g-lod2.kvx", "g-lod3.kvx"}));
    uint32_t previous = 0;
    for (int k = 0; k <= 3; ++k) {
        Loaded level(outs.file("g-lod" + std::to_string(k) + ".kvx"));
        ASSERT_TRUE(level.ok);
        if (k == 0) {
            EXPECT_EQ(level.m.faceCount, 2u * 29 * 29);
        }
        if (k > 0) {
            EXPECT_LE(level.m.faceCount, previous / 2 + 1);
            EXPECT_GE(level.m.faceCount, previous * 2 / 5);
        }
        previous = level.m.faceCount;
    }
    // A level that is the input is refused before anything is written.
    const std::string lod1 = ReadFile(outs.file("g-lod1.kvx"));
    r = Opt({"--lods", "2", outs.file("g-lod1.kvx"), outs.file("g.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxopt: " + outs.file("g-lod1.kvx") +
                         ": the same file as the input; choose another output\n");
    EXPECT_EQ(ReadFile(outs.file("g-lod1.kvx")), lod1);
    // A rename that fails at any level leaves every old level as it was.
    const auto before = Snapshot(outs.path());
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        r = RunProgram(
            "/bin/sh",
            Shimmed("KVX_SHIM_RENAME_ERRNO=5 KVX_SHIM_RENAME_FAILS_AT=" + std::to_string(k),
                    KVXOPT_PATH, {"--lods", "3", "--simplify", "0.9", obj, outs.file("g.kvx")}));
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(Snapshot(outs.path()), before);
    }
}

TEST_F(KvxOpt, AFitKeepsAMeshInOneFile) {
    const std::string ply = dir.file("scan.ply");
    WriteFile(ply, GridPly(300));  // 90,000 vertices
    RunResult r = Import({ply, dir.file("scan.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + ply +
                         ": 90000 vertices; a KVX file holds at most 65536 (use --split)\n");
    for (const char* program : {KVXIMPORT_PATH, KVXOPT_PATH}) {
        SCOPED_TRACE(program);
        r = RunProgram(program, {"--fit", "--optimize", ply, dir.file("scan.kvx")});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        Loaded fitted(dir.file("scan.kvx"));
        ASSERT_TRUE(fitted.ok);
        EXPECT_LE(fitted.m.vertexCount, 65536u);
        EXPECT_GE(fitted.m.vertexCount, 58000u);
        EXPECT_EQ(fitted.m.version, 3);
    }
    r = Import({"--fit", "--split", ply, dir.file("scan.kvx")});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "kvximport: --fit and --split exclude each other\n");
}

}  // namespace
