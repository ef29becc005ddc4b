#include "converter.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "meshcore/normals.h"

int PrintConverterUsage() {
    static constexpr char kUsage[] = "proper usage is: <input.cmsh> <output.kvx>\n";
    ConsoleOut out;
    out.write(kUsage, sizeof kUsage - 1);
    out.flush();
    return kExitUsage;
}

bool ConverterRun::begin(const CmshLayout& layout, OKVX& m) {
    int error = 0;
    if (!input_.open(inputPath_, error)) {
        ReportError(program_, std::string(inputPath_) + ": " + std::strerror(error));
        status_ = error == ENOMEM ? kExitNoMemory : kExitBadInput;
        return false;
    }
    reader_ = CmshReader(inputPath_, input_.begin(), input_.end());
    if (!reader_.readCounts(layout, m.vertexCount, m.faceCount)) return readerFailed();
    return true;
}

bool ConverterRun::readTriangles(uint32_t count, uint16_t* indices, bool echo) {
    uint32_t done = 0;
    bool ok = reader_.readTriangles(count, indices, done);
    // Each entry read is echoed before anything is said about a bad one.
    if (echo) {
        for (uint32_t j = 0; j < done; ++j) PrintTriple(out_, indices + 3 * size_t{j});
    }
    return ok || readerFailed();
}

bool ConverterRun::readCheckedTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices) {
    uint32_t done = 0;
    return reader_.readCheckedTriangles(count, vertexCount, indices, done) || readerFailed();
}

void ConverterRun::endInput() {
    reader_ = CmshReader(inputPath_, nullptr, nullptr);
    input_.close();
}

bool ConverterRun::smoothNormals(OKVX& m) {
    uint64_t failedBytes = 0;
    return kvx::ComputeSmoothNormals(m, &failedBytes) || outOfMemory(failedBytes);
}

bool ConverterRun::save(const OKVX& m, SaveOperation op) {
    if (!out_.flush()) {
        ReportError(program_, std::string("standard output: ") + std::strerror(out_.error()));
        status_ = kExitWriteFailed;
        return false;
    }
    // Past a file size limit, report "File too large" rather than die.
    std::signal(SIGXFSZ, SIG_IGN);
    KvxStatus why;
    if (!(m.*op)(outputPath_, &why)) {
        ReportError(program_, std::string(outputPath_) + ": " + KvxStatusMessage(why));
        status_ = kExitWriteFailed;
        return false;
    }
    return true;
}

bool ConverterRun::readerFailed() {
    out_.flush();
    ReportError(program_, reader_.error());
    status_ = kExitBadInput;
    return false;
}

bool ConverterRun::outOfMemory(uint64_t bytes) {
    out_.flush();
    ReportError(program_, "out of memory (" + std::to_string(bytes) + " bytes)");
    status_ = kExitNoMemory;
    return false;
}
