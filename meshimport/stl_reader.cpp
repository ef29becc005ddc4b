#include "meshimport/stl_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"
#include "reader_support.h"

namespace kvx {

namespace {

using detail::BadInput;

constexpr uint64_t kHeaderBytes = 84;
constexpr uint64_t kTriangleBytes = 50;
// Three corners per triangle, and vertex numbers must stay below 2^32.
constexpr uint64_t kMostTriangles = UINT32_MAX / 3;
// The bytes that tell ASCII from binary.
constexpr size_t kAsciiProbe = 1024;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        char c = a[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[k]) return false;
    }
    return true;
}

ImportResult ReadBinary(const std::string& path, const char* data, size_t size) {
    if (size < kHeaderBytes) {
        return BadInput(
            path, 0,
            "a binary STL file takes at least 84 bytes, this one has " + std::to_string(size));
    }
    uint32_t announced;
    std::memcpy(&announced, data + 80, sizeof announced);
    const uint64_t held = (size - kHeaderBytes) / kTriangleBytes;
    if (announced > held) {
        return BadInput(path, 0,
                        "the header announces " + std::to_string(announced) + " triangles (" +
                            std::to_string(kHeaderBytes + kTriangleBytes * announced) +
                            " bytes), but the file has " + std::to_string(size) + " bytes");
    }
    ImportResult result;
    ImportedMesh& mesh = result.mesh;
    uint64_t count = announced;
    if (held > announced) {
        count = held;
        mesh.warnings.push_back(path + ": the header announces " + std::to_string(announced) +
                                " triangles, the file holds " + std::to_string(held) + "; all " +
                                std::to_string(held) + " are read");
    }
    if (count > kMostTriangles) {
        return BadInput(path, 0,
                        std::to_string(count) + " triangles are too many (at most " +
                            std::to_string(kMostTriangles) + ")");
    }
    mesh.positions.resize(count * 9);
    mesh.triangles.resize(count * 3);
    for (uint64_t t = 0; t < count; ++t) {
        // The corners follow the normal, 12 bytes into the record.
        std::memcpy(&mesh.positions[9 * t], data + kHeaderBytes + kTriangleBytes * t + 12, 36);
        for (uint64_t k = 0; k < 3; ++k)
            mesh.triangles[3 * t + k] = static_cast<uint32_t>(3 * t + k);
    }
    return result;
}

class AsciiReader {
public:
    AsciiReader(const std::string& path, const char* data, size_t size)
        : path_(path), begin_(data), pos_(data), end_(data + size) {}

    ImportResult read();

private:
    ImportResult fail(const char* at, const std::string& what) const {
        return BadInput(path_, LineOf(begin_, at, end_), what);
    }
    // The next token; empty at the end.
    std::string_view next() {
        pos_ = SkipSpace(pos_, end_);
        const char* first = pos_;
        pos_ = TokenEnd(pos_, end_);
        return {first, static_cast<size_t>(pos_ - first)};
    }
    bool expect(std::string_view keyword, ImportResult& error);
    bool numbers(float* values, int n, const char* what, ImportResult& error);
    // The rest of the current line, without surrounding white space.
    std::string restOfLine();

    const std::string& path_;
    const char* begin_;
    const char* pos_;
    const char* end_;
};

bool AsciiReader::expect(std::string_view keyword, ImportResult& error) {
    const char* at = SkipSpace(pos_, end_);
    std::string_view token = next();
    if (EqualsIgnoringCase(token, keyword)) return true;
    error = fail(
        at, "expected \"" + std::string(keyword) + "\", found " +
                (token.empty() ? std::string("end of file") : Quote(token.begin(), token.end())));
    return false;
}

bool AsciiReader::numbers(float* values, int n, const char* what, ImportResult& error) {
    for (int k = 0; k < n; ++k) {
        ParseResult r = ParseFloat(pos_, end_, values[k]);
        if (NoToken(r, end_)) {
            error = fail(end_,
                         std::string("expected 3 numbers of the ") + what + ", found end of file");
            return false;
        }
        if (r.ec != std::errc()) {
            error = fail(r.ptr, std::string("expected a number of the ") + what + ", found " +
                                    QuoteToken(r.ptr, end_));
            return false;
        }
        pos_ = r.ptr;
    }
    return true;
}

std::string AsciiReader::restOfLine() {
    const char* lineEnd =
        static_cast<const char*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
    if (!lineEnd) lineEnd = end_;
    const char* first = pos_;
    while (first < lineEnd && IsSpace(*first))
        ++first;
    const char* last = lineEnd;
    while (last > first && IsSpace(last[-1]))
        --last;
    pos_ = lineEnd;
    return std::string(first, last);
}

ImportResult AsciiReader::read() {
    ImportResult result;
    ImportResult error;
    ImportedMesh& mesh = result.mesh;
    bool first = true;
    for (;;) {
        if (!first && SkipSpace(pos_, end_) == end_) break;
        if (!expect("solid", error)) return error;
        std::string name = restOfLine();
        if (first) mesh.name = std::move(name);
        first = false;
        for (;;) {
            const char* at = SkipSpace(pos_, end_);
            std::string_view token = next();
            if (EqualsIgnoringCase(token, "endsolid")) {
                restOfLine();
                break;
            }
            if (!EqualsIgnoringCase(token, "facet")) {
                error = fail(at, "expected \"facet\" or \"endsolid\", found " +
                                     (token.empty() ? std::string("end of file")
                                                    : Quote(token.begin(), token.end())));
                return error;
            }
            float values[3];
            if (!expect("normal", error) || !numbers(values, 3, "normal", error) ||
                !expect("outer", error) || !expect("loop", error)) {
                return error;
            }
            for (int k = 0; k < 3; ++k) {
                if (!expect("vertex", error) || !numbers(values, 3, "vertex", error)) return error;
                if (mesh.positions.size() / 3 >= UINT32_MAX) {
                    return fail(at, "more than 4294967295 vertices");
                }
                mesh.triangles.push_back(static_cast<uint32_t>(mesh.positions.size() / 3));
                mesh.positions.insert(mesh.positions.end(), values, values + 3);
            }
            if (!expect("endloop", error) || !expect("endfacet", error)) return error;
        }
    }
    return result;
}

// Whether the bytes look like ASCII STL: "solid" first, and no zero byte
// in the first kProbe bytes (binary records nearly always hold one: zero
// coordinates, attribute bytes).
bool LooksAscii(const char* data, size_t size) {
    constexpr size_t kProbe = kAsciiProbe;
    const char* end = data + size;
    const char* p = SkipSpace(data, end);
    std::string_view word(p, static_cast<size_t>(TokenEnd(p, end) - p));
    return EqualsIgnoringCase(word, "solid") &&
           std::memchr(data, 0, size < kProbe ? size : kProbe) == nullptr;
}

}  // namespace

ImportResult ReadStl(const std::string& path, const char* data, size_t size,
                     const ReadOptions& /*options*/) {
    return detail::GuardMemory(path, [&] {
        bool binarySize = false;
        if (size >= kHeaderBytes) {
            uint32_t count;
            std::memcpy(&count, data + 80, sizeof count);
            binarySize = size == kHeaderBytes + kTriangleBytes * uint64_t{count};
        }
        // A byte-order mark may come before "solid"; in binary files it is
        // header bytes like any other.
        const size_t bom = detail::ByteOrderMarkSize(data, size);
        if (!binarySize && LooksAscii(data + bom, size - bom))
            return AsciiReader(path, data + bom, size - bom).read();
        return ReadBinary(path, data, size);
    });
}

namespace detail {

bool CheckStlStart(const std::string& /*path*/, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& /*error*/) {
    // Any 84 bytes can begin a binary file, so nothing is refused here: the
    // start only tells how far to read. Told once, from the first bytes the
    // text probe looks at.
    if (most != UINT64_MAX || whole || size < kAsciiProbe) return true;
    const size_t bom = ByteOrderMarkSize(data, size);
    // ASCII until a zero byte says that "solid" began a binary header.
    if (LooksAscii(data + bom, size - bom) &&
        ZeroByteAt(data, std::max(checked, kAsciiProbe), size) == SIZE_MAX)
        return true;
    uint32_t count;
    std::memcpy(&count, data + 80, sizeof count);
    most = kHeaderBytes + kTriangleBytes * uint64_t{count};
    return true;
}

}  // namespace detail

}  // namespace kvx
