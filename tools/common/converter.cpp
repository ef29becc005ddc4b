#include "converter.h"

#include <sys/stat.h>

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

int ConverterMain(int argc, char** argv, const ProgramInfo& info, ConvertFunction convert) {
    TakeOverSignals(info.name);
    CommandLine line;
    if (auto status = ReadCommandLine(argc, argv, info, {}, 2, line)) return *status;
    if (line.operands.size() < 2) return PrintConverterUsage();
    return RunGuarded(info.name,
                      [&] { convert(line.operands[0], line.operands[1], kStandardText); });
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
