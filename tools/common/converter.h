// The flow every converter shares: the usage text, the input, the counts,
// the echo lines, the save and the reporting of failures.
#pragma once

#include <cstdint>
#include <string>

#include "console.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/text_file.h"

// Prints the converters' usage text on standard output; returns kExitUsage.
int PrintConverterUsage();

using SaveOperation = bool (OKVX::*)(const char*, KvxStatus*) const;

// One conversion from a text mesh to a KVX file. Every step that fails
// reports one line on standard error and returns false; status() is then the
// exit status to end with.
class ConverterRun {
public:
    ConverterRun(const char* program, const char* inputPath, const char* outputPath)
        : program_(program), inputPath_(inputPath), outputPath_(outputPath) {}

    // Opens the input and reads both counts into m (checked against the file
    // size and the 32-bit array limits, as `layout` describes).
    bool begin(const CmshLayout& layout, OKVX& m);

    // A 16-byte aligned array of count elements.
    template <typename T>
    bool allocate(T*& array, uint64_t count) {
        array = KvxAllocateArray<T>(count);
        if (array == nullptr) return outOfMemory(count * sizeof(T));
        return true;
    }

    // Reads `count` triangle entries, storing the low 16 bits of each index;
    // with `echo`, prints each as "%u %u %u\n".
    bool readTriangles(uint32_t count, uint16_t* indices, bool echo);

    // Reads `count` triangle entries whose indices must name one of the
    // first vertexCount vertices (and fit in 16 bits).
    bool readCheckedTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices);

    // Reads one vertex entry of n values.
    bool readVertex(float* values, uint32_t n) {
        return reader_.readVertex(values, n) || readerFailed();
    }

    // Packs four colour values of the entry read last.
    bool packColor(const float values[4], uint32_t& color) {
        return reader_.packColor(values, color) || readerFailed();
    }

    // Reads one vertex entry of 7 values: four colour values, then x, y, z.
    bool readColorVertex(uint32_t& color, float& x, float& y, float& z) {
        float v[7];
        if (!reader_.readVertex(v, 7) || !reader_.packColor(v, color)) return readerFailed();
        x = v[4];
        y = v[5];
        z = v[6];
        return true;
    }

    // Releases the text once everything has been read from it, so that the
    // arrays built afterwards do not add to it. The reader is unusable
    // afterwards.
    void endInput();

    // Computes the smooth vertex normals of a version-3 or version-4 mesh
    // whose indices were checked (readCheckedTriangles).
    bool smoothNormals(OKVX& m);

    // Flushes standard output, then saves with `op`.
    bool save(const OKVX& m, SaveOperation op);

    bool readerFailed();
    bool outOfMemory(uint64_t bytes);

    CmshReader& reader() { return reader_; }
    ConsoleOut& out() { return out_; }
    int status() const { return status_; }

private:
    const char* program_;
    const char* inputPath_;
    const char* outputPath_;
    TextFile input_;
    CmshReader reader_{"", nullptr, nullptr};
    ConsoleOut out_;
    int status_ = kExitOk;
};
