#include "mesh_build.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "meshcore/layout.h"
#include "meshcore/normals.h"
#include "meshtext/tokens.h"

namespace kvxpy {

uint32_t DefaultColor(int32_t version) {
    const kvx::Layout* layout = kvx::LayoutOf(version);
    // The converter's fixed colour where its text has none.
    if (layout != nullptr && layout->text.colorAt == kvx::kAbsent) return layout->text.fixedColor;
    return 0xFFFFFFFFu;
}

namespace {

// The bytes of the largest array a count sizes, per element, as the
// converters reckon them: the vertex record; per triangle the CFace of the
// normal pass (versions 3, 4) or the index triple; per edge the index pair.
uint64_t GroupBytes(const kvx::Layout& layout) {
    if (layout.text.smoothNormals) return sizeof(CFace);
    return std::max<uint64_t>(layout.indexValuesPerGroup, 1) * sizeof(uint16_t);
}

// "edge" or "face": what a group of the layout's index block is called.
const char* GroupWord(const kvx::Layout& layout) {
    return layout.primitive == kvx::Primitive::lines ? "edge" : "face";
}

bool CheckCounts(const MeshSource& s, std::string& message) {
    const kvx::Layout& layout = *kvx::LayoutOf(s.version);
    const uint64_t record = layout.recordSize;
    if (s.vertexCount > UINT32_MAX / record) {
        message = "the vertex count " + std::to_string(s.vertexCount) + " is too large (at most " +
                  std::to_string(UINT32_MAX / record) + ")";
        return false;
    }
    const uint64_t group = GroupBytes(layout);
    if (s.indices.rows > UINT32_MAX / group) {
        message = std::string("the ") + GroupWord(layout) + " count " +
                  std::to_string(s.indices.rows) + " is too large (at most " +
                  std::to_string(UINT32_MAX / group) + ")";
        return false;
    }
    return true;
}

// Copies the index rows into `packed` as 16-bit values, each checked to
// name one of the vertexCount vertices and to fit in 16 bits.
template <typename T>
bool PackIndices(const T* values, uint64_t rows, uint64_t columns, uint64_t vertexCount,
                 const char* what, uint16_t* packed, std::string& message) {
    const uint64_t limit = vertexCount < 65536 ? vertexCount : 65536;
    for (uint64_t k = 0; k < rows * columns; ++k) {
        const T v = values[k];
        bool negative = false;
        if constexpr (std::is_signed_v<T>) negative = v < 0;
        if (negative || static_cast<uint64_t>(v) >= limit) {
            message = std::string(what) + " " + std::to_string(k / columns) + " names vertex " +
                      std::to_string(v);
            if (!negative && static_cast<uint64_t>(v) < vertexCount) {
                message += ", beyond the 16-bit index range (at most 65535)";
            } else {
                message += " of " + std::to_string(vertexCount);
            }
            return false;
        }
        packed[k] = static_cast<uint16_t>(v);
    }
    return true;
}

// The allocation of `count` elements into `array`; false, with the
// converters' message, when memory is short.
template <typename T>
bool Allocate(T*& array, uint64_t count, std::string& message) {
    array = KvxAllocateArray<T>(count);
    if (array != nullptr) return true;
    message = "out of memory (" + std::to_string(count * sizeof(T)) + " bytes)";
    return false;
}

uint32_t ColorAt(const MeshSource& s, uint64_t i) {
    return s.colors != nullptr ? s.colors[i] : DefaultColor(s.version);
}

// The vertex records of `m`, allocated and filled; the normals zero.
bool FillVertices(const MeshSource& s, const kvx::Layout& layout, OKVX& m, std::string& message) {
    const uint64_t n = s.vertexCount;
    unsigned char* records = nullptr;
    if (!Allocate(records, n * layout.recordSize, message)) return false;
    kvx::SetVertexArray(m, layout, records);
    std::memset(records, 0, n * layout.recordSize);
    for (uint64_t i = 0; i < n; ++i) {
        unsigned char* r = records + i * layout.recordSize;
        const uint32_t color = ColorAt(s, i);
        std::memcpy(r + layout.colorOffset, &color, sizeof color);
        std::memcpy(r + layout.positionOffset, s.positions + 3 * i, 3 * sizeof(float));
        if (layout.uvOffset == kvx::kAbsent) continue;
        float uv[2] = {0.0f, 0.0f};
        if (s.storedUv != nullptr) {
            uv[0] = s.storedUv[2 * i];
            uv[1] = s.storedUv[2 * i + 1];
        } else if (s.uv != nullptr) {
            // As kvxconv4 stores the second coordinate.
            uv[0] = s.uv[2 * i];
            uv[1] = 1.0f - s.uv[2 * i + 1];
        }
        std::memcpy(r + layout.uvOffset, uv, sizeof uv);
    }
    return true;
}

bool FillIndices(const MeshSource& s, const kvx::Layout& layout, OKVX& m, std::string& message) {
    if (layout.text.faceCountIsVertexCount) {
        // kvxpoints writes the vertex count where the face count goes.
        m.faceCount = m.vertexCount;
        return true;
    }
    const uint64_t columns = layout.indexValuesPerGroup;
    const uint64_t rows = s.indices.rows;
    if (!Allocate(m.faces, rows * columns, message)) return false;
    m.faceCount = static_cast<uint32_t>(rows);
    const char* what = GroupWord(layout);
    if (s.indices.signedValues != nullptr) {
        return PackIndices(s.indices.signedValues, rows, columns, s.vertexCount, what, m.faces,
                           message);
    }
    if (s.indices.unsignedValues != nullptr) {
        return PackIndices(s.indices.unsignedValues, rows, columns, s.vertexCount, what, m.faces,
                           message);
    }
    return rows == 0;
}

}  // namespace

bool CheckName(std::string_view name, std::string& message) {
    if (name.size() > 255) {
        message =
            "the name is " + std::to_string(name.size()) + " characters long; at most 255 fit";
        return false;
    }
    if (name.find('\0') != std::string_view::npos) {
        message =
            "the name " + Quote(name.data(), name.data() + name.size()) + " holds a zero byte";
        return false;
    }
    return true;
}

kvx::FailureKind BuildMesh(const MeshSource& source, OKVX& m, std::string& message) {
    assert(IsWritableVersion(source.version));
    assert(source.uv == nullptr || source.storedUv == nullptr);
    const kvx::Layout& layout = *kvx::LayoutOf(source.version);
    if (!CheckCounts(source, message)) return kvx::FailureKind::bad_input;
    if (layout.hasName && !CheckName(source.name, message)) return kvx::FailureKind::bad_input;
    m.version = source.version;
    m.vertexCount = static_cast<uint32_t>(source.vertexCount);
    if (!FillVertices(source, layout, m, message)) {
        KvxRelease(m);
        return kvx::FailureKind::memory;
    }
    if (!FillIndices(source, layout, m, message)) {
        const bool memory = m.faces == nullptr;
        KvxRelease(m);
        return memory ? kvx::FailureKind::memory : kvx::FailureKind::bad_input;
    }
    if (layout.hasName) std::memcpy(m.name, source.name.data(), source.name.size());
    if (layout.text.smoothNormals) {
        uint64_t failedBytes = 0;
        if (!kvx::ComputeSmoothNormals(m, &failedBytes)) {
            KvxRelease(m);
            message = "out of memory (" + std::to_string(failedBytes) + " bytes)";
            return kvx::FailureKind::memory;
        }
    }
    return kvx::FailureKind::none;
}

bool PackColors(const float* values, uint64_t count, uint32_t* words, std::string& message) {
    for (uint64_t i = 0; i < count; ++i) {
        int bad = 0;
        if (PackColor(values + 4 * i, words[i], bad)) continue;
        // The words of the text reader, with the vertex for the line.
        message = "vertex " + std::to_string(i) + ": " +
                  ColorValueMessage(values[4 * i + static_cast<uint64_t>(bad)]);
        return false;
    }
    return true;
}

namespace {

template <typename T>
bool CheckedWords(const T* values, uint64_t count, uint32_t* words, std::string& message) {
    for (uint64_t i = 0; i < count; ++i) {
        const T v = values[i];
        bool negative = false;
        if constexpr (std::is_signed_v<T>) negative = v < 0;
        if (negative || static_cast<uint64_t>(v) > UINT32_MAX) {
            message = "vertex " + std::to_string(i) + ": colour word " + std::to_string(v) +
                      " is outside 0 to 4294967295";
            return false;
        }
        words[i] = static_cast<uint32_t>(v);
    }
    return true;
}

}  // namespace

bool WordsFromIntegers(const int64_t* values, uint64_t count, uint32_t* words,
                       std::string& message) {
    return CheckedWords(values, count, words, message);
}

bool WordsFromIntegers(const uint64_t* values, uint64_t count, uint32_t* words,
                       std::string& message) {
    return CheckedWords(values, count, words, message);
}

void WordsFromBytes(const uint8_t* rgba, uint64_t count, ColorOrder order, uint32_t* words) {
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* c = rgba + 4 * i;
        words[i] = EncodeColor({c[0], c[1], c[2], c[3]}, order);
    }
}

}  // namespace kvxpy
