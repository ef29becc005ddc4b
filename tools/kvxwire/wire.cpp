#include "wire.h"

#include "meshcore/edges.h"

bool inLines(CLine* list, CLine line) {
    const uint64_t capacity = uint64_t{mesh.faceCount} * 3;
    for (uint64_t k = 0; k < capacity; ++k) {
        if (list[k] == line) return true;
    }
    return false;
}

uint32_t inList(CLine* from, CLine* into, unsigned long count) {
    uint64_t done = 0, appended = 0;
    if (!kvx::AppendNewLinesAsFarAsMemory(from, into, count, uint64_t{mesh.faceCount} * 3, done,
                                          appended)) {
        // No memory for the table: the plain scan finishes the job.
        for (; done < count; ++done) {
            if (!inLines(into, from[done])) into[appended++] = from[done];
        }
    }
    return static_cast<uint32_t>(appended);
}
