#include "meshimport/worker_answer.h"

#include "meshimport/assimp_reader.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace kvx {

namespace {

constexpr char kMagic[4] = {'K', 'V', 'X', 'A'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kMesh = 0, kBadInput = 1, kNoMemory = 2;
constexpr uint8_t kColors = 1, kTexCoords = 2, kNormals = 4, kLines = 8;

template <typename T>
void Put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
void PutArray(std::string& out, const std::vector<T>& values) {
    out.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// The bytes of an answer, read from the front; every read checks what is
// left.
class Reader {
public:
    Reader(const char* data, size_t size) : at_(data), left_(size), size_(size) {}

    template <typename T>
    bool get(T& value, const char* what, std::string* why) {
        if (!need(sizeof value, 1, what, why)) return false;
        std::memcpy(&value, at_, sizeof value);
        skip(sizeof value);
        return true;
    }

    // `count` items of `bytes` each: false, with why, when fewer are left.
    bool need(uint64_t count, size_t bytes, const char* what, std::string* why) const {
        if (count <= left_ / bytes) return true;
        if (why) {
            *why = std::string(what) + " needs " + std::to_string(count) + " x " +
                   std::to_string(bytes) + " bytes; " + std::to_string(left_) + " of " +
                   std::to_string(size_) + " are left";
        }
        return false;
    }

    template <typename T>
    bool getArray(std::vector<T>& values, uint64_t count, const char* what, std::string* why) {
        if (!need(count, sizeof(T), what, why)) return false;
        values.resize(static_cast<size_t>(count));
        if (values.empty()) return true;  // no bytes to copy, and data() may be null
        std::memcpy(values.data(), at_, values.size() * sizeof(T));
        skip(values.size() * sizeof(T));
        return true;
    }

    bool getText(std::string& text, const char* what, std::string* why) {
        uint32_t length = 0;
        if (!get(length, what, why) || !need(length, 1, what, why)) return false;
        text.assign(at_, length);
        skip(length);
        return true;
    }

    size_t left() const { return left_; }

private:
    void skip(size_t n) {
        at_ += n;
        left_ -= n;
    }
    const char* at_;
    size_t left_;
    size_t size_;
};

bool Garbled(std::string* why, std::string what) {
    if (why) *why = std::move(what);
    return false;
}

bool OneLine(const std::string& text) {
    return text.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos;
}

bool DecodeMesh(Reader& in, ImportedMesh& mesh, std::string* why) {
    uint8_t flags = 0;
    uint64_t vertices = 0, triangles = 0, lines = 0;
    if (!in.get(flags, "the flags", why)) return false;
    if ((flags & ~(kColors | kTexCoords | kNormals | kLines)) != 0) {
        return Garbled(why, "unknown flags " + std::to_string(flags));
    }
    if (!in.getText(mesh.name, "the name", why)) return false;
    if (!in.get(vertices, "the vertex count", why) ||
        !in.get(triangles, "the triangle count", why) ||
        ((flags & kLines) != 0 && !in.get(lines, "the line count", why))) {
        return false;
    }
    if (vertices > UINT32_MAX) return Garbled(why, std::to_string(vertices) + " vertices");
    if (!in.getArray(mesh.positions, 3 * vertices, "the positions", why)) return false;
    mesh.hasColors = (flags & kColors) != 0;
    if (mesh.hasColors && !in.getArray(mesh.colors, vertices, "the colours", why)) return false;
    mesh.hasTexCoords = (flags & kTexCoords) != 0;
    if (mesh.hasTexCoords &&
        !in.getArray(mesh.texCoords, 2 * vertices, "the texture coordinates", why)) {
        return false;
    }
    mesh.hasNormals = (flags & kNormals) != 0;
    if (mesh.hasNormals && !in.getArray(mesh.normals, 3 * vertices, "the normals", why))
        return false;
    // 3 * triangles and 2 * lines cannot wrap: need() divides, and a count
    // above what is left is refused before it is multiplied.
    if (!in.need(triangles, 12, "the triangles", why)) return false;
    if (!in.getArray(mesh.triangles, 3 * triangles, "the triangles", why)) return false;
    if (!in.need(lines, 8, "the lines", why)) return false;
    if (!in.getArray(mesh.lines, 2 * lines, "the lines", why)) return false;
    auto named = [&](const std::vector<uint32_t>& indices, size_t corners, const char* what) {
        for (size_t k = 0; k < indices.size(); ++k) {
            if (indices[k] >= vertices) {
                return Garbled(why, std::string(what) + " " + std::to_string(k / corners) +
                                        " names vertex " + std::to_string(indices[k]) + " of " +
                                        std::to_string(vertices));
            }
        }
        return true;
    };
    return named(mesh.triangles, 3, "triangle") && named(mesh.lines, 2, "line");
}

// The answer a failed allocation sends: no message, the parent says it.
constexpr char kNoMemoryAnswer[] = {'K', 'V', 'X', 'A', kVersion, kNoMemory, 0, 0, 0, 0};

void AnswerNoMemory() {
    // Nothing here allocates.
    const char* at = kNoMemoryAnswer;
    size_t left = sizeof kNoMemoryAnswer;
    while (left > 0) {
        ssize_t n = ::write(1, at, left);
        if (n <= 0) break;
        at += n;
        left -= static_cast<size_t>(n);
    }
    ::_exit(kWorkerExitNoMemory);
}

}  // namespace

void EncodeWorkerAnswer(const ImportResult& result, std::string& out) {
    out.append(kMagic, sizeof kMagic);
    Put(out, kVersion);
    if (!result.ok()) {
        Put(out, result.error.kind == FailureKind::memory ? kNoMemory : kBadInput);
        Put(out, static_cast<uint32_t>(result.error.message.size()));
        out += result.error.message;
        return;
    }
    const ImportedMesh& m = result.mesh;
    Put(out, kMesh);
    const bool lines = !m.lines.empty();
    Put(out, static_cast<uint8_t>((m.hasColors ? kColors : 0) | (m.hasTexCoords ? kTexCoords : 0) |
                                  (m.hasNormals ? kNormals : 0) | (lines ? kLines : 0)));
    Put(out, static_cast<uint32_t>(m.name.size()));
    out += m.name;
    Put(out, static_cast<uint64_t>(m.vertexCount()));
    Put(out, static_cast<uint64_t>(m.triangleCount()));
    if (lines) Put(out, static_cast<uint64_t>(m.lineCount()));
    PutArray(out, m.positions);
    if (m.hasColors) PutArray(out, m.colors);
    if (m.hasTexCoords) PutArray(out, m.texCoords);
    if (m.hasNormals) PutArray(out, m.normals);
    PutArray(out, m.triangles);
    if (lines) PutArray(out, m.lines);
}

AnswerErrc DecodeWorkerAnswer(const char* data, size_t size, ImportResult& result,
                              std::string* why) {
    result = ImportResult{};
    try {
        Reader in(data, size);
        char magic[4];
        uint8_t version = 0, kind = 0;
        if (!in.get(magic, "the magic", why)) return AnswerErrc::garbled;
        if (std::memcmp(magic, kMagic, sizeof magic) != 0) {
            Garbled(why, "no answer's magic");
            return AnswerErrc::garbled;
        }
        if (!in.get(version, "the version", why) || !in.get(kind, "the kind", why)) {
            return AnswerErrc::garbled;
        }
        if (version != kVersion) {
            Garbled(why, "version " + std::to_string(version));
            return AnswerErrc::garbled;
        }
        if (kind == kMesh) {
            if (!DecodeMesh(in, result.mesh, why)) {
                result = ImportResult{};
                return AnswerErrc::garbled;
            }
        } else if (kind == kBadInput || kind == kNoMemory) {
            std::string message;
            if (!in.getText(message, "the message", why)) return AnswerErrc::garbled;
            if (!OneLine(message) || (kind == kBadInput && message.empty())) {
                Garbled(why, "a message that is not one line");
                return AnswerErrc::garbled;
            }
            result.error.kind = kind == kBadInput ? FailureKind::bad_input : FailureKind::memory;
            result.error.message = std::move(message);
        } else {
            Garbled(why, "unknown kind " + std::to_string(kind));
            return AnswerErrc::garbled;
        }
        if (in.left() != 0) {
            result = ImportResult{};
            Garbled(why, std::to_string(in.left()) + " bytes after the answer");
            return AnswerErrc::garbled;
        }
        return AnswerErrc::ok;
    } catch (const std::bad_alloc&) {
        result = ImportResult{};
        return AnswerErrc::out_of_memory;
    } catch (const std::length_error&) {
        result = ImportResult{};
        return AnswerErrc::out_of_memory;
    }
}

std::string SizeText(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"GiB", "MiB", "KiB"};
    for (int k = 0; k < 3; ++k) {
        const uint64_t unit = uint64_t{1} << (10 * (3 - k));
        if (bytes != 0 && bytes % unit == 0) return std::to_string(bytes / unit) + " " + kUnits[k];
    }
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

bool ConfineWorker(const WorkerConfinement& confinement) {
    std::set_new_handler(AnswerNoMemory);
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    // A parent that ended before the line above is no longer ours.
    if (::getppid() == 1) ::_exit(1);
    const rlimit none = {0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0) return false;
    if (confinement.memoryBytes != 0) {
        const rlimit memory = {confinement.memoryBytes, confinement.memoryBytes};
        if (::setrlimit(RLIMIT_AS, &memory) != 0) return false;
    }
    if (confinement.seconds != 0) {
        const rlimit cpu = {confinement.seconds, confinement.seconds + 1};
        if (::setrlimit(RLIMIT_CPU, &cpu) != 0) return false;
    }
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 5u, ~0u, 0u) != 0) {
        for (int fd = 5; fd < 1024; ++fd)
            ::close(fd);
    }
#else
    for (int fd = 5; fd < 1024; ++fd)
        ::close(fd);
#endif
    return true;
}

}  // namespace kvx
