#include "reader_support.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "meshtext/format_number.h"
#include "meshtext/tokens.h"

namespace kvx {

bool IsConsistent(const ImportedMesh& mesh) {
    if (mesh.positions.size() % 3 != 0 || mesh.triangles.size() % 3 != 0 ||
        mesh.lines.size() % 2 != 0) {
        return false;
    }
    const size_t n = mesh.vertexCount();
    if (mesh.hasColors ? mesh.colors.size() != n : !mesh.colors.empty()) return false;
    if (mesh.hasTexCoords ? mesh.texCoords.size() != 2 * n : !mesh.texCoords.empty()) return false;
    if (mesh.hasNormals ? mesh.normals.size() != 3 * n : !mesh.normals.empty()) return false;
    auto below = [n](uint32_t index) { return index < n; };
    return std::all_of(mesh.triangles.begin(), mesh.triangles.end(), below) &&
           std::all_of(mesh.lines.begin(), mesh.lines.end(), below);
}

}  // namespace kvx

namespace kvx::detail {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::string ExtensionOf(std::string_view path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

ImportResult BadInput(const std::string& path, size_t line, const std::string& what) {
    ImportResult r;
    r.error.kind = FailureKind::bad_input;
    std::string& m = r.error.message;
    m = path;
    if (line != 0) {
        m += ':';
        m += std::to_string(line);
    }
    m += ": ";
    m += what;
    return r;
}

ImportResult OutOfMemory(const std::string& path) {
    ImportResult r;
    r.error.kind = FailureKind::memory;
    r.error.message = path + ": out of memory";
    return r;
}

bool ParseInteger(const char* first, const char* last, int64_t& value) {
    const char* p = first;
    if (p < last && *p == '+') ++p;
    // from_chars takes a '-' but no '+'; a second sign is no number.
    if (p == last || *p == '+' || (p != first && *p == '-')) return false;
    auto [ptr, ec] = std::from_chars(p, last, value);
    return ec == std::errc() && ptr == last;
}

bool IsIntegerToken(const char* first, const char* last) {
    if (first < last && (*first == '+' || *first == '-')) ++first;
    if (first == last) return false;
    return std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; });
}

bool PackRgba(const float rgba[4], ColorOrder order, uint32_t& color, int& bad) {
    uint8_t bytes[4];
    for (int k = 0; k < 4; ++k) {
        // The product of a float and 255, and that plus 0.5, are exact in
        // double precision.
        const double product = static_cast<double>(rgba[k]) * 255.0;
        if (!(product > -1.0 && product < 256.0)) {
            bad = k;
            return false;
        }
        const double rounded = std::trunc(product + 0.5);
        bytes[k] = static_cast<uint8_t>(rounded < 0.0 ? 0.0 : rounded > 255.0 ? 255.0 : rounded);
    }
    color = EncodeColor({bytes[0], bytes[1], bytes[2], bytes[3]}, order);
    return true;
}

const char* ChannelName(int channel) {
    static const char* const kNames[4] = {"red", "green", "blue", "alpha"};
    return kNames[channel & 3];
}

std::string FloatText(float v) {
    return ShortestText(v);
}

size_t ByteOrderMarkSize(const char* data, size_t size) {
    return size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
}

size_t ZeroByteAt(const char* data, size_t from, size_t size) {
    if (from >= size) return SIZE_MAX;
    const void* zero = std::memchr(data + from, 0, size - from);
    return zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : SIZE_MAX;
}

ImportResult ZeroByteInText(const std::string& path, const char* format, size_t at) {
    return BadInput(path, 0,
                    std::string("not ") + (format[0] == 'O' ? "an " : "a ") + format +
                        " file (a zero byte at offset " + std::to_string(at) + "; " + format +
                        " is text)");
}

std::string DroppedFacesWarning(const std::string& path, uint64_t faces) {
    return path + ": " + std::to_string(faces) + (faces == 1 ? " face" : " faces") +
           " of fewer than 3 corners dropped";
}

std::string FannedPolygonsWarning(const std::string& path, uint64_t polygons) {
    return path + ": " + std::to_string(polygons) +
           (polygons == 1 ? " polygon could not be split into triangles inside it; it was fanned "
                            "from its first corner"
                          : " polygons could not be split into triangles inside them; they were "
                            "fanned from their first corner");
}

ImportResult Finished(const std::string& path, ImportedMesh& mesh, uint64_t dropped,
                      uint64_t fanned) {
    if (fanned != 0) mesh.warnings.push_back(FannedPolygonsWarning(path, fanned));
    if (dropped != 0) mesh.warnings.push_back(DroppedFacesWarning(path, dropped));
    ImportResult result;
    result.mesh = std::move(mesh);
    return result;
}

bool CheckObjStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool /*whole*/, uint64_t& /*most*/, ImportResult& error) {
    const size_t zero = ZeroByteAt(data, checked, size);
    if (zero == SIZE_MAX) return true;
    error = ZeroByteInText(path, "OBJ", zero);
    return false;
}

}  // namespace kvx::detail
