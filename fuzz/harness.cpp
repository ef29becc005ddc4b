#include "harness.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <utility>
#include <vector>

#include "list_folder.h"
#include "load_model.h"
#include "meshcore/failure.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_mesh.h"
#include "meshtext/parse_number.h"
#include "scratch_folder.h"

namespace {

// ---- The scratch folder and the capture of standard error ----

struct Scratch {
    std::string folder;
    std::string cmshPath;    // the input of a converter
    std::string kvxPath;     // the input of kvxdump
    std::string outputPath;  // what a converter writes
    std::string secondPath;  // a mesh saved back
    int outCapture = -1;     // standard output of a run
    int errCapture = -1;     // standard error of a run
};

Scratch* scratch = nullptr;

void RemoveScratch() {
    if (scratch == nullptr) return;
    for (const std::string& name : ListFolder(scratch->folder))
        ::unlink((scratch->folder + "/" + name).c_str());
    ::rmdir(scratch->folder.c_str());
    delete scratch;
    scratch = nullptr;
}

bool WriteWhole(const std::string& path, const void* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

// The whole contents of `fd` from offset 0.
std::string ReadFd(int fd) {
    std::string out;
    char buffer[65536];
    for (off_t offset = 0;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return out;
}

// False when the file cannot be opened (as when it does not exist).
bool ReadWhole(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out = ReadFd(fd);
    ::close(fd);
    return true;
}

struct Run {
    std::string out;  // what the run wrote on standard output
    std::string err;  // and on standard error
};

// Runs `work` with standard output and standard error captured: the
// libraries print nothing.
template <typename Work>
Run Captured(Work work) {
    for (int fd : {scratch->outCapture, scratch->errCapture}) {
        if (::ftruncate(fd, 0) != 0) std::abort();
        ::lseek(fd, 0, SEEK_SET);
    }
    std::fflush(nullptr);
    int savedOut = ::dup(1);
    int savedErr = ::dup(2);
    ::dup2(scratch->outCapture, 1);
    ::dup2(scratch->errCapture, 2);
    work();
    std::fflush(nullptr);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    return {ReadFd(scratch->outCapture), ReadFd(scratch->errCapture)};
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text.substr(0, 200)) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out + (text.size() > 200 ? "\"..." : "\"");
}

std::string Names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += (out.empty() ? "" : " ") + n;
    }
    return "[" + out + "]";
}

// ---- Meshes ----

// What a mesh holds, copied out of its arrays. Copying reads every record
// and index value the counts announce, so an array shorter than its count
// is a sanitizer report.
struct MeshCopy {
    int32_t version = 0;
    uint32_t vertexCount = 0;
    uint32_t faceCount = 0;
    std::string vertices;         // the records, as bytes
    std::vector<uint16_t> faces;  // faceCount groups of the layout's size
    std::string name;             // up to the first zero byte
    bool operator==(const MeshCopy&) const = default;
};

// Checks that `m` is a sound mesh of its version as docs/format.md
// describes it (load_model.h: the version's vertex member and, unless its
// index block is empty, `faces` allocated; the other members null; `name`
// zero-terminated; with indicesBelowVertexCount, every index names a vertex)
// and copies it. Returns what is wrong, or "".
std::string CopyMesh(const OKVX& m, bool indicesBelowVertexCount, MeshCopy& copy) {
    const DocumentedVersion* row = FindDocumentedVersion(m.version);
    if (row == nullptr) return "the mesh has version " + std::to_string(m.version) + ", no layout";
    const size_t groupValues = row->indexValuesPerGroup;
    const void* members[4] = {m.verticesV1, m.verticesV2, m.verticesV3, m.verticesV4};
    const int member = row->record - 1;
    for (int k = 0; k < 4; ++k) {
        if ((members[k] != nullptr) != (k == member)) {
            return "version " + std::to_string(m.version) + " with verticesV" +
                   std::to_string(k + 1) + (k == member ? " missing" : " allocated");
        }
    }
    if ((m.faces != nullptr) != (groupValues != 0)) {
        return "version " + std::to_string(m.version) +
               (groupValues != 0 ? " without faces" : " with faces");
    }
    if (std::memchr(m.name, 0, sizeof m.name) == nullptr) return "the name has no zero byte";

    copy.version = m.version;
    copy.vertexCount = m.vertexCount;
    copy.faceCount = m.faceCount;
    size_t vertexBytes = size_t{m.vertexCount} * row->recordSize;
    copy.vertices.assign(static_cast<const char*>(members[member]), vertexBytes);
    size_t values = size_t{m.faceCount} * groupValues;
    copy.faces.assign(m.faces, m.faces + (groupValues != 0 ? values : 0));
    copy.name = m.name;
    if (indicesBelowVertexCount) {
        for (size_t k = 0; k < copy.faces.size(); ++k) {
            if (copy.faces[k] >= m.vertexCount) {
                return "face " + std::to_string(k / 3) + " names vertex " +
                       std::to_string(copy.faces[k]) + " of " + std::to_string(m.vertexCount);
            }
        }
    }
    return "";
}

std::string Describe(const MeshCopy& m) {
    return "version " + std::to_string(m.version) + ", " + std::to_string(m.vertexCount) +
           " vertices, " + std::to_string(m.faceCount) + " faces, name " + Quote(m.name);
}

// Where two copies differ, or "".
std::string Difference(const MeshCopy& a, const MeshCopy& b) {
    if (a == b) return "";
    std::string what = Describe(a) + " against " + Describe(b);
    if (a.vertices != b.vertices) what += "; the vertex records differ";
    if (a.faces != b.faces) what += "; the indices differ";
    return what;
}

// ---- Converters ----

// The layouts a converter writes, in the table's order (1, 2, 3, 4, -1, -2):
// the round-trip target's first byte picks one of them.
const std::vector<const kvx::Layout*>& ConverterLayouts() {
    static const std::vector<const kvx::Layout*> layouts = [] {
        std::vector<const kvx::Layout*> list;
        for (const kvx::Layout& l : kvx::Layouts())
            if (l.text.program != nullptr) list.push_back(&l);
        return list;
    }();
    return layouts;
}

// The converter layout of `version`.
const kvx::Layout& ConverterOf(int32_t version) {
    const kvx::Layout* l = kvx::LayoutOf(version);
    if (l == nullptr || l->text.program == nullptr) std::abort();
    return *l;
}

// Whether `text` is one line of printable characters, not empty.
bool OneLine(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

// A failure is clean when it is bad input or memory and its message is one
// printable line naming the input ("<name>:..."), or, for an allocation,
// saying its size ("out of memory (N bytes)").
std::string CheckFailure(const std::string& name, const kvx::Failure& f) {
    if (f.kind != kvx::FailureKind::bad_input && f.kind != kvx::FailureKind::memory) {
        return "failed with kind " + std::to_string(static_cast<int>(f.kind)) + " and " +
               Quote(f.message);
    }
    if (!OneLine(f.message)) return "failed with " + Quote(f.message) + ", not one line";
    const bool names = f.message.size() > name.size() + 1 &&
                       f.message.compare(0, name.size() + 1, name + ":") == 0;
    const bool allocation =
        f.kind == kvx::FailureKind::memory && f.message.rfind("out of memory (", 0) == 0;
    if (!names && !allocation) return "failed with " + Quote(f.message) + ", not naming the input";
    return "";
}

// What a reading echoed, in the order of the calls: c counts, v vertices,
// t triangles, n name, x text. Copying reads every record and index value
// echoed, so an echo past its array is a sanitizer report.
class EchoRecord final : public kvx::CmshEcho {
public:
    std::string calls;
    uint32_t vertexCount = 0, faceCount = 0;
    std::string records;  // the vertex records echoed, as bytes
    std::vector<uint16_t> indices;
    std::string meshName;
    std::string progress;
    std::string problem;  // what an echo call got wrong, or ""

    void counts(const OKVX& m) override {
        calls += 'c';
        vertexCount = m.vertexCount;
        faceCount = m.faceCount;
    }
    void vertices(const OKVX& m, uint32_t done) override {
        calls += 'v';
        const DocumentedVersion* row = FindDocumentedVersion(m.version);
        const void* members[4] = {m.verticesV1, m.verticesV2, m.verticesV3, m.verticesV4};
        if (row == nullptr || members[row->record - 1] == nullptr || done > m.vertexCount) {
            problem = "echoed " + std::to_string(done) + " vertices of version " +
                      std::to_string(m.version) + " with " + std::to_string(m.vertexCount);
            return;
        }
        records.assign(static_cast<const char*>(members[row->record - 1]),
                       size_t{done} * row->recordSize);
    }
    void triangles(const uint16_t* values, uint32_t done) override {
        calls += 't';
        indices.assign(values, values + 3 * size_t{done});
    }
    void name(const OKVX& m) override {
        calls += 'n';
        if (std::memchr(m.name, 0, sizeof m.name) == nullptr) {
            problem = "echoed a name without a zero byte";
        } else {
            meshName = m.name;
        }
    }
    void text(const char* line) override {
        calls += 'x';
        progress += line;
    }
};

// kvxwire's progress: four steps, each a line saying it and a line saying
// it is done.
constexpr size_t kProgressLines = 8;

// Checks what `l`'s reading echoed: calls only where the layout's echo asks
// for them, in order; all of them, and the very mesh, where the reading
// succeeded.
std::string CheckEcho(const kvx::Layout& l, const EchoRecord& e, bool ok, const MeshCopy& m) {
    if (!e.problem.empty()) return e.problem;
    std::string expected;
    switch (l.text.echo) {
        case kvx::Echo::none:
            break;
        case kvx::Echo::counts_vertices_triangles:
            expected = "cvt";
            break;
        case kvx::Echo::counts_vertices:
            expected = "cv";
            break;
        case kvx::Echo::progress:
            expected.assign(kProgressLines, 'x');
            break;
        case kvx::Echo::name:
            expected = "n";
            break;
    }
    if (ok ? e.calls != expected : expected.compare(0, e.calls.size(), e.calls) != 0) {
        return "echoed the calls " + Quote(e.calls) + ", not " + Quote(expected) +
               (ok ? "" : " or a beginning of them");
    }
    if (std::count(e.progress.begin(), e.progress.end(), '\n') !=
            std::count(e.calls.begin(), e.calls.end(), 'x') ||
        (!e.progress.empty() && e.progress.back() != '\n')) {
        return "echoed the progress " + Quote(e.progress) + ", not a line per call";
    }
    if (!ok) return "";
    const bool counted = e.calls.find('c') != std::string::npos;
    if (counted && (e.vertexCount != m.vertexCount || e.faceCount != m.faceCount)) {
        return "echoed the counts " + std::to_string(e.vertexCount) + " " +
               std::to_string(e.faceCount) + " for " + Describe(m);
    }
    if (counted && e.records != m.vertices) return "echoed other vertices than it read";
    if (e.calls.find('t') != std::string::npos && e.indices != m.faces) {
        return "echoed other triangles than it read";
    }
    if (e.calls.find('n') != std::string::npos && e.meshName != m.name) {
        return "echoed the name " + Quote(e.meshName) + ", not " + Quote(m.name);
    }
    return "";
}

struct Conversion {
    bool ok = false;
    kvx::Failure failure;             // on failure
    MeshCopy mesh;                    // on success
    std::string file;                 // on success: the output file
    std::vector<uint16_t> triangles;  // version -2: the triangles as read
};

const char* Base(const std::string& path) {
    return path.c_str() + path.rfind('/') + 1;
}

// The work arrays of a conversion, which the harness owns.
struct Work {
    CFace* faceNormals = nullptr;
    uint16_t* triangles = nullptr;
    CLine* lines = nullptr;
    CLine* distinctLines = nullptr;
    Work() = default;
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    ~Work() {
        KvxFree(faceNormals);
        KvxFree(triangles);
        KvxFree(lines);
        KvxFree(distinctLines);
    }
};

// Reads the text already in scratch->cmshPath as `l` describes, saves the
// mesh with l.save to scratch->outputPath, and checks the outcome as
// harness.h describes. `textFaceCount` is the text's own face count.
std::string Convert(const kvx::Layout& l, uint32_t textFaceCount, Conversion& out) {
    ::unlink(scratch->outputPath.c_str());
    const std::string name = kvx::DisplayName(scratch->cmshPath.c_str());
    kvx::OwnedMesh owned;
    const OKVX& m = owned.m;
    Work w;
    const kvx::CmshWork work{&w.faceNormals, &w.triangles, &w.lines, &w.distinctLines};
    kvx::CmshRead read;
    EchoRecord echo;
    KvxStatus saveStatus;
    bool saved = false;
    bool threw = false;
    std::string thrown;
    const Run run = Captured([&] {
        try {
            out.ok = kvx::ReadCmshMesh(scratch->cmshPath.c_str(), name, l, owned.m, out.failure,
                                       &read, &echo, work);
            if (out.ok) saved = (m.*(l.save))(scratch->outputPath.c_str(), &saveStatus);
        } catch (const std::exception& e) {
            threw = true;
            thrown = e.what();
        }
    });
    std::string problem;
    std::vector<std::string> names = ListFolder(scratch->folder);
    std::vector<std::string> expectedNames{Base(scratch->cmshPath)};
    if (threw) {
        problem = "threw " + Quote(thrown);
    } else if (!run.out.empty() || !run.err.empty()) {
        problem = "printed " + Quote(run.out) + " and " + Quote(run.err);
    } else if (!out.ok) {
        problem = CheckFailure(name, out.failure);
        if (problem.empty()) problem = CheckEcho(l, echo, false, out.mesh);
        if (problem.empty() && names != expectedNames) {
            problem = "failed and left " + Names(names) + " in the output folder";
        }
    } else if (out.failure) {
        problem = "succeeded with the failure " + Quote(out.failure.message);
    } else if (!read.advice.empty() && !OneLine(read.advice)) {
        problem = "succeeded with the advice " + Quote(read.advice) + ", not one line";
    } else if (m.version != l.version) {
        problem = "left version " + std::to_string(m.version);
    } else if (w.faceNormals != nullptr || w.lines != nullptr || w.distinctLines != nullptr) {
        problem = "kept a work array allocated";
    } else if ((w.triangles != nullptr) != (l.primitive == kvx::Primitive::lines)) {
        problem = w.triangles != nullptr ? "allocated the triangles" : "lost the triangles";
    } else if (problem = CopyMesh(m, true, out.mesh); !problem.empty()) {
        // The mesh itself is unsound; said in `problem`.
    } else if (FindDocumentedVersion(m.version)->indexValuesPerGroup == 0 &&
               m.faceCount != m.vertexCount) {
        problem = "a point set with face count " + std::to_string(m.faceCount) +
                  " and vertex count " + std::to_string(m.vertexCount);
    } else if (problem = CheckEcho(l, echo, true, out.mesh); !problem.empty()) {
        // Said in `problem`.
    } else if (!saved) {
        problem = "saving failed: " + KvxStatusMessage(saveStatus);
    } else if (!ReadWhole(scratch->outputPath, out.file)) {
        problem = "saved without an output file";
    } else {
        expectedNames.push_back(Base(scratch->outputPath));
        std::sort(expectedNames.begin(), expectedNames.end());
        // The file as the format reads it: the mesh's header words with the
        // magic, its blocks and, in version 4, its name.
        const FileModel f =
            ModelFile(reinterpret_cast<const uint8_t*>(out.file.data()), out.file.size());
        const bool trailer = f.row != nullptr && f.row->nameTrailer;
        const size_t size = static_cast<size_t>(f.blocksEnd) + (trailer ? out.mesh.name.size() : 0);
        if (f.status.code != KvxErrc::ok || f.magicMissing || f.version != l.version ||
            f.vertexCount != out.mesh.vertexCount || f.faceCount != out.mesh.faceCount) {
            problem = "wrote a file that does not load as its mesh, " + Describe(out.mesh);
        } else if (out.file.size() != size) {
            problem = "wrote " + std::to_string(out.file.size()) + " bytes for " +
                      Describe(out.mesh) + ", not " + std::to_string(size);
        } else if (names != expectedNames) {
            problem = "left " + Names(names) + " in the output folder";
        }
    }
    if (problem.empty() && out.ok && w.triangles != nullptr) {
        out.triangles.assign(w.triangles, w.triangles + 3 * size_t{textFaceCount});
    }
    return problem.empty() ? "" : std::string(l.text.program) + " " + problem;
}

// The two counts at the start of a text, or zeros.
void TextCounts(const uint8_t* data, size_t size, uint32_t& vertexCount, uint32_t& faceCount) {
    const char* first = reinterpret_cast<const char*>(data);
    const char* last = first + size;
    vertexCount = faceCount = 0;
    ParseResult r = ParseUnsignedSlow(first, last, vertexCount);
    if (r.ec == std::errc()) ParseUnsignedSlow(r.ptr, last, faceCount);
}

// The distinct undirected edges of the triangles, in the order and
// direction of their first occurrence: what kvxwire must write.
std::vector<uint16_t> DistinctEdges(const std::vector<uint16_t>& triangles) {
    std::set<std::pair<uint16_t, uint16_t>> seen;
    std::vector<uint16_t> edges;
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        for (int k = 0; k < 3; ++k) {
            uint16_t a = triangles[t + static_cast<size_t>(k)];
            uint16_t b = triangles[t + static_cast<size_t>((k + 1) % 3)];
            if (seen.insert(std::minmax(a, b)).second) {
                edges.push_back(a);
                edges.push_back(b);
            }
        }
    }
    return edges;
}

// color, x, y, z of every record, for comparing layouts.
std::string ColorsAndPositions(const MeshCopy& m) {
    if (m.version != 3) return m.vertices;
    std::string out;
    for (size_t k = 0; k + sizeof(VertexkvxV3) <= m.vertices.size(); k += sizeof(VertexkvxV3)) {
        out.append(m.vertices, k, 4);
        out.append(m.vertices, k + 16, 12);
    }
    return out;
}

bool WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    if (WriteWhole(path, data, size)) return true;
    // Not a finding of the programs: the scratch folder itself failed.
    std::fprintf(stderr, "fuzz: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    std::abort();
}

// ---- Targets ----

std::string FuzzText(int32_t version, const uint8_t* data, size_t size) {
    WriteInput(scratch->cmshPath, data, size);
    uint32_t vertexCount, faceCount;
    TextCounts(data, size, vertexCount, faceCount);
    Conversion conversion;
    return Convert(ConverterOf(version), faceCount, conversion);
}

std::string FuzzCmsh7(const uint8_t* data, size_t size) {
    WriteInput(scratch->cmshPath, data, size);
    uint32_t vertexCount, faceCount;
    TextCounts(data, size, vertexCount, faceCount);
    // Versions 2, 3 and -2 read the same entries, -1 only the vertices. A
    // text that version 2 refuses fails 3 and -2 in the same reader, so only
    // texts that version 2 reads go on to them.
    Conversion v2, v3, points, wire;
    std::string problem = Convert(ConverterOf(2), faceCount, v2);
    if (problem.empty()) problem = Convert(ConverterOf(-1), faceCount, points);
    if (!problem.empty() || !v2.ok) return problem;
    problem = Convert(ConverterOf(-2), faceCount, wire);
    if (problem.empty()) problem = Convert(ConverterOf(3), faceCount, v3);
    if (!problem.empty()) return problem;

    auto noMemory = [](const Conversion& x) {
        return !x.ok && x.failure.kind == kvx::FailureKind::memory;
    };
    if (!noMemory(wire) && !wire.ok) {
        return "kvxconv2 read the text but kvxwire failed: " + Quote(wire.failure.message);
    }
    if (!noMemory(v3) && !v3.ok) {
        return "kvxconv2 read the text but kvxconv3 failed: " + Quote(v3.failure.message);
    }
    if (!noMemory(points) && !points.ok) {
        return "kvxconv2 read the vertices but kvxpoints failed: " + Quote(points.failure.message);
    }
    if (wire.ok) {
        if (v2.mesh.vertices != wire.mesh.vertices) return "kvxconv2 and kvxwire vertices differ";
        if (v2.mesh.faces != wire.triangles) return "kvxconv2 and kvxwire triangles differ";
        std::vector<uint16_t> edges = DistinctEdges(wire.triangles);
        if (wire.mesh.faces != edges) {
            return "kvxwire kept " + std::to_string(wire.mesh.faceCount) + " edges, not the " +
                   std::to_string(edges.size() / 2) + " distinct edges in order";
        }
    }
    if (points.ok && v2.mesh.vertices != points.mesh.vertices) {
        return "kvxconv2 and kvxpoints vertices differ";
    }
    if (v3.ok) {
        if (ColorsAndPositions(v3.mesh) != v2.mesh.vertices) {
            return "kvxconv3 colours and positions differ from kvxconv2's";
        }
        if (v3.mesh.faces != v2.mesh.faces) return "kvxconv3 and kvxconv2 triangles differ";
    }
    return "";
}

std::string StatusText(const KvxStatus& s) {
    return "code " + std::to_string(static_cast<int>(s.code)) + " (" + KvxStatusMessage(s) +
           (s.magicMissing ? ", no magic)" : ")");
}

bool SameStatus(const KvxStatus& a, const KvxStatus& b) {
    return a.code == b.code && a.sysErrno == b.sysErrno && a.expected == b.expected &&
           a.found == b.found && a.magicMissing == b.magicMissing;
}

// A mesh that failed to load: only the header words the file holds set,
// nothing allocated.
std::string CheckUnloaded(const OKVX& m, const FileModel& model) {
    if (m.vertexCount != model.vertexCount || m.faceCount != model.faceCount ||
        m.version != model.version) {
        return "the header members do not hold the file's words";
    }
    if (m.faces || m.verticesV1 || m.verticesV2 || m.verticesV3 || m.verticesV4) {
        return "a failed load allocated an array";
    }
    for (char c : m.name) {
        if (c != 0) return "a failed load changed the name";
    }
    return "";
}

// Phase 1 of the load target: from memory, against the model, with the
// loaded mesh copied into `loaded`.
std::string LoadFromMemory(const uint8_t* data, size_t size, const FileModel& model, OKVX& m,
                           MeshCopy& loaded) {
    const bool loads = model.status.code == KvxErrc::ok;
    KvxStatus status;
    int32_t result = KvxLoadMemory(m, data, size, &status);
    if (result != (loads ? 1 : 0) || !SameStatus(status, model.status)) {
        return "KvxLoadMemory gave " + std::to_string(result) + ", " + StatusText(status) +
               "; the file calls for " + StatusText(model.status);
    }
    if (!loads) {
        std::string problem = CheckUnloaded(m, model);
        return problem.empty() ? "" : "KvxLoadMemory: " + problem;
    }
    std::string problem = CopyMesh(m, false, loaded);
    if (!problem.empty()) return "KvxLoadMemory: " + problem;
    if (m.vertexCount != model.vertexCount || m.faceCount != model.faceCount ||
        m.version != model.version) {
        return "KvxLoadMemory: the header members do not hold the file's words";
    }
    // The records and the indices are the file's blocks, byte for byte.
    const char* bytes = reinterpret_cast<const char*>(data);
    if (loaded.vertices.size() != model.vertexBytes ||
        2 * loaded.faces.size() != model.indexBytes ||
        loaded.vertices.compare(0, loaded.vertices.size(), bytes + model.vertexAt,
                                static_cast<size_t>(model.vertexBytes)) != 0 ||
        (!loaded.faces.empty() && std::memcmp(loaded.faces.data(), bytes + model.indexAt,
                                              static_cast<size_t>(model.indexBytes)) != 0)) {
        return "KvxLoadMemory: the arrays do not hold the file's blocks";
    }
    auto nameBytes = static_cast<size_t>(size - model.blocksEnd);
    if (model.row->nameTrailer) {
        if (std::memcmp(m.name, bytes + model.blocksEnd, nameBytes) != 0) {
            return "KvxLoadMemory: the name does not hold the trailer";
        }
        for (size_t k = nameBytes; k < sizeof m.name; ++k) {
            if (m.name[k] != 0) return "KvxLoadMemory: a byte after the name is not zero";
        }
    }
    return "";
}

// Phase 2: from a file: the same result, status and mesh as from memory,
// and a failure's message one printable line.
std::string LoadFromFile(const uint8_t* data, size_t size, const FileModel& model,
                         const MeshCopy& loaded) {
    const bool loads = model.status.code == KvxErrc::ok;
    WriteInput(scratch->kvxPath, data, size);
    kvx::OwnedMesh file;
    KvxStatus status;
    int32_t result = 0;
    const Run run = Captured([&] { result = file.m.load(scratch->kvxPath.c_str(), &status); });
    if (!run.out.empty() || !run.err.empty()) {
        return "loading a file printed " + Quote(run.out) + " and " + Quote(run.err);
    }
    if (result != (loads ? 1 : 0) || !SameStatus(status, model.status)) {
        return "a file loads with " + std::to_string(result) + ", " + StatusText(status) +
               "; the file calls for " + StatusText(model.status);
    }
    if (!loads && !OneLine(KvxStatusMessage(status))) {
        return "a failed load says " + Quote(KvxStatusMessage(status)) + ", not one line";
    }
    std::string problem;
    if (loads) {
        MeshCopy copy;
        problem = CopyMesh(file.m, false, copy);
        if (problem.empty()) problem = Difference(copy, loaded);
    } else {
        problem = CheckUnloaded(file.m, model);
    }
    return problem.empty() ? "" : "a file's mesh: " + problem;
}

// Phase 3: from a pipe, read as a stream, as from memory. A pipe holds 64
// KiB before a write blocks.
std::string LoadFromPipe(const uint8_t* data, size_t size, const FileModel& model,
                         const MeshCopy& loaded) {
    int ends[2];
    if (size > 65536 || ::pipe2(ends, O_CLOEXEC) != 0) return "";
    bool written = size == 0 || ::write(ends[1], data, size) == static_cast<ssize_t>(size);
    ::close(ends[1]);
    OKVX s{};
    KvxStatus status;
    std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
    int32_t result = written ? s.load(path.c_str(), &status) : -1;
    ::close(ends[0]);
    MeshCopy streamed;
    std::string problem;
    if (result == 1) problem = CopyMesh(s, false, streamed);
    KvxRelease(s);
    // Without /proc there is no path to the pipe.
    if (!written || status.code == KvxErrc::open_failed) return "";
    // A stream is not read past the longest name, so its length is unknown.
    KvxStatus expected = model.status;
    if (expected.code == KvxErrc::name_too_long) expected.found = 0;
    const bool loads = model.status.code == KvxErrc::ok;
    if (result != (loads ? 1 : 0) || !SameStatus(status, expected)) {
        return "a pipe loads with " + std::to_string(result) + ", " + StatusText(status) +
               "; the file calls for " + StatusText(expected);
    }
    if (!problem.empty()) return "a pipe: " + problem;
    if (loads && streamed != loaded) return "a pipe: " + Difference(streamed, loaded);
    return "";
}

// Phase 4: a loaded mesh saves back to the file as a save writes it: the
// magic "KVX", the blocks, and the name's bytes without zero bytes.
std::string SaveBack(const uint8_t* data, size_t size, const FileModel& model, const OKVX& m) {
    kvx::SaveOperation save =
        model.status.code == KvxErrc::ok ? kvx::SaveOperationOf(m.version) : nullptr;
    if (save == nullptr) return "";
    KvxStatus saveStatus;
    if (!(m.*save)(scratch->secondPath.c_str(), &saveStatus)) {
        return "saving a loaded mesh failed: " + KvxStatusMessage(saveStatus);
    }
    std::string expected(reinterpret_cast<const char*>(data), static_cast<size_t>(model.blocksEnd));
    expected.replace(0, 3, "KVX");
    for (size_t k = static_cast<size_t>(model.blocksEnd); model.row->nameTrailer && k < size; ++k) {
        if (data[k] != 0) expected += static_cast<char>(data[k]);
    }
    std::string saved;
    ReadWhole(scratch->secondPath, saved);
    ::unlink(scratch->secondPath.c_str());
    if (saved != expected) {
        return "a loaded mesh saves back to " + std::to_string(saved.size()) +
               " other bytes, not the file's " + std::to_string(expected.size());
    }
    return "";
}

std::string FuzzLoad(const uint8_t* data, size_t size) {
    const FileModel model = ModelFile(data, size);
    OKVX m{};
    struct Guard {
        OKVX& m;
        ~Guard() { KvxRelease(m); }
    } guard{m};
    MeshCopy loaded;
    std::string problem = LoadFromMemory(data, size, model, m, loaded);
    if (problem.empty()) problem = LoadFromFile(data, size, model, loaded);
    if (problem.empty()) problem = LoadFromPipe(data, size, model, loaded);
    if (problem.empty()) problem = SaveBack(data, size, model, m);
    return problem;
}

std::string FuzzRoundTrip(const uint8_t* data, size_t size) {
    if (size == 0) return "";
    const std::vector<const kvx::Layout*>& converters = ConverterLayouts();
    const kvx::Layout& l = *converters[data[0] % converters.size()];
    const std::string program = l.text.program;
    WriteInput(scratch->cmshPath, data + 1, size - 1);
    uint32_t vertexCount, faceCount;
    TextCounts(data + 1, size - 1, vertexCount, faceCount);
    Conversion conversion;
    std::string problem = Convert(l, faceCount, conversion);
    if (!problem.empty() || !conversion.ok) return problem;
    const std::string& file = conversion.file;

    kvx::OwnedMesh loaded;
    KvxStatus status;
    int32_t result = KvxLoadMemory(loaded.m, file.data(), file.size(), &status);
    if (result != 1) return program + "'s file does not load: " + StatusText(status);
    MeshCopy copy;
    problem = CopyMesh(loaded.m, true, copy);
    if (problem.empty() && copy != conversion.mesh) {
        problem = "loads back as " + Difference(copy, conversion.mesh);
    } else if (problem.empty()) {
        // Saved again, the loaded mesh gives the same bytes.
        KvxStatus saveStatus;
        std::string saved;
        if (!(loaded.m.*(l.save))(scratch->secondPath.c_str(), &saveStatus)) {
            problem = "saving the loaded mesh failed: " + KvxStatusMessage(saveStatus);
        } else {
            ReadWhole(scratch->secondPath, saved);
            if (saved != file) problem = "the loaded mesh saves back to other bytes";
        }
        ::unlink(scratch->secondPath.c_str());
    }
    if (!problem.empty()) return program + "'s file " + problem;

    // Loaded from the file, it is the same mesh.
    kvx::OwnedMesh fromFile;
    result = fromFile.m.load(scratch->outputPath.c_str(), &status);
    MeshCopy again;
    if (result != 1 || status.code != KvxErrc::ok || status.magicMissing) {
        problem = "loads with " + std::to_string(result) + ", " + StatusText(status);
    } else if (problem = CopyMesh(fromFile.m, false, again); problem.empty()) {
        problem = Difference(again, conversion.mesh);
    }
    return problem.empty() ? "" : program + "'s file from a file: " + problem;
}

// Each target with its name and its work.
struct TargetRow {
    FuzzTarget target;
    const char* name;
    std::string (*run)(const uint8_t* data, size_t size);
};

const TargetRow kTargetRows[] = {
    {FuzzTarget::cmsh3, "cmsh3", [](const uint8_t* d, size_t n) { return FuzzText(1, d, n); }},
    {FuzzTarget::cmsh7, "cmsh7", FuzzCmsh7},
    {FuzzTarget::cmsh9, "cmsh9", [](const uint8_t* d, size_t n) { return FuzzText(4, d, n); }},
    {FuzzTarget::load, "load", FuzzLoad},
    {FuzzTarget::roundtrip, "roundtrip", FuzzRoundTrip},
};

const TargetRow* RowOf(FuzzTarget target) {
    for (const TargetRow& row : kTargetRows)
        if (row.target == target) return &row;
    return nullptr;
}

}  // namespace

const char* FuzzTargetName(FuzzTarget target) {
    const TargetRow* row = RowOf(target);
    return row != nullptr ? row->name : "?";
}

bool FuzzInit() {
    if (scratch != nullptr) return true;
    const std::string folder = MakeScratchFolder("kvxfuzz");
    if (folder.empty()) return false;
    scratch = new Scratch;
    scratch->folder = folder;
    scratch->cmshPath = folder + "/in.cmsh";
    scratch->kvxPath = folder + "/in.kvx";
    scratch->outputPath = folder + "/out.kvx";
    scratch->secondPath = folder + "/again.kvx";
    scratch->outCapture = ::memfd_create("kvxfuzz-stdout", MFD_CLOEXEC);
    scratch->errCapture = ::memfd_create("kvxfuzz-stderr", MFD_CLOEXEC);
    if (scratch->outCapture < 0 || scratch->errCapture < 0) {
        std::fprintf(stderr, "fuzz: cannot open the capture files: %s\n", std::strerror(errno));
        RemoveScratch();
        return false;
    }
    std::atexit(RemoveScratch);
    // Standard error is a capture file during each run: reports go to a copy
    // of the real one.
    KeepReportChannel();
    return true;
}

std::string FuzzOne(FuzzTarget target, const uint8_t* data, size_t size) {
    if (!FuzzInit()) std::abort();
    const TargetRow* row = RowOf(target);
    std::string problem = row != nullptr ? row->run(data, size) : "no such target";
    // The next input starts in an empty folder.
    for (const std::string* path :
         {&scratch->cmshPath, &scratch->kvxPath, &scratch->outputPath, &scratch->secondPath}) {
        ::unlink(path->c_str());
    }
    return problem;
}
