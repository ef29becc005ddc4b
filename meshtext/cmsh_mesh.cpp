#include "meshtext/cmsh_mesh.h"

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "meshcore/edges.h"
#include "meshcore/normals.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/color.h"
#include "meshtext/text_file.h"
#include "meshtext/tokens.h"

namespace kvx {
namespace {

// How far past the last entry the advice on trailing text looks.
constexpr size_t kTrailingLimit = size_t{16} << 20;

constexpr char kDone[] = "\t\t\tdone!\n";

CmshLayout ReaderLayoutOf(const Layout& l) {
    CmshLayout c;
    c.valuesPerVertex = l.text.valuesPerVertex;
    c.vertexBytes = l.recordSize;
    c.readsTriangles = l.text.readsTriangles;
    // The largest array kept per triangle: the faces with their normals,
    // the two edge lists of a wireframe, or the index triple.
    c.triangleBytes = !l.text.readsTriangles            ? 0
                      : l.text.smoothNormals            ? uint32_t{sizeof(CFace)}
                      : l.primitive == Primitive::lines ? uint32_t{3 * sizeof(CLine)}
                                                        : uint32_t{3 * sizeof(uint16_t)};
    c.readsName = l.text.readsName;
    return c;
}

// The converters that read entries of n values, as the table names them.
std::string ConvertersOf(uint32_t n) {
    std::string names;
    for (const Layout& l : Layouts()) {
        if (l.text.program == nullptr || l.text.valuesPerVertex != n) continue;
        if (!names.empty()) names += ", ";
        names += l.text.program;
    }
    return names;
}

// Whether the text of n values per vertex ends in a name word.
bool ReadsName(uint32_t n) {
    for (const Layout& l : Layouts())
        if (l.text.program != nullptr && l.text.valuesPerVertex == n && l.text.readsName)
            return true;
    return false;
}

// An array the work allocates: into the caller's pointer where given, else
// its own, freed when it goes.
template <typename T>
class WorkArray {
public:
    explicit WorkArray(T** caller) : slot_(caller != nullptr ? caller : &own_) {}
    ~WorkArray() { KvxFree(own_); }
    WorkArray(const WorkArray&) = delete;
    WorkArray& operator=(const WorkArray&) = delete;
    T*& get() { return *slot_; }
    void release() {
        KvxFree(*slot_);
        *slot_ = nullptr;
    }

private:
    T* own_ = nullptr;
    T** slot_;
};

class Conversion {
public:
    Conversion(const char* path, const std::string& name, const Layout& layout, OKVX& m,
               Failure& failure, CmshEcho* echo)
        : path_(path),
          name_(name),
          layout_(layout),
          text_(ReaderLayoutOf(layout)),
          m_(m),
          failure_(failure),
          echo_(echo) {}

    bool run(const CmshWork& work, CmshRead* read);

private:
    bool fail(Failure f) {
        failure_ = std::move(f);
        return false;
    }
    bool readerFailed() {
        if (input_.changed()) return fail(BadInput(name_ + ": the file changed while it was read"));
        return fail(BadInput(reader_.error()));
    }
    template <typename T>
    bool allocate(T*& array, uint64_t count) {
        array = KvxAllocateArray<T>(count);
        return array != nullptr || fail(MemoryFailure(count * sizeof(T)));
    }
    bool echoes(Echo e) const { return echo_ != nullptr && layout_.text.echo == e; }
    bool echoesRecords() const {
        return echoes(Echo::counts_vertices_triangles) || echoes(Echo::counts_vertices);
    }
    void say(const char* line) {
        if (echoes(Echo::progress)) echo_->text(line);
    }

    bool begin();
    template <typename Record>
    bool readVertices(Record* records);
    bool readVertices();
    bool readTriangles(uint16_t* indices, bool echo);
    bool endInput();
    std::string trailingAdvice(const TrailingText& rest) const;
    bool buildEdges(const CmshWork& work);

    const char* path_;
    const std::string& name_;
    const Layout& layout_;
    const CmshLayout text_;
    OKVX& m_;
    Failure& failure_;
    CmshEcho* echo_;
    TextFile input_;
    CmshReader reader_{"", nullptr, nullptr};
    std::string advice_;
    uint32_t textFaceCount_ = 0;  // the face count as the text gives it
};

bool Conversion::begin() {
    KvxStatus why;
    // A stream is read as far as the counts first (three tokens started).
    if (!input_.open(path_, 3, &why)) return fail(InputFailure(name_, why));
    reader_ = CmshReader(name_, input_.begin(), input_.end());
    const bool counted = reader_.readCounts(text_, m_.vertexCount, m_.faceCount);
    // A stream's first step ends once a third token starts. Short of that,
    // its bytes ran out before the counts did, or the second may be cut.
    if (!input_.whole() &&
        (counted ? CountTokens(input_.begin(), input_.end()) < 3 : reader_.atEnd())) {
        return fail(BadInput(name_ + ": no vertex and face counts in the first " +
                             std::to_string(TextFile::kFirstStepBytes) + " bytes"));
    }
    if (!counted) return readerFailed();
    if (!input_.whole()) {
        // The rest of a stream, as far as the counts need it.
        uint64_t tokens = CmshReader::TokensNeeded(text_, m_.vertexCount, m_.faceCount) +
                          (text_.readsName ? 1 : 0);
        if (!input_.readTokens(tokens, kTrailingLimit, &why)) return fail(InputFailure(name_, why));
        reader_.rebase(input_.begin(), input_.end());
    }
    if (!reader_.checkRoom(text_, m_.vertexCount, m_.faceCount)) return readerFailed();
    textFaceCount_ = m_.faceCount;
    return true;
}

template <typename Record>
bool Conversion::readVertices(Record* records) {
    const TextLayout& t = layout_.text;
    auto build = [records, &t](uint32_t i, const float* values) {
        Record& r = records[i];
        const float* at = values + t.positionAt;
        if constexpr (requires { r.u; }) {
            r.u = values[t.uvAt];
            r.v = 1.0f - values[t.uvAt + 1];  // the second texture coordinate is flipped
        }
        if (t.colorAt == kAbsent) {
            r.color = t.fixedColor;
        }
        r.x = at[0];
        r.y = at[1];
        r.z = at[2];
        if (t.colorAt == kAbsent) return true;
        int bad = 0;
        return PackColor(values + t.colorAt, r.color, bad);
    };
    auto call = [](void* context, uint32_t i, const float* values) {
        return (*static_cast<decltype(build)*>(context))(i, values);
    };
    uint32_t done = 0;
    bool ok =
        reader_.readVertices(m_.vertexCount, t.valuesPerVertex, t.colorAt, call, &build, done);
    if (echoesRecords()) echo_->vertices(m_, done);
    return ok || readerFailed();
}

bool Conversion::readVertices() {
    void* records = KvxAllocate(m_.vertexCount, layout_.recordSize);
    if (records == nullptr)
        return fail(MemoryFailure(uint64_t{m_.vertexCount} * layout_.recordSize));
    SetVertexArray(m_, layout_, records);
    switch (layout_.member) {
        case VertexMember::v1:
            return readVertices(m_.verticesV1);
        case VertexMember::v2:
            return readVertices(m_.verticesV2);
        case VertexMember::v3:
            return readVertices(m_.verticesV3);
        case VertexMember::v4:
            return readVertices(m_.verticesV4);
    }
    return false;
}

bool Conversion::readTriangles(uint16_t* indices, bool echo) {
    uint32_t done = 0;
    bool ok = reader_.readTriangles(m_.faceCount, m_.vertexCount, indices, done);
    if (echo) echo_->triangles(indices, done);
    return ok || readerFailed();
}

bool Conversion::endInput() {
    TrailingText rest = reader_.trailing(kTrailingLimit);
    if (input_.changed()) return fail(BadInput(name_ + ": the file changed while it was read"));
    advice_ = trailingAdvice(rest);
    reader_ = CmshReader(name_, nullptr, nullptr);
    // The text goes, so that the arrays built afterwards do not add to it.
    input_.close();
    return true;
}

std::string Conversion::trailingAdvice(const TrailingText& rest) const {
    const bool whole = rest.whole && input_.whole();
    const uint32_t vertexCount = m_.vertexCount;
    const uint32_t faceCount = textFaceCount_;
    // The values read, and all that follow them, taken as another layout.
    const uint64_t read = CmshReader::TokensNeeded(text_, vertexCount, faceCount) - 2;
    std::vector<uint32_t> sizes;
    for (const Layout& l : Layouts())
        if (l.text.program != nullptr) sizes.push_back(l.text.valuesPerVertex);
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    std::string fits;
    for (uint32_t n : sizes) {
        uint64_t total = uint64_t{vertexCount} * n + uint64_t{faceCount} * 3;
        uint64_t all = read + rest.tokens;
        if (whole && n != text_.valuesPerVertex &&
            (all == total || (ReadsName(n) && all == total + 1)))
            fits = "; this looks like a " + std::to_string(n) + "-value mesh (" + ConvertersOf(n) +
                   ")";
    }
    std::string count = (whole ? "" : "more than ") + std::to_string(rest.tokens);
    if (!text_.readsTriangles) {
        // A point set stops after its vertices, where the triangle entries
        // follow: only a text that fits another layout better is worth a word.
        if (fits.empty()) return "";
        return count + " values follow the last vertex, where " + std::to_string(faceCount) +
               " triangle entries take " + std::to_string(uint64_t{faceCount} * 3) + fits;
    }
    if (rest.tokens == 0 && whole) return "";
    if (text_.readsName) {
        return count + (rest.tokens == 1 && whole ? " word follows" : " words follow") +
               " the name, which is one word" + fits;
    }
    return count + (rest.tokens == 1 && whole ? " value follows" : " values follow") +
           " the last triangle" + fits;
}

bool Conversion::buildEdges(const CmshWork& work) {
    WorkArray<uint16_t> triangles(work.triangles);
    WorkArray<CLine> lines(work.lines);
    WorkArray<CLine> distinct(work.distinctLines);
    const uint32_t count = m_.faceCount;
    const uint64_t edges = uint64_t{count} * 3;

    say("loading faces...\n");
    if (!allocate(triangles.get(), edges)) return false;
    if (!readTriangles(triangles.get(), false) || !endInput()) return false;
    say(kDone);

    say("reading lines...\n");
    if (!allocate(lines.get(), edges) || !allocate(distinct.get(), edges)) return false;
    say(kDone);

    say("Optimizing...\n");
    // m.faceCount still counts triangles here; only afterwards does it
    // become the edge count.
    uint32_t kept = 0;
    uint64_t tableBytes = 0;
    if (!EdgesOfTriangles(triangles.get(), count, lines.get(), distinct.get(), kept, &tableBytes))
        return fail(MemoryFailure(tableBytes));
    m_.faceCount = kept;
    say(kDone);

    say("write optimized Wireframe to mesh...\n");
    if (!allocate(m_.faces, uint64_t{kept} * 2)) return false;
    const CLine* d = distinct.get();
    for (uint64_t k = 0; k < kept; ++k) {
        m_.faces[2 * k] = static_cast<uint16_t>(d[k].a);
        m_.faces[2 * k + 1] = static_cast<uint16_t>(d[k].b);
    }
    distinct.release();
    lines.release();
    say(kDone);
    return true;
}

bool Conversion::run(const CmshWork& work, CmshRead* read) {
    if (!begin()) return false;
    m_.version = layout_.version;
    // A point set's header carries the vertex count twice.
    if (layout_.text.faceCountIsVertexCount) m_.faceCount = m_.vertexCount;
    if (echoesRecords()) echo_->counts(m_);
    if (!readVertices()) return false;

    if (layout_.primitive == Primitive::lines) {
        if (!buildEdges(work)) return false;
    } else {
        if (text_.readsTriangles) {
            if (!allocate(m_.faces, uint64_t{m_.faceCount} * 3)) return false;
            if (!readTriangles(m_.faces, echoes(Echo::counts_vertices_triangles))) return false;
        }
        // No token left keeps the name empty; one over 255 characters is
        // refused rather than cut.
        if (text_.readsName && !reader_.readName(m_.name)) return readerFailed();
        if (!endInput()) return false;
        if (echoes(Echo::name)) echo_->name(m_);
    }

    if (layout_.text.smoothNormals) {
        WorkArray<CFace> faces(work.faceNormals);
        if (!allocate(faces.get(), m_.faceCount)) return false;
        ComputeSmoothNormals(m_, faces.get());
        faces.release();
    }
    if (read != nullptr) read->advice = std::move(advice_);
    return true;
}

}  // namespace

bool ReadCmshMesh(const char* path, const std::string& name, const Layout& layout, OKVX& m,
                  Failure& failure, CmshRead* read, CmshEcho* echo, const CmshWork& work) {
    assert(layout.text.program != nullptr);
    Conversion conversion(path, name, layout, m, failure, echo);
    return conversion.run(work, read);
}

}  // namespace kvx
