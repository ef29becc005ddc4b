#include "meshview/export.h"

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

// " " and the shortest text that reads back as v.
char* SpaceFloat(char* p, float v) {
    *p++ = ' ';
    return FormatShortest(p, v);
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
