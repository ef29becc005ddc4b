#include "meshview/export.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>

#include "meshcore/output_file.h"

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
    return view.name != nullptr && view.name[0] != '\0';
}

std::string PlyHeader(const MeshView& view) {
    std::string h = "ply\nformat binary_little_endian 1.0\n";
    if (HasName(view)) h += "comment " + OneLineName(view.name) + "\n";
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
    if (path.size() < 4) return false;
    std::string extension(path.substr(path.size() - 4));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == ".ply") {
        *format = ExportFormat::ply;
    } else if (extension == ".obj") {
        *format = ExportFormat::obj;
    } else {
        return false;
    }
    return true;
}

std::string OneLineName(const char* name) {
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
    if (HasName(view)) out.text("o " + OneLineName(view.name) + "\n");
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
