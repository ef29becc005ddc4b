#include "meshview/gltf.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "meshcore/output_file.h"

namespace {

constexpr int kFloat = 5126, kUnsignedShort = 5123, kUnsignedInt = 5125;
constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;
constexpr int kPoints = 0, kLines = 1, kTriangles = 4;
constexpr double kUnitTolerance = 0.0005;

bool Refuse(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

// The float as the shortest double text that reads back to it: a JSON
// reader, which reads doubles, then holds the float's very value.
std::string Number(float v) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, static_cast<double>(v)).ptr);
}

// The bytes of `name` as a JSON string: UTF-8 sequences as they are,
// control characters escaped, any other byte as U+FFFD.
std::string JsonString(std::string_view name) {
    std::string out = "\"";
    auto byte = [&name](size_t i) { return static_cast<unsigned char>(name[i]); };
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = byte(i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        size_t length = 0;
        uint32_t lowest = 0, code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, lowest = 0x80, code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, lowest = 0x800, code = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, lowest = 0x10000, code = c & 0x07u;
        }
        bool good = length > 0 && i + length <= name.size();
        for (size_t k = 1; good && k < length; ++k) {
            good = (byte(i + k) & 0xC0) == 0x80;
            code = code << 6 | (byte(i + k) & 0x3Fu);
        }
        good = good && code >= lowest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (good) {
            out.append(name.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out + "\"";
}

// The bytes of a value (arrays too: they do not decay here) as memory holds
// them, little-endian.
template <typename T>
void Append(std::string& buffer, const T& value) {
    static_assert(std::is_trivially_copyable_v<T> && std::endian::native == std::endian::little);
    buffer.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void AppendU32(std::string& out, uint32_t v) {
    Append(out, v);
}

bool UnitLength(CVector n) {
    double length = std::sqrt(double{n.x} * n.x + double{n.y} * n.y + double{n.z} * n.z);
    return std::fabs(length - 1.0) <= kUnitTolerance;
}

std::string VectorText(CVector v) {
    return "(" + Number(v.x) + ", " + Number(v.y) + ", " + Number(v.z) + ")";
}

// One accessor over a buffer view of its own, and the view.
struct Section {
    size_t offset;
    size_t length;
    int target;
    int componentType;
    uint32_t count;
    const char* type;
    std::string extra;  // further members of the accessor: ,"min":...
};

}  // namespace

float LinearOfSrgb(uint8_t c) {
    const double s = c / 255.0;
    return static_cast<float>(s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4));
}

std::string UriOfFileName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            uri += ch;
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    return uri;
}

bool MakeGltf(const MeshView& view, ColorOrder order, std::string_view generator,
              std::string_view bufferUri, GltfParts* parts, std::string* error) {
    const uint32_t n = view.vertexCount;
    const uint32_t size = view.groupSize();
    if (n == 0) return Refuse(error, "the mesh has no vertices, which glTF cannot hold");
    if (view.primitive != Primitive::points && view.groupCount == 0) {
        return Refuse(error, std::string("the mesh has no ") +
                                 (view.primitive == Primitive::lines ? "edges" : "triangles") +
                                 ", which glTF cannot hold");
    }

    GltfParts out;
    std::string& buffer = out.buffer;
    std::vector<Section> sections;
    auto begin = [&buffer]() { return buffer.size(); };
    auto section = [&](size_t start, int target, int componentType, uint32_t count,
                       const char* type, std::string extra = {}) {
        sections.push_back(
            {start, buffer.size() - start, target, componentType, count, type, std::move(extra)});
    };
    std::string attributes;
    auto attribute = [&](const char* name) {
        if (!attributes.empty()) attributes += ",";
        attributes += "\"" + std::string(name) + "\":" + std::to_string(sections.size());
    };

    // POSITION, with its bounds.
    size_t start = begin();
    CVector low{}, high{};
    for (uint32_t i = 0; i < n; ++i) {
        CVector p = ViewPosition(view, i);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            return Refuse(error, "vertex " + std::to_string(i) +
                                     "'s position is not finite, which glTF cannot hold");
        if (i == 0) low = high = p;
        low = {std::fmin(low.x, p.x), std::fmin(low.y, p.y), std::fmin(low.z, p.z)};
        high = {std::fmax(high.x, p.x), std::fmax(high.y, p.y), std::fmax(high.z, p.z)};
        Append(buffer, p);
    }
    attribute("POSITION");
    section(start, kArrayBuffer, kFloat, n, "VEC3",
            ",\"min\":[" + Number(low.x) + "," + Number(low.y) + "," + Number(low.z) +
                "],\"max\":[" + Number(high.x) + "," + Number(high.y) + "," + Number(high.z) + "]");

    // NORMAL: only where every drawn vertex has a unit normal.
    if (view.hasNormals) {
        std::vector<bool> drawn(n, false);
        for (size_t k = 0; k < size_t{view.groupCount} * size; ++k)
            drawn[view.indices[k]] = true;
        uint32_t bad = n;
        for (uint32_t i = 0; i < n && bad == n; ++i) {
            if (drawn[i] && !UnitLength(ViewNormal(view, i))) bad = i;
        }
        if (bad < n) {
            out.warning = "normals left out: vertex " + std::to_string(bad) + "'s normal " +
                          VectorText(ViewNormal(view, bad)) + " is not of unit length";
        } else {
            start = begin();
            for (uint32_t i = 0; i < n; ++i) {
                CVector normal = ViewNormal(view, i);
                if (!UnitLength(normal)) normal = {0.0f, 0.0f, 1.0f};
                Append(buffer, normal);
            }
            attribute("NORMAL");
            section(start, kArrayBuffer, kFloat, n, "VEC3");
        }
    }

    // COLOR_0, linear.
    start = begin();
    for (uint32_t i = 0; i < n; ++i) {
        Rgba c = DecodeColor(ViewColor(view, i), order);
        float linear[4] = {LinearOfSrgb(c.r), LinearOfSrgb(c.g), LinearOfSrgb(c.b),
                           static_cast<float>(c.a / 255.0)};
        Append(buffer, linear);
    }
    attribute("COLOR_0");
    section(start, kArrayBuffer, kFloat, n, "VEC4");

    // TEXCOORD_0: the stored u and v.
    if (view.hasTexture) {
        start = begin();
        for (uint32_t i = 0; i < n; ++i) {
            float uv[2];
            std::memcpy(uv, view.records + size_t{i} * view.recordSize + view.textureOffset,
                        sizeof uv);
            if (!std::isfinite(uv[0]) || !std::isfinite(uv[1]))
                return Refuse(error, "vertex " + std::to_string(i) +
                                         "'s texture coordinates are not finite, which glTF "
                                         "cannot hold");
            Append(buffer, uv);
        }
        attribute("TEXCOORD_0");
        section(start, kArrayBuffer, kFloat, n, "VEC2");
    }

    // The indices, last: the only section whose length may not be a
    // multiple of 4.
    std::string indices;
    const size_t indexCount = size_t{view.groupCount} * size;
    if (indexCount > 0) {
        bool wide = false;
        for (size_t k = 0; k < indexCount && !wide; ++k)
            wide = view.indices[k] == 0xFFFF;
        start = begin();
        for (size_t k = 0; k < indexCount; ++k) {
            if (wide) {
                AppendU32(buffer, view.indices[k]);
            } else {
                Append(buffer, view.indices[k]);
            }
        }
        indices = ",\"indices\":" + std::to_string(sections.size());
        section(start, kElementArrayBuffer, wide ? kUnsignedInt : kUnsignedShort,
                static_cast<uint32_t>(indexCount), "SCALAR");
    }

    const int mode = view.primitive == Primitive::triangles ? kTriangles
                     : view.primitive == Primitive::lines   ? kLines
                                                            : kPoints;
    const std::string name =
        view.name != nullptr && view.nameLength > 0
            ? ",\"name\":" + JsonString(std::string_view(view.name, view.nameLength))
            : "";

    std::string& j = out.json;
    j = "{\"asset\":{\"version\":\"2.0\",\"generator\":" + JsonString(generator) + "}";
    j += ",\"scene\":0,\"scenes\":[{\"nodes\":[0]}]";
    j += ",\"nodes\":[{\"mesh\":0" + name + "}]";
    j += ",\"meshes\":[{\"primitives\":[{\"attributes\":{" + attributes + "}" + indices +
         ",\"mode\":" + std::to_string(mode) + "}]" + name + "}]";
    j += ",\"buffers\":[{";
    if (!bufferUri.empty()) j += "\"uri\":" + JsonString(bufferUri) + ",";
    j += "\"byteLength\":" + std::to_string(buffer.size()) + "}]";
    j += ",\"bufferViews\":[";
    for (size_t s = 0; s < sections.size(); ++s) {
        const Section& x = sections[s];
        if (s > 0) j += ",";
        j += "{\"buffer\":0,\"byteOffset\":" + std::to_string(x.offset) +
             ",\"byteLength\":" + std::to_string(x.length) +
             ",\"target\":" + std::to_string(x.target) + "}";
    }
    j += "],\"accessors\":[";
    for (size_t s = 0; s < sections.size(); ++s) {
        const Section& x = sections[s];
        if (s > 0) j += ",";
        j += "{\"bufferView\":" + std::to_string(s) +
             ",\"componentType\":" + std::to_string(x.componentType) +
             ",\"count\":" + std::to_string(x.count) + ",\"type\":\"" + x.type + "\"" + x.extra +
             "}";
    }
    j += "]}";
    *parts = std::move(out);
    return true;
}

std::string GlbBytes(const GltfParts& parts) {
    const size_t json = (parts.json.size() + 3) / 4 * 4;
    const size_t bin = (parts.buffer.size() + 3) / 4 * 4;
    std::string glb;
    glb.reserve(12 + 8 + json + 8 + bin);
    AppendU32(glb, 0x46546C67u);  // "glTF"
    AppendU32(glb, 2);
    AppendU32(glb, static_cast<uint32_t>(12 + 8 + json + 8 + bin));
    AppendU32(glb, static_cast<uint32_t>(json));
    AppendU32(glb, 0x4E4F534Au);  // "JSON"
    glb += parts.json;
    glb.append(json - parts.json.size(), ' ');
    AppendU32(glb, static_cast<uint32_t>(bin));
    AppendU32(glb, 0x004E4942u);  // "BIN\0"
    glb += parts.buffer;
    glb.append(bin - parts.buffer.size(), '\0');
    return glb;
}

bool WriteGlb(const GltfParts& parts, const char* path, KvxStatus* status) {
    const std::string bytes = GlbBytes(parts);
    OutputFile file;
    return file.open(path, status) && file.write(bytes.data(), bytes.size(), status) &&
           file.commit(status);
}
