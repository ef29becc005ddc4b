// The native readers over streams: an endless one is refused or cut by its
// first bytes, a binary body is read to the size its header allows and no
// further. And what every reader accepts: a byte-order mark, no final line
// end, faces of fewer than 3 corners dropped with one warning.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

using namespace std::string_literals;

#include "import_test_support.h"
#include "meshimport/import.h"
#include "test_support.h"

namespace kvx::test {
namespace {

// A pipe that a thread fills with `head`, then with `tail` again and again
// until the reader closes its end.
struct EndlessPipe {
    int fds[2];
    std::thread writer;
    EndlessPipe(std::string head, std::string tail) {
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe(fds), 0);
        writer = std::thread([this, head, tail] {
            if (::write(fds[1], head.data(), head.size()) >= 0) {
                while (::write(fds[1], tail.data(), tail.size()) >= 0) {
                }
            }
            ::close(fds[1]);
        });
    }
    std::string path() const { return "/dev/fd/" + std::to_string(fds[0]); }
    ~EndlessPipe() {
        ::close(fds[0]);
        writer.join();
    }
};

ImportResult ReadStream(std::string_view format, const std::string& head, const std::string& tail) {
    EndlessPipe pipe(head, tail);
    return ReadMeshFile(pipe.path(), {&Native(format)}, "", {});
}

std::string Message(const ImportResult& r, const std::string& path) {
    EXPECT_EQ(r.error.kind, FailureKind::bad_input);
    return r.error.message.substr(r.error.message.find(path) == 0 ? path.size() : 0);
}

const std::string kTriangle = "0 0 0\n1 0 0\n0 1 0\n";

std::string BinaryStl(uint32_t announced, uint32_t held) {
    std::string stl(80, ' ');
    AppendU32(stl, announced);
    for (uint32_t t = 0; t < held; ++t) {
        stl += Floats({0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0});
        stl += std::string(2, '\0');
    }
    return stl;
}

}  // namespace

TEST(Streams, WrongFirstBytesAreRefusedWhileTheStreamGoesOn) {
    struct Case {
        std::string_view format;
        std::string head, tail, message;
    } cases[] = {
        {"ply", "", std::string(4096, '\0'), ": not a PLY file (it does not begin with \"ply\")"},
        {"ply", "ply\r", "x", ": not a PLY file (it does not begin with \"ply\")"},
        {"ply", "\xEF\xBB\xBFply ", "x", ": not a PLY file (it does not begin with \"ply\")"},
        // A malformed header line, though lines go on.
        {"ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float\n", "comment\n",
         ":4: expected \"property <type> <name>\" or \"property list <integer type> <type> "
         "<name>\""},
        {"ply", "ply\nformat ascii 1.0\n", std::string(4096, '\0'),
         ": not a PLY file (a zero byte at offset 21; PLY is text)"},
        {"off", "OFF\n", std::string(4096, '\0'),
         ": not an OFF file (a zero byte at offset 4; OFF is text)"},
        // A first token that neither a keyword nor a count begins so.
        {"off", "# made by hand\n  hello", "hello",
         ":2: expected \"OFF\" (or COFF, NOFF, STOFF ...), found "
         "\"hellohellohellohellohellohellohellohello...\""},
        {"off", "OFFX", "X",
         ":1: expected \"OFF\" (or COFF, NOFF, STOFF ...), found "
         "\"OFFXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX...\""},
        {"obj", "", std::string(1, '\0'),
         ": not an OBJ file (a zero byte at offset 0; OBJ is text)"},
        {"obj", "v 0 0 0\n", std::string(1, '\0'),
         ": not an OBJ file (a zero byte at offset 8; OBJ is text)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        EndlessPipe pipe(c.head, c.tail);
        ImportResult r = ReadMeshFile(pipe.path(), {&Native(c.format)}, "", {});
        EXPECT_EQ(Message(r, pipe.path()), c.message);
    }
}

// The size a binary header gives is read, and nothing after it.
TEST(Streams, ABinaryBodyIsReadToTheSizeItsHeaderGives) {
    ImportResult stl = ReadStream("stl", BinaryStl(2, 2), std::string(4096, '\x7f'));
    ASSERT_TRUE(stl.ok()) << stl.error.message;
    EXPECT_EQ(stl.mesh.triangleCount(), 2u);
    EXPECT_TRUE(stl.mesh.warnings.empty());

    std::string ply =
        "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
        "property float y\nproperty float z\nelement face 1\n"
        "property list uchar int vertex_indices\nend_header\n" +
        Floats({0, 0, 0, 1, 0, 0, 0, 1, 0}) + std::string(1, '\x46');
    // 70 corners: 280 bytes, more than a list of 255 single bytes.
    for (int k = 0; k < 70; ++k)
        AppendI32(ply, k % 3);
    // Zero bytes go on for ever: the list could have been 255 long, and
    // then the stream is cut.
    ImportResult r = ReadStream("ply", ply, std::string(4096, '\0'));
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.vertexCount(), 3u);
    EXPECT_EQ(r.mesh.triangleCount(), 68u);

    // A valid header that announces more than ever comes: read until the
    // stream ends, refused as short.
    std::string lying = BinaryStl(5, 2);
    const std::string path = "/dev/fd/";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], lying.data(), lying.size()), static_cast<ssize_t>(lying.size()));
    ::close(fds[1]);
    ImportResult shortStl = ReadMeshFile(path + std::to_string(fds[0]), {&Native("stl")}, "", {});
    ::close(fds[0]);
    EXPECT_EQ(shortStl.error.kind, FailureKind::bad_input);
    EXPECT_NE(shortStl.error.message.find("the header announces 5 triangles (334 bytes), but the "
                                          "file has 184 bytes"),
              std::string::npos)
        << shortStl.error.message;
}

// The same bytes from a file: a zero byte in text is refused there too.
TEST(Streams, AFileIsJudgedAsAStreamIs) {
    TempDir dir;
    WriteFile(dir.file("m.obj"), "v 0 0 0\n# \0\n"s);
    ImportResult r = ReadMeshFile(dir.file("m.obj"), {&Native("obj")}, "", {});
    EXPECT_EQ(r.error.message,
              dir.file("m.obj") + ": not an OBJ file (a zero byte at offset 10; OBJ is text)");
    WriteFile(dir.file("m.ply"), "PLY\n");
    r = ReadMeshFile(dir.file("m.ply"), {&Native("ply")}, "", {});
    EXPECT_EQ(r.error.message,
              dir.file("m.ply") + ": not a PLY file (it does not begin with \"ply\")");
    // Short files that begin well get the reader's own word.
    WriteFile(dir.file("m.ply"), "ply");
    r = ReadMeshFile(dir.file("m.ply"), {&Native("ply")}, "", {});
    EXPECT_EQ(r.error.message, dir.file("m.ply") + ":1: the header has no \"end_header\" line");
    WriteFile(dir.file("m.off"), "");
    r = ReadMeshFile(dir.file("m.off"), {&Native("off")}, "", {});
    EXPECT_EQ(r.error.message, dir.file("m.off") + ":1: expected \"OFF\", found end of file");
}

TEST(Readers, AByteOrderMarkIsSkipped) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string sources[][2] = {
        {"obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
        {"off", "OFF\n3 1 0\n" + kTriangle + "3 0 1 2\n"},
        {"ply",
         "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
         "end_header\n" +
             kTriangle + "3 0 1 2\n"},
        {"stl",
         "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
         "vertex 0 1 0\nendloop\nendfacet\nendsolid t\n"},
    };
    for (const auto& [name, text] : sources) {
        SCOPED_TRACE(name);
        ImportFormat format;
        ASSERT_TRUE(FormatOfName(name, &format));
        ASSERT_EQ(format.native, &Native(name));
        ImportResult plain = Read(name, text);
        ImportResult marked = Read(name, bom + text);
        ASSERT_TRUE(plain.ok()) << plain.error.message;
        ASSERT_TRUE(marked.ok()) << marked.error.message;
        EXPECT_EQ(marked.mesh.positions, plain.mesh.positions);
        EXPECT_EQ(marked.mesh.triangles, plain.mesh.triangles);
        EXPECT_EQ(marked.mesh.triangleCount(), 1u);
        EXPECT_EQ(marked.mesh.name, plain.mesh.name);
    }
}

TEST(Readers, NoLineEndIsNeededAfterTheLastValue) {
    const std::string header =
        "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
        "property float z\nend_header\n";
    ImportResult points = Read("ply", header + "0 0 0\n1 2 3");
    ASSERT_TRUE(points.ok()) << points.error.message;
    EXPECT_EQ(points.mesh.positions, (std::vector<float>{0, 0, 0, 1, 2, 3}));
    // One byte less is one value short.
    EXPECT_EQ(Refusal("ply", header + "0 0 0\n1 2 "),
              "m.ply:3: the counts up to element vertex (2) need at least 11 bytes of data, but "
              "only 10 follow the header");
    ImportResult off = Read("off", "OFF\n3 1 0\n" + kTriangle + "3 0 1 2");
    ASSERT_TRUE(off.ok()) << off.error.message;
    EXPECT_EQ(off.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
    ImportResult offPoints = Read("off", "OFF\n1 0 0\n1 2 3");
    ASSERT_TRUE(offPoints.ok()) << offPoints.error.message;
    EXPECT_EQ(offPoints.mesh.vertexCount(), 1u);
    ImportResult stl = Read("stl",
                            "solid\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                            "vertex 0 1 0\nendloop\nendfacet\nendsolid");
    ASSERT_TRUE(stl.ok()) << stl.error.message;
    EXPECT_EQ(stl.mesh.triangleCount(), 1u);
}

TEST(Readers, FacesOfFewerThanThreeCornersAreDroppedWithOneWarning) {
    const std::string off = "OFF\n3 4 0\n" + kTriangle + "0\n1 2\n3 0 1 2\n2 0 1";
    ImportResult r = Read("off", off);
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(r.mesh.warnings,
              (std::vector<std::string>{"m.off: 3 faces of fewer than 3 corners dropped"}));
    // Only corners, no warning.
    r = Read("off", "OFF\n3 1 0\n" + kTriangle + "3 0 1 2\n");
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.mesh.warnings.empty());

    r = Read("ply",
             "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
             "property float z\nelement face 2\nproperty list uchar int vertex_indices\n"
             "end_header\n" +
                 kTriangle + "2 0 1\n3 0 1 2\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.triangleCount(), 1u);
    EXPECT_EQ(r.mesh.warnings,
              (std::vector<std::string>{"m.ply: 1 face of fewer than 3 corners dropped"}));

    r = Read("obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1 2\nf 1/1 2/1 3/1\nf 3\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.triangleCount(), 1u);
    EXPECT_EQ(r.mesh.warnings,
              (std::vector<std::string>{"m.obj: 2 faces of fewer than 3 corners dropped"}));
}

}  // namespace kvx::test
