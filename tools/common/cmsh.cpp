#include "cmsh.h"

#include <algorithm>
#include <thread>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

    // Most values are short decimals such as 0.707107. When the digits form
    // an integer below 2^24 and at most ten of them follow the point, the
    // integer and the power of ten are exact floats, and one division
    // rounds the quotient correctly, as strtof would.
    if (format == std::chars_format::general) {
        static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
        const char* q = p;
        uint32_t digits = 0;
        int fractionDigits = -1;  // -1 until the point
        bool any = false;
        for (; q < end; ++q) {
            if (*q == '.' && fractionDigits < 0) {
                fractionDigits = 0;
                continue;
            }
            auto d = static_cast<unsigned char>(*q - '0');
            if (d > 9 || digits > (1u << 24) / 10) break;
            digits = digits * 10 + d;
            any = true;
            if (fractionDigits >= 0) ++fractionDigits;
        }
        if (q == end && any && digits <= (1u << 24) && fractionDigits <= 10) {
            float v = static_cast<float>(digits);
            if (fractionDigits > 0) v /= kPowersOfTen[fractionDigits];
            value = negative ? -v : v;
            return {end, ParseErrc::ok};
        }
    }

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

TextFile::~TextFile() { close(); }

void TextFile::close() {
    if (mapped_) {
        ::munmap(data_, size_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
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

namespace {

// How a run of triangle entries ended.
struct TriangleRun {
    const char* pos;           // after the last entry read, or at the bad token
    uint32_t done = 0;         // entries stored
    ParseErrc ec = ParseErrc::ok;
    bool outOfRange = false;   // a whole number, but not below the limit
    uint32_t badValue = 0;
};

// Reads entries [first, first + count) from p, stopping early before an
// entry whose first token starts at or after `stopAt` (when given). Indices
// at or above `limit` stop the run when Checked.
template <bool Checked>
TriangleRun ReadTriangleRun(const char* p, const char* end, const char* stopAt, uint32_t first,
                            uint32_t count, uint64_t limit, uint16_t* indices) {
    TriangleRun run;
    uint16_t* out = indices + 3 * size_t{first};
    for (uint32_t j = 0; j < count; ++j) {
        if (stopAt != nullptr) {
            while (p < end && IsSpace(*p)) ++p;
            if (p >= stopAt) break;
        }
        for (int k = 0; k < 3; ++k) {
            uint32_t v = 0;
            ParseResult r = ParseUnsigned(p, end, v);
            if (r.ec != ParseErrc::ok || (Checked && v >= limit)) {
                while (p < end && IsSpace(*p)) ++p;
                run.pos = p;
                run.ec = r.ec;
                run.outOfRange = r.ec == ParseErrc::ok;
                run.badValue = v;
                return run;
            }
            p = r.ptr;
            // 16-bit indices: only the low 16 bits of each number are kept.
            *out++ = static_cast<uint16_t>(v);
        }
        run.done = j + 1;
    }
    run.pos = p;
    return run;
}

// Number of tokens (runs of characters other than white space) that start in
// [p, end), where p starts the text or follows white space.
size_t CountTokens(const char* p, const char* end) {
    size_t tokens = 0;
    bool inToken = false;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), below = _mm_set1_epi8(8), above = _mm_set1_epi8(14);
    uint32_t previousSpace = 1;  // the byte before p counts as white space
    for (; end - p >= 16; p += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i isSpace = _mm_or_si128(
            _mm_cmpeq_epi8(bytes, space),
            _mm_and_si128(_mm_cmpgt_epi8(bytes, below), _mm_cmplt_epi8(bytes, above)));
        auto spaces = static_cast<uint32_t>(_mm_movemask_epi8(isSpace));
        // A token starts at a byte that is no space and follows one.
        uint32_t starts = ~spaces & ((spaces << 1) | previousSpace) & 0xFFFF;
        tokens += static_cast<size_t>(__builtin_popcount(starts));
        previousSpace = spaces >> 15;
    }
    inToken = previousSpace == 0;
#endif
    for (; p < end; ++p) {
        bool isSpace = IsSpace(*p);
        if (!isSpace && !inToken) ++tokens;
        inToken = !isSpace;
    }
    return tokens;
}

// Skips n tokens; returns null when the text ends first.
const char* SkipTokens(const char* p, const char* end, size_t n) {
    for (; n > 0; --n) {
        while (p < end && IsSpace(*p)) ++p;
        if (p == end) return nullptr;
        p = TokenEnd(p, end);
    }
    return p;
}

// Below this many entries a second thread costs more than it saves.
constexpr uint32_t kParallelTriangles = 1u << 17;

}  // namespace

template <bool Checked>
bool CmshReader::readTriangleSection(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                                     uint32_t& done) {
    // An index names a vertex that was read, and fits in 16 bits.
    const uint64_t limit = !Checked ? uint64_t{1} << 32 : vertexCount < 65536 ? vertexCount : 65536;
    TriangleRun run;
    if (count < kParallelTriangles) {
        run = ReadTriangleRun<Checked>(pos_, end_, nullptr, 0, count, limit, indices);
    } else {
        // This thread reads the entries that start before a point a little
        // past the middle; a second one counts the tokens before that point,
        // to learn which entry follows it, and reads from there on. Tokens
        // end at white space, so the counting agrees with the reading, and
        // the first bad entry in file order is the one reported.
        const char* middle = pos_ + (end_ - pos_) / 20 * 11;
        while (middle < end_ && !IsSpace(*middle)) ++middle;
        TriangleRun second;
        size_t secondFirst = count;
        std::thread helper([&] {
            size_t before = CountTokens(pos_, middle);
            size_t entries = (before + 2) / 3;
            if (entries >= count) return;
            // Without the tokens the first run needs, that run fails by itself.
            const char* from = SkipTokens(middle, end_, 3 * entries - before);
            if (from == nullptr) return;
            secondFirst = entries;
            second = ReadTriangleRun<Checked>(from, end_, nullptr, static_cast<uint32_t>(entries),
                                              count - static_cast<uint32_t>(entries), limit,
                                              indices);
        });
        run = ReadTriangleRun<Checked>(pos_, end_, middle, 0, count, limit, indices);
        helper.join();
        bool firstOk = run.ec == ParseErrc::ok && !run.outOfRange;
        if (firstOk && run.done < count) {
            if (run.done == secondFirst) {
                second.done += run.done;
                run = second;
            } else {
                // Cannot happen while both threads see the same tokens; read
                // the rest here rather than trust a partial result.
                TriangleRun rest = ReadTriangleRun<Checked>(run.pos, end_, nullptr, run.done,
                                                            count - run.done, limit, indices);
                rest.done += run.done;
                run = rest;
            }
        }
    }
    done = run.done;
    pos_ = run.pos;
    switch (run.ec) {
        case ParseErrc::ok: break;
        case ParseErrc::end_of_input:
            return fail(end_, "expected 3 vertex indices, found end of file");
        case ParseErrc::out_of_range:
            return fail(pos_, "vertex index " + quoted(pos_) + " does not fit in 32 bits");
        case ParseErrc::invalid:
            return fail(pos_, "expected a vertex index, found " + quoted(pos_));
    }
    if (!run.outOfRange) return true;
    std::string what = "face " + std::to_string(done) + " names vertex " +
                       std::to_string(run.badValue);
    if (run.badValue < vertexCount)
        return fail(pos_, what + ", beyond the 16-bit index range (at most 65535)");
    return fail(pos_, what + " of " + std::to_string(vertexCount));
}

bool CmshReader::readTriangles(uint32_t count, uint16_t* indices, uint32_t& done) {
    return readTriangleSection<false>(count, 0, indices, done);
}

bool CmshReader::readCheckedTriangles(uint32_t count, uint32_t vertexCount, uint16_t* indices,
                                      uint32_t& done) {
    return readTriangleSection<true>(count, vertexCount, indices, done);
}

bool CmshReader::readName(char (&name)[256]) {
    while (pos_ < end_ && IsSpace(*pos_)) ++pos_;
    const char* end = TokenEnd(pos_, end_);
    auto length = static_cast<size_t>(end - pos_);
    if (length > 255) {
        return fail(pos_, "the name is " + std::to_string(length) +
                              " characters long; at most 255 fit");
    }
    // The name is a zero-terminated text: a zero byte inside the token
    // would end it early in memory while the file kept every other byte.
    if (std::memchr(pos_, 0, length) != nullptr) {
        return fail(pos_, "the name " + quoted(pos_) + " holds a zero byte");
    }
    std::memcpy(name, pos_, length);
    pos_ = end;
    return true;
}
