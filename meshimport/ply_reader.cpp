#include "meshimport/ply_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "meshtext/format_number.h"
#include "meshtext/parse_number.h"
#include "meshtext/tokens.h"
#include "reader_support.h"
#include "text_scan.h"

namespace kvx {

namespace {

using detail::BadInput;

enum class PlyType : uint8_t { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

struct TypeName {
    std::string_view name;
    PlyType type;
};
constexpr TypeName kTypeNames[] = {
    {"char", PlyType::int8},       {"int8", PlyType::int8},       {"uchar", PlyType::uint8},
    {"uint8", PlyType::uint8},     {"short", PlyType::int16},     {"int16", PlyType::int16},
    {"ushort", PlyType::uint16},   {"uint16", PlyType::uint16},   {"int", PlyType::int32},
    {"int32", PlyType::int32},     {"uint", PlyType::uint32},     {"uint32", PlyType::uint32},
    {"float", PlyType::float32},   {"float32", PlyType::float32}, {"double", PlyType::float64},
    {"float64", PlyType::float64},
};

bool TypeOf(std::string_view name, PlyType& type) {
    for (const TypeName& t : kTypeNames) {
        if (t.name == name) {
            type = t.type;
            return true;
        }
    }
    return false;
}

size_t SizeOf(PlyType type) {
    switch (type) {
        case PlyType::int8:
        case PlyType::uint8:
            return 1;
        case PlyType::int16:
        case PlyType::uint16:
            return 2;
        case PlyType::int32:
        case PlyType::uint32:
        case PlyType::float32:
            return 4;
        case PlyType::float64:
            return 8;
    }
    return 0;
}

bool IsFloat(PlyType type) {
    return type == PlyType::float32 || type == PlyType::float64;
}

// The range of an integer type.
void RangeOf(PlyType type, int64_t& low, int64_t& high) {
    switch (type) {
        case PlyType::int8:
            low = INT8_MIN, high = INT8_MAX;
            return;
        case PlyType::uint8:
            low = 0, high = UINT8_MAX;
            return;
        case PlyType::int16:
            low = INT16_MIN, high = INT16_MAX;
            return;
        case PlyType::uint16:
            low = 0, high = UINT16_MAX;
            return;
        case PlyType::int32:
            low = INT32_MIN, high = INT32_MAX;
            return;
        default:
            low = 0, high = UINT32_MAX;
            return;
    }
}

// What a vertex or face property is used for.
enum class Role : uint8_t {
    none,
    x,
    y,
    z,
    red,
    green,
    blue,
    alpha,
    u,
    v,
    indices,
    texcoord,
    nx,
    ny,
    nz,
    count
};

struct Property {
    std::string name;
    PlyType type = PlyType::uint8;
    bool list = false;
    PlyType countType = PlyType::uint8;
    Role role = Role::none;
};

struct Element {
    std::string name;
    uint64_t count = 0;
    size_t line = 0;
    std::vector<Property> properties;
};

enum class Encoding { ascii, little, big };

// One value of the data section: an integer, or a float already rounded.
struct Value {
    bool integer = true;
    int64_t i = 0;
    float f = 0.0f;
};

class PlyReader {
public:
    PlyReader(const std::string& path, const char* data, size_t size, const ReadOptions& options,
              detail::Scan scan = detail::Scan::fast)
        : path_(path),
          begin_(data),
          pos_(data),
          end_(data + size),
          options_(options),
          scan_(scan) {}

    ImportResult read();

    // Reads the header, if the text holds it whole (`complete`), and then
    // the most bytes from the start of the text that the data can take:
    // binary, the sum over the elements of their largest records; ASCII,
    // UINT64_MAX. False, with `error`, for a header that is wrong in the
    // lines the text holds.
    bool start(bool whole, bool& complete, uint64_t& most, ImportResult& error);

private:
    ImportResult fail(size_t line, const std::string& what) const {
        return BadInput(path_, line, what);
    }
    // An error at the data position: with its line in ASCII files.
    ImportResult failHere(const std::string& what) const {
        return fail(encoding_ == Encoding::ascii ? LineOf(begin_, pos_, end_) : 0, what);
    }
    bool header(ImportResult& error);
    bool assignRoles(ImportResult& error);
    bool checkSizes(ImportResult& error);
    // Reads the records of `element` from record `first` on.
    bool readElement(const Element& element, uint64_t first, ImportResult& error);
    // The binary little-endian layouts exporters write, read straight
    // into the arrays: vertices of fixed-size records whose positions,
    // normals and texture coordinates are floats and whose colours are
    // bytes, and faces of one list of 32-bit indices whose count (a byte
    // or a 32-bit integer) is 3. Returns how many records it read: every
    // one, or those before the first the generic loop must judge (one the
    // data ends in, another corner count, an index out of range). 0 for
    // any other layout.
    uint64_t fastVertices(const Element& element);
    uint64_t fastFaces(const Element& element);
    // The same for ASCII, each record scanned once: vertices whose
    // properties are all floating-point (positions, normals, texture
    // coordinates, others) or uchar (colours, others), and faces of one
    // list of int or uint indices whose count is the digit 3. Every value
    // lies before the text's last line feed and is a token the scanners
    // take (text_scan.h) or ParseFloat takes, as the generic loop reads
    // it. The records before the first they cannot take.
    uint64_t fastTextVertices(const Element& element);
    uint64_t fastTextFaces(const Element& element);
    // Reads one value of `type` (of `property`, or its list count) of
    // element `index`.
    bool value(PlyType type, Value& out, const Element& element, uint64_t index,
               const Property& property, bool count, ImportResult& error);
    // The face just read, from corners_ and faceUv_: split now, or kept for
    // later while the vertices are still to come.
    void addFace(bool uvGiven);
    void splitFace(const uint32_t* corners, uint32_t count, const float* uv);
    // The mesh with one vertex per distinct (vertex, texture coordinates)
    // pair of the corners, in the order of first use.
    bool splitVertices(ImportResult& error);

    const std::string& path_;
    const char* begin_;
    const char* pos_;
    const char* end_;
    const ReadOptions& options_;
    const detail::Scan scan_;
    Encoding encoding_ = Encoding::ascii;
    std::vector<Element> elements_;
    Element* vertex_ = nullptr;
    Element* face_ = nullptr;
    bool integerColors_ = true;
    bool hasAlpha_ = false;
    uint64_t dropped_ = 0;  // faces of fewer than 3 corners
    uint64_t fanned_ = 0;   // polygons fanned as a fallback
    // Unknown header lines, skipped: how many, and the first.
    uint64_t unknownLines_ = 0;
    std::string firstUnknown_;
    bool faceColors_ = false;  // colour properties of faces, not kept
    bool cornerUv_ = false;    // the faces hold a texcoord list
    bool vertexUv_ = false;    // the vertices hold texture coordinates
    bool verticesRead_ = false;
    uint64_t wrongUv_ = 0;           // texcoord lists of another length
    std::vector<uint32_t> corners_;  // the face being read
    std::vector<float> faceUv_;      // its texcoord list
    std::vector<float> facePositions_;
    std::vector<uint32_t> slots_, split_;
    // Faces before the vertices: their corner counts, corners and, for
    // cornerUv_, u, v per corner.
    std::vector<uint32_t> laterCounts_, laterCorners_;
    std::vector<float> laterUv_;
    // With cornerUv_: vertex, u, v of the corners, three per triangle.
    struct UvCorner {
        uint32_t vertex;
        float u, v;
    };
    std::vector<UvCorner> uvCorners_;
    ImportedMesh mesh_;
};

void SplitTokens(const char* first, const char* last, std::vector<std::string_view>& tokens) {
    tokens.clear();
    for (const char* p = SkipSpace(first, last); p < last; p = SkipSpace(p, last)) {
        const char* end = TokenEnd(p, last);
        tokens.emplace_back(p, static_cast<size_t>(end - p));
        p = end;
    }
}

bool PlyReader::header(ImportResult& error) {
    std::vector<std::string_view> tokens;
    bool haveFormat = false;
    size_t line = 0;
    for (;;) {
        ++line;
        if (pos_ >= end_ && line == 1) {
            error = fail(1, "expected \"ply\" on the first line, found end of file");
            return false;
        }
        if (pos_ >= end_) {
            error = fail(line - 1, "the header has no \"end_header\" line");
            return false;
        }
        const char* lineEnd =
            static_cast<const char*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
        const char* next = lineEnd ? lineEnd + 1 : end_;
        if (!lineEnd) lineEnd = end_;
        const char* first = pos_;
        pos_ = next;
        if (line == 1) {
            std::string_view magic(first, static_cast<size_t>(lineEnd - first));
            if (!magic.empty() && magic.back() == '\r') magic.remove_suffix(1);
            if (magic != "ply") {
                error = fail(1, "expected \"ply\" on the first line, found " +
                                    Quote(first, first + magic.size()));
                return false;
            }
            continue;
        }
        SplitTokens(first, lineEnd, tokens);
        if (tokens.empty()) continue;
        std::string_view keyword = tokens[0];
        if (keyword == "comment" || keyword == "obj_info") continue;
        if (keyword == "end_header") {
            if (!haveFormat) {
                error = fail(line, "the header has no \"format\" line");
                return false;
            }
            return true;
        }
        if (keyword == "format") {
            if (tokens.size() != 3) {
                error = fail(line, "expected \"format <encoding> 1.0\"");
                return false;
            }
            if (tokens[1] == "ascii") {
                encoding_ = Encoding::ascii;
            } else if (tokens[1] == "binary_little_endian") {
                encoding_ = Encoding::little;
            } else if (tokens[1] == "binary_big_endian") {
                encoding_ = Encoding::big;
            } else {
                error = fail(line, "unknown encoding " + Quote(tokens[1].begin(), tokens[1].end()) +
                                       " (ascii, binary_little_endian or binary_big_endian)");
                return false;
            }
            haveFormat = true;
        } else if (keyword == "element") {
            if (tokens.size() != 3) {
                error = fail(line, "expected \"element <name> <count>\"");
                return false;
            }
            int64_t count = 0;
            if (!detail::ParseInteger(tokens[2].begin(), tokens[2].end(), count) || count < 0 ||
                count > INT64_C(4294967295)) {
                error = fail(line, "the count of element " + std::string(tokens[1]) + ", " +
                                       Quote(tokens[2].begin(), tokens[2].end()) +
                                       ", is not a number from 0 to 4294967295");
                return false;
            }
            elements_.push_back({std::string(tokens[1]), static_cast<uint64_t>(count), line, {}});
        } else if (keyword == "property") {
            if (elements_.empty()) {
                error = fail(line, "a property before the first element");
                return false;
            }
            Property p;
            bool ok;
            if (tokens.size() == 5 && tokens[1] == "list") {
                p.list = true;
                ok = TypeOf(tokens[2], p.countType) && !IsFloat(p.countType) &&
                     TypeOf(tokens[3], p.type);
                p.name = tokens[4];
            } else {
                ok = tokens.size() == 3 && TypeOf(tokens[1], p.type);
                if (ok) p.name = tokens[2];
            }
            if (!ok) {
                error = fail(line,
                             "expected \"property <type> <name>\" or \"property list <integer "
                             "type> <type> <name>\"");
                return false;
            }
            elements_.back().properties.push_back(std::move(p));
        } else {
            // Lines no header should hold (old Blender's "Created by
            // Blender ...") are skipped, with one warning.
            if (unknownLines_++ == 0) {
                const char* last = lineEnd;
                if (last > first && last[-1] == '\r') --last;
                firstUnknown_ = path_ + ":" + std::to_string(line) + ": the unknown header line " +
                                Quote(tokens[0].begin(), last) + " is skipped";
            }
        }
    }
}

bool PlyReader::assignRoles(ImportResult& error) {
    struct Name {
        std::string_view name;
        Role role;
    };
    static constexpr Name kVertexNames[] = {
        {"x", Role::x},
        {"y", Role::y},
        {"z", Role::z},
        {"red", Role::red},
        {"green", Role::green},
        {"blue", Role::blue},
        {"alpha", Role::alpha},
        {"diffuse_red", Role::red},
        {"diffuse_green", Role::green},
        {"diffuse_blue", Role::blue},
        {"diffuse_alpha", Role::alpha},
    };
    // Texture coordinates: the first pair of these names that is complete.
    static constexpr std::string_view kTexturePairs[][2] = {
        {"s", "t"}, {"u", "v"}, {"texture_u", "texture_v"}, {"texture_s", "texture_t"}};

    for (Element& e : elements_) {
        if (e.name == "vertex") {
            if (vertex_) {
                error = fail(e.line, "a second vertex element");
                return false;
            }
            vertex_ = &e;
        } else if (e.name == "face") {
            if (face_) {
                error = fail(e.line, "a second face element");
                return false;
            }
            face_ = &e;
        }
    }
    if (vertex_) {
        Element& e = *vertex_;
        bool seen[static_cast<int>(Role::count)] = {};
        for (Property& p : e.properties) {
            for (const Name& n : kVertexNames) {
                if (p.name == n.name && !seen[static_cast<int>(n.role)]) {
                    if (p.list) {
                        error = fail(e.line, "the vertex property " + p.name + " is a list");
                        return false;
                    }
                    p.role = n.role;
                    seen[static_cast<int>(n.role)] = true;
                }
            }
        }
        for (const auto& pair : kTexturePairs) {
            Property* u = nullptr;
            Property* v = nullptr;
            for (Property& p : e.properties) {
                if (p.list) continue;
                if (p.name == pair[0] && !u) u = &p;
                if (p.name == pair[1] && !v) v = &p;
            }
            if (u && v && u->role == Role::none && v->role == Role::none) {
                u->role = Role::u;
                v->role = Role::v;
                mesh_.hasTexCoords = true;
                break;
            }
        }
        // The normals, where asked for and all three are there.
        if (options_.keepNormals) {
            static constexpr std::string_view kNormalNames[3] = {"nx", "ny", "nz"};
            Property* n[3] = {};
            for (Property& p : e.properties) {
                for (int k = 0; k < 3; ++k) {
                    if (!p.list && p.role == Role::none && p.name == kNormalNames[k] && !n[k])
                        n[k] = &p;
                }
            }
            if (n[0] && n[1] && n[2]) {
                n[0]->role = Role::nx;
                n[1]->role = Role::ny;
                n[2]->role = Role::nz;
                mesh_.hasNormals = true;
            }
        }
        for (Role r : {Role::x, Role::y, Role::z}) {
            if (!seen[static_cast<int>(r)]) {
                error = fail(e.line, std::string("the vertex element has no property ") +
                                         "xyz"[static_cast<int>(r) - 1]);
                return false;
            }
        }
        bool red = seen[static_cast<int>(Role::red)], green = seen[static_cast<int>(Role::green)],
             blue = seen[static_cast<int>(Role::blue)];
        hasAlpha_ = seen[static_cast<int>(Role::alpha)];
        if (red || green || blue || hasAlpha_) {
            if (!(red && green && blue)) {
                error = fail(e.line, "the vertex element has some of red, green and blue, not all");
                return false;
            }
            mesh_.hasColors = true;
            bool anyInteger = false, anyFloat = false;
            for (const Property& p : e.properties) {
                if (p.role >= Role::red && p.role <= Role::alpha) {
                    (IsFloat(p.type) ? anyFloat : anyInteger) = true;
                }
            }
            if (anyInteger && anyFloat) {
                error = fail(e.line, "the colour properties mix integer and floating-point types");
                return false;
            }
            integerColors_ = anyInteger;
        }
    }
    if (face_) {
        Element& e = *face_;
        bool found = false;
        for (Property& p : e.properties) {
            if (p.name != "vertex_indices" && p.name != "vertex_index") continue;
            if (!p.list || IsFloat(p.type)) {
                error = fail(e.line, "the face property " + p.name + " is not a list of integers");
                return false;
            }
            p.role = Role::indices;
            found = true;
            break;
        }
        for (Property& p : e.properties) {
            if (p.name == "texcoord" && p.list && !cornerUv_) {
                p.role = Role::texcoord;
                cornerUv_ = true;
            }
            for (std::string_view c : {"red", "green", "blue", "alpha", "diffuse_red",
                                       "diffuse_green", "diffuse_blue", "diffuse_alpha"})
                faceColors_ = faceColors_ || p.name == c;
        }
        if (cornerUv_) {
            vertexUv_ = mesh_.hasTexCoords;
            mesh_.hasTexCoords = true;
        }
        if (!found) {
            error = fail(e.line, "the face element has no vertex_indices list");
            return false;
        }
    }
    return true;
}

bool PlyReader::checkSizes(ImportResult& error) {
    // The least each element can take: ASCII two characters per value (a
    // list at least its count), binary the bytes of its types.
    // Sums stay far below 2^128: counts below 2^32, properties fewer than
    // the bytes of the header.
    // The last ASCII value may end the file without a separator.
    const auto available = static_cast<uint64_t>(end_ - pos_);
    const unsigned slack = encoding_ == Encoding::ascii ? 1 : 0;
    unsigned __int128 needed = 0;
    for (const Element& e : elements_) {
        uint64_t perElement = 0;
        for (const Property& p : e.properties) {
            perElement += encoding_ == Encoding::ascii ? 2 : SizeOf(p.list ? p.countType : p.type);
        }
        needed += static_cast<unsigned __int128>(e.count) * perElement;
        if (needed > available + slack) {
            const unsigned __int128 least = needed - slack;
            std::string bytes = least > UINT64_MAX ? "more than 18446744073709551615"
                                                   : std::to_string(static_cast<uint64_t>(least));
            error =
                fail(e.line, "the counts up to element " + e.name + " (" + std::to_string(e.count) +
                                 ") need at least " + bytes + " bytes of data, but only " +
                                 std::to_string(available) + " follow the header");
            return false;
        }
    }
    return true;
}

// The largest count of a list of count type `type`.
uint64_t MostOf(PlyType type) {
    int64_t low = 0, high = 0;
    RangeOf(type, low, high);
    return static_cast<uint64_t>(high);
}

bool PlyReader::start(bool whole, bool& complete, uint64_t& most, ImportResult& error) {
    complete = false;
    const char* end = end_;
    if (!whole) {
        // Only whole lines: the last may go on.
        const char* p = end_;
        while (p > pos_ && p[-1] != '\n')
            --p;
        end_ = p;
    }
    const bool read = header(error);
    const bool ended = pos_ >= end_;
    end_ = end;
    if (!read) {
        // Running out of lines is no fault while more may come.
        const std::string& what = error.error.message;
        if (!whole && ended &&
            (what.ends_with("no \"end_header\" line") || what.ends_with("found end of file"))) {
            error = ImportResult{};
            return true;
        }
        return false;
    }
    complete = true;
    if (encoding_ == Encoding::ascii) return true;
    unsigned __int128 bytes = static_cast<uint64_t>(pos_ - begin_);
    for (const Element& e : elements_) {
        unsigned __int128 record = 0;
        for (const Property& p : e.properties) {
            using Wide = unsigned __int128;
            record += p.list ? SizeOf(p.countType) + Wide{MostOf(p.countType)} * SizeOf(p.type)
                             : SizeOf(p.type);
        }
        bytes += record * e.count;
        if (bytes >= UINT64_MAX) return true;
    }
    most = static_cast<uint64_t>(bytes);
    return true;
}

template <typename T>
T Load(const char* p, bool swap) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if (swap) {
        if constexpr (sizeof(T) == 2)
            v = std::bit_cast<T>(__builtin_bswap16(std::bit_cast<uint16_t>(v)));
        if constexpr (sizeof(T) == 4)
            v = std::bit_cast<T>(__builtin_bswap32(std::bit_cast<uint32_t>(v)));
        if constexpr (sizeof(T) == 8)
            v = std::bit_cast<T>(__builtin_bswap64(std::bit_cast<uint64_t>(v)));
    }
    return v;
}

const char* TypeNameOf(PlyType type) {
    static const char* const kNames[] = {"char", "uchar", "short", "ushort",
                                         "int",  "uint",  "float", "double"};
    return kNames[static_cast<int>(type)];
}

bool PlyReader::value(PlyType type, Value& out, const Element& element, uint64_t index,
                      const Property& property, bool count, ImportResult& error) {
    auto where = [&] {
        return std::string(count ? "the list count of " : "") + "property " + property.name +
               " of " + element.name + " " + std::to_string(index);
    };
    if (encoding_ != Encoding::ascii) {
        const size_t size = SizeOf(type);
        if (static_cast<size_t>(end_ - pos_) < size) {
            error = failHere("the data ends inside " + element.name + " " + std::to_string(index) +
                             " (of " + std::to_string(element.count) + ")");
            return false;
        }
        const bool swap = encoding_ == Encoding::big;
        out.integer = !IsFloat(type);
        switch (type) {
            case PlyType::int8:
                out.i = static_cast<int8_t>(*pos_);
                break;
            case PlyType::uint8:
                out.i = static_cast<uint8_t>(*pos_);
                break;
            case PlyType::int16:
                out.i = Load<int16_t>(pos_, swap);
                break;
            case PlyType::uint16:
                out.i = Load<uint16_t>(pos_, swap);
                break;
            case PlyType::int32:
                out.i = Load<int32_t>(pos_, swap);
                break;
            case PlyType::uint32:
                out.i = Load<uint32_t>(pos_, swap);
                break;
            case PlyType::float32:
                out.f = Load<float>(pos_, swap);
                break;
            // One rounding, to nearest.
            case PlyType::float64:
                out.f = static_cast<float>(Load<double>(pos_, swap));
                break;
        }
        pos_ += size;
        return true;
    }
    pos_ = SkipSpace(pos_, end_);
    if (pos_ == end_) {
        error = failHere("expected " + where() + ", found end of file");
        return false;
    }
    const char* tokenEnd = TokenEnd(pos_, end_);
    if (IsFloat(type)) {
        out.integer = false;
        if (ParseFloat(pos_, tokenEnd, out.f).ec != std::errc()) {
            error =
                failHere("expected a number for " + where() + ", found " + Quote(pos_, tokenEnd));
            return false;
        }
    } else {
        out.integer = true;
        int64_t low = 0, high = 0;
        RangeOf(type, low, high);
        if (!detail::ParseInteger(pos_, tokenEnd, out.i) || out.i < low || out.i > high) {
            error = failHere(std::string("expected a value of type ") + TypeNameOf(type) + " for " +
                             where() + ", found " + Quote(pos_, tokenEnd));
            return false;
        }
    }
    pos_ = tokenEnd;
    return true;
}

float AsFloat(const Value& v) {
    return v.integer ? static_cast<float>(v.i) : v.f;
}

bool PlyReader::readElement(const Element& e, uint64_t first, ImportResult& error) {
    const bool isVertex = &e == vertex_;
    const bool isFace = &e == face_;
    const uint64_t vertexCount = vertex_ ? vertex_->count : 0;
    Value v;
    for (uint64_t i = first; i < e.count; ++i) {
        float floats[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        uint8_t bytes[4] = {0, 0, 0, 255};
        for (const Property& p : e.properties) {
            if (!p.list) {
                if (!value(p.type, v, e, i, p, false, error)) return false;
                if (!isVertex || p.role == Role::none) continue;
                switch (p.role) {
                    case Role::x:
                    case Role::y:
                    case Role::z:
                        mesh_.positions[3 * i + static_cast<size_t>(p.role) - 1] = AsFloat(v);
                        break;
                    case Role::nx:
                    case Role::ny:
                    case Role::nz:
                        mesh_.normals[3 * i + static_cast<size_t>(p.role) -
                                      static_cast<size_t>(Role::nx)] = AsFloat(v);
                        break;
                    case Role::u:
                        mesh_.texCoords[2 * i] = AsFloat(v);
                        break;
                    case Role::v:
                        mesh_.texCoords[2 * i + 1] = AsFloat(v);
                        break;
                    default: {
                        int channel = static_cast<int>(p.role) - static_cast<int>(Role::red);
                        if (v.integer) {
                            if (v.i < 0 || v.i > 255) {
                                error =
                                    failHere("the " + std::string(detail::ChannelName(channel)) +
                                             " value " + std::to_string(v.i) + " of vertex " +
                                             std::to_string(i) + " is not a byte (0 to 255)");
                                return false;
                            }
                            bytes[channel] = static_cast<uint8_t>(v.i);
                        } else {
                            floats[channel] = v.f;
                        }
                    }
                }
                continue;
            }
            Value n;
            if (!value(p.countType, n, e, i, p, true, error)) return false;
            if (n.i < 0) {
                error = failHere("the list " + p.name + " of " + e.name + " " + std::to_string(i) +
                                 " has a negative length, " + std::to_string(n.i));
                return false;
            }
            const bool corners = isFace && p.role == Role::indices;
            const bool uv = isFace && p.role == Role::texcoord;
            if (corners) {
                // Fewer than 3 corners make a point or a line: checked,
                // then dropped.
                if (n.i < 3) ++dropped_;
                corners_.clear();
            }
            if (uv) faceUv_.clear();
            for (int64_t k = 0; k < n.i; ++k) {
                if (!value(p.type, v, e, i, p, false, error)) return false;
                if (uv) faceUv_.push_back(AsFloat(v));
                if (!corners) continue;
                if (v.i < 0 || static_cast<uint64_t>(v.i) >= vertexCount) {
                    error = failHere("face " + std::to_string(i) + " names vertex " +
                                     std::to_string(v.i) + " of " + std::to_string(vertexCount));
                    return false;
                }
                corners_.push_back(static_cast<uint32_t>(v.i));
            }
        }
        if (isFace && corners_.size() >= 3) {
            const bool uvGiven = faceUv_.size() == 2 * corners_.size();
            if (cornerUv_ && !uvGiven) ++wrongUv_;
            addFace(uvGiven);
        }
        if (isFace) {
            corners_.clear();
            faceUv_.clear();
        }
        if (isVertex && mesh_.hasColors) {
            uint32_t color = 0;
            if (integerColors_) {
                color = EncodeColor({bytes[0], bytes[1], bytes[2], bytes[3]}, options_.colorOrder);
            } else {
                int bad = 0;
                if (!detail::PackRgba(floats, options_.colorOrder, color, bad)) {
                    error = failHere("the " + std::string(detail::ChannelName(bad)) + " value " +
                                     detail::FloatText(floats[bad]) + " of vertex " +
                                     std::to_string(i) + " cannot be packed into a colour word");
                    return false;
                }
            }
            mesh_.colors[i] = color;
        }
    }
    return true;
}

uint64_t PlyReader::fastVertices(const Element& e) {
    // The offset in the record of each role's value, or SIZE_MAX.
    size_t at[static_cast<int>(Role::count)];
    std::fill(std::begin(at), std::end(at), SIZE_MAX);
    size_t record = 0;
    for (const Property& p : e.properties) {
        if (p.list) return 0;
        const bool isColor = p.role >= Role::red && p.role <= Role::alpha;
        if (p.role != Role::none &&
            (isColor ? p.type != PlyType::uint8 : p.type != PlyType::float32))
            return 0;
        if (p.role != Role::none) at[static_cast<int>(p.role)] = record;
        record += SizeOf(p.type);
    }
    const auto available = static_cast<size_t>(end_ - pos_);
    const uint64_t n = std::min<uint64_t>(e.count, available / record);
    auto offset = [&](Role r) { return at[static_cast<int>(r)]; };
    const size_t x = offset(Role::x), y = offset(Role::y), z = offset(Role::z);
    const size_t nx = offset(Role::nx), ny = offset(Role::ny), nz = offset(Role::nz);
    const size_t u = offset(Role::u), v = offset(Role::v);
    const size_t r = offset(Role::red), g = offset(Role::green), b = offset(Role::blue),
                 a = offset(Role::alpha);
    // Texture coordinates of the vertices, rather than only of the faces'
    // corners.
    const bool vertexUv = u != SIZE_MAX;
    const bool packed = y == x + 4 && z == x + 8;
    const bool packedNormals = mesh_.hasNormals && ny == nx + 4 && nz == nx + 8;
    const ColorOrder order = options_.colorOrder;
    float* positions = mesh_.positions.data();
    float* normals = mesh_.normals.data();
    float* uv = mesh_.texCoords.data();
    uint32_t* colors = mesh_.colors.data();
    const char* p = pos_;
    for (uint64_t i = 0; i < n; ++i, p += record) {
        if (packed) {
            std::memcpy(positions + 3 * i, p + x, 12);
        } else {
            std::memcpy(positions + 3 * i, p + x, 4);
            std::memcpy(positions + 3 * i + 1, p + y, 4);
            std::memcpy(positions + 3 * i + 2, p + z, 4);
        }
        if (packedNormals) {
            std::memcpy(normals + 3 * i, p + nx, 12);
        } else if (mesh_.hasNormals) {
            std::memcpy(normals + 3 * i, p + nx, 4);
            std::memcpy(normals + 3 * i + 1, p + ny, 4);
            std::memcpy(normals + 3 * i + 2, p + nz, 4);
        }
        if (vertexUv) {
            std::memcpy(uv + 2 * i, p + u, 4);
            std::memcpy(uv + 2 * i + 1, p + v, 4);
        }
        if (mesh_.hasColors) {
            const auto byte = [p](size_t k) { return static_cast<uint8_t>(p[k]); };
            colors[i] = EncodeColor(
                {byte(r), byte(g), byte(b), a == SIZE_MAX ? uint8_t{255} : byte(a)}, order);
        }
    }
    pos_ = p;
    return n;
}

uint64_t PlyReader::fastFaces(const Element& e) {
    if (e.properties.size() != 1 || !verticesRead_ || cornerUv_) return 0;
    const Property& list = e.properties[0];
    const uint64_t vertexCount = vertex_->count;
    const bool countByte = list.countType == PlyType::uint8;
    if (list.role != Role::indices ||
        !(countByte || list.countType == PlyType::int32 || list.countType == PlyType::uint32) ||
        !(list.type == PlyType::uint32 || list.type == PlyType::int32) ||
        // A negative int32 index, seen as a uint32, is then above every
        // vertex.
        vertexCount > INT32_MAX) {
        return 0;
    }
    const size_t record = (countByte ? 1 : 4) + 12;
    const auto limit = static_cast<uint32_t>(vertexCount);
    const auto available = static_cast<size_t>(end_ - pos_);
    const uint64_t most = std::min<uint64_t>(e.count, available / record);
    std::vector<uint32_t>& triangles = mesh_.triangles;
    const size_t before = triangles.size();
    triangles.resize(before + 3 * most);
    uint32_t* out = triangles.data() + before;
    const char* p = pos_;
    uint64_t i = 0;
    for (; i < most; ++i, p += record) {
        uint32_t count = 0;
        if (countByte) {
            count = static_cast<uint8_t>(*p);
        } else {
            std::memcpy(&count, p, 4);
        }
        if (count != 3) break;
        uint32_t corner[3];
        std::memcpy(corner, p + (countByte ? 1 : 4), 12);
        if ((corner[0] >= limit) | (corner[1] >= limit) | (corner[2] >= limit)) break;
        std::memcpy(out + 3 * i, corner, 12);
    }
    triangles.resize(before + 3 * i);
    pos_ = p;
    return i;
}

// The start of the text's last line: every token that starts before it
// ends at white space before the end of the text.
const char* LastLineStart(const char* first, const char* last) {
    while (last > first && last[-1] != '\n')
        --last;
    return last;
}

// White space from `p` to the next token, which starts before `limit`:
// false, `p` anywhere, when none does.
inline bool NextToken(const char*& p, const char* limit) {
    while (p < limit && detail::IsSpaceByte(*p))
        ++p;
    return p < limit;
}

// Plain decimal digits at `p`, at most `most` of them, ended by white
// space: their value, `p` then past them; false for every other token.
inline bool ScanDigitsToken(const char*& p, size_t most, uint64_t& value) {
    const char* digits = p;
    value = 0;
    detail::ScanDigitsInLine(p, value);
    return static_cast<size_t>(p - digits) - 1 < most && detail::IsSpaceByte(*p);
}

uint64_t PlyReader::fastTextVertices(const Element& e) {
    for (const Property& p : e.properties) {
        const bool isColor = p.role >= Role::red && p.role <= Role::alpha;
        if (p.list || (isColor && p.type != PlyType::uint8) ||
            (!isColor && !IsFloat(p.type) && (p.role != Role::none || p.type != PlyType::uint8)))
            return 0;
    }
    const char* limit = LastLineStart(pos_, end_);
    float* positions = mesh_.positions.data();
    float* normals = mesh_.normals.data();
    float* uv = mesh_.texCoords.data();
    const ColorOrder order = options_.colorOrder;
    for (uint64_t i = 0; i < e.count; ++i) {
        const char* p = pos_;
        uint8_t bytes[4] = {0, 0, 0, 255};
        for (const Property& property : e.properties) {
            if (!NextToken(p, limit)) return i;
            if (!IsFloat(property.type)) {
                uint64_t byte = 0;
                if (!ScanDigitsToken(p, 3, byte) || byte > 255) return i;
                if (property.role != Role::none)
                    bytes[static_cast<int>(property.role) - static_cast<int>(Role::red)] =
                        static_cast<uint8_t>(byte);
                continue;
            }
            float f = 0.0f;
            if (const char* end = detail::ScanPlainFloatInLine(p, f)) {
                p = end;
            } else {
                const char* tokenEnd = TokenEnd(p, end_);
                if (ParseFloat(p, tokenEnd, f).ec != std::errc()) return i;
                p = tokenEnd;
            }
            const auto role = static_cast<size_t>(property.role);
            switch (property.role) {
                case Role::x:
                case Role::y:
                case Role::z:
                    positions[3 * i + role - 1] = f;
                    break;
                case Role::nx:
                case Role::ny:
                case Role::nz:
                    normals[3 * i + role - static_cast<size_t>(Role::nx)] = f;
                    break;
                case Role::u:
                    uv[2 * i] = f;
                    break;
                case Role::v:
                    uv[2 * i + 1] = f;
                    break;
                default:
                    break;
            }
        }
        if (mesh_.hasColors)
            mesh_.colors[i] = EncodeColor({bytes[0], bytes[1], bytes[2], bytes[3]}, order);
        pos_ = p;
    }
    return e.count;
}

uint64_t PlyReader::fastTextFaces(const Element& e) {
    if (e.properties.size() != 1 || !verticesRead_ || cornerUv_) return 0;
    const Property& list = e.properties[0];
    if (list.role != Role::indices ||
        !(list.type == PlyType::uint32 || list.type == PlyType::int32))
        return 0;
    const uint64_t vertexCount = vertex_->count;
    const char* limit = LastLineStart(pos_, end_);
    std::vector<uint32_t>& triangles = mesh_.triangles;
    for (uint64_t i = 0; i < e.count; ++i) {
        const char* p = pos_;
        uint64_t count = 0;
        if (!NextToken(p, limit) || !ScanDigitsToken(p, 1, count) || count != 3) return i;
        uint32_t corner[3];
        for (uint32_t& c : corner) {
            // At most 9 digits: every int and uint index below the count.
            uint64_t index = 0;
            if (!NextToken(p, limit) || !ScanDigitsToken(p, 9, index) || index >= vertexCount)
                return i;
            c = static_cast<uint32_t>(index);
        }
        triangles.insert(triangles.end(), corner, corner + 3);
        pos_ = p;
    }
    return e.count;
}

void PlyReader::addFace(bool uvGiven) {
    const auto count = static_cast<uint32_t>(corners_.size());
    if (verticesRead_ || !vertex_) {
        splitFace(corners_.data(), count, uvGiven ? faceUv_.data() : nullptr);
        return;
    }
    laterCounts_.push_back(count);
    laterCorners_.insert(laterCorners_.end(), corners_.begin(), corners_.end());
    if (!cornerUv_) return;
    for (uint32_t k = 0; k < count; ++k) {
        // NaN marks a corner without texture coordinates of its own.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        laterUv_.push_back(uvGiven ? faceUv_[2 * k] : nan);
        laterUv_.push_back(uvGiven ? faceUv_[2 * k + 1] : nan);
    }
}

void PlyReader::splitFace(const uint32_t* corners, uint32_t count, const float* uv) {
    if (!cornerUv_) {
        detail::AddPolygon(mesh_.positions.data(), corners, count, mesh_.triangles, fanned_);
        return;
    }
    // Split over the corners' own positions, so that each triangle names
    // corners (a vertex may come twice with different texture coordinates).
    facePositions_.clear();
    slots_.clear();
    for (uint32_t k = 0; k < count; ++k) {
        const float* p = &mesh_.positions[size_t{corners[k]} * 3];
        facePositions_.insert(facePositions_.end(), p, p + 3);
        slots_.push_back(k);
    }
    split_.clear();
    detail::AddPolygon(facePositions_.data(), slots_.data(), count, split_, fanned_);
    for (uint32_t slot : split_) {
        const uint32_t vertex = corners[slot];
        float u = 0.0f, v = 0.0f;
        if (uv && !std::isnan(uv[2 * slot])) {
            u = uv[2 * slot];
            v = uv[2 * slot + 1];
        } else if (vertexUv_) {
            u = mesh_.texCoords[size_t{vertex} * 2];
            v = mesh_.texCoords[size_t{vertex} * 2 + 1];
        }
        uvCorners_.push_back({vertex, u, v});
    }
}

bool PlyReader::splitVertices(ImportResult& error) {
    struct Key {
        uint32_t vertex, u, v;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        size_t operator()(const Key& k) const {
            uint64_t h = (uint64_t{k.vertex} * 0x9E3779B97F4A7C15u) ^ k.u;
            return static_cast<size_t>((h * 0xC2B2AE3D27D4EB4Fu) ^ k.v);
        }
    };
    ImportedMesh out;
    out.hasColors = mesh_.hasColors;
    out.hasTexCoords = true;
    out.hasNormals = mesh_.hasNormals;
    out.warnings = std::move(mesh_.warnings);
    std::unordered_map<Key, uint32_t, Hash> vertexOf;
    out.triangles.reserve(uvCorners_.size());
    for (const UvCorner& c : uvCorners_) {
        const Key key{c.vertex, std::bit_cast<uint32_t>(c.u), std::bit_cast<uint32_t>(c.v)};
        const size_t next = vertexOf.size();
        if (next > UINT32_MAX) {
            error = fail(0, "more than 4294967296 vertices");
            return false;
        }
        auto [it, added] = vertexOf.try_emplace(key, static_cast<uint32_t>(next));
        if (added) {
            const float* p = &mesh_.positions[size_t{c.vertex} * 3];
            out.positions.insert(out.positions.end(), p, p + 3);
            if (out.hasColors) out.colors.push_back(mesh_.colors[c.vertex]);
            out.texCoords.insert(out.texCoords.end(), {c.u, c.v});
            if (out.hasNormals) {
                const float* n = &mesh_.normals[size_t{c.vertex} * 3];
                out.normals.insert(out.normals.end(), n, n + 3);
            }
        }
        out.triangles.push_back(it->second);
    }
    mesh_ = std::move(out);
    return true;
}

ImportResult PlyReader::read() {
    ImportResult error;
    if (!header(error) || !assignRoles(error) || !checkSizes(error)) return error;
    if (vertex_) {
        // The counts fit the file (checkSizes), so these sizes are bounded.
        mesh_.positions.resize(vertex_->count * 3);
        if (mesh_.hasColors) mesh_.colors.resize(vertex_->count);
        if (mesh_.hasTexCoords) mesh_.texCoords.resize(vertex_->count * 2);
        if (mesh_.hasNormals) mesh_.normals.resize(vertex_->count * 3);
    }
    if (face_) mesh_.triangles.reserve(face_->count * 3);
    for (const Element& e : elements_) {
        // An element without properties holds no data, however many there
        // are: nothing to read, and no need to count to four billion.
        if (e.properties.empty()) continue;
        uint64_t first = 0;
        if (scan_ == detail::Scan::fast && encoding_ == Encoding::little &&
            std::endian::native == std::endian::little) {
            if (&e == vertex_) first = fastVertices(e);
            if (&e == face_) first = fastFaces(e);
        } else if (scan_ == detail::Scan::fast && encoding_ == Encoding::ascii) {
            if (&e == vertex_) first = fastTextVertices(e);
            if (&e == face_) first = fastTextFaces(e);
        }
        if (first < e.count && !readElement(e, first, error)) return error;
        if (&e == vertex_) verticesRead_ = true;
    }
    // The faces that came before the vertices.
    size_t at = 0;
    for (uint32_t count : laterCounts_) {
        const float* uv = cornerUv_ ? &laterUv_[2 * at] : nullptr;
        splitFace(&laterCorners_[at], count, uv);
        at += count;
    }
    if (unknownLines_ > 1) firstUnknown_ += ", and " + std::to_string(unknownLines_ - 1) + " more";
    if (unknownLines_ != 0) mesh_.warnings.push_back(firstUnknown_);
    const uint64_t faces = face_ ? face_->count : 0;
    if (faceColors_ && faces != 0) {
        mesh_.warnings.push_back(path_ + ": the faces' colour properties are not kept");
    }
    if (wrongUv_ != 0) {
        mesh_.warnings.push_back(path_ + ": " + CountOf(wrongUv_, "face has", "faces have") +
                                 " a texcoord list of other than 2 values per corner; " +
                                 (vertexUv_
                                      ? "their corners take their vertices' texture coordinates"
                                      : "their corners take (0, 0)"));
    }
    if (cornerUv_ && !splitVertices(error)) return error;
    return detail::Finished(path_, mesh_, dropped_, fanned_);
}

}  // namespace

ImportResult ReadPly(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options) {
    return detail::ReadText<PlyReader>(path, data, size, options);
}

namespace detail {

ImportResult ReadPlyWith(const std::string& path, const char* data, size_t size,
                         const ReadOptions& options, Scan scan) {
    return ReadText<PlyReader>(path, data, size, options, scan);
}

bool CheckPlyStart(const std::string& path, const char* data, size_t size, size_t checked,
                   bool whole, uint64_t& most, ImportResult& error) {
    const size_t bom = ByteOrderMarkSize(data, size);
    // "ply" and a line end, the line end perhaps CR LF.
    const char* text = data + bom;
    const size_t held = size - bom;
    auto begins = [&](std::string_view magic) {
        return std::memcmp(text, magic.data(), std::min(held, magic.size())) == 0;
    };
    const bool plausible = begins("ply\n") || begins("ply\r\n");
    if (!plausible) {
        error = BadInput(path, 0, "not a PLY file (it does not begin with \"ply\")");
        return false;
    }
    if (most != UINT64_MAX) return true;  // a binary body, bounded already
    ReadOptions options;
    bool complete = false;
    uint64_t body = UINT64_MAX;
    PlyReader reader(path, data + bom, size - bom, options);
    ImportResult started = GuardMemory(path, [&] {
        ImportResult wrong;
        reader.start(whole, complete, body, wrong);
        return wrong;
    });
    if (!started.ok()) {
        error = std::move(started);
        return false;
    }
    if (body != UINT64_MAX) {
        most = body + bom;  // binary: no zero bytes to look for
        return true;
    }
    // The header, and ASCII data, are text.
    const size_t zero = ZeroByteAt(data, checked, size);
    if (zero != SIZE_MAX) {
        error = ZeroByteInText(path, "PLY", zero);
        return false;
    }
    return true;
}

}  // namespace detail

}  // namespace kvx
