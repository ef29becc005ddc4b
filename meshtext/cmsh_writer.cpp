#include "meshtext/cmsh_writer.h"

#include <bit>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "meshcore/layout.h"
#include "meshcore/normals.h"
#include "meshcore/output_file.h"
#include "meshtext/block_writer.h"
#include "meshtext/color.h"
#include "meshtext/format_number.h"
#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"

namespace {

// The float a text reads back as, as the converters read it; false when it
// is no number.
bool ReadBack(const std::string& text, float* value) {
    return ParseFloat(text.data(), text.data() + text.size(), *value).ec == std::errc();
}

// A float that the shortest text of v reads back to, bit for bit.
bool RoundTrips(float v) {
    float back = 0.0f;
    return ReadBack(ShortestText(v), &back) &&
           std::bit_cast<uint32_t>(back) == std::bit_cast<uint32_t>(v);
}

// The colour rule of the converters: the float times 255, truncated.
bool PacksTo(float value, uint8_t byte) {
    const float values[4] = {value, 0.0f, 0.0f, 0.0f};
    uint32_t color = 0;
    int bad = 0;
    return PackColor(values, color, bad) && color == uint32_t{byte} << 24;
}

struct ColorTexts {
    std::string text[256];

    ColorTexts() {
        text[0] = std::string(1, '0');
        text[255] = std::string(1, '1');
        for (uint32_t b = 1; b < 255; ++b) {
            // The shortest decimal 0.d1...dp at or above b / 255 whose float
            // still truncates to b (one more step when rounding to float
            // lands just below b / 255).
            for (int digits = 1; digits <= 9 && text[b].empty(); ++digits) {
                uint64_t scale = 1;
                for (int k = 0; k < digits; ++k)
                    scale *= 10;
                const uint64_t first = (b * scale + 254) / 255;
                for (uint64_t m = first; m <= first + 1 && text[b].empty(); ++m) {
                    std::string fraction = std::to_string(m);
                    if (fraction.size() > static_cast<size_t>(digits)) continue;
                    fraction.insert(0, static_cast<size_t>(digits) - fraction.size(), '0');
                    while (!fraction.empty() && fraction.back() == '0')
                        fraction.pop_back();
                    std::string candidate = "0." + fraction;
                    float value = 0.0f;
                    if (ReadBack(candidate, &value) && PacksTo(value, static_cast<uint8_t>(b)))
                        text[b] = candidate;
                }
            }
        }
    }
};

// Orders floats other than NaN as integers: -inf first, -0 just below +0.
uint32_t OrderKey(float v) {
    uint32_t bits = std::bit_cast<uint32_t>(v);
    return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}

float FromOrderKey(uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000u) ? key & 0x7FFFFFFFu : ~key);
}

// 1 - t in one float subtraction, as kvxconv4 stores the second coordinate.
float Flip(float t) {
    volatile float one = 1.0f;
    return one - t;
}

bool SameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// The stored v, read back through `text` as kvxconv4 reads it.
bool FlipsTo(const std::string& text, float v) {
    float t = 0.0f;
    return ReadBack(text, &t) && SameBits(Flip(t), v);
}

// The floats t (as order keys, first to last) for which Flip(t) is v, a
// number; false when there are none. Flip falls as t rises, so two binary
// searches find them: the lowest key whose flip is at most v, and the
// highest whose flip is at least v.
bool FlipRange(float v, uint32_t* first, uint32_t* last) {
    uint32_t lo = OrderKey(-INFINITY), hi = OrderKey(INFINITY);
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (Flip(FromOrderKey(mid)) <= v) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    *first = lo;
    hi = OrderKey(INFINITY);
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo + 1) / 2;
        if (Flip(FromOrderKey(mid)) >= v) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    *last = lo;
    return SameBits(Flip(FromOrderKey(*first)), v);
}

// Whether some text gives the stored v (CmshFlippedText would succeed),
// without looking for the shortest.
bool Flippable(float v) {
    if (std::isnan(v)) return FlipsTo(ShortestText(v), v);
    uint32_t first = 0, last = 0;
    return FlipRange(v, &first, &last);
}

// An edge of a wireframe as a set: the smaller index first.
uint32_t EdgeKey(uint32_t a, uint32_t b) {
    return a < b ? a << 16 | b : b << 16 | a;
}

// The edges that kvxwire keeps from triangle `t`, given the edges it has
// kept before: (t0, t1), (t1, t2), (t2, t0), each unless kept already.
int NewEdges(const uint16_t t[3], const std::unordered_set<uint32_t>& kept, uint16_t out[3][2]) {
    int n = 0;
    const uint16_t pairs[3][2] = {{t[0], t[1]}, {t[1], t[2]}, {t[2], t[0]}};
    for (const auto& p : pairs) {
        const uint32_t key = EdgeKey(p[0], p[1]);
        bool again = kept.count(key) != 0;
        for (int k = 0; k < n && !again; ++k)
            again = EdgeKey(out[k][0], out[k][1]) == key;
        if (again) continue;
        out[n][0] = p[0];
        out[n][1] = p[1];
        ++n;
    }
    return n;
}

// Triangles whose edges, taken by kvxwire in order, are exactly `edges`
// (pairs). At each edge a triangle is sought that makes it and the next
// one or two edges and nothing else new: three edges that close a
// triangle, two that share a corner, or one edge whose other two sides are
// kept already (a corner seen with both ends, or a loop at either end).
// Any triangle that fits keeps a solution reachable when one exists, since
// a triangle that makes edges k to k + m - 1 also makes edges k + 1 to
// k + m - 1 once edge k is kept. False, with the edge in `bad`, when none
// fits.
bool PlanWire(const uint16_t* edges, uint32_t count, uint32_t vertexCount,
              std::vector<uint16_t>& triangles, uint32_t& bad, bool& repeated) {
    std::unordered_set<uint32_t> kept;
    std::vector<std::vector<uint16_t>> neighbours(vertexCount);
    auto keep = [&](uint16_t a, uint16_t b) {
        kept.insert(EdgeKey(a, b));
        neighbours[a].push_back(b);
        if (a != b) neighbours[b].push_back(a);
    };
    // Whether triangle t makes exactly edges k, k + 1, ... (m of them).
    auto makes = [&](const uint16_t t[3], uint32_t k, int& m) {
        uint16_t made[3][2];
        m = NewEdges(t, kept, made);
        if (m == 0 || k + static_cast<uint32_t>(m) > count) return false;
        for (uint32_t j = 0; j < static_cast<uint32_t>(m); ++j) {
            if (made[j][0] != edges[2 * (k + j)] || made[j][1] != edges[2 * (k + j) + 1])
                return false;
        }
        return true;
    };
    for (uint32_t k = 0; k < count;) {
        const uint16_t a = edges[2 * k], b = edges[2 * k + 1];
        if (kept.count(EdgeKey(a, b)) != 0) {
            bad = k;
            repeated = true;
            return false;
        }
        uint16_t candidates[4][3];
        int n = 0;
        if (k + 1 < count) {
            const uint16_t c = edges[2 * k + 2], d = edges[2 * k + 3];
            if (c == b) {
                candidates[n][0] = a, candidates[n][1] = b, candidates[n][2] = d, ++n;
                candidates[n][0] = d, candidates[n][1] = a, candidates[n][2] = b, ++n;
            }
            if (d == a) candidates[n][0] = a, candidates[n][1] = b, candidates[n][2] = c, ++n;
        }
        candidates[n][0] = a, candidates[n][1] = b, candidates[n][2] = a, ++n;
        const uint16_t* found = nullptr;
        int made = 0;
        for (int j = 0; j < n && !found; ++j) {
            if (makes(candidates[j], k, made)) found = candidates[j];
        }
        uint16_t single[3] = {a, b, b};
        if (!found && makes(single, k, made)) found = single;
        if (!found) {
            // A third corner joined to both ends already.
            const std::vector<uint16_t>& fewer =
                neighbours[a].size() <= neighbours[b].size() ? neighbours[a] : neighbours[b];
            for (uint16_t c : fewer) {
                single[2] = c;
                if (makes(single, k, made)) {
                    found = single;
                    break;
                }
            }
        }
        if (!found) {
            bad = k;
            repeated = false;
            return false;
        }
        triangles.insert(triangles.end(), found, found + 3);
        for (uint32_t j = 0; j < static_cast<uint32_t>(made); ++j) {
            keep(edges[2 * (k + j)], edges[2 * (k + j) + 1]);
        }
        k += static_cast<uint32_t>(made);
    }
    return true;
}

// The vertex records of a mesh, read through its layout.
struct Records {
    const kvx::Layout& layout;
    const unsigned char* bytes;

    const unsigned char* at(uint32_t i, int8_t offset) const {
        assert(offset != kvx::kAbsent);
        return bytes + size_t{i} * layout.recordSize + static_cast<size_t>(offset);
    }
    uint32_t color(uint32_t i) const {
        uint32_t c;
        std::memcpy(&c, at(i, layout.colorOffset), sizeof c);
        return c;
    }
    // Value k (0 to 2) of the field at `offset`.
    float value(uint32_t i, int8_t offset, int k) const {
        float v;
        std::memcpy(&v, at(i, offset) + 4 * k, sizeof v);
        return v;
    }
};

Records RecordsOf(const OKVX& m, const kvx::Layout& layout) {
    return {layout, static_cast<const unsigned char*>(kvx::VertexArrayOf(m, layout))};
}

// The index groups of the file; none for a point set.
uint32_t GroupCount(const OKVX& m, const kvx::Layout& layout) {
    return layout.primitive == kvx::Primitive::points ? 0 : m.faceCount;
}

// The name that follows the triangles, where the converter reads one.
size_t NameLength(const OKVX& m, const kvx::Layout& layout) {
    return layout.text.readsName ? strnlen(m.name, sizeof m.name) : 0;
}

// The values of vertex i that a text carries, checked to read back.
kvx::Failure CheckVertex(const Records& r, uint32_t i) {
    const kvx::Layout& layout = r.layout;
    const char* names[3] = {"x", "y", "z"};
    for (int k = 0; k < 3; ++k) {
        const float value = r.value(i, layout.positionOffset, k);
        if (!RoundTrips(value)) {
            char bits[16];
            std::snprintf(bits, sizeof bits, "%08X", std::bit_cast<uint32_t>(value));
            return kvx::BadInput("vertex " + std::to_string(i) + ": " + names[k] + " is a NaN (0x" +
                                 bits + ") that no text reads back to");
        }
    }
    if (layout.text.colorAt == kvx::kAbsent && r.color(i) != layout.text.fixedColor) {
        char hex[kMaxNumberText];
        return kvx::BadInput("vertex " + std::to_string(i) + ": a version-" +
                             std::to_string(layout.version) + " colour other than 0x" +
                             std::string(hex, FormatHex(hex, layout.text.fixedColor)) + ", which " +
                             layout.text.program + " never writes");
    }
    if (layout.text.uvAt != kvx::kAbsent) {
        if (!RoundTrips(r.value(i, layout.uvOffset, 0)))
            return kvx::BadInput("vertex " + std::to_string(i) +
                                 ": u is a NaN that no text reads back to");
        const float v = r.value(i, layout.uvOffset, 1);
        if (!Flippable(v)) {
            return kvx::BadInput("vertex " + std::to_string(i) + ": the stored v " +
                                 ShortestText(v) + " is 1 - t for no single-precision t");
        }
    }
    return {};
}

kvx::Failure NoMemory() {
    return {kvx::FailureKind::memory, "out of memory", ENOMEM};
}

// Whether the stored normals are those that the converter computes.
kvx::Failure CheckNormals(const OKVX& m, const Records& r) {
    const kvx::Layout& layout = r.layout;
    OKVX copy{};
    copy.version = m.version;
    copy.vertexCount = m.vertexCount;
    copy.faceCount = m.faceCount;
    const uint64_t bytes = uint64_t{m.vertexCount} * layout.recordSize;
    const uint64_t indices = uint64_t{m.faceCount} * layout.indexValuesPerGroup;
    void* records = KvxAllocate(m.vertexCount, layout.recordSize);
    kvx::SetVertexArray(copy, layout, records);
    copy.faces = KvxAllocateArray<uint16_t>(indices);
    struct Release {
        OKVX& m;
        ~Release() { KvxRelease(m); }
    } release{copy};
    if (records == nullptr) return kvx::MemoryFailure(bytes);
    if (copy.faces == nullptr) return kvx::MemoryFailure(indices * sizeof(uint16_t));
    std::memcpy(records, r.bytes, bytes);
    std::memcpy(copy.faces, m.faces, indices * sizeof(uint16_t));
    auto* base = static_cast<unsigned char*>(records);
    const auto normalAt = static_cast<size_t>(layout.normalOffset);
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        std::memset(base + size_t{i} * layout.recordSize + normalAt, 0, sizeof(CVector));
    }
    uint64_t failedBytes = 0;
    if (!kvx::ComputeSmoothNormals(copy, &failedBytes)) return kvx::MemoryFailure(failedBytes);
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        const size_t at = size_t{i} * layout.recordSize + normalAt;
        if (std::memcmp(base + at, r.bytes + at, sizeof(CVector)) != 0) {
            return kvx::BadInput("vertex " + std::to_string(i) +
                                 ": the stored normal is not the one computed from the "
                                 "positions, which " +
                                 layout.text.program + " would write");
        }
    }
    return {};
}

// The checks of PlanCmsh, which may throw std::bad_alloc.
kvx::Failure Plan(const OKVX& m, const kvx::Layout& layout, std::string_view file, CmshPlan* plan) {
    const std::string program = layout.text.program;
    if (file.substr(0, 3) != "KVX")
        return kvx::BadInput("the file does not start with \"KVX\", which the converters write");
    const size_t nameLength = NameLength(m, layout);
    const uint64_t expected =
        kKvxHeaderSize + uint64_t{m.vertexCount} * layout.recordSize +
        uint64_t{GroupCount(m, layout)} * layout.indexValuesPerGroup * sizeof(uint16_t) +
        nameLength;
    if (file.size() != expected) {
        if (layout.text.readsName && file.size() > expected &&
            std::memchr(file.data() + (expected - nameLength), 0,
                        file.size() - expected + nameLength) != nullptr) {
            return kvx::BadInput("the name holds a zero byte, which no text mesh holds");
        }
        return kvx::BadInput("the file has " + std::to_string(file.size() - expected) +
                             " bytes after its last block, which no converter writes");
    }
    for (size_t k = 0; k < nameLength; ++k) {
        if (IsSpace(m.name[k]))
            return kvx::BadInput("the name holds white space; a text mesh's name is one word");
    }
    if (layout.text.faceCountIsVertexCount) {
        uint32_t faceCount = 0;
        std::memcpy(&faceCount, file.data() + 7, sizeof faceCount);
        if (faceCount != m.vertexCount) {
            return kvx::BadInput("the face count " + std::to_string(faceCount) +
                                 " of a point set is not its vertex count " +
                                 std::to_string(m.vertexCount) + ", which " + program +
                                 " writes there");
        }
    }
    const Records records = RecordsOf(m, layout);
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        if (kvx::Failure f = CheckVertex(records, i)) return f;
    }
    if (layout.text.smoothNormals) {
        if (kvx::Failure f = CheckNormals(m, records)) return f;
    }
    plan->triangles.clear();
    if (layout.primitive == kvx::Primitive::lines) {
        uint32_t bad = 0;
        bool repeated = false;
        if (!PlanWire(m.faces, m.faceCount, m.vertexCount, plan->triangles, bad, repeated)) {
            const std::string edge = "edge " + std::to_string(bad) + " (" +
                                     std::to_string(m.faces[2 * size_t{bad}]) + ", " +
                                     std::to_string(m.faces[2 * size_t{bad} + 1]) + ")";
            return kvx::BadInput(
                repeated ? edge + " repeats an earlier edge; " + program + " writes each once"
                         : edge + " comes from no triangle in its place: " + program +
                               " cannot write these edges in this order");
        }
    }
    return {};
}

// Writes `text` at p after a space; returns the end.
char* SpaceText(char* p, const char* text, size_t length) {
    *p++ = ' ';
    std::memcpy(p, text, length);
    return p + length;
}

char* SpaceFloat(char* p, float v) {
    *p++ = ' ';
    return FormatShortest(p, v);
}

}  // namespace

const char* CmshColorText(uint8_t byte) {
    static const ColorTexts texts;
    return texts.text[byte].c_str();
}

bool CmshFlippedText(float v, std::string* text) {
    if (std::isnan(v)) {
        // 1 - NaN is that NaN: only the NaNs that "nan" and "-nan" read as
        // come back.
        *text = ShortestText(v);
        return FlipsTo(*text, v);
    }
    uint32_t first = 0, last = 0;
    if (!FlipRange(v, &first, &last)) return false;
    // The shortest text of a float in [first, last].
    const double low = FromOrderKey(first), high = FromOrderKey(last);
    if (low <= 0.0 && high >= 0.0 && FlipsTo("0", v)) {
        *text = std::string(1, '0');
        return true;
    }
    for (int digits = 1; digits <= 9; ++digits) {
        // The middle first: of two texts of as many digits, the one nearer
        // the middle is the one that was most likely written.
        for (double candidate : {low + (high - low) / 2, low, high}) {
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "%.*g", digits, candidate);
            float back = 0.0f;
            if (ReadBack(buffer, &back) && !std::isnan(back) && OrderKey(back) >= first &&
                OrderKey(back) <= last && FlipsTo(buffer, v)) {
                *text = buffer;
                return true;
            }
        }
    }
    *text = ShortestText(FromOrderKey(first));
    return FlipsTo(*text, v);
}

kvx::Failure PlanCmsh(const OKVX& m, std::string_view file, CmshPlan* plan) {
    const kvx::Layout* layout = kvx::LayoutOf(m.version);
    if (layout == nullptr || layout->text.program == nullptr) {
        return kvx::BadInput("version " + std::to_string(m.version) +
                             " has no text mesh: no converter writes it");
    }
    try {
        return Plan(m, *layout, file, plan);
    } catch (const std::bad_alloc&) {
        return NoMemory();
    }
}

bool WriteCmsh(const OKVX& m, const CmshPlan& plan, const char* path, KvxStatus* status) {
    const kvx::Layout* layout = kvx::LayoutOf(m.version);
    assert(layout != nullptr && layout->text.program != nullptr);
    const kvx::TextLayout& text = layout->text;
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    const size_t triangleCount = layout->primitive == kvx::Primitive::lines
                                     ? plan.triangles.size() / 3
                                     : size_t{GroupCount(m, *layout)};
    out.text(std::to_string(m.vertexCount) + " " + std::to_string(triangleCount) + "\n");
    const Records records = RecordsOf(m, *layout);
    std::string flipped;
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        char* p = out.reserve(256);
        char* start = p;
        // The values in the order of the entry: u and v, the colour, the
        // position, wherever the layout puts them.
        for (int k = 0; k < text.valuesPerVertex; ++k) {
            if (text.uvAt != kvx::kAbsent && k == text.uvAt) {
                p = SpaceFloat(p, records.value(i, layout->uvOffset, 0));
            } else if (text.uvAt != kvx::kAbsent && k == text.uvAt + 1) {
                CmshFlippedText(records.value(i, layout->uvOffset, 1), &flipped);
                p = SpaceText(p, flipped.data(), flipped.size());
            } else if (text.colorAt != kvx::kAbsent && k >= text.colorAt && k < text.colorAt + 4) {
                const int shift = 24 - 8 * (k - text.colorAt);
                const char* t = CmshColorText(static_cast<uint8_t>(records.color(i) >> shift));
                p = SpaceText(p, t, std::strlen(t));
            } else {
                assert(k >= text.positionAt && k < text.positionAt + 3);
                p = SpaceFloat(p, records.value(i, layout->positionOffset, k - text.positionAt));
            }
        }
        *p++ = '\n';
        // Lines start with their first value, not a space.
        std::memmove(start, start + 1, static_cast<size_t>(p - start - 1));
        out.commit(p - 1);
    }
    const uint16_t* indices =
        layout->primitive == kvx::Primitive::lines ? plan.triangles.data() : m.faces;
    for (size_t t = 0; t < triangleCount; ++t) {
        out.commit(TripleLine(out.reserve(kTripleLine), indices + 3 * t));
    }
    const size_t nameLength = NameLength(m, *layout);
    if (nameLength > 0) {
        out.text(std::string_view(m.name, nameLength));
        out.text("\n");
    }
    return out.finish();
}
