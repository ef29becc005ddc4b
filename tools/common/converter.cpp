#include "converter.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "console.h"
#include "meshcore/layout.h"
#include "meshtext/cmsh_mesh.h"
#include "programs.h"

alignas(16) OKVX mesh;
alignas(16) CFace* CFaceList;
alignas(16) uint16_t* tmpFaces;
alignas(16) CLine* Lines;
alignas(16) CLine* filteredLines;

namespace {

template <typename T>
void FreeAndNull(T*& array) {
    KvxFree(array);
    array = nullptr;
}

}  // namespace

void ReleaseProgramState() {
    KvxRelease(mesh);
    FreeAndNull(CFaceList);
    FreeAndNull(tmpFaces);
    FreeAndNull(Lines);
    FreeAndNull(filteredLines);
}

int PrintConverterUsage() {
    static constexpr char kUsage[] = "proper usage is: <input.cmsh> <output.kvx>\n";
    ConsoleOut out;
    out.write(kUsage, sizeof kUsage - 1);
    out.flush();
    return kExitUsage;
}

// What each converter's --help says, in the order of the layout table.
const ProgramInfo kConverterInfo[] = {
    {"kvxconv1", "usage: kvxconv1 <input.cmsh> <output.kvx>",
     R"(Reads a text mesh whose vertex entries are three values, x y z, and writes a
version-1 KVX file: every vertex gets the colour 0xFFFF0000. Prints the counts,
the version and every vertex and triangle as it reads them.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv1 cube3.cmsh cube.kvx
)"},
    {"kvxconv2", "usage: kvxconv2 <input.cmsh> <output.kvx>",
     R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and writes a version-2 KVX file.
Prints the counts, the version and every vertex and triangle as it reads them.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv2 cube7.cmsh cube.kvx
)"},
    {"kvxconv3", "usage: kvxconv3 <input.cmsh> <output.kvx>",
     R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, computes a smooth normal for
every vertex and writes a version-3 KVX file. Prints nothing.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv3 cube7.cmsh cube.kvx
)"},
    {"kvxconv4", "usage: kvxconv4 <input.cmsh> <output.kvx>",
     R"(Reads a text mesh whose vertex entries are nine values, u v, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and a name word after the
triangles; computes a smooth normal for every vertex and writes a version-4
KVX file, storing 1 - v. Prints the name between two bars.

)" KVX_CONVERTER_HELP R"(Example:
  kvxconv4 cube9.cmsh cube.kvx
)"},
    {"kvxpoints", "usage: kvxpoints <input.cmsh> <output.kvx>",
     R"(Reads the vertices of a text mesh whose vertex entries are seven values, four
colour values (0 to 1: alpha, red, green, blue) then x y z, and writes a
version -1 KVX point set. Prints the counts, the version and every vertex.

)" KVX_CONVERTER_HELP R"(Example:
  kvxpoints cube7.cmsh points.kvx
)"},
    {"kvxwire", "usage: kvxwire <input.cmsh> <output.kvx>",
     R"(Reads a text mesh whose vertex entries are seven values, four colour values
(0 to 1: alpha, red, green, blue) then x y z, and writes a version -2 KVX
wireframe: the vertices and the distinct edges of the triangles, in the order
and direction of their first use. Prints eight progress lines.

)" KVX_CONVERTER_HELP R"(Example:
  kvxwire cube7.cmsh wire.kvx
)"},
};

const ProgramInfo& ConverterInfo(int32_t version) {
    const char* program = kvx::LayoutOf(version)->text.program;
    for (const ProgramInfo& info : kConverterInfo)
        if (std::strcmp(info.name, program) == 0) return info;
    std::abort();  // every converter of the table has its help here
}

int ConverterMain(int argc, char** argv, int32_t version) {
    const ProgramInfo& info = ConverterInfo(version);
    TakeOverSignals(info.name);
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, info, {{"--quiet", false}}, 2, line))
        return *status;
    if (line.operands.size() < 2) {
        // The usage text is the converters' own, on standard output; the
        // line that says what is wrong goes where every mistake goes.
        PrintConverterUsage();
        const std::string name = info.name;
        ReportError(info.name, "missing operands; see " + name + " --help");
        return kExitUsage;
    }
    // --quiet is the only option: without it, the text of the converter.
    const int text = line.options.empty() ? kStandardText : ConsoleOut::kDiscard;
    return RunGuarded(info.name,
                      [&] { RunConversion(version, line.operands[0], line.operands[1], text); });
}

int RunConverter(int32_t version, const char* inputPath, const char* outputPath) {
    return RunGuarded(ConverterInfo(version).name,
                      [&] { RunConversion(version, inputPath, outputPath, kStandardText); });
}

namespace {

// Where a converter's text goes: standard output, unless the output file is
// standard output itself (the same file, or the same pipe).
int TextDescriptor(const char* outputPath) {
    struct stat out, file;
    if (::fstat(1, &out) == 0 && ::stat(outputPath, &file) == 0 && out.st_dev == file.st_dev &&
        out.st_ino == file.st_ino) {
        return 2;
    }
    return 1;
}

// The converters' printed lines, as the reading reaches them.
class ConsoleEcho final : public kvx::CmshEcho {
public:
    ConsoleEcho(ConsoleOut& out, const kvx::Layout& layout) : out_(out), layout_(layout) {}

    void counts(const OKVX& m) override {
        PrintCounts(out_, m.vertexCount, m.faceCount, m.version);
    }
    void vertices(const OKVX& m, uint32_t done) override {
        const auto* records = static_cast<const unsigned char*>(kvx::VertexArrayOf(m, layout_));
        const kvx::Layout& l = layout_;
        PrintLines(out_, done, kColorPositionLine, [records, &l](char* p, uint64_t i) {
            const unsigned char* r = records + i * l.recordSize;
            uint32_t color;
            float xyz[3];
            std::memcpy(&color, r + l.colorOffset, sizeof color);
            std::memcpy(xyz, r + l.positionOffset, sizeof xyz);
            return ColorPositionLine(p, color, xyz[0], xyz[1], xyz[2]);
        });
    }
    void triangles(const uint16_t* indices, uint32_t done) override {
        PrintLines(out_, done, kTripleLine,
                   [indices](char* p, uint64_t j) { return TripleLine(p, indices + 3 * j); });
    }
    void name(const OKVX& m) override {
        // The name reaches standard output before the file is written.
        out_.write("|", 1);
        out_.write(m.name, strnlen(m.name, sizeof m.name));
        out_.write("|", 1);
    }
    void text(const char* line) override { out_.write(line, std::strlen(line)); }

private:
    ConsoleOut& out_;
    const kvx::Layout& layout_;
};

}  // namespace

void RunConversion(int32_t version, const char* inputPath, const char* outputPath, int text) {
    const kvx::Layout* layout = kvx::LayoutOf(version);
    RefuseOutputOverInput(inputPath, outputPath);
    ConsoleOut out(text == kStandardText ? TextDescriptor(outputPath) : text);
    ConsoleEcho echo(out, *layout);
    const kvx::CmshWork work{&CFaceList, &tmpFaces, &Lines, &filteredLines};
    kvx::Failure failure;
    kvx::CmshRead read;
    const std::string inputName = DisplayName(inputPath);
    if (!kvx::ReadCmshMesh(inputPath, inputName, *layout, mesh, failure, &read, &echo, work))
        Fail(std::move(failure));
    if (!out.flush()) FailOutput("standard output", KvxStatus{KvxErrc::write_failed, out.error()});
    KvxStatus why;
    if (!(mesh.*(layout->save))(outputPath, &why)) FailOutput(DisplayName(outputPath), why);
    // Said once the file is written, so that a failed run says one thing.
    if (!read.advice.empty()) ReportWarning(layout->text.program, inputName, read.advice);
}
