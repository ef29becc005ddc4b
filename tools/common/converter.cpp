#include "converter.h"

#include <sys/stat.h>

#include "meshcore/normals.h"
#include "programs.h"

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
    return RunGuarded(info.name, [&] {
        convert(line.operands[0], line.operands[1], ConverterRun::kStandardText);
    });
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

// How far past the last entry the advice on trailing text looks.
constexpr size_t kTrailingLimit = size_t{16} << 20;

// The converters that read each vertex layout.
const char* ConvertersOf(uint32_t valuesPerVertex) {
    switch (valuesPerVertex) {
        case 3:
            return "kvxconv1";
        case 7:
            return "kvxconv2, kvxconv3, kvxpoints, kvxwire";
        default:
            return "kvxconv4";
    }
}

}  // namespace

ConverterRun::ConverterRun(const char* program, const char* inputPath, const char* outputPath,
                           int text)
    : program_(program),
      inputPath_(inputPath),
      outputPath_(outputPath),
      inputName_(DisplayName(inputPath)),
      out_(text == kStandardText ? TextDescriptor(outputPath) : text) {}

void ConverterRun::begin(const CmshLayout& layout, OKVX& m) {
    layout_ = layout;
    RefuseOutputOverInput(inputPath_, outputPath_);
    KvxStatus why;
    // A stream is read as far as the counts first (three tokens started).
    if (!input_.open(inputPath_, 3, &why)) FailInput(inputName_, why);
    reader_ = CmshReader(inputName_, input_.begin(), input_.end());
    const bool counted = reader_.readCounts(layout, m.vertexCount, m.faceCount);
    // A stream's first step ends once a third token starts. Short of that,
    // its bytes ran out before the counts did, or the second may be cut.
    if (!input_.whole() &&
        (counted ? CountTokens(input_.begin(), input_.end()) < 3 : reader_.atEnd())) {
        FailBadInput(inputName_ + ": no vertex and face counts in the first " +
                     std::to_string(TextFile::kFirstStepBytes) + " bytes");
    }
    if (!counted) readerFailed();
    if (!input_.whole()) {
        // The rest of a stream, as far as the counts need it.
        uint64_t tokens = CmshReader::TokensNeeded(layout, m.vertexCount, m.faceCount) +
                          (layout.readsName ? 1 : 0);
        if (!input_.readTokens(tokens, kTrailingLimit, &why)) FailInput(inputName_, why);
        reader_.rebase(input_.begin(), input_.end());
    }
    if (!reader_.checkRoom(layout, m.vertexCount, m.faceCount)) readerFailed();
    vertexCount_ = m.vertexCount;
    faceCount_ = m.faceCount;
}

void ConverterRun::readTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                                 bool echo) {
    uint32_t done = 0;
    bool ok = reader_.readTriangles(count, vertexCount, indices, done);
    if (echo) {
        PrintLines(out_, done, kTripleLine,
                   [indices](char* p, uint64_t j) { return TripleLine(p, indices + 3 * j); });
    }
    if (!ok) readerFailed();
}

void ConverterRun::readName(char (&name)[256]) {
    if (!reader_.readName(name)) readerFailed();
}

void ConverterRun::endInput() {
    TrailingText rest = reader_.trailing(kTrailingLimit);
    checkUnchanged();
    advice_ = trailingAdvice(rest);
    reader_ = CmshReader(inputName_, nullptr, nullptr);
    input_.close();
}

std::string ConverterRun::trailingAdvice(const TrailingText& rest) const {
    const bool whole = rest.whole && input_.whole();
    // The values read, and all that follow them, taken as another layout.
    const uint64_t read = CmshReader::TokensNeeded(layout_, vertexCount_, faceCount_) - 2;
    std::string fits;
    for (uint32_t n : {3u, 7u, 9u}) {
        uint64_t total = uint64_t{vertexCount_} * n + uint64_t{faceCount_} * 3;
        uint64_t all = read + rest.tokens;
        if (whole && n != layout_.valuesPerVertex && (all == total || (n == 9 && all == total + 1)))
            fits = "; this looks like a " + std::to_string(n) + "-value mesh (" + ConvertersOf(n) +
                   ")";
    }
    std::string count = (whole ? "" : "more than ") + std::to_string(rest.tokens);
    if (!layout_.readsTriangles) {
        // A point set stops after its vertices, where the triangle entries
        // follow: only a text that fits another layout better is worth a word.
        if (fits.empty()) return "";
        return count + " values follow the last vertex, where " + std::to_string(faceCount_) +
               " triangle entries take " + std::to_string(uint64_t{faceCount_} * 3) + fits;
    }
    if (rest.tokens == 0 && whole) return "";
    if (layout_.readsName) {
        return count + (rest.tokens == 1 && whole ? " word follows" : " words follow") +
               " the name, which is one word" + fits;
    }
    return count + (rest.tokens == 1 && whole ? " value follows" : " values follow") +
           " the last triangle" + fits;
}

void ConverterRun::smoothNormals(OKVX& m) {
    uint64_t failedBytes = 0;
    if (!kvx::ComputeSmoothNormals(m, &failedBytes)) FailNoMemory(failedBytes);
}

void ConverterRun::save(const OKVX& m, kvx::SaveOperation op) {
    if (!out_.flush())
        FailOutput("standard output", KvxStatus{KvxErrc::write_failed, out_.error()});
    KvxStatus why;
    if (!(m.*op)(outputPath_, &why)) FailOutput(DisplayName(outputPath_), why);
    // Said once the file is written, so that a failed run says one thing.
    if (!advice_.empty()) ReportWarning(program_, inputName_, advice_);
}

void ConverterRun::checkUnchanged() {
    if (input_.changed()) FailBadInput(inputName_ + ": the file changed while it was read");
}

void ConverterRun::readerFailed() {
    checkUnchanged();
    FailBadInput(reader_.error());
}
