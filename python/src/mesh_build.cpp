#include "mesh_build.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "meshcore/normals.h"
#include "meshtext/tokens.h"

namespace kvxpy {

uint32_t DefaultColor(int32_t version) {
    return version == 1 ? 0xFFFF0000u : 0xFFFFFFFFu;
}

namespace {

// The bytes of the largest array a count sizes, per element, as the
// converters reckon them: the vertex record; per triangle the CFace of the
// normal pass (versions 3, 4) or the index triple; per edge the index pair.
uint64_t GroupBytes(int32_t version) {
    switch (version) {
        case 3:
        case 4:
            return sizeof(CFace);
        case -2:
            return 2 * sizeof(uint16_t);
        default:
            return 3 * sizeof(uint16_t);
    }
}

bool CheckCounts(const MeshSource& s, std::string& message) {
    const uint64_t record = KvxRecordSize(s.version);
    if (s.vertexCount > UINT32_MAX / record) {
        message = "the vertex count " + std::to_string(s.vertexCount) + " is too large (at most " +
                  std::to_string(UINT32_MAX / record) + ")";
        return false;
    }
    const uint64_t group = GroupBytes(s.version);
    if (s.indices.rows > UINT32_MAX / group) {
        message = std::string(s.version == -2 ? "the edge count " : "the face count ") +
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
bool FillVertices(const MeshSource& s, OKVX& m, std::string& message) {
    const uint64_t n = s.vertexCount;
    const float* p = s.positions;
    switch (s.version) {
        case 1:
        case -1:
        case -2:
            if (!Allocate(m.verticesV1, n, message)) return false;
            for (uint64_t i = 0; i < n; ++i)
                m.verticesV1[i] = {ColorAt(s, i), p[3 * i], p[3 * i + 1], p[3 * i + 2]};
            return true;
        case 2:
            if (!Allocate(m.verticesV2, n, message)) return false;
            for (uint64_t i = 0; i < n; ++i)
                m.verticesV2[i] = {ColorAt(s, i), p[3 * i], p[3 * i + 1], p[3 * i + 2]};
            return true;
        case 3:
            if (!Allocate(m.verticesV3, n, message)) return false;
            for (uint64_t i = 0; i < n; ++i) {
                m.verticesV3[i] = {ColorAt(s, i), 0.0f,         0.0f,        0.0f,
                                   p[3 * i],      p[3 * i + 1], p[3 * i + 2]};
            }
            return true;
        case 4:
            if (!Allocate(m.verticesV4, n, message)) return false;
            for (uint64_t i = 0; i < n; ++i) {
                VertexkvxV4& r = m.verticesV4[i];
                r.u = 0.0f;
                r.v = 0.0f;
                if (s.uv != nullptr) {
                    r.u = s.uv[2 * i];
                    r.v = s.uv[2 * i + 1];
                } else if (s.texcoords != nullptr) {
                    // As kvxconv4 stores the second coordinate.
                    r.u = s.texcoords[2 * i];
                    r.v = 1.0f - s.texcoords[2 * i + 1];
                }
                r.color = ColorAt(s, i);
                r.nx = 0.0f;
                r.ny = 0.0f;
                r.nz = 0.0f;
                r.x = p[3 * i];
                r.y = p[3 * i + 1];
                r.z = p[3 * i + 2];
            }
            return true;
        default:
            return false;
    }
}

bool FillIndices(const MeshSource& s, OKVX& m, std::string& message) {
    if (s.version == -1) {
        // kvxpoints writes the vertex count where the face count goes.
        m.faceCount = m.vertexCount;
        return true;
    }
    const uint64_t columns = s.version == -2 ? 2 : 3;
    const uint64_t rows = s.indices.rows;
    if (!Allocate(m.faces, rows * columns, message)) return false;
    m.faceCount = static_cast<uint32_t>(rows);
    const char* what = s.version == -2 ? "edge" : "face";
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

BuildResult BuildMesh(const MeshSource& source, OKVX& m, std::string& message) {
    assert(IsWritableVersion(source.version));
    assert(source.uv == nullptr || source.texcoords == nullptr);
    if (!CheckCounts(source, message)) return BuildResult::bad_input;
    if (source.version == 4 && !CheckName(source.name, message)) return BuildResult::bad_input;
    m.version = source.version;
    m.vertexCount = static_cast<uint32_t>(source.vertexCount);
    if (!FillVertices(source, m, message)) {
        KvxRelease(m);
        return BuildResult::no_memory;
    }
    if (!FillIndices(source, m, message)) {
        const bool memory = m.faces == nullptr;
        KvxRelease(m);
        return memory ? BuildResult::no_memory : BuildResult::bad_input;
    }
    if (source.version == 4) std::memcpy(m.name, source.name.data(), source.name.size());
    if (source.version == 3 || source.version == 4) {
        uint64_t failedBytes = 0;
        if (!kvx::ComputeSmoothNormals(m, &failedBytes)) {
            KvxRelease(m);
            message = "out of memory (" + std::to_string(failedBytes) + " bytes)";
            return BuildResult::no_memory;
        }
    }
    return BuildResult::ok;
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
