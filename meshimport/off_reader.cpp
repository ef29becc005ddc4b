#include "meshimport/off_reader.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "meshtext/format_number.h"
#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"
#include "reader_support.h"
#include "text_scan.h"

namespace kvx {

namespace {

using detail::BadInput;

using detail::IsBlank;
using detail::Token;

// The text line by line: the tokens before any "#", blank lines skipped.
class Lines {
public:
    Lines(const char* begin, const char* end) : pos_(begin), end_(end) {}

    // The next line that holds a token; false at the end of the text.
    bool next(std::vector<Token>& tokens) {
        while (pos_ < end_) {
            tokens.clear();
            line_ = nextLine_;
            const char* lineEnd =
                static_cast<const char*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
            const char* after = lineEnd ? lineEnd + 1 : end_;
            if (!lineEnd) lineEnd = end_;
            for (const char* p = SkipSpace(pos_, lineEnd); p < lineEnd && *p != '#';
                 p = SkipSpace(p, lineEnd)) {
                const char* e = TokenEnd(p, lineEnd);
                const char* hash =
                    static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(e - p)));
                if (hash) e = hash;
                tokens.push_back({p, e});
                p = e;
            }
            pos_ = after;
            ++nextLine_;
            if (!tokens.empty()) return true;
        }
        line_ = nextLine_ > 1 ? nextLine_ - 1 : 1;
        return false;
    }

    size_t line() const { return line_; }
    const char* position() const { return pos_; }
    const char* end() const { return end_; }

    // Back to an earlier position (and its line).
    void rewind(const char* pos, size_t line) {
        pos_ = pos;
        nextLine_ = line;
    }
    size_t nextLineNumber() const { return nextLine_; }

    // Past the line at position() to `next`, the start of the next one,
    // read by a fast path.
    void skipLine(const char* next) {
        pos_ = next;
        ++nextLine_;
    }

private:
    const char* pos_;
    const char* end_;
    size_t line_ = 0;
    size_t nextLine_ = 1;
};

struct Header {
    bool texture = false;
    bool color = false;
    bool normal = false;
};

// "[ST][C][N]OFF"; false for anything else. `dimension` is set when the
// keyword has the 4 or n prefix.
bool ParseKeyword(std::string_view word, Header& header, bool& dimension) {
    dimension = false;
    if (word.size() < 3 || word.substr(word.size() - 3) != "OFF") return false;
    word.remove_suffix(3);
    if (word.starts_with("ST")) {
        header.texture = true;
        word.remove_prefix(2);
    }
    if (word.starts_with("C")) {
        header.color = true;
        word.remove_prefix(1);
    }
    if (word.starts_with("N")) {
        header.normal = true;
        word.remove_prefix(1);
    }
    if (word.starts_with("4")) {
        dimension = true;
        word.remove_prefix(1);
    }
    if (word.starts_with("n")) {
        dimension = true;
        word.remove_prefix(1);
    }
    return word.empty();
}

class OffReader {
public:
    OffReader(const std::string& path, const char* data, size_t size, const ReadOptions& options,
              detail::Scan scan = detail::Scan::fast)
        : path_(path), lines_(data, data + size), options_(options), scan_(scan) {}

    ImportResult read();

private:
    ImportResult fail(const std::string& what) const {
        return BadInput(path_, lines_.line(), what);
    }
    bool header(ImportResult& error);
    bool counts(size_t from, ImportResult& error);
    size_t colorValues(ImportResult& error) const;
    bool scanColors(ImportResult& error);
    bool vertices(ImportResult& error);
    bool faces(ImportResult& error);
    bool number(const Token& t, float& value, ImportResult& error) const;
    // The fast paths: the next line that holds a token, when a line feed
    // ends it, read in one pass and straight into the arrays, and the blank
    // and comment lines before it skipped: a vertex line of as many plain
    // numbers as an uncoloured vertex takes, or a face line "3 i j k" of
    // indices below the vertex count. False, at the start of that line or
    // before the last, for every other line, which the generic loop then
    // reads and judges.
    bool fastVertex(uint32_t i);
    bool fastFace();
    // Blank and comment lines skipped; false at the last line.
    bool fastStart(const char*& p);

    const std::string& path_;
    Lines lines_;
    const ReadOptions& options_;
    const detail::Scan scan_;
    const char* lastLine_ = nullptr;  // the start of the text's last line
    std::vector<Token> tokens_;
    Header header_;
    uint32_t vertexCount_ = 0;
    uint32_t faceCount_ = 0;
    bool byteColors_ = true;
    uint64_t dropped_ = 0;     // faces of fewer than 3 corners
    uint64_t fanned_ = 0;      // polygons fanned as a fallback
    uint64_t faceColors_ = 0;  // faces with a colour, which is not kept
    std::vector<uint32_t> face_;
    ImportedMesh mesh_;
};

bool OffReader::number(const Token& t, float& value, ImportResult& error) const {
    if (ParseFloat(t.first, t.last, value).ec == std::errc()) return true;
    error = fail("expected a number, found " + Quote(t.first, t.last));
    return false;
}

bool OffReader::fastStart(const char*& p) {
    for (;;) {
        if (lines_.position() >= lastLine_) return false;
        p = detail::SkipBlankInLine(lines_.position());
        if (*p != '\n' && *p != '#') return true;
        const char* lineEnd =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(lines_.end() - p)));
        lines_.skipLine(lineEnd + 1);
    }
}

// The end of the line from `p` (past the last token read): the next line's
// start when only blanks and a comment follow, else null.
inline const char* FastLineEnd(const char* p, const char* last) {
    p = detail::SkipBlankInLine(p);
    if (*p == '#')
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(last - p)));
    return *p == '\n' ? p + 1 : nullptr;
}

bool OffReader::fastVertex(uint32_t i) {
    const char* p = nullptr;
    if (!fastStart(p)) return false;
    const size_t n = 3u + (header_.normal ? 3u : 0u) + (header_.texture ? 2u : 0u);
    float values[8];
    // Each number ends at white space; a line feed there ends the line
    // before the next, where no number starts.
    for (size_t k = 0; k < n; ++k) {
        p = detail::ScanPlainFloatInLine(detail::SkipBlankInLine(p), values[k]);
        if (!p) return false;
    }
    const char* next = FastLineEnd(p, lines_.end());
    if (!next) return false;
    std::memcpy(&mesh_.positions[size_t{i} * 3], values, 3 * sizeof(float));
    if (header_.texture) std::memcpy(&mesh_.texCoords[size_t{i} * 2], values + n - 2, 8);
    lines_.skipLine(next);
    return true;
}

bool OffReader::fastFace() {
    const char* p = nullptr;
    if (!fastStart(p)) return false;
    if (p[0] != '3' || !IsBlank(p[1])) return false;
    ++p;
    uint32_t corner[3];
    for (uint32_t& c : corner) {
        p = detail::SkipBlankInLine(p);
        const char* digits = p;
        uint64_t index = 0;
        detail::ScanDigitsInLine(p, index);
        // 1 to 9 digits; whatever ends them, the next index or the line's
        // end must follow.
        if (static_cast<size_t>(p - digits) - 1 >= 9 || index >= vertexCount_) return false;
        c = static_cast<uint32_t>(index);
    }
    const char* next = FastLineEnd(p, lines_.end());
    if (!next) return false;
    mesh_.triangles.insert(mesh_.triangles.end(), corner, corner + 3);
    lines_.skipLine(next);
    return true;
}

bool OffReader::header(ImportResult& error) {
    if (!lines_.next(tokens_)) {
        error = fail("expected \"OFF\", found end of file");
        return false;
    }
    const Token& first = tokens_[0];
    std::string_view word(first.first, static_cast<size_t>(first.last - first.first));
    int64_t unused = 0;
    if (detail::ParseInteger(first.first, first.last, unused)) {
        // No keyword: the counts come first.
        return counts(0, error);
    }
    bool dimension = false;
    if (!ParseKeyword(word, header_, dimension)) {
        error = fail("expected \"OFF\" (or COFF, NOFF, STOFF ...), found " +
                     Quote(first.first, first.last));
        return false;
    }
    if (dimension) {
        error = fail("the keyword " + Quote(first.first, first.last) +
                     " announces vertices of other than 3 dimensions, which are not supported");
        return false;
    }
    if (tokens_.size() > 1 &&
        std::string_view(tokens_[1].first,
                         static_cast<size_t>(tokens_[1].last - tokens_[1].first)) == "BINARY") {
        error = fail("binary OFF is not supported");
        return false;
    }
    if (tokens_.size() > 1) return counts(1, error);
    if (!lines_.next(tokens_)) {
        error = fail("expected the vertex, face and edge counts, found end of file");
        return false;
    }
    return counts(0, error);
}

bool OffReader::counts(size_t from, ImportResult& error) {
    const size_t n = tokens_.size() - from;
    if (n != 2 && n != 3) {
        error = fail("expected the vertex, face and edge counts, found " + std::to_string(n) +
                     " values");
        return false;
    }
    uint32_t values[3] = {0, 0, 0};
    for (size_t k = 0; k < n; ++k) {
        const Token& t = tokens_[from + k];
        int64_t v = 0;
        if (!detail::ParseInteger(t.first, t.last, v) || v < 0 || v > INT64_C(4294967295)) {
            error = fail("expected a count from 0 to 4294967295, found " + Quote(t.first, t.last));
            return false;
        }
        values[k] = static_cast<uint32_t>(v);
    }
    vertexCount_ = values[0];
    faceCount_ = values[1];
    // At least one character and one separator per value, but for the
    // last, which may end the file: 3 values per vertex and 1 per face (a
    // corner count of 0), at the least.
    const uint64_t perVertex =
        3u + (header_.normal ? 3u : 0u) + (header_.color ? 3u : 0u) + (header_.texture ? 2u : 0u);
    const uint64_t least = perVertex * vertexCount_ + uint64_t{faceCount_};
    const uint64_t needed = least == 0 ? 0 : 2 * least - 1;
    const auto available = static_cast<uint64_t>(lines_.end() - lines_.position());
    if (needed > available) {
        error = fail("the counts promise " + CountOf(vertexCount_, "vertex", "vertices") + " and " +
                     CountOf(faceCount_, "face", "faces") + ", at least " + std::to_string(needed) +
                     " bytes of text, but only " + std::to_string(available) + " follow");
        return false;
    }
    return true;
}

// The number of colour values on the current vertex line (0, 3 or 4), or
// SIZE_MAX with `error` set when the line holds a wrong number of values.
size_t OffReader::colorValues(ImportResult& error) const {
    const size_t fixed = 3u + (header_.normal ? 3u : 0u) + (header_.texture ? 2u : 0u);
    const size_t n = tokens_.size();
    if (!header_.color) {
        if (n == fixed) return 0;
        error = fail("expected " + std::to_string(fixed) + " values for a vertex, found " +
                     std::to_string(n));
        return SIZE_MAX;
    }
    if (n == fixed + 3 || n == fixed + 4) return n - fixed;
    error = fail("expected " + std::to_string(fixed + 3) + " or " + std::to_string(fixed + 4) +
                 " values for a coloured vertex, found " + std::to_string(n));
    return SIZE_MAX;
}

// First pass over the vertex lines: checks their sizes and learns whether
// every colour value is written as an integer.
bool OffReader::scanColors(ImportResult& error) {
    const size_t colorAt = 3u + (header_.normal ? 3u : 0u);
    for (uint32_t i = 0; i < vertexCount_; ++i) {
        if (!lines_.next(tokens_)) {
            error = fail("expected " + std::to_string(vertexCount_) + " vertices, found " +
                         std::to_string(i) + " before the end of the file");
            return false;
        }
        size_t n = colorValues(error);
        if (n == SIZE_MAX) return false;
        for (size_t k = 0; k < n; ++k) {
            const Token& t = tokens_[colorAt + k];
            if (!detail::IsIntegerToken(t.first, t.last)) byteColors_ = false;
        }
    }
    return true;
}

bool OffReader::vertices(ImportResult& error) {
    const size_t colorAt = 3u + (header_.normal ? 3u : 0u);
    mesh_.positions.resize(size_t{vertexCount_} * 3);
    if (header_.color) {
        mesh_.hasColors = true;
        mesh_.colors.resize(vertexCount_);
    }
    if (header_.texture) {
        mesh_.hasTexCoords = true;
        mesh_.texCoords.resize(size_t{vertexCount_} * 2);
    }
    const bool fast = scan_ == detail::Scan::fast && !header_.color;
    for (uint32_t i = 0; i < vertexCount_; ++i) {
        if (fast && fastVertex(i)) continue;
        if (!lines_.next(tokens_)) {
            error = fail("expected " + std::to_string(vertexCount_) + " vertices, found " +
                         std::to_string(i) + " before the end of the file");
            return false;
        }
        const size_t n = colorValues(error);
        if (n == SIZE_MAX) return false;
        float* position = &mesh_.positions[size_t{i} * 3];
        for (size_t k = 0; k < 3; ++k) {
            if (!number(tokens_[k], position[k], error)) return false;
        }
        float ignored;
        for (size_t k = 3; k < colorAt; ++k) {
            if (!number(tokens_[k], ignored, error)) return false;
        }
        if (n != 0) {
            float rgba[4] = {0.0f, 0.0f, 0.0f, byteColors_ ? 255.0f : 1.0f};
            for (size_t k = 0; k < n; ++k) {
                if (!number(tokens_[colorAt + k], rgba[k], error)) return false;
            }
            uint32_t color = 0;
            if (byteColors_) {
                uint8_t bytes[4];
                for (int k = 0; k < 4; ++k) {
                    if (!(rgba[k] >= 0.0f && rgba[k] <= 255.0f)) {
                        const Token& t = tokens_[colorAt + static_cast<size_t>(k)];
                        error = fail("the " + std::string(detail::ChannelName(k)) + " value " +
                                     Quote(t.first, t.last) + " is not a byte (0 to 255)");
                        return false;
                    }
                    bytes[k] = static_cast<uint8_t>(rgba[k]);
                }
                color = EncodeColor({bytes[0], bytes[1], bytes[2], bytes[3]}, options_.colorOrder);
            } else {
                int bad = 0;
                if (!detail::PackRgba(rgba, options_.colorOrder, color, bad)) {
                    error =
                        fail("the " + std::string(detail::ChannelName(bad)) + " value " +
                             detail::FloatText(rgba[bad]) + " cannot be packed into a colour word");
                    return false;
                }
            }
            mesh_.colors[i] = color;
        }
        if (header_.texture) {
            const size_t at = colorAt + n;
            for (size_t k = 0; k < 2; ++k) {
                if (!number(tokens_[at + k], mesh_.texCoords[size_t{i} * 2 + k], error))
                    return false;
            }
        }
    }
    return true;
}

bool OffReader::faces(ImportResult& error) {
    mesh_.triangles.reserve(size_t{faceCount_} * 3);
    for (uint32_t f = 0; f < faceCount_; ++f) {
        if (scan_ == detail::Scan::fast && fastFace()) continue;
        if (!lines_.next(tokens_)) {
            error = fail("expected " + std::to_string(faceCount_) + " faces, found " +
                         std::to_string(f) + " before the end of the file");
            return false;
        }
        int64_t n = 0;
        if (!detail::ParseInteger(tokens_[0].first, tokens_[0].last, n)) {
            error = fail("expected the corner count of face " + std::to_string(f) + ", found " +
                         Quote(tokens_[0].first, tokens_[0].last));
            return false;
        }
        // Fewer than 3 corners make a point or a line: checked, then dropped.
        if (n < 0) {
            error = fail("face " + std::to_string(f) + " has a negative corner count, " +
                         std::to_string(n));
            return false;
        }
        const size_t held = tokens_.size() - 1;
        if (static_cast<uint64_t>(n) > held) {
            error = fail("face " + std::to_string(f) + " has " + std::to_string(n) +
                         " corners, but its line holds " + std::to_string(held) + " values");
            return false;
        }
        const auto corners = static_cast<size_t>(n);
        if (corners < 3) ++dropped_;
        if (held - corners > 4) {
            error = fail("face " + std::to_string(f) + " has " + std::to_string(held - corners) +
                         " values after its indices; a face colour takes at most 4");
            return false;
        }
        face_.clear();
        for (size_t k = 0; k < corners; ++k) {
            const Token& t = tokens_[1 + k];
            int64_t index = 0;
            if (!detail::ParseInteger(t.first, t.last, index)) {
                error = fail("expected a vertex index, found " + Quote(t.first, t.last));
                return false;
            }
            if (index < 0 || index >= vertexCount_) {
                error = fail("face " + std::to_string(f) + " names vertex " +
                             std::to_string(index) + " of " + std::to_string(vertexCount_));
                return false;
            }
            face_.push_back(static_cast<uint32_t>(index));
        }
        if (corners >= 3) {
            detail::AddPolygon(mesh_.positions.data(), face_.data(), static_cast<uint32_t>(corners),
                               mesh_.triangles, fanned_);
        }
        if (held > corners) ++faceColors_;
        float ignored;
        for (size_t k = 1 + corners; k < tokens_.size(); ++k) {
            if (!number(tokens_[k], ignored, error)) return false;
        }
    }
    return true;
}

ImportResult OffReader::read() {
    ImportResult error;
    if (!header(error)) return error;
    lastLine_ = lines_.end();
    while (lastLine_ > lines_.position() && lastLine_[-1] != '\n')
        --lastLine_;
    const char* vertexStart = lines_.position();
    const size_t vertexLine = lines_.nextLineNumber();
    if (header_.color && !scanColors(error)) return error;
    lines_.rewind(vertexStart, vertexLine);
    if (!vertices(error) || !faces(error)) return error;
    if (faceColors_ != 0) {
        mesh_.warnings.push_back(path_ + ": " + CountOf(faceColors_, "face", "faces") +
                                 " with a colour; face colours are not kept");
    }
    return detail::Finished(path_, mesh_, dropped_, fanned_);
}

}  // namespace

ImportResult ReadOff(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options) {
    return detail::ReadText<OffReader>(path, data, size, options);
}

namespace detail {

ImportResult ReadOffWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan) {
    return ReadText<OffReader>(path, data, size, options, scan);
}

bool CheckOffStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& /*most*/, ImportResult& error) {
    const size_t zero = ZeroByteAt(data, checked, size);
    if (zero != SIZE_MAX) {
        error = ZeroByteInText(path, "OFF", zero);
        return false;
    }
    // The first token, past white space and comments, is a keyword or the
    // vertex count; a file that begins otherwise is refused as soon as its
    // first bytes show it.
    const char* end = data + size;
    const char* p = data + ByteOrderMarkSize(data, size);
    for (;;) {
        p = SkipSpace(p, end);
        if (p == end || *p != '#') break;
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (p == nullptr) return true;  // a comment not yet ended
    }
    const char* last = p;
    while (last < end && !IsSpace(*last) && *last != '#')
        ++last;
    if (p == last) return true;  // the text so far holds no token
    const std::string_view token(p, static_cast<size_t>(last - p));
    const bool complete = last < end || whole;
    bool plausible;
    if (complete) {
        Header header;
        bool dimension = false;
        int64_t count = 0;
        plausible = ParseKeyword(token, header, dimension) || ParseInteger(p, last, count);
    } else {
        // Only signs and digits, or only the letters of the keywords.
        const bool number = token.find_first_not_of("+-0123456789") == std::string_view::npos;
        const bool word = token.find_first_not_of("STCN4nOF") == std::string_view::npos;
        plausible = number || word;
    }
    // A token still coming is quoted once it is as long as messages quote
    // (40 bytes), so that the message does not hang on how the stream came.
    if (plausible || (!complete && token.size() <= 40)) return true;
    // As the reader says it of a whole file.
    error = BadInput(path, LineOf(data, p, end),
                     "expected \"OFF\" (or COFF, NOFF, STOFF ...), found " + Quote(p, last));
    return false;
}

}  // namespace detail

}  // namespace kvx
