#include "meshimport/obj_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "meshcore/parallel.h"
#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"
#include "reader_support.h"
#include "text_scan.h"

namespace kvx {

namespace {

using detail::BadInput;

using detail::Token;

// One corner as the file names it: 0-based position, and 0-based texture
// coordinate and normal (kept only with ReadOptions::keepNormals) or kNone.
struct Corner {
    uint32_t position;
    uint32_t texture;
    uint32_t normal;
};

// A vertex as the split makes them: a distinct corner.
struct CornerKey {
    uint32_t position, texture, normal;
    bool operator==(const CornerKey&) const = default;
};
struct CornerHash {
    size_t operator()(const CornerKey& k) const {
        return std::hash<uint64_t>()((uint64_t{k.position} << 32 | k.texture) ^
                                     (uint64_t{k.normal} * 0x9E3779B97F4A7C15u));
    }
};
// The same keys mixed into every bit, for a table that takes the low bits.
inline uint64_t MixedHash(const CornerKey& k) {
    uint64_t h = uint64_t{k.position} * 0x9E3779B97F4A7C15u ^
                 uint64_t { k.texture } * 0xC2B2AE3D27D4EB4Fu ^
                 uint64_t { k.normal } * 0x165667B19E3779F9u;
    return h ^ (h >> 29) ^ (h >> 47);
}
constexpr uint32_t kNone = UINT32_MAX;

// The element counts so far, which indices are checked against.
struct Counts {
    uint64_t positions = 0;
    uint64_t textures = 0;
    uint64_t normals = 0;
};

class ObjReader {
public:
    // `splitAt`: 0, or the offset from which the first line start (after
    // a line no backslash continues) begins the second part, read by a
    // second thread.
    ObjReader(const std::string& path, const char* data, size_t size, const ReadOptions& options,
              detail::Scan scan = detail::Scan::fast, size_t splitAt = 0)
        : path_(path),
          pos_(data),
          end_(data + size),
          options_(options),
          scan_(scan),
          splitAt_(splitAt) {}

    ImportResult read();

private:
    // The lines from pos_ to end_; false with `error`.
    bool readLines(ImportResult& error);
    // A second part's reading, on its own thread, from its start: the fast
    // lines only, up to the first that is not one (which the first part's
    // reader goes on from) or that it cannot judge alone: an index counting
    // back, an error. Its indices count from the start of the file; those
    // beyond its own elements are checked once the first part's counts are
    // known (excess_).
    void readPart();
    // The second part added to this, the first, which has read up to where
    // the second began; pos_ and the line then where the second stopped.
    // False, with nothing changed, when the second part named an element
    // the first part does not define: the first then reads on from where
    // the second began.
    bool absorb(ObjReader& part);

    // The tokens of the next logical line into tokens_, its first line in
    // line_; false at the end of the text.
    bool nextLine();
    // The line at pos_ read in one pass, straight into the arrays, when it
    // is a "v", "vt", "vn" or "f" line, a comment or an empty line that
    // reads without a question: handled (pos_ then at the next line),
    // failed (with `error`), or generic (nothing changed) for every other
    // line, which nextLine() and the statements then read and judge.
    enum class Fast { handled, failed, generic };
    Fast fastLine(ImportResult& error);
    bool fastNumbers(const char* p, size_t most, float* values, size_t& n, const char*& end) const;
    bool fastCorner(const char*& p, Corner& result);
    // What a "v" of `n` numbers and a face of faceCorners_ add, once read.
    bool addVertex(const float* values, size_t n, ImportResult& error);
    void addFace();
    // faceCorners_, a polygon, split into triangles over its corners'
    // positions: split_ then holds their slots in faceCorners_.
    void splitFace(const std::vector<float>& positions);
    ImportResult fail(const std::string& what) const { return BadInput(path_, line_, what); }

    bool vertex(ImportResult& error);
    bool texture(ImportResult& error);
    bool normal(ImportResult& error);
    bool face(ImportResult& error);
    bool numbers(size_t from, float* values, ImportResult& error) const;
    bool corner(const Token& token, Corner& result, ImportResult& error) const;
    bool index(std::string_view text, uint64_t defined, const char* what, uint32_t& result,
               ImportResult& error) const;
    ImportResult finish();

    const std::string& path_;
    const char* pos_;
    const char* end_;
    const ReadOptions& options_;
    const detail::Scan scan_;
    const size_t splitAt_;
    // A second part: its indices beyond its own elements, at most (the
    // largest index less the elements it had defined then) for positions,
    // texture coordinates and normals; its polygons, split once the
    // positions are all there, at their slots in corners_.
    bool part_ = false;
    int64_t excess_[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
    struct Later {
        size_t at;
        std::vector<Corner> corners;
    };
    std::vector<Later> later_;
    size_t line_ = 0;      // the line that the logical line starts on
    size_t nextLine_ = 1;  // the line at pos_
    std::vector<Token> tokens_;

    Counts counts_;
    ImportedMesh mesh_;
    std::vector<float> textures_;       // u, v of every "vt"
    std::vector<float> normals_;        // x, y, z of every "vn", with keepNormals
    std::vector<Corner> corners_;       // three per triangle
    std::vector<Corner> faceCorners_;   // the face being read
    std::vector<float> facePositions_;  // its corners' positions, for splitting
    std::vector<uint32_t> slots_;       // 0 .. corners - 1
    std::vector<uint32_t> split_;       // its triangles, as slots
    uint64_t dropped_ = 0;              // faces of fewer than 3 corners
    uint64_t fanned_ = 0;               // polygons fanned as a fallback
    bool anyTexture_ = false;
    bool anyNormal_ = false;            // a corner names a normal (kept ones only)
    bool cornerWithoutNormal_ = false;  // with keepNormals: a corner names none
    bool haveObjectName_ = false;
    std::string groupName_;
};

bool ObjReader::nextLine() {
    tokens_.clear();
    if (pos_ >= end_) return false;
    line_ = nextLine_;
    for (;;) {
        const char* lineEnd =
            static_cast<const char*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
        const char* next = lineEnd ? lineEnd + 1 : end_;
        if (!lineEnd) lineEnd = end_;
        // A backslash as the last byte (before an optional CR) continues
        // the line; it counts as white space.
        const char* content = lineEnd;
        if (content > pos_ && content[-1] == '\r') --content;
        bool continues = content > pos_ && content[-1] == '\\';
        if (continues) --content;
        const char* p = pos_;
        bool comment = false;
        while (p < content) {
            p = SkipSpace(p, content);
            if (p == content) break;
            if (*p == '#') {
                comment = true;
                break;
            }
            const char* tokenEnd = TokenEnd(p, content);
            tokens_.push_back({p, tokenEnd});
            p = tokenEnd;
        }
        pos_ = next;
        if (lineEnd != end_) ++nextLine_;
        if (!continues || comment || pos_ >= end_) return true;
    }
}

bool ObjReader::numbers(size_t from, float* values, ImportResult& error) const {
    for (size_t k = from; k < tokens_.size(); ++k) {
        const Token& t = tokens_[k];
        ParseResult r = ParseFloat(t.first, t.last, values[k - from]);
        if (r.ec != std::errc()) {
            error = fail("expected a number, found " + Quote(t.first, t.last));
            return false;
        }
    }
    return true;
}

bool ObjReader::vertex(ImportResult& error) {
    const size_t n = tokens_.size() - 1;
    if (n != 3 && n != 4 && n != 6) {
        error = fail("\"v\" takes 3, 4 or 6 numbers (x y z, x y z w or x y z r g b), found " +
                     std::to_string(n));
        return false;
    }
    float values[6];
    return numbers(1, values, error) && addVertex(values, n, error);
}

bool ObjReader::addVertex(const float* values, size_t n, ImportResult& error) {
    if (counts_.positions == UINT32_MAX) {
        error = fail("more than 4294967295 vertices");
        return false;
    }
    uint32_t color = 0xFFFFFFFFu;
    if (n == 6) {
        const float rgba[4] = {values[3], values[4], values[5], 1.0f};
        int bad = 0;
        if (!detail::PackRgba(rgba, options_.colorOrder, color, bad)) {
            error = fail(std::string("the ") + detail::ChannelName(bad) + " value " +
                         detail::FloatText(rgba[bad]) + " cannot be packed into a colour word");
            return false;
        }
    }
    mesh_.positions.push_back(values[0]);
    mesh_.positions.push_back(values[1]);
    mesh_.positions.push_back(values[2]);
    if (n == 6) {
        if (!mesh_.hasColors) {
            // Every vertex before the first coloured one is opaque white.
            mesh_.hasColors = true;
            mesh_.colors.assign(counts_.positions, 0xFFFFFFFFu);
        }
        mesh_.colors.push_back(color);
    } else if (mesh_.hasColors) {
        mesh_.colors.push_back(0xFFFFFFFFu);
    }
    ++counts_.positions;
    return true;
}

bool ObjReader::texture(ImportResult& error) {
    const size_t n = tokens_.size() - 1;
    if (n < 1 || n > 3) {
        error = fail("\"vt\" takes 1 to 3 numbers (u [v [w]]), found " + std::to_string(n));
        return false;
    }
    float values[3] = {0.0f, 0.0f, 0.0f};
    if (!numbers(1, values, error)) return false;
    if (counts_.textures == UINT32_MAX - 1) {
        error = fail("more than 4294967294 texture coordinates");
        return false;
    }
    textures_.push_back(values[0]);
    textures_.push_back(values[1]);
    ++counts_.textures;
    return true;
}

bool ObjReader::normal(ImportResult& error) {
    const size_t n = tokens_.size() - 1;
    if (n != 3) {
        error = fail("\"vn\" takes 3 numbers, found " + std::to_string(n));
        return false;
    }
    float values[3];
    if (!numbers(1, values, error)) return false;
    if (options_.keepNormals) normals_.insert(normals_.end(), values, values + 3);
    ++counts_.normals;
    return true;
}

// One index of a corner: 1 to `defined`, or -1 to -defined counting back.
bool ObjReader::index(std::string_view text, uint64_t defined, const char* what, uint32_t& result,
                      ImportResult& error) const {
    int64_t value = 0;
    if (!detail::ParseInteger(text.data(), text.data() + text.size(), value)) {
        error = fail(std::string("expected a ") + what + " number, found " +
                     Quote(text.data(), text.data() + text.size()));
        return false;
    }
    const auto count = static_cast<int64_t>(defined);
    if (value == 0) {
        error = fail(std::string(what) + " 0 does not exist: OBJ counts from 1");
        return false;
    }
    if (value > count || value < -count) {
        error = fail(std::string(what) + " " + std::to_string(value) + " is not defined (" +
                     std::to_string(defined) + " so far)");
        return false;
    }
    result = static_cast<uint32_t>(value > 0 ? value - 1 : count + value);
    return true;
}

bool ObjReader::corner(const Token& token, Corner& result, ImportResult& error) const {
    std::string_view text = token.view();
    std::string_view parts[3];
    size_t n = 0;
    for (;;) {
        size_t slash = text.find('/');
        if (n == 2 || slash == std::string_view::npos) {
            parts[n++] = text;
            break;
        }
        parts[n++] = text.substr(0, slash);
        text.remove_prefix(slash + 1);
    }
    // "v", "v/vt", "v//vn" or "v/vt/vn": the position is always there, and
    // "v/" or a fourth part is no corner.
    if (parts[0].empty() || (n == 2 && parts[1].empty()) || (n == 3 && parts[2].empty()) ||
        parts[n - 1].find('/') != std::string_view::npos) {
        error = fail("expected a corner like 1, 1/2, 1//3 or 1/2/3, found " +
                     Quote(token.first, token.last));
        return false;
    }
    if (!index(parts[0], counts_.positions, "vertex", result.position, error)) return false;
    result.texture = kNone;
    if (n >= 2 && !parts[1].empty() &&
        !index(parts[1], counts_.textures, "texture coordinate", result.texture, error)) {
        return false;
    }
    uint32_t normalIndex = kNone;
    if (n == 3 && !index(parts[2], counts_.normals, "normal", normalIndex, error)) return false;
    result.normal = options_.keepNormals ? normalIndex : kNone;
    return true;
}

bool ObjReader::face(ImportResult& error) {
    const size_t n = tokens_.size() - 1;
    if (n == 0) {
        error = fail("a face without corners");
        return false;
    }
    faceCorners_.clear();
    for (size_t k = 1; k < tokens_.size(); ++k) {
        Corner c;
        if (!corner(tokens_[k], c, error)) return false;
        if (c.texture != kNone) anyTexture_ = true;
        if (c.normal != kNone) anyNormal_ = true;
        if (options_.keepNormals && c.normal == kNone) cornerWithoutNormal_ = true;
        faceCorners_.push_back(c);
    }
    addFace();
    return true;
}

void ObjReader::splitFace(const std::vector<float>& positions) {
    facePositions_.clear();
    slots_.clear();
    for (const Corner& c : faceCorners_) {
        const float* p = &positions[size_t{c.position} * 3];
        facePositions_.insert(facePositions_.end(), p, p + 3);
        slots_.push_back(static_cast<uint32_t>(slots_.size()));
    }
    split_.clear();
    detail::AddPolygon(facePositions_.data(), slots_.data(),
                       static_cast<uint32_t>(faceCorners_.size()), split_, fanned_);
}

void ObjReader::addFace() {
    // One or two corners make a point or a line: checked, then dropped.
    const size_t count = faceCorners_.size();
    if (count < 3) {
        ++dropped_;
    } else if (count == 3) {
        corners_.push_back(faceCorners_[0]);
        corners_.push_back(faceCorners_[1]);
        corners_.push_back(faceCorners_[2]);
    } else if (part_) {
        later_.push_back({corners_.size(), faceCorners_});
        corners_.resize(corners_.size() + 3 * (count - 2));
    } else {
        // Split over the corners' own positions, so that each triangle names
        // corners (a position may come twice with different texture
        // coordinates).
        splitFace(mesh_.positions);
        for (uint32_t slot : split_)
            corners_.push_back(faceCorners_[slot]);
    }
}

// The text after the keyword, without surrounding white space.
std::string RestOfLine(const std::vector<Token>& tokens) {
    if (tokens.size() < 2) return {};
    return std::string(tokens[1].first, tokens.back().last);
}

using detail::IsBlank;
using detail::SkipBlankInLine;

// The fast path reads lines that a line feed ends, which stops every
// scanning loop (text_scan.h); the last line, when no line feed ends it,
// goes to the generic one.

// Up to `most` numbers from `p` (which follows the keyword) to the line's
// end or comment: false for any token that is not a number, or for more
// than `most` of them.
bool ObjReader::fastNumbers(const char* p, size_t most, float* values, size_t& n,
                            const char*& end) const {
    n = 0;
    for (;;) {
        p = SkipBlankInLine(p);
        if (*p == '\n' || *p == '#') break;
        if (n == most) return false;
        ParseResult r = detail::ScanFloatInLine(p, end_, values[n]);
        if (r.ec != std::errc()) return false;
        p = r.ptr;
        ++n;
    }
    end = p;
    return true;
}

// An index of 1 to 9 digits, 1 to `defined` or -1 to -defined, at `p`:
// false, `p` anywhere, for every other token.
inline bool FastIndex(const char*& p, uint64_t defined, uint32_t& result) {
    const bool negative = *p == '-';
    if (negative) ++p;
    const char* digits = p;
    uint64_t value = 0;
    detail::ScanDigitsInLine(p, value);
    // 1 to 9 digits, and 1 to `defined`.
    if (static_cast<size_t>(p - digits) - 1 >= 9 || value - 1 >= defined) return false;
    result = static_cast<uint32_t>(negative ? defined - value : value - 1);
    return true;
}

// In a second part: an index of 1 to 9 digits, not counting back, with the
// most it exceeds `defined` by in `excess`.
inline bool PartIndex(const char*& p, uint64_t defined, int64_t& excess, uint32_t& result) {
    const char* digits = p;
    uint64_t value = 0;
    detail::ScanDigitsInLine(p, value);
    if (static_cast<size_t>(p - digits) - 1 >= 9 || value == 0) return false;
    excess = std::max(excess, static_cast<int64_t>(value) - static_cast<int64_t>(defined));
    result = static_cast<uint32_t>(value - 1);
    return true;
}

// A corner "v", "v/vt", "v//vn" or "v/vt/vn" at `p`, ended by white space,
// with `p` then past it.
bool ObjReader::fastCorner(const char*& p, Corner& result) {
    const char* q = p;
    auto index = [&](uint64_t defined, int kind, uint32_t& value) {
        return part_ ? PartIndex(q, defined, excess_[kind], value) : FastIndex(q, defined, value);
    };
    if (!index(counts_.positions, 0, result.position)) return false;
    result.texture = kNone;
    uint32_t normalIndex = kNone;
    if (*q == '/') {
        ++q;
        if (*q != '/' && !index(counts_.textures, 1, result.texture)) return false;
        if (*q == '/') {
            ++q;
            if (!index(counts_.normals, 2, normalIndex)) return false;
        } else if (result.texture == kNone) {
            return false;  // "v/"
        }
    }
    if (!detail::IsSpaceByte(*q)) return false;
    result.normal = options_.keepNormals ? normalIndex : kNone;
    p = q;
    return true;
}

// Flattened: every call in it inlined, the vectors' appends too (12 per
// cent fewer instructions on real meshes, measured with callgrind).
__attribute__((flatten)) ObjReader::Fast ObjReader::fastLine(ImportResult& error) {
    const char* p = SkipBlankInLine(pos_);
    const char* end = p;  // the end of what the line holds
    if (*p != '\n' && *p != '#') {
        if (p[0] == 'v' && IsBlank(p[1])) {
            float values[6];
            size_t n = 0;
            if (!fastNumbers(p + 2, 6, values, n, end) || (n != 3 && n != 4 && n != 6))
                return Fast::generic;
            line_ = nextLine_;
            if (!addVertex(values, n, error)) return Fast::failed;
        } else if (p[0] == 'f' && IsBlank(p[1])) {
            // The first three corners here, the rest of a polygon's after
            // them in faceCorners_.
            Corner first[3];
            size_t count = 0;
            bool texture = false, normal = false, without = false;
            for (p += 2;; ++count) {
                p = SkipBlankInLine(p);
                if (*p == '\n' || *p == '#') break;
                Corner c;
                if (!fastCorner(p, c)) return Fast::generic;
                texture |= c.texture != kNone;
                normal |= c.normal != kNone;
                without |= options_.keepNormals && c.normal == kNone;
                if (count < 3) {
                    first[count] = c;
                } else {
                    if (count == 3) faceCorners_.assign(first, first + 3);
                    faceCorners_.push_back(c);
                }
            }
            if (count == 0) return Fast::generic;
            anyTexture_ |= texture;
            anyNormal_ |= normal;
            cornerWithoutNormal_ |= without;
            if (count == 3) {
                corners_.push_back(first[0]);
                corners_.push_back(first[1]);
                corners_.push_back(first[2]);
            } else {
                if (count < 3) faceCorners_.assign(first, first + count);
                addFace();
            }
            end = p;
        } else if (p[0] == 'v' && (p[1] == 't' || p[1] == 'n') && IsBlank(p[2])) {
            float values[3] = {0.0f, 0.0f, 0.0f};
            size_t n = 0;
            const bool normal = p[1] == 'n';
            if (!fastNumbers(p + 3, 3, values, n, end) || n == 0 || (normal && n != 3) ||
                (!normal && counts_.textures == UINT32_MAX - 1)) {
                return Fast::generic;
            }
            if (normal) {
                if (options_.keepNormals) normals_.insert(normals_.end(), values, values + 3);
                ++counts_.normals;
            } else {
                textures_.push_back(values[0]);
                textures_.push_back(values[1]);
                ++counts_.textures;
            }
        } else {
            return Fast::generic;
        }
    }
    // The rest of the line: nothing, or a comment to its end (where a
    // backslash continues nothing).
    if (*end == '#')
        end = static_cast<const char*>(std::memchr(end, '\n', static_cast<size_t>(end_ - end)));
    pos_ = end + 1;
    ++nextLine_;
    return Fast::handled;
}

bool ObjReader::readLines(ImportResult& error) {
    // Lines that start before the last line feed are ended by one.
    const char* lastFeed = end_;
    while (lastFeed > pos_ && lastFeed[-1] != '\n')
        --lastFeed;
    for (;;) {
        if (scan_ == detail::Scan::fast && pos_ < lastFeed) {
            const Fast fast = fastLine(error);
            if (fast == Fast::handled) continue;
            if (fast == Fast::failed) return false;
        }
        if (!nextLine()) break;
        if (tokens_.empty()) continue;
        std::string_view keyword = tokens_[0].view();
        bool ok = true;
        if (keyword == "v") {
            ok = vertex(error);
        } else if (keyword == "vt") {
            ok = texture(error);
        } else if (keyword == "vn") {
            ok = normal(error);
        } else if (keyword == "f") {
            ok = face(error);
        } else if (keyword == "o") {
            if (!haveObjectName_ && tokens_.size() > 1) {
                mesh_.name = RestOfLine(tokens_);
                haveObjectName_ = true;
            }
        } else if (keyword == "g") {
            if (groupName_.empty()) groupName_ = RestOfLine(tokens_);
        }
        // "l", "p", "mtllib", "usemtl", "s" and anything else: not geometry
        // that KVX holds.
        if (!ok) return false;
    }
    return true;
}

void ObjReader::readPart() {
    part_ = true;
    const char* lastFeed = end_;
    while (lastFeed > pos_ && lastFeed[-1] != '\n')
        --lastFeed;
    ImportResult unused;
    while (pos_ < lastFeed && fastLine(unused) == Fast::handled) {
    }
}

bool ObjReader::absorb(ObjReader& part) {
    const Counts& more = part.counts_;
    if (part.excess_[0] > static_cast<int64_t>(counts_.positions) ||
        part.excess_[1] > static_cast<int64_t>(counts_.textures) ||
        part.excess_[2] > static_cast<int64_t>(counts_.normals) ||
        counts_.positions + more.positions > UINT32_MAX ||
        counts_.textures + more.textures > UINT32_MAX - 1) {
        return false;
    }
    ImportedMesh& a = mesh_;
    ImportedMesh& b = part.mesh_;
    if (b.hasColors && !a.hasColors) {
        a.hasColors = true;
        a.colors.assign(counts_.positions, 0xFFFFFFFFu);
    }
    a.positions.insert(a.positions.end(), b.positions.begin(), b.positions.end());
    if (a.hasColors) {
        if (b.hasColors) {
            a.colors.insert(a.colors.end(), b.colors.begin(), b.colors.end());
        } else {
            a.colors.resize(a.colors.size() + more.positions, 0xFFFFFFFFu);
        }
    }
    textures_.insert(textures_.end(), part.textures_.begin(), part.textures_.end());
    normals_.insert(normals_.end(), part.normals_.begin(), part.normals_.end());
    const size_t base = corners_.size();
    corners_.insert(corners_.end(), part.corners_.begin(), part.corners_.end());
    for (const Later& polygon : part.later_) {
        faceCorners_ = polygon.corners;
        splitFace(a.positions);
        for (size_t k = 0; k < split_.size(); ++k)
            corners_[base + polygon.at + k] = faceCorners_[split_[k]];
    }
    counts_.positions += more.positions;
    counts_.textures += more.textures;
    counts_.normals += more.normals;
    anyTexture_ = anyTexture_ || part.anyTexture_;
    anyNormal_ = anyNormal_ || part.anyNormal_;
    cornerWithoutNormal_ = cornerWithoutNormal_ || part.cornerWithoutNormal_;
    dropped_ += part.dropped_;
    fanned_ += part.fanned_;
    pos_ = part.pos_;
    nextLine_ += part.nextLine_ - 1;
    return true;
}

// The start of the first line at or after `from` in [begin, end) that
// follows a line no backslash continues, or null.
const char* LineStartFrom(const char* begin, const char* from, const char* end) {
    const char* p = std::max(from, begin + 1);
    while (p < end) {
        const auto* feed =
            static_cast<const char*>(std::memchr(p - 1, '\n', static_cast<size_t>(end - p + 1)));
        if (!feed || feed + 1 >= end) return nullptr;
        const char* content = feed;
        if (content > begin && content[-1] == '\r') --content;
        if (content == begin || content[-1] != '\\') return feed + 1;
        p = feed + 2;
    }
    return nullptr;
}

ImportResult ObjReader::read() {
    ImportResult error;
    const char* split = nullptr;
    if (scan_ == detail::Scan::fast && splitAt_ != 0 &&
        splitAt_ < static_cast<size_t>(end_ - pos_)) {
        split = LineStartFrom(pos_, pos_ + splitAt_, end_);
    }
    std::thread second;
    ObjReader part(path_, split, split ? static_cast<size_t>(end_ - split) : 0, options_, scan_);
    bool partRead = false;
    if (split && TryStartThread(second, [&] {
            try {
                part.readPart();
                partRead = true;
            } catch (const std::bad_alloc&) {
            } catch (const std::length_error&) {
            }
        })) {
        const char* end = end_;
        end_ = split;
        bool ok = false;
        try {
            ok = readLines(error);
        } catch (...) {
            second.join();
            throw;
        }
        second.join();
        end_ = end;
        if (!ok) return error;
        // Else the first part reads on from where the second began.
        if (partRead) absorb(part);
    }
    if (!readLines(error)) return error;
    return finish();
}

ImportResult ObjReader::finish() {
    if (!haveObjectName_) mesh_.name = groupName_;
    const bool normals = anyNormal_ && !cornerWithoutNormal_;
    if (!anyTexture_ && !normals) {
        mesh_.triangles.reserve(corners_.size());
        for (const Corner& c : corners_)
            mesh_.triangles.push_back(c.position);
    } else {
        // One vertex per distinct (position, texture coordinate, normal), in
        // the order of first use.
        ImportedMesh out;
        out.name = std::move(mesh_.name);
        out.hasColors = mesh_.hasColors;
        out.hasTexCoords = anyTexture_;
        out.hasNormals = normals;
        out.triangles.reserve(corners_.size());
        auto add = [&](const Corner& c) {
            const float* p = &mesh_.positions[size_t{c.position} * 3];
            out.positions.insert(out.positions.end(), p, p + 3);
            if (out.hasColors) out.colors.push_back(mesh_.colors[c.position]);
            if (out.hasTexCoords) {
                const bool none = c.texture == kNone;
                out.texCoords.push_back(none ? 0.0f : textures_[size_t{c.texture} * 2]);
                out.texCoords.push_back(none ? 0.0f : textures_[size_t{c.texture} * 2 + 1]);
            }
            if (out.hasNormals) {
                const float* n = &normals_[size_t{c.normal} * 3];
                out.normals.insert(out.normals.end(), n, n + 3);
            }
        };
        if (corners_.size() < UINT32_MAX) {
            // Open addressing: a power of two of slots, at least twice the
            // corners, each 0 or a vertex number plus 1, probed in turn.
            size_t slots = 2;
            while (slots < 2 * corners_.size())
                slots *= 2;
            std::vector<uint32_t> table(slots, 0);
            std::vector<CornerKey> keys;
            for (const Corner& c : corners_) {
                const CornerKey key{c.position, c.texture, normals ? c.normal : kNone};
                size_t at = MixedHash(key) & (slots - 1);
                while (table[at] != 0 && !(keys[table[at] - 1] == key))
                    at = (at + 1) & (slots - 1);
                if (table[at] == 0) {
                    keys.push_back(key);
                    table[at] = static_cast<uint32_t>(keys.size());
                    add(c);
                }
                out.triangles.push_back(table[at] - 1);
            }
        } else {
            std::unordered_map<CornerKey, uint32_t, CornerHash> vertexOf;
            for (const Corner& c : corners_) {
                const size_t next = vertexOf.size();
                if (next > UINT32_MAX) return BadInput(path_, 0, "more than 4294967296 vertices");
                const CornerKey key{c.position, c.texture, normals ? c.normal : kNone};
                auto [it, added] = vertexOf.try_emplace(key, static_cast<uint32_t>(next));
                if (added) add(c);
                out.triangles.push_back(it->second);
            }
        }
        mesh_ = std::move(out);
    }
    return detail::Finished(path_, mesh_, dropped_, fanned_);
}

}  // namespace

ImportResult ReadObj(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options) {
    const size_t splitAt = size >= detail::kParallelObjBytes ? size / 2 : 0;
    return detail::ReadText<ObjReader>(path, data, size, options, detail::Scan::fast, splitAt);
}

namespace detail {

ImportResult ReadObjWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan, size_t splitAt) {
    return ReadText<ObjReader>(path, data, size, options, scan, splitAt);
}

}  // namespace detail

}  // namespace kvx
