#include "import_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>
#include <vector>

#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshimport/formats.h"
#include "meshimport/split.h"
#include "meshimport/to_kvx.h"
#include "meshimport/weld.h"
#include "meshimport/worker_answer.h"
#include "scratch_folder.h"

namespace {

std::string* scratch = nullptr;

void RemoveScratch() {
    if (scratch == nullptr) return;
    ::unlink((*scratch + "/mesh.kvx").c_str());
    ::rmdir(scratch->c_str());
    delete scratch;
    scratch = nullptr;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Released {
    OKVX m{};
    ~Released() { KvxRelease(m); }
};

// The bytes of the vertex array and index block of a mesh.
std::string Blocks(const OKVX& m) {
    const kvx::Layout& layout = *kvx::LayoutOf(m.version);
    std::string out(static_cast<const char*>(kvx::VertexArrayOf(m, layout)),
                    size_t{m.vertexCount} * layout.recordSize);
    if (layout.indexValuesPerGroup != 0 && m.faceCount != 0) {
        out.append(reinterpret_cast<const char*>(m.faces),
                   size_t{m.faceCount} * layout.indexValuesPerGroup * sizeof(uint16_t));
    }
    return out;
}

// Converts, saves and loads back; "" when all agree.
std::string RoundTrip(const kvx::ImportedMesh& mesh, int32_t version) {
    Released built;
    if (kvx::Failure f = kvx::ToKvx(mesh, version, "fuzz", built.m)) {
        return "ToKvx failed on a mesh that fits version " + std::to_string(version) + ": " +
               f.message;
    }
    const std::string path = *scratch + "/mesh.kvx";
    KvxStatus why;
    if (!kvx::SaveKvx(built.m, path.c_str(), &why)) return "save failed: " + KvxStatusMessage(why);
    const std::string file = ReadAll(path);
    Released loaded;
    if (KvxLoadMemory(loaded.m, file.data(), file.size(), &why) != 1) {
        return "the saved file does not load: " + KvxStatusMessage(why);
    }
    if (loaded.m.version != version || loaded.m.vertexCount != built.m.vertexCount ||
        loaded.m.faceCount != built.m.faceCount) {
        return "the loaded header differs from the saved one";
    }
    if (Blocks(loaded.m) != Blocks(built.m)) return "the loaded records or indices differ";
    if (kvx::LayoutOf(version)->hasName && std::strcmp(loaded.m.name, built.m.name) != 0) {
        return "the name differs";
    }
    return "";
}

using Position = std::tuple<uint32_t, uint32_t, uint32_t>;

Position PositionOf(const kvx::ImportedMesh& m, uint32_t i) {
    uint32_t bits[3];
    std::memcpy(bits, &m.positions[3 * size_t{i}], sizeof bits);
    return {bits[0], bits[1], bits[2]};
}

std::multiset<std::tuple<Position, Position, Position>> Triangles(const kvx::ImportedMesh& m) {
    std::multiset<std::tuple<Position, Position, Position>> out;
    for (size_t t = 0; t < m.triangleCount(); ++t) {
        out.insert({PositionOf(m, m.triangles[3 * t]), PositionOf(m, m.triangles[3 * t + 1]),
                    PositionOf(m, m.triangles[3 * t + 2])});
    }
    return out;
}

}  // namespace

std::vector<std::string> ImportFuzzTargets() {
    std::vector<std::string> targets;
    for (const kvx::NativeFormat& f : kvx::NativeFormats())
        targets.emplace_back(f.name);
    targets.emplace_back("answer");
    return targets;
}

bool ImportFuzzInit() {
    if (scratch != nullptr) return true;
    const std::string folder = MakeScratchFolder("kvximportfuzz");
    if (folder.empty()) return false;
    scratch = new std::string(folder);
    std::atexit(RemoveScratch);
    KeepReportChannel();
    return true;
}

namespace {

// What is wrong with a message or warning of a reader: each is one line,
// "<path>: <what>" or "<path>:<line>: <what>"; "" when nothing is.
std::string PlacedLine(const std::string& path, const std::string& line) {
    std::string_view rest(line);
    if (rest.substr(0, path.size() + 1) != path + ":") {
        return "the message does not start with \"" + path + ":\": " + line;
    }
    rest.remove_prefix(path.size() + 1);
    const size_t digits = rest.find_first_not_of("0123456789");
    if (digits != 0 &&
        (digits == std::string_view::npos || rest[0] == '0' || rest[digits] != ':')) {
        return "a malformed line number: " + line;
    }
    if (digits != 0) rest.remove_prefix(digits + 1);
    if (rest.substr(0, 1) != " " || rest.size() == 1) {
        return "the message says nothing after its place: " + line;
    }
    if (line.find('\n') != std::string::npos) return "the message has a line break";
    return "";
}

}  // namespace

std::string ImportFuzzOne(std::string_view target, const uint8_t* data, size_t size) {
    // The input in a block of its own size, so that reading past it is a
    // sanitizer report.
    std::vector<char> bytes(data, data + size);
    const char* text = bytes.data();
    const std::string path = "fuzz." + std::string(target);
    const kvx::NativeFormat* native = kvx::NativeFormatNamed(target);
    kvx::ImportResult r;
    if (native != nullptr) {
        r = native->read(path, text, size, {});
    } else if (target == "answer") {
        // A garbled answer is refused; a failure sent must be one line
        // (checked below with the file's name the worker gives it).
        std::string why;
        kvx::AnswerErrc e = kvx::DecodeWorkerAnswer(text, size, r, &why);
        if (e != kvx::AnswerErrc::ok) {
            if (why.empty() && e == kvx::AnswerErrc::garbled) return "no reason given";
            return "";
        }
        if (!r.ok() && r.error.message.find('\n') != std::string::npos) {
            return "the message has a line break";
        }
        if (!r.ok()) return "";
    } else {
        return "no target " + std::string(target);
    }
    if (!r.ok()) {
        const kvx::Failure& e = r.error;
        if (e.kind != kvx::FailureKind::bad_input && e.kind != kvx::FailureKind::memory) {
            return "a read failed with neither bad input nor memory";
        }
        if (e.sysErrno != 0) return "a read from memory failed as if reading a file";
        return PlacedLine(path, e.message);
    }
    kvx::ImportedMesh& imported = r.mesh;
    if (!kvx::IsConsistent(imported)) return "the mesh's arrays or indices are inconsistent";
    for (const std::string& w : imported.warnings) {
        if (std::string problem = PlacedLine(path, w); !problem.empty())
            return "a malformed warning: " + problem;
    }
    if (native != nullptr && native->weldByDefault) {
        const size_t before = imported.triangleCount();
        if (!kvx::WeldVertices(imported)) return "";  // memory short: nothing to check
        if (!kvx::IsConsistent(imported) || imported.triangleCount() != before) {
            return "welding broke the mesh";
        }
    }
    if (imported.triangleCount() != 0 && imported.vertexCount() <= kvx::kKvxMostVertices) {
        for (int32_t version : {imported.hasTexCoords ? 4 : 3, -2}) {
            std::string problem = RoundTrip(imported, version);
            if (!problem.empty()) return "version " + std::to_string(version) + ": " + problem;
        }
    }
    // Small parts, so that even small inputs are split.
    constexpr size_t kLimit = 16;
    std::vector<kvx::ImportedMesh> parts;
    if (imported.triangleCount() != 0 && kvx::SplitMesh(imported, kLimit, parts)) {
        std::multiset<std::tuple<Position, Position, Position>> all;
        for (const kvx::ImportedMesh& p : parts) {
            if (!kvx::IsConsistent(p) || p.vertexCount() > kLimit || p.triangleCount() == 0) {
                return "a part is inconsistent, empty or too large";
            }
            auto mine = Triangles(p);
            all.insert(mine.begin(), mine.end());
        }
        if (all != Triangles(imported)) return "the parts do not hold every triangle once";
    }
    return "";
}
