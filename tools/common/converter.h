// The flow every converter shares: the usage text, the input, the counts,
// the echo lines, the save. Every step that fails throws a RunFailure for
// the run guard (run_guard.h).
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/color.h"
#include "meshtext/text_file.h"
#include "run_guard.h"

// The paragraph every converter's --help holds after its own, a string
// literal so that it joins theirs.
#define KVX_CONVERTER_HELP                                                            \
    "A text mesh (.cmsh) holds, separated by white space: the vertex count, the\n"    \
    "face count, the vertex entries, then the triangle entries (three vertex\n"       \
    "indices from 0 each). Bad input gets one line on standard error and status 2;\n" \
    "an output that cannot be written status 3; memory too short status 4. The\n"     \
    "output appears complete or not at all. Where the output is standard output\n"    \
    "itself (/dev/stdout), the printed text goes to standard error instead.\n\n"

// Prints the converters' usage text on standard output; returns kExitUsage.
int PrintConverterUsage();

// One conversion from a text mesh to a KVX file. What the converter prints
// goes to standard output, or to standard error when the output file is
// standard output itself, so that the file stays clean.
class ConverterRun {
public:
    // `text`: where the printed text goes; kStandardText for standard output
    // (or standard error, as above), ConsoleOut::kDiscard for nowhere.
    static constexpr int kStandardText = 1;
    ConverterRun(const char* program, const char* inputPath, const char* outputPath,
                 int text = kStandardText);

    // Refuses an output that is the input file (RefuseOutputOverInput),
    // then opens the input and reads both counts into m, checked against the
    // 32-bit array limits and the length of the text, as `layout` describes.
    void begin(const CmshLayout& layout, OKVX& m);

    // A 16-byte aligned array of count elements.
    template <typename T>
    void allocate(T*& array, uint64_t count) {
        array = KvxAllocateArray<T>(count);
        if (array == nullptr) FailNoMemory(count * sizeof(T));
    }

    // Reads the vertex entries of n values each (n at most 9): build(i,
    // values) stores vertex i and returns false to refuse its colour values,
    // which stand at values[colorAt..colorAt+3]. Large sections are read on
    // two threads, so build must be safe to call for different i at once.
    // With an `echo`, then prints echo(p, i) for every vertex read, those
    // before a bad one too: a line of at most kColorPositionLine bytes
    // written at p, returning its end.
    template <typename Build, typename Echo = std::nullptr_t>
    void readVertices(uint32_t n, int colorAt, Build build, Echo echo = nullptr) {
        uint32_t done = 0;
        auto call = [](void* context, uint32_t i, const float* values) {
            return (*static_cast<Build*>(context))(i, values);
        };
        bool ok = reader_.readVertices(vertexCount_, n, colorAt, call, &build, done);
        if constexpr (!std::is_null_pointer_v<Echo>) {
            PrintLines(out_, done, kColorPositionLine, echo);
        }
        if (!ok) readerFailed();
    }

    // Reads entries of seven values, four colour values then x y z, into
    // the color, x, y and z of the records; with `echo`, prints each as
    // "0x%X %f %f %f\n".
    template <typename Record>
    void readColorVertices(Record* records, bool echo) {
        auto build = [records](uint32_t i, const float* v) {
            Record& r = records[i];
            int bad = 0;
            r.x = v[4];
            r.y = v[5];
            r.z = v[6];
            return PackColor(v, r.color, bad);
        };
        auto line = [records](char* p, uint64_t i) {
            const Record& r = records[i];
            return ColorPositionLine(p, r.color, r.x, r.y, r.z);
        };
        if (echo) {
            readVertices(7, 0, build, line);
        } else {
            readVertices(7, 0, build);
        }
    }

    // Reads `count` triangle entries whose indices must each name one of
    // the first vertexCount vertices (and fit in 16 bits); with `echo`,
    // prints each entry read as "%u %u %u\n", those before a bad one too.
    void readTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices, bool echo);

    // Reads the name token, if any.
    void readName(char (&name)[256]);

    // Ends the reading: notes whether text follows the last entry (naming
    // the layout the text seems to have), for a warning once the file is
    // saved; then releases the text, so that the arrays built afterwards do
    // not add to it.
    void endInput();

    // Computes the smooth vertex normals of a version-3 or version-4 mesh
    // whose indices were read by readTriangles.
    void smoothNormals(OKVX& m);

    // Flushes what was printed, saves with `op`, then gives the warning on
    // trailing text, if any.
    void save(const OKVX& m, kvx::SaveOperation op);

    ConsoleOut& out() { return out_; }

    // Throws the reader's failure, or "changed while it was read" when the
    // input file shrank under the reader.
    [[noreturn]] void readerFailed();

private:
    void checkUnchanged();
    // What to say of the text that follows the last entry; "" for nothing.
    std::string trailingAdvice(const TrailingText& rest) const;

    const char* program_;
    const char* inputPath_;
    const char* outputPath_;
    std::string inputName_;
    CmshLayout layout_;
    uint32_t vertexCount_ = 0;
    uint32_t faceCount_ = 0;
    std::string advice_;
    TextFile input_;
    CmshReader reader_{"", nullptr, nullptr};
    ConsoleOut out_;
};
