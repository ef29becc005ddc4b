// The flow every converter shares: the usage text, the input, the counts,
// the echo lines, the save. Every step that fails throws a RunFailure for
// the run guard (run_guard.h).
#pragma once

#include <cstdint>
#include <string>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/text_file.h"
#include "run_guard.h"

// Prints the converters' usage text on standard output; returns kExitUsage.
int PrintConverterUsage();

using SaveOperation = bool (OKVX::*)(const char*, KvxStatus*) const;

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

    // Opens the input and reads both counts into m, checked against the
    // 32-bit array limits and the length of the text, as `layout` describes.
    void begin(const CmshLayout& layout, OKVX& m);

    // A 16-byte aligned array of count elements.
    template <typename T>
    void allocate(T*& array, uint64_t count) {
        array = KvxAllocateArray<T>(count);
        if (array == nullptr) FailNoMemory(count * sizeof(T));
    }

    // Reads one vertex entry of n values.
    void readVertex(float* values, uint32_t n) {
        if (!reader_.readVertex(values, n)) readerFailed();
    }

    // Packs four colour values of the entry read last.
    uint32_t packColor(const float values[4]) {
        uint32_t color;
        if (!reader_.packColor(values, color)) readerFailed();
        return color;
    }

    // Reads one vertex entry of 7 values: four colour values, then x, y, z.
    void readColorVertex(uint32_t& color, float& x, float& y, float& z) {
        float v[7];
        readVertex(v, 7);
        color = packColor(v);
        x = v[4];
        y = v[5];
        z = v[6];
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
    void save(const OKVX& m, SaveOperation op);

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
