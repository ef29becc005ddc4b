// End-to-end runs of kvxrender: the pictures decode (with libpng) to the
// requested size and to exactly what the rasteriser draws; options, empty
// meshes, and the failures.
#include <gtest/gtest.h>

#ifdef KVXRENDER_PATH  // kvxrender is built only where libpng was found

#include <png.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "meshview/mesh_view.h"
#include "meshview/raster.h"
#include "test_support.h"

namespace {

const std::string kUsage =
    "usage: kvxrender [--size WxH] [--view front|back|left|right|top|bottom|iso] "
    "[--colour-order argb|rgba] <input.kvx> <output.png>\n";

RunResult Render(const std::vector<std::string>& args) {
    return RunProgram(KVXRENDER_PATH, args);
}

struct Decoded {
    bool ok = false;
    uint32_t width = 0, height = 0;
    std::string rgb;
};

// A PNG file decoded to 8-bit RGB with libpng.
Decoded DecodePng(const std::string& file) {
    Decoded d;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return d;
    image.format = PNG_FORMAT_RGB;
    d.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return d;
    }
    d.ok = true;
    d.width = image.width;
    d.height = image.height;
    return d;
}

// What the rasteriser draws for a KVX file, as RGB bytes.
std::string Expected(const std::string& kvx, const RenderOptions& options) {
    OKVX m{};
    MeshGuard guard{m};
    EXPECT_EQ(KvxLoadMemory(m, kvx.data(), kvx.size()), 1);
    MeshView view;
    std::string error;
    EXPECT_TRUE(MakeMeshView(m, &view, &error)) << error;
    Image image;
    EXPECT_TRUE(RenderMesh(view, options, &image));
    return std::string(reinterpret_cast<const char*>(image.pixels.get()),
                       size_t{image.width} * image.height * 3);
}

std::string Background(uint32_t width, uint32_t height) {
    std::string rgb;
    for (size_t i = 0; i < size_t{width} * height; ++i)
        rgb += {static_cast<char>(kBackground.r), static_cast<char>(kBackground.g),
                static_cast<char>(kBackground.b)};
    return rgb;
}

TEST(KvxRender, DrawsEveryExampleIntoAValidPicture) {
    const char* examples = std::getenv("KVX_EXAMPLES");
    ASSERT_NE(examples, nullptr);
    TempDir dir;
    struct Example {
        const char* converter;
        const char* input;
        const char* name;
    };
    for (const Example& e :
         {Example{KVXCONV1_PATH, "cube3.cmsh", "v1"}, Example{KVXCONV2_PATH, "cube7.cmsh", "v2"},
          Example{KVXCONV3_PATH, "cube7.cmsh", "v3"}, Example{KVXCONV4_PATH, "cube9.cmsh", "v4"},
          Example{KVXPOINTS_PATH, "cube7.cmsh", "points"},
          Example{KVXWIRE_PATH, "cube7.cmsh", "wire"}}) {
        SCOPED_TRACE(e.name);
        std::string kvx = dir.file(std::string(e.name) + ".kvx");
        std::string png = dir.file(std::string(e.name) + ".png");
        ASSERT_EQ(RunProgram(e.converter, {std::string(examples) + "/" + e.input, kvx}).exitStatus,
                  0);
        RunResult r = Render({kvx, png});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        std::string file = ReadFile(png);
        // 8-bit RGB, as the header says.
        ASSERT_GT(file.size(), 26u);
        EXPECT_EQ(file.substr(0, 8), "\x89PNG\r\n\x1a\n");
        EXPECT_EQ(file.substr(24, 2), std::string("\x08\x02", 2));
        Decoded d = DecodePng(file);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, 512u);
        EXPECT_EQ(d.height, 512u);
        EXPECT_EQ(d.rgb, Expected(ReadFile(kvx), RenderOptions{}));
        EXPECT_NE(d.rgb, Background(512, 512));

        // The same input gives the same bytes.
        ASSERT_EQ(Render({kvx, png + "2"}).exitStatus, 0);
        EXPECT_EQ(ReadFile(png + "2"), file);
    }
}

TEST(KvxRender, OptionsReachThePicture) {
    const char* examples = std::getenv("KVX_EXAMPLES");
    ASSERT_NE(examples, nullptr);
    TempDir dir;
    std::string kvx = dir.file("cube.kvx"), png = dir.file("cube.png");
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {std::string(examples) + "/cube7.cmsh", kvx}).exitStatus,
              0);
    ASSERT_EQ(Render({"--view", "top", kvx, "--colour-order", "rgba", png, "--size", "300x17"})
                  .exitStatus,
              0);
    Decoded d = DecodePng(ReadFile(png));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 300u);
    EXPECT_EQ(d.height, 17u);
    EXPECT_EQ(d.rgb, Expected(ReadFile(kvx), {300, 17, ViewDirection::top, ColorOrder::rgba}));
    ASSERT_EQ(Render({kvx, png, "--size", "1x1", "--view", "left"}).exitStatus, 0);
    d = DecodePng(ReadFile(png));
    EXPECT_EQ(d.width * d.height, 1u);
}

TEST(KvxRender, EmptyMeshesGiveAnEmptyPicture) {
    TempDir dir;
    std::string kvx = dir.file("empty.kvx"), png = dir.file("empty.png");
    for (int32_t version : {1, 2, 3, 4, -1, -2}) {
        WriteFile(kvx, KvxHeader(0, 0, version));
        RunResult r = Render({kvx, png, "--size", "8x6"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        Decoded d = DecodePng(ReadFile(png));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.rgb, Background(8, 6));
    }
}

TEST(KvxRender, CommandLineMistakesAreOneLine) {
    TempDir dir;
    std::string in = dir.file("in.kvx"), png = dir.file("out.png");
    WriteFile(in, KvxHeader(0, 0, 1));
    auto size = [](const std::string& found) {
        return "kvxrender: --size: expected WxH, each side from 1 to 8192, found \"" + found +
               "\"\n";
    };
    std::vector<UsageMistake> cases = {
        {{}, kUsage},
        {{in}, kUsage},
        {{in, png, "--view", "isometric"},
         "kvxrender: --view: expected front, back, left, right, top, bottom or iso, found "
         "\"isometric\"\n"},
        {{in, png, "--colour-order", "ARGB"},
         "kvxrender: --colour-order: expected argb or rgba, found \"ARGB\"\n"},
        {{in, png, "--size"}, "kvxrender: --size needs a value; see kvxrender --help\n"},
        {{in, png, "--colour", "argb"},
         "kvxrender: unknown option --colour; see kvxrender --help\n"},
        {{in, "-o", png}, "kvxrender: unknown option -o; see kvxrender --help\n"},
    };
    for (const char* bad : {"0x10", "10x0", "8193x10", "10x99999999999", "10x", "x10", "10X10",
                            "10x10x", "-5x5", "+5x5", " 5x5", "5x5 ", "5", ""})
        cases.push_back({{in, png, "--size", bad}, size(bad)});
    ExpectUsageMistakes(KVXRENDER_PATH, cases);
    EXPECT_FALSE(FileExists(png));
    EXPECT_EQ(Render({in, png, "--size=8192x1"}).exitStatus, 0);
    RunResult extra = Render({in, png, png});
    EXPECT_EQ(extra.exitStatus, 0);
    EXPECT_EQ(extra.err, "kvxrender: ignoring extra argument: " + png + "\n");
    RunResult help = Render({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.substr(0, kUsage.size()), kUsage);
    EXPECT_EQ(Render({"--version"}).out, "kvxrender " KVX_VERSION "\n");
}

TEST(KvxRender, FailuresLeaveTheOutputAlone) {
    TempDir dir;
    std::string in = dir.file("in.kvx"), png = dir.file("out.png");
    std::string bad = KvxHeader(3, 1, 2);
    for (int i = 0; i < 3; ++i) {
        AppendU32(bad, 0xFFFFFFFFu);
        bad += Floats({float(i), 0.0f, 0.0f});
    }
    bad += Indices({0, 1, 3});
    struct Case {
        std::string kvx;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {bad, "face 0 names vertex 3 of 3"},
             {KvxHeader(0, 0, 0), "version 0 is not supported (versions 1 to 4, -1 and -2 are)"},
             {KvxHeader(2, 0, -1), "truncated: the header promises 47 bytes, the file has 15"},
         }) {
        WriteFile(in, c.kvx);
        WriteFile(png, "precious");
        RunResult r = Render({in, png});
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.err, "kvxrender: " + in + ": " + c.message + "\n");
        EXPECT_EQ(ReadFile(png), "precious");
    }
    RunResult missing = Render({dir.file("none.kvx"), png});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "kvxrender: " + dir.file("none.kvx") + ": No such file or directory\n");

    WriteFile(in, KvxHeader(0, 0, 1));
    RunResult unwritable = Render({in, dir.file("missing/out.png")});
    EXPECT_EQ(unwritable.exitStatus, 3);
    EXPECT_EQ(unwritable.err,
              "kvxrender: " + dir.file("missing/out.png") + ": No such file or directory\n");
    EXPECT_EQ(ReadFile(png), "precious");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.kvx", "out.png"}));
}

}  // namespace

#else

TEST(KvxRender, NeedsLibpng) {
    GTEST_SKIP() << "kvxrender is not built: libpng was not found";
}

#endif
