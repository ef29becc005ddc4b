// The six converters as the tests and the fuzz harness see them: what each
// reads and writes. The one table of them; test_support.h adds where the
// built programs are.
#pragma once

#include <cstdint>

struct ConverterLayout {
    const char* name;
    uint32_t valuesPerVertex;  // 3, 7 or 9
    int colorAt;               // position of the first colour value, or -1
    bool readsTriangles;       // kvxpoints does not
    bool readsName;            // kvxconv4 does
    bool echoes;               // prints the counts and what it reads
    int32_t version;           // of the file it writes
    uint32_t recordSize;       // bytes of the vertex record it writes
};

inline constexpr ConverterLayout kConverterLayouts[] = {
    {"kvxconv1", 3, -1, true, false, true, 1, 16},   {"kvxconv2", 7, 0, true, false, true, 2, 16},
    {"kvxconv3", 7, 0, true, false, false, 3, 28},   {"kvxconv4", 9, 2, true, true, false, 4, 36},
    {"kvxpoints", 7, 0, false, false, true, -1, 16}, {"kvxwire", 7, 0, true, false, false, -2, 16},
};
