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
#include <set>
#include <utility>
#include <vector>

#include "console.h"
#include "converters.h"
#include "list_folder.h"
#include "load_model.h"
#include "meshcore/normals.h"
#include "meshcore/okvx.h"
#include "meshtext/cmsh_reader.h"
#include "meshtext/color.h"
#include "meshtext/text_file.h"
#include "programs.h"
#include "scratch_folder.h"
#include "wire.h"

namespace {

// ---- The scratch folder and the capture of standard error ----

struct Scratch {
    std::string folder;
    std::string cmshPath;    // the input of a converter
    std::string kvxPath;     // the input of kvxdump
    std::string outputPath;  // what a converter writes
    std::string secondPath;  // a mesh saved back
    int errCapture = -1;     // standard error of a run
    int devNull = -1;        // standard output of a run
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
    int status = -1;
    std::string err;  // what the run wrote on standard error
};

// Runs `work` with standard output discarded and standard error captured.
template <typename Work>
Run Captured(Work work) {
    if (::ftruncate(scratch->errCapture, 0) != 0) std::abort();
    ::lseek(scratch->errCapture, 0, SEEK_SET);
    int savedOut = ::dup(1);
    int savedErr = ::dup(2);
    ::dup2(scratch->devNull, 1);
    ::dup2(scratch->errCapture, 2);
    Run r;
    r.status = work();
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    r.err = ReadFd(scratch->errCapture);
    return r;
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

// The programs' globals, and CFaceList should a run have kept it (which
// Convert reports as a fault).
void ReleaseGlobals() {
    ReleaseProgramState();
    KvxFree(CFaceList);
    CFaceList = nullptr;
}

// ---- Converters ----

// A converter of kConverterLayouts with its work function.
struct Converter {
    const ConverterLayout& layout;
    int (*run)(const char* inputPath, const char* outputPath);
};

const Converter kConverters[6] = {
    {kConverterLayouts[0], RunKvxconv1},  {kConverterLayouts[1], RunKvxconv2},
    {kConverterLayouts[2], RunKvxconv3},  {kConverterLayouts[3], RunKvxconv4},
    {kConverterLayouts[4], RunKvxpoints}, {kConverterLayouts[5], RunKvxwire},
};
const Converter& kConv1 = kConverters[0];
const Converter& kConv2 = kConverters[1];
const Converter& kConv3 = kConverters[2];
const Converter& kConv4 = kConverters[3];
const Converter& kPoints = kConverters[4];
const Converter& kWire = kConverters[5];

// Whether `text` is lines that each name the program and are printable,
// and (given `marker`) each hold it.
bool ReportLines(const char* program, const std::string& text, const char* marker) {
    const std::string prefix = std::string(program) + ": ";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos || text.compare(start, prefix.size(), prefix) != 0 ||
            end <= start + prefix.size()) {
            return false;
        }
        for (size_t k = start; k < end; ++k) {
            auto c = static_cast<unsigned char>(text[k]);
            if (c < 0x20 || c == 0x7F) return false;
        }
        if (marker && text.substr(start, end - start).find(marker) == std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

// A failure is clean when its status is 2 or 4 and standard error holds one
// printable line naming the program.
std::string CheckFailureReport(const char* program, const Run& r) {
    if (r.status != kExitBadInput && r.status != kExitNoMemory) {
        return "ended with status " + std::to_string(r.status) + " and " + Quote(r.err);
    }
    bool oneLine =
        std::count(r.err.begin(), r.err.end(), '\n') == 1 && ReportLines(program, r.err, nullptr);
    if (!oneLine) return "failed with " + Quote(r.err) + " on standard error, not one line";
    return "";
}

struct Conversion {
    Run run;
    MeshCopy mesh;                    // on success
    std::string file;                 // on success: the output file
    std::vector<uint16_t> triangles;  // kvxwire: the triangles as read
};

const char* Base(const std::string& path) {
    return path.c_str() + path.rfind('/') + 1;
}

// Runs converter `c` on the text already in scratch->cmshPath and checks the
// outcome as harness.h describes. Leaves the globals released.
std::string Convert(const Converter& c, uint32_t textFaceCount, Conversion& out) {
    ::unlink(scratch->outputPath.c_str());
    const ConverterLayout& l = c.layout;
    out.run =
        Captured([&] { return c.run(scratch->cmshPath.c_str(), scratch->outputPath.c_str()); });
    std::string problem;
    std::vector<std::string> names = ListFolder(scratch->folder);
    std::vector<std::string> expectedNames{Base(scratch->cmshPath)};
    if (out.run.status != kExitOk) {
        problem = CheckFailureReport(l.name, out.run);
        if (problem.empty() && names != expectedNames) {
            problem = "failed and left " + Names(names) + " in the output folder";
        }
    } else if (!ReportLines(l.name, out.run.err, ": warning: ")) {
        problem = "succeeded with " + Quote(out.run.err) + " on standard error";
    } else if (mesh.version != l.version) {
        problem = "left version " + std::to_string(mesh.version);
    } else if (CFaceList != nullptr) {
        problem = "kept CFaceList allocated";
    } else if (problem = CopyMesh(mesh, true, out.mesh); !problem.empty()) {
        // The mesh itself is unsound; said in `problem`.
    } else if (l.version == -1 && mesh.faceCount != mesh.vertexCount) {
        problem = "a point set with face count " + std::to_string(mesh.faceCount) +
                  " and vertex count " + std::to_string(mesh.vertexCount);
    } else if (!ReadWhole(scratch->outputPath, out.file)) {
        problem = "succeeded without an output file";
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
    if (problem.empty() && out.run.status == kExitOk && l.version == -2) {
        out.triangles.assign(tmpFaces, tmpFaces + 3 * size_t{textFaceCount});
    }
    ReleaseGlobals();
    return problem.empty() ? "" : std::string(l.name) + " " + problem;
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

std::string FuzzText(const Converter& c, const uint8_t* data, size_t size) {
    WriteInput(scratch->cmshPath, data, size);
    uint32_t vertexCount, faceCount;
    TextCounts(data, size, vertexCount, faceCount);
    Conversion conversion;
    return Convert(c, faceCount, conversion);
}

std::string FuzzCmsh7(const uint8_t* data, size_t size) {
    WriteInput(scratch->cmshPath, data, size);
    uint32_t vertexCount, faceCount;
    TextCounts(data, size, vertexCount, faceCount);
    // kvxconv2, kvxconv3 and kvxwire read the same entries, kvxpoints only
    // the vertices. A text that kvxconv2 refuses fails kvxwire and kvxconv3
    // in the same reader, so only texts that kvxconv2 reads go on to them.
    Conversion v2, v3, points, wire;
    std::string problem = Convert(kConv2, faceCount, v2);
    if (problem.empty()) problem = Convert(kPoints, faceCount, points);
    if (!problem.empty() || v2.run.status != kExitOk) return problem;
    problem = Convert(kWire, faceCount, wire);
    if (problem.empty()) problem = Convert(kConv3, faceCount, v3);
    if (!problem.empty()) return problem;

    auto ok = [](const Conversion& x) { return x.run.status == kExitOk; };
    auto noMemory = [](const Conversion& x) { return x.run.status == kExitNoMemory; };
    if (!noMemory(wire) && !ok(wire)) {
        return "kvxconv2 read the text but kvxwire failed: " + Quote(wire.run.err);
    }
    if (!noMemory(v3) && !ok(v3)) {
        return "kvxconv2 read the text but kvxconv3 failed: " + Quote(v3.run.err);
    }
    if (!noMemory(points) && !ok(points)) {
        return "kvxconv2 read the vertices but kvxpoints failed: " + Quote(points.run.err);
    }
    if (ok(wire)) {
        if (v2.mesh.vertices != wire.mesh.vertices) return "kvxconv2 and kvxwire vertices differ";
        if (v2.mesh.faces != wire.triangles) return "kvxconv2 and kvxwire triangles differ";
        std::vector<uint16_t> edges = DistinctEdges(wire.triangles);
        if (wire.mesh.faces != edges) {
            return "kvxwire kept " + std::to_string(wire.mesh.faceCount) + " edges, not the " +
                   std::to_string(edges.size() / 2) + " distinct edges in order";
        }
    }
    if (ok(points) && v2.mesh.vertices != points.mesh.vertices) {
        return "kvxconv2 and kvxpoints vertices differ";
    }
    if (ok(v3)) {
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

// Phase 2: from a file, through kvxdump: the same mesh, or one line naming
// why; a warning where the magic is missing.
std::string LoadThroughKvxdump(const uint8_t* data, size_t size, const FileModel& model,
                               const MeshCopy& loaded) {
    const bool loads = model.status.code == KvxErrc::ok;
    WriteInput(scratch->kvxPath, data, size);
    Run dump = Captured([] { return RunKvxdump(scratch->kvxPath.c_str()); });
    const std::string name = "kvxdump: " + scratch->kvxPath + ": ";
    if (loads || model.status.code == KvxErrc::unsupported_version) {
        std::string warning = model.status.magicMissing
                                  ? name +
                                        "warning: the file does not begin with \"KVX\"; "
                                        "reading it anyway\n"
                                  : "";
        if (dump.status != kExitOk || dump.err != warning) {
            return "kvxdump ended with " + std::to_string(dump.status) + " and " + Quote(dump.err);
        }
    } else {
        std::string expected = name + KvxStatusMessage(model.status) + "\n";
        if (dump.status != kExitBadInput || dump.err != expected) {
            return "kvxdump ended with " + std::to_string(dump.status) + " and " + Quote(dump.err) +
                   ", not 2 and " + Quote(expected);
        }
    }
    std::string problem;
    if (loads) {
        MeshCopy dumped;
        problem = CopyMesh(mesh, false, dumped);
        if (problem.empty()) problem = Difference(dumped, loaded);
    } else {
        problem = CheckUnloaded(mesh, model);
    }
    ReleaseGlobals();
    return problem.empty() ? "" : "kvxdump's mesh: " + problem;
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
    if (problem.empty()) problem = LoadThroughKvxdump(data, size, model, loaded);
    if (problem.empty()) problem = LoadFromPipe(data, size, model, loaded);
    if (problem.empty()) problem = SaveBack(data, size, model, m);
    return problem;
}

std::string FuzzRoundTrip(const uint8_t* data, size_t size) {
    if (size == 0) return "";
    const Converter& c = kConverters[data[0] % 6];
    const ConverterLayout& l = c.layout;
    WriteInput(scratch->cmshPath, data + 1, size - 1);
    uint32_t vertexCount, faceCount;
    TextCounts(data + 1, size - 1, vertexCount, faceCount);
    Conversion conversion;
    std::string problem = Convert(c, faceCount, conversion);
    if (!problem.empty() || conversion.run.status != kExitOk) return problem;
    const std::string& file = conversion.file;

    OKVX loaded{};
    KvxStatus status;
    int32_t result = KvxLoadMemory(loaded, file.data(), file.size(), &status);
    MeshCopy copy;
    if (result == 1) problem = CopyMesh(loaded, true, copy);
    if (result == 1 && problem.empty()) {
        if (copy != conversion.mesh) {
            problem = "loads back as " + Difference(copy, conversion.mesh);
        } else {
            // Saved again, the loaded mesh gives the same bytes.
            KvxStatus saveStatus;
            std::string saved;
            if (!(loaded.*kvx::SaveOperationOf(l.version))(scratch->secondPath.c_str(),
                                                           &saveStatus)) {
                problem = "saving the loaded mesh failed: " + KvxStatusMessage(saveStatus);
            } else {
                ReadWhole(scratch->secondPath, saved);
                if (saved != file) problem = "the loaded mesh saves back to other bytes";
            }
            ::unlink(scratch->secondPath.c_str());
        }
    }
    KvxRelease(loaded);
    if (result != 1) return std::string(l.name) + "'s file does not load: " + StatusText(status);
    if (!problem.empty()) return std::string(l.name) + "'s file " + problem;

    // kvxdump reads the file into the same mesh.
    Run dump = Captured([] { return RunKvxdump(scratch->outputPath.c_str()); });
    MeshCopy dumped;
    if (dump.status != kExitOk || !dump.err.empty()) {
        problem = "kvxdump ended with " + std::to_string(dump.status) + " and " + Quote(dump.err);
    } else if (problem = CopyMesh(mesh, false, dumped); problem.empty()) {
        problem = Difference(dumped, conversion.mesh);
    }
    ReleaseGlobals();
    return problem.empty() ? "" : std::string(l.name) + "'s file in kvxdump: " + problem;
}

// Each target with its name and its work.
struct TargetRow {
    FuzzTarget target;
    const char* name;
    std::string (*run)(const uint8_t* data, size_t size);
};

const TargetRow kTargetRows[] = {
    {FuzzTarget::cmsh3, "cmsh3", [](const uint8_t* d, size_t n) { return FuzzText(kConv1, d, n); }},
    {FuzzTarget::cmsh7, "cmsh7", FuzzCmsh7},
    {FuzzTarget::cmsh9, "cmsh9", [](const uint8_t* d, size_t n) { return FuzzText(kConv4, d, n); }},
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
    scratch->errCapture = ::memfd_create("kvxfuzz-stderr", MFD_CLOEXEC);
    scratch->devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (scratch->errCapture < 0 || scratch->devNull < 0) {
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
