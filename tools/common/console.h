// Console output of the KVX tools: a large standard-output buffer, error
// reporting, and the lines that the converters echo and kvxdump prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "exit_status.h"
#include "meshtext/format_number.h"

// Standard output through one large buffer. Writes that fail are remembered;
// flush() reports them. Whatever is still buffered goes out when the object
// goes.
class ConsoleOut {
public:
    // kDiscard as the descriptor drops everything, for callers that run a
    // program's work and want none of its text.
    static constexpr int kDiscard = -1;
    explicit ConsoleOut(int fd = 1);
    ~ConsoleOut();
    ConsoleOut(const ConsoleOut&) = delete;
    ConsoleOut& operator=(const ConsoleOut&) = delete;

    // Room for at least n bytes (n at most kReserveLimit); fill it and pass
    // the end to commit().
    char* reserve(size_t n) {
        if (static_cast<size_t>(end_ - pos_) < n) drain();
        return pos_;
    }
    void commit(char* end) { pos_ = end; }

    void write(const char* text, size_t n);
    void write(const std::string& text) { write(text.data(), text.size()); }

    // Writes out what is buffered. False when any write so far failed;
    // error() then holds errno.
    bool flush();
    int error() const { return error_; }

    static constexpr size_t kReserveLimit = 4096;

    // True for a ConsoleOut(kDiscard), which prints nothing.
    bool discards() const { return fd_ == kDiscard; }

private:
    void drain();     // writeOut(), then a larger buffer if this one ran full
    void writeOut();  // writes what is buffered and empties the buffer

    int fd_;
    int error_ = 0;
    char* buffer_;
    char* pos_;
    char* end_;
};

// Prints "<program>: <message>" as one line on standard error.
void ReportError(const char* program, const std::string& message);

// Lines that the converters echo and kvxdump prints.
// "vertexCount = %u\nfaceCount = %u\nversion = %i\n"
void PrintCounts(ConsoleOut& out, uint32_t vertexCount, uint32_t faceCount, int32_t version);
// "0x%X %f %f %f\n", written at p; returns its end.
inline char* ColorPositionLine(char* p, uint32_t color, float x, float y, float z) {
    *p++ = '0';
    *p++ = 'x';
    p = FormatHex(p, color);
    *p++ = ' ';
    p = FormatFixed(p, x);
    *p++ = ' ';
    p = FormatFixed(p, y);
    *p++ = ' ';
    p = FormatFixed(p, z);
    *p++ = '\n';
    return p;
}
inline constexpr size_t kColorPositionLine = 4 * kMaxNumberText;

// TripleLine, "%u %u %u\n" of three indices, is meshtext's
// (format_number.h), since the text mesh writer writes the same lines.

// Prints `count` lines in order, line i written by format(p, i) at p (at
// most maxLine bytes, at most ConsoleOut::kReserveLimit) returning its end.
// (Formatting on a second thread in turns was measured slower at every size
// up to 4,000,000 lines: the lines are cheap to format next to moving them.)
template <typename Format>
void PrintLines(ConsoleOut& out, uint64_t count, size_t maxLine, Format format) {
    if (out.discards()) return;
    for (uint64_t i = 0; i < count; ++i) {
        char* p = out.reserve(maxLine);
        out.commit(format(p, i));
    }
}
