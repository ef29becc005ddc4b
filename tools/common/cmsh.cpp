#include "cmsh.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char* TokenEnd(const char* first, const char* last) {
    while (first < last && !IsSpace(*first)) ++first;
    return first;
}

ParseResult ParseUnsignedSlow(const char* first, const char* last, uint32_t& value) {
    const char* p = first;
    while (p < last && IsSpace(*p)) ++p;
    if (p == last) return {last, ParseErrc::end_of_input};
    const char* start = p;
    if (*p == '+') ++p;
    const char* digits = p;
    uint64_t v = 0;
    bool overflow = false;
    while (p < last && static_cast<unsigned char>(*p - '0') < 10) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > UINT32_MAX) {
            overflow = true;
            v = 0;
        }
        ++p;
    }
    if (p == digits || (p < last && !IsSpace(*p))) return {start, ParseErrc::invalid};
    if (overflow) return {start, ParseErrc::out_of_range};
    value = static_cast<uint32_t>(v);
    return {p, ParseErrc::ok};
}

ParseResult ParseFloat(const char* first, const char* last, float& value) {
    const char* p = first;
    while (p < last && IsSpace(*p)) ++p;
    if (p == last) return {last, ParseErrc::end_of_input};
    const char* start = p;
    const char* end = TokenEnd(p, last);

    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // from_chars takes no '+' and would take a second sign; scanf takes neither.
    if (p == end || *p == '+' || *p == '-') return {start, ParseErrc::invalid};
    std::chars_format format = std::chars_format::general;
    if (end - p >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x') {
        format = std::chars_format::hex;
        p += 2;
        // Hexadecimal digits or a point must follow ("0xinf" is no number).
        if (p == end || !(std::isxdigit(static_cast<unsigned char>(*p)) || *p == '.'))
            return {start, ParseErrc::invalid};
    }
    // scanf stops before the parenthesis of "nan(...)".
    if (end[-1] == ')') return {start, ParseErrc::invalid};

    float v = 0;
    auto [ptr, ec] = std::from_chars(p, end, v, format);
    if (ptr != end) return {start, ParseErrc::invalid};
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: strtof gives the infinity or the correctly
        // rounded tiny value that scanf would.
        std::string token(start, end);
        value = std::strtof(token.c_str(), nullptr);
        return {end, ParseErrc::ok};
    }
    if (ec != std::errc()) return {start, ParseErrc::invalid};
    value = negative ? -v : v;
    return {end, ParseErrc::ok};
}

bool PackColor(const float values[4], uint32_t& color, int& badIndex) {
    uint32_t packed = 0;
    for (int k = 0; k < 4; ++k) {
        // The product of a float and 255 is exact in double precision.
        double product = static_cast<double>(values[k]) * 255.0;
        if (!(product > -2147483649.0 && product < 2147483648.0)) {
            badIndex = k;
            return false;
        }
        auto part = static_cast<uint32_t>(static_cast<int32_t>(product));
        packed |= part << (24 - 8 * k);
    }
    color = packed;
    return true;
}

TextFile::~TextFile() {
    if (mapped_) {
        ::munmap(data_, size_);
    } else {
        std::free(data_);
    }
}

bool TextFile::open(const char* path, int& error) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = EISDIR;
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                         MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p != MAP_FAILED) {
            ::close(fd);
            data_ = static_cast<char*>(p);
            size_ = static_cast<size_t>(st.st_size);
            mapped_ = true;
            return true;
        }
    }
    // Pipes, devices, empty files and files that cannot be mapped are read.
    size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1
                                                             : 65536;
    for (;;) {
        if (size_ == capacity || data_ == nullptr) {
            if (data_ != nullptr) capacity *= 2;
            char* grown = static_cast<char*>(std::realloc(data_, capacity));
            if (grown == nullptr) {
                error = ENOMEM;
                ::close(fd);
                return false;
            }
            data_ = grown;
        }
        ssize_t n = ::read(fd, data_ + size_, capacity - size_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        size_ += static_cast<size_t>(n);
    }
    ::close(fd);
    return true;
}

size_t CmshReader::lineOf(const char* at) const {
    // At the end of the file, name the line of the last thing written.
    if (at == end_) {
        while (at > begin_ && IsSpace(at[-1])) --at;
    }
    return 1 + static_cast<size_t>(std::count(begin_, at, '\n'));
}

std::string CmshReader::quoted(const char* token) const {
    const char* end = TokenEnd(token, end_);
    constexpr size_t kShown = 40;
    std::string text = "\"";
    for (const char* p = token; p < end && p < token + kShown; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
    }
    if (end - token > static_cast<ptrdiff_t>(kShown)) text += "...";
    return text + "\"";
}

bool CmshReader::fail(const char* at, const std::string& what) {
    error_ = std::string(path_) + ":" + std::to_string(lineOf(at)) + ": " + what;
    return false;
}

bool CmshReader::readCounts(const CmshLayout& layout, uint32_t& vertexCount,
                            uint32_t& faceCount) {
    static const char* const kWhat[2] = {"the vertex count", "the face count"};
    uint32_t counts[2];
    for (int k = 0; k < 2; ++k) {
        ParseResult r = ParseUnsigned(pos_, end_, counts[k]);
        switch (r.ec) {
            case ParseErrc::ok: break;
            case ParseErrc::end_of_input:
                return fail(end_, std::string("expected ") + kWhat[k] + ", found end of file");
            case ParseErrc::invalid:
                return fail(r.ptr, std::string("expected ") + kWhat[k] + ", found " + quoted(r.ptr));
            case ParseErrc::out_of_range:
                return fail(r.ptr, std::string(kWhat[k]) + " " + quoted(r.ptr) +
                                       " does not fit in 32 bits");
        }
        pos_ = r.ptr;
    }
    vertexCount = counts[0];
    faceCount = counts[1];

    // Array sizes are 32-bit byte counts.
    if (uint64_t{vertexCount} * layout.vertexBytes > UINT32_MAX) {
        return fail(pos_, "the vertex count " + std::to_string(vertexCount) +
                              " is too large (at most " +
                              std::to_string(UINT32_MAX / layout.vertexBytes) + ")");
    }
    if (layout.readsTriangles && uint64_t{faceCount} * layout.triangleBytes > UINT32_MAX) {
        return fail(pos_, "the face count " + std::to_string(faceCount) +
                              " is too large (at most " +
                              std::to_string(UINT32_MAX / layout.triangleBytes) + ")");
    }
    // Every value needs at least one character and one separator before it,
    // so a file too short for its counts fails here, before any allocation.
    uint64_t values = uint64_t{vertexCount} * layout.valuesPerVertex +
                      (layout.readsTriangles ? uint64_t{faceCount} * 3 : 0);
    auto remaining = static_cast<uint64_t>(end_ - pos_);
    if (values * 2 > remaining) {
        std::string what = "the counts promise " + std::to_string(vertexCount) + " vertices";
        if (layout.readsTriangles) what += " and " + std::to_string(faceCount) + " faces";
        return fail(pos_, what + ", at least " + std::to_string(values * 2) +
                              " bytes of text, but only " + std::to_string(remaining) +
                              " follow");
    }
    return true;
}

bool CmshReader::vertexError(ParseResult r, uint32_t n) {
    if (r.ec == ParseErrc::end_of_input)
        return fail(end_, "expected " + std::to_string(n) + " vertex values, found end of file");
    return fail(r.ptr, "expected a number, found " + quoted(r.ptr));
}

bool CmshReader::triangleError(ParseResult r) {
    switch (r.ec) {
        case ParseErrc::end_of_input:
            return fail(end_, "expected 3 vertex indices, found end of file");
        case ParseErrc::out_of_range:
            return fail(r.ptr, "vertex index " + quoted(r.ptr) + " does not fit in 32 bits");
        default: return fail(r.ptr, "expected a vertex index, found " + quoted(r.ptr));
    }
}

bool CmshReader::packColor(const float colorValues[4], uint32_t& color) {
    int bad = 0;
    if (PackColor(colorValues, color, bad)) return true;
    float v = colorValues[bad];
    if (std::isnan(v)) return fail(entry_, "colour value nan is not a number");
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return fail(entry_, "colour value " + std::string(text, end) +
                            " times 255 is outside the 32-bit range");
}

bool CmshReader::readCheckedTriangle(uint32_t face, uint32_t vertexCount, uint32_t indices[3]) {
    for (int k = 0; k < 3; ++k) {
        while (pos_ < end_ && IsSpace(*pos_)) ++pos_;
        const char* token = pos_;
        ParseResult r = ParseUnsigned(pos_, end_, indices[k]);
        if (r.ec != ParseErrc::ok) return triangleError(r);
        pos_ = r.ptr;
        if (indices[k] >= vertexCount) {
            return fail(token, "face " + std::to_string(face) + " names vertex " +
                                   std::to_string(indices[k]) + " of " +
                                   std::to_string(vertexCount));
        }
        if (indices[k] > 0xFFFF) {
            return fail(token, "face " + std::to_string(face) + " names vertex " +
                                   std::to_string(indices[k]) +
                                   ", beyond the 16-bit index range (at most 65535)");
        }
    }
    return true;
}

bool CmshReader::readName(char (&name)[256]) {
    while (pos_ < end_ && IsSpace(*pos_)) ++pos_;
    const char* end = TokenEnd(pos_, end_);
    auto length = static_cast<size_t>(end - pos_);
    if (length > 255) {
        return fail(pos_, "the name is " + std::to_string(length) +
                              " characters long; at most 255 fit");
    }
    std::memcpy(name, pos_, length);
    pos_ = end;
    return true;
}
