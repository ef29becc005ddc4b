#include "meshview/export.h"

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>

#include "meshcore/output_file.h"
#include "meshtext/block_writer.h"
#include "meshtext/format_number.h"

namespace {

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

// " " and v to nine significant digits.
char* SpaceFloat(char* p, float v) {
    *p++ = ' ';
    return FormatSignificant9(p, v);
}

// A colour byte as a value from 0 to 1: the float nearest byte / 255, whose
// nine digits times 255 round to the byte again.
float ByteFraction(uint8_t byte) {
    return static_cast<float>(byte / 255.0);
}

char* SpaceIndex(char* p, uint32_t index) {
    *p++ = ' ';
    return FormatUnsigned(p, index);
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
    } else if (extension == ".glb") {
        *format = ExportFormat::glb;
    } else if (extension == ".gltf") {
        *format = ExportFormat::gltf;
    } else if (extension == ".stl") {
        *format = ExportFormat::stl;
    } else if (extension == ".off") {
        *format = ExportFormat::off;
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
            out.value(st.s);
            out.value(st.t);
        }
    }
    const uint32_t size = view.groupSize();
    for (uint32_t g = 0; g < view.groupCount; ++g) {
        if (view.primitive == Primitive::triangles) out.value(uint8_t{3});
        // 16-bit indices: the same bytes as uint32 or int32.
        for (uint32_t k = 0; k < size; ++k)
            out.value(uint32_t{view.indices[size_t{g} * size + k]});
    }
    return out.finish();
}

bool WriteObj(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status) {
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
        Rgba c = DecodeColor(ViewColor(view, i), order);
        vector("v", {p.x, p.y, p.z, ByteFraction(c.r), ByteFraction(c.g), ByteFraction(c.b)});
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
                p = FormatUnsigned(p, number);
                *p++ = '/';
                p = FormatUnsigned(p, number);
            } else if (view.hasNormals) {
                *p++ = '/';
                *p++ = '/';
                p = FormatUnsigned(p, number);
            }
        }
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}

bool WriteStl(const MeshView& view, const char* path, KvxStatus* status) {
    assert(view.primitive == Primitive::triangles);
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    char header[80] = "binary STL written by kvxexport";
    out.put(header, sizeof header);
    out.value(view.groupCount);
    for (uint32_t g = 0; g < view.groupCount; ++g) {
        const uint16_t* t = view.indices + size_t{g} * 3;
        CVector a = ViewPosition(view, t[0]), b = ViewPosition(view, t[1]),
                c = ViewPosition(view, t[2]);
        const double ux = double{b.x} - a.x, uy = double{b.y} - a.y, uz = double{b.z} - a.z;
        const double vx = double{c.x} - a.x, vy = double{c.y} - a.y, vz = double{c.z} - a.z;
        const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
        const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
        CVector normal{0.0f, 0.0f, 0.0f};
        if (length > 0 && std::isfinite(length)) {
            normal = {static_cast<float>(nx / length), static_cast<float>(ny / length),
                      static_cast<float>(nz / length)};
        }
        for (const CVector& v : {normal, a, b, c})
            out.put(&v, sizeof v);
        out.value(uint16_t{0});
    }
    return out.finish();
}

bool WriteOff(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status) {
    OutputFile file;
    if (!file.open(path, status)) return false;
    BlockWriter out(file, status);
    out.text("COFF\n" + std::to_string(view.vertexCount) + " " + std::to_string(view.groupCount) +
             " 0\n");
    for (uint32_t i = 0; i < view.vertexCount; ++i) {
        CVector position = ViewPosition(view, i);
        Rgba c = DecodeColor(ViewColor(view, i), order);
        char* p = out.reserve(128);
        p = FormatSignificant9(p, position.x);
        p = SpaceFloat(p, position.y);
        p = SpaceFloat(p, position.z);
        for (uint8_t byte : {c.r, c.g, c.b, c.a})
            p = SpaceIndex(p, byte);
        *p++ = '\n';
        out.commit(p);
    }
    const uint32_t size = view.groupSize();
    for (uint32_t g = 0; g < view.groupCount; ++g) {
        char* p = out.reserve(64);
        p = FormatUnsigned(p, size);
        for (uint32_t k = 0; k < size; ++k)
            p = SpaceIndex(p, view.indices[size_t{g} * size + k]);
        *p++ = '\n';
        out.commit(p);
    }
    return out.finish();
}
