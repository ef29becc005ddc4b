#include "meshview/export.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "meshcore/normals.h"
#include "meshcore/output_file.h"
#include "meshtext/parse_number.h"

namespace {

// Gathers output into blocks of 64 KiB for the file. After a failed write
// everything else is dropped and finish() reports it.
class BlockWriter {
public:
    BlockWriter(OutputFile& file, KvxStatus* status) : file_(file), status_(status) {}

    void put(const void* data, size_t n) {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            if (used_ == sizeof buffer_) drain();
            size_t part = std::min(n, sizeof buffer_ - used_);
            std::memcpy(buffer_ + used_, p, part);
            used_ += part;
            p += part;
            n -= part;
        }
    }
    void text(std::string_view s) { put(s.data(), s.size()); }

    // Room for n bytes (n at most 256); pass the end of what was written to
    // commit().
    char* reserve(size_t n) {
        if (sizeof buffer_ - used_ < n) drain();
        return buffer_ + used_;
    }
    void commit(char* end) { used_ = static_cast<size_t>(end - buffer_); }

    bool finish() {
        drain();
        return ok_ && file_.commit(status_);
    }

private:
    void drain() {
        if (ok_ && used_ > 0) ok_ = file_.write(buffer_, used_, status_);
        used_ = 0;
    }

    OutputFile& file_;
    KvxStatus* status_;
    bool ok_ = true;
    size_t used_ = 0;
    char buffer_[1 << 16];
};

// The bytes of `value` as memory holds them: little-endian, as the PLY
// header says.
template <typename T>
void PutValue(BlockWriter& out, T value) {
    static_assert(std::endian::native == std::endian::little);
    out.put(&value, sizeof value);
}

bool HasName(const MeshView& view) {
    return view.name != nullptr && view.nameLength > 0;
}

std::string ViewName(const MeshView& view) {
    return OneLineName(std::string_view(view.name, view.nameLength));
}

std::string PlyHeader(const MeshView& view) {
    std::string h = "ply\nformat binary_little_endian 1.0\n";
    if (HasName(view)) h += "comment " + ViewName(view) + "\n";
    h += "element vertex " + std::to_string(view.vertexCount) + "\n";
    h += "property float x\nproperty float y\nproperty float z\n";
    if (view.hasNormals) h += "property float nx\nproperty float ny\nproperty float nz\n";
    h += "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n";
    if (view.hasTexture) h += "property float s\nproperty float t\n";
    if (view.primitive == Primitive::triangles) {
        h += "element face " + std::to_string(view.groupCount) + "\n";
        h += "property list uchar uint vertex_indices\n";
    } else if (view.primitive == Primitive::lines) {
        h += "element edge " + std::to_string(view.groupCount) + "\n";
        // int, as the PLY format's own example has it: some readers (MeshLab)
        // stop at an edge of uint indices.
        h += "property int vertex1\nproperty int vertex2\n";
    }
    return h + "end_header\n";
}

// " " and the shortest text that reads back as v.
char* SpaceFloat(char* p, float v) {
    *p++ = ' ';
    return std::to_chars(p, p + 32, v).ptr;
}

char* SpaceIndex(char* p, uint32_t index) {
    *p++ = ' ';
    return std::to_chars(p, p + 16, index).ptr;
}

}  // namespace

bool ExportFormatOf(std::string_view path, ExportFormat* format) {
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return false;
    std::string extension(path.substr(dot));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == ".ply") {
        *format = ExportFormat::ply;
    } else if (extension == ".obj") {
        *format = ExportFormat::obj;
    } else if (extension == ".cmsh") {
        *format = ExportFormat::cmsh;
    } else {
        return false;
    }
    return true;
}

std::string OneLineName(std::string_view name) {
    std::string line(name);
    for (char& c : line) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return line;
}

bool WritePly(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status) {
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    out.text(PlyHeader(view));
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        CVector position = ViewPosition(view, i);
        out.put(&position, sizeof position);
        if (view.hasNormals) {
            CVector n = ViewNormal(view, i);
            out.put(&n, sizeof n);
        }
        Rgba c = DecodeColor(ViewColor(view, i), order);
        unsigned char channels[4] = {c.r, c.g, c.b, c.a};
        out.put(channels, sizeof channels);
        if (view.hasTexture) {
            TexCoord st = ViewTexCoord(view, i);
            PutValue(out, st.s);
            PutValue(out, st.t);
        }
    }
    const uint32_t size = view.groupSize();
    for (uint32_t g = 0; g < view.groupCount; ++g) {
        if (view.primitive == Primitive::triangles) PutValue(out, uint8_t{3});
        // 16-bit indices: the same bytes as uint32 or int32.
        for (uint32_t k = 0; k < size; ++k)
            PutValue(out, uint32_t{view.indices[size_t{g} * size + k]});
    }
    return out.finish();
}

bool WriteObj(const MeshView& view, const char* path, KvxStatus* status) {
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    if (HasName(view)) out.text("o " + ViewName(view) + "\n");
    auto vector = [&out](const char* keyword, std::initializer_list<float> values) {
        char* p = out.reserve(128);
        size_t length = std::strlen(keyword);
        std::memcpy(p, keyword, length);
        p += length;
        for (float v : values)
            p = SpaceFloat(p, v);
        *p++ = '\n';
        out.commit(p);
    };
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        CVector p = ViewPosition(view, i);
        vector("v", {p.x, p.y, p.z});
    }
    if (view.hasNormals) {
        for (uint32_t i = 0; i < view.vertexCount; ++i) {
            CVector n = ViewNormal(view, i);
            vector("vn", {n.x, n.y, n.z});
        }
    }
    if (view.hasTexture) {
        for (uint32_t i = 0; i < view.vertexCount; ++i) {
            TexCoord st = ViewTexCoord(view, i);
            vector("vt", {st.s, st.t});
        }
    }

    // Each corner names its position, texture coordinate and normal by the
    // same number, since the three lists run in vertex order.
    const uint32_t size = view.groupSize();
    for (uint32_t g = 0; g < view.groupCount; ++g) {
        char* p = out.reserve(128);
        *p++ = view.primitive == Primitive::triangles ? 'f' : 'l';
        for (uint32_t k = 0; k < size; ++k) {
            uint32_t number = uint32_t{view.indices[size_t{g} * size + k]} + 1;
            p = SpaceIndex(p, number);
            if (view.primitive != Primitive::triangles) continue;
            if (view.hasTexture) {
                *p++ = '/';
                p = std::to_chars(p, p + 16, number).ptr;
                *p++ = '/';
                p = std::to_chars(p, p + 16, number).ptr;
            } else if (view.hasNormals) {
                *p++ = '/';
                *p++ = '/';
                p = std::to_chars(p, p + 16, number).ptr;
            }
        }
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}

// ---- Text meshes (.cmsh) ----

namespace {

// The float a text reads back as, as the converters read it; false when it
// is no number.
bool ReadBack(const std::string& text, float* value) {
    return ParseFloat(text.data(), text.data() + text.size(), *value).ec == ParseErrc::ok;
}

std::string ShortestText(float v) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
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

// The values of vertex i that a text carries, checked to read back.
bool CheckVertex(const MeshView& view, uint32_t i, std::string* problem) {
    CVector p = ViewPosition(view, i);
    const float values[3] = {p.x, p.y, p.z};
    const char* names[3] = {"x", "y", "z"};
    for (int k = 0; k < 3; ++k) {
        if (!RoundTrips(values[k])) {
            char bits[16];
            std::snprintf(bits, sizeof bits, "%08X", std::bit_cast<uint32_t>(values[k]));
            *problem = "vertex " + std::to_string(i) + ": " + names[k] + " is a NaN (0x" + bits +
                       ") that no text reads back to";
            return false;
        }
    }
    if (view.version == 1 && ViewColor(view, i) != 0xFFFF0000u) {
        *problem = "vertex " + std::to_string(i) +
                   ": a version-1 colour other than 0xFFFF0000, which kvxconv1 never writes";
        return false;
    }
    if (view.hasTexture) {
        float uv[2];
        std::memcpy(uv, view.records + size_t{i} * view.recordSize + view.textureOffset, sizeof uv);
        if (!RoundTrips(uv[0])) {
            *problem = "vertex " + std::to_string(i) + ": u is a NaN that no text reads back to";
            return false;
        }
        if (!Flippable(uv[1])) {
            *problem = "vertex " + std::to_string(i) + ": the stored v " + ShortestText(uv[1]) +
                       " is 1 - t for no single-precision t";
            return false;
        }
    }
    return true;
}

// Whether the stored normals are those that kvxconv3 and kvxconv4 compute.
CmshCheck CheckNormals(const MeshView& view, std::string* problem) {
    OKVX copy{};
    copy.version = view.version;
    copy.vertexCount = view.vertexCount;
    copy.faceCount = view.groupCount;
    const uint64_t bytes = uint64_t{view.vertexCount} * view.recordSize;
    void* records = KvxAllocate(view.vertexCount, view.recordSize);
    copy.faces = KvxAllocateArray<uint16_t>(uint64_t{view.groupCount} * 3);
    (view.version == 3 ? reinterpret_cast<void*&>(copy.verticesV3)
                       : reinterpret_cast<void*&>(copy.verticesV4)) = records;
    struct Release {
        OKVX& m;
        ~Release() { KvxRelease(m); }
    } release{copy};
    if (records == nullptr || copy.faces == nullptr) return CmshCheck::no_memory;
    std::memcpy(records, view.records, bytes);
    std::memcpy(copy.faces, view.indices, uint64_t{view.groupCount} * 3 * sizeof(uint16_t));
    auto* base = static_cast<unsigned char*>(records);
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        std::memset(base + size_t{i} * view.recordSize + view.normalOffset, 0, sizeof(CVector));
    }
    if (!kvx::ComputeSmoothNormals(copy)) return CmshCheck::no_memory;
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        const size_t at = size_t{i} * view.recordSize + view.normalOffset;
        if (std::memcmp(base + at, view.records + at, sizeof(CVector)) != 0) {
            *problem = "vertex " + std::to_string(i) +
                       ": the stored normal is not the one computed from the positions, which "
                       "kvxconv" +
                       std::to_string(view.version) + " would write";
            return CmshCheck::refused;
        }
    }
    return CmshCheck::ok;
}

// White space as the text format sees it.
bool IsTextSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
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

CmshCheck PlanCmsh(const MeshView& view, std::string_view file, CmshPlan* plan,
                   std::string* problem) {
    try {
        if (file.substr(0, 3) != "KVX") {
            *problem = "the file does not start with \"KVX\", which the converters write";
            return CmshCheck::refused;
        }
        const size_t nameLength = view.name ? std::strlen(view.name) : 0;
        const uint64_t groups = view.primitive == Primitive::points ? 0 : view.groupCount;
        const uint64_t expected = kKvxHeaderSize + uint64_t{view.vertexCount} * view.recordSize +
                                  groups * view.groupSize() * sizeof(uint16_t) + nameLength;
        if (file.size() != expected) {
            if (view.version == 4 && file.size() > expected &&
                std::memchr(file.data() + (expected - nameLength), 0,
                            file.size() - expected + nameLength) != nullptr) {
                *problem = "the name holds a zero byte, which no text mesh holds";
            } else {
                *problem = "the file has " + std::to_string(file.size() - expected) +
                           " bytes after its last block, which no converter writes";
            }
            return CmshCheck::refused;
        }
        for (size_t k = 0; k < nameLength; ++k) {
            if (IsTextSpace(view.name[k])) {
                *problem = "the name holds white space; a text mesh's name is one word";
                return CmshCheck::refused;
            }
        }
        if (view.version == -1) {
            uint32_t faceCount = 0;
            std::memcpy(&faceCount, file.data() + 7, sizeof faceCount);
            if (faceCount != view.vertexCount) {
                *problem = "the face count " + std::to_string(faceCount) +
                           " of a point set is not its vertex count " +
                           std::to_string(view.vertexCount) + ", which kvxpoints writes there";
                return CmshCheck::refused;
            }
        }
        for (uint32_t i = 0; i < view.vertexCount; ++i) {
            if (!CheckVertex(view, i, problem)) return CmshCheck::refused;
        }
        if (view.hasNormals) {
            CmshCheck normals = CheckNormals(view, problem);
            if (normals != CmshCheck::ok) return normals;
        }
        plan->triangles.clear();
        if (view.primitive == Primitive::lines) {
            uint32_t bad = 0;
            bool repeated = false;
            if (!PlanWire(view.indices, view.groupCount, view.vertexCount, plan->triangles, bad,
                          repeated)) {
                const std::string edge = "edge " + std::to_string(bad) + " (" +
                                         std::to_string(view.indices[2 * size_t{bad}]) + ", " +
                                         std::to_string(view.indices[2 * size_t{bad} + 1]) + ")";
                *problem = repeated ? edge + " repeats an earlier edge; kvxwire writes each once"
                                    : edge +
                                          " comes from no triangle in its place: kvxwire "
                                          "cannot write these edges in this order";
                return CmshCheck::refused;
            }
        }
        return CmshCheck::ok;
    } catch (const std::bad_alloc&) {
        return CmshCheck::no_memory;
    }
}

bool WriteCmsh(const MeshView& view, const CmshPlan& plan, const char* path, KvxStatus* status) {
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    const bool triangles = view.primitive != Primitive::points;
    const size_t triangleCount = view.primitive == Primitive::lines ? plan.triangles.size() / 3
                                 : triangles                        ? size_t{view.groupCount}
                                                                    : 0;
    out.text(std::to_string(view.vertexCount) + " " + std::to_string(triangleCount) + "\n");
    std::string flipped;
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        char* p = out.reserve(256);
        char* start = p;
        if (view.hasTexture) {
            float uv[2];
            std::memcpy(uv, view.records + size_t{i} * view.recordSize + view.textureOffset,
                        sizeof uv);
            p = SpaceFloat(p, uv[0]);
            CmshFlippedText(uv[1], &flipped);
            *p++ = ' ';
            std::memcpy(p, flipped.data(), flipped.size());
            p += flipped.size();
        }
        if (view.version != 1) {
            const uint32_t color = ViewColor(view, i);
            for (int shift = 24; shift >= 0; shift -= 8) {
                const char* text = CmshColorText(static_cast<uint8_t>(color >> shift));
                *p++ = ' ';
                size_t length = std::strlen(text);
                std::memcpy(p, text, length);
                p += length;
            }
        }
        CVector position = ViewPosition(view, i);
        p = SpaceFloat(p, position.x);
        p = SpaceFloat(p, position.y);
        p = SpaceFloat(p, position.z);
        *p++ = '\n';
        // Lines start with their first value, not a space.
        std::memmove(start, start + 1, static_cast<size_t>(p - start - 1));
        out.commit(p - 1);
    }
    const uint16_t* indices =
        view.primitive == Primitive::lines ? plan.triangles.data() : view.indices;
    for (size_t t = 0; t < triangleCount; ++t) {
        char* p = out.reserve(64);
        for (int k = 0; k < 3; ++k) {
            p = std::to_chars(p, p + 8, uint32_t{indices[3 * t + static_cast<size_t>(k)]}).ptr;
            *p++ = k < 2 ? ' ' : '\n';
        }
        out.commit(p);
    }
    if (view.name != nullptr && view.name[0] != '\0') out.text(std::string(view.name) + "\n");
    return out.finish();
}
