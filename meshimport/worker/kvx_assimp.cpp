// kvx-assimp: reads one file with assimp, in a process of its own, and
// answers on standard output (meshimport/worker_answer.h). Started by
// meshimport's ReadWithAssimp, never by people:
//
//   kvx-assimp <name> <main> <argb|rgba> <memory bytes> <seconds>
//
// with the file open on descriptor 3 and its folder on descriptor 4 (or
// descriptor 4 closed). <name> names the file in messages; <main> is the
// name assimp reads it under (its extension chooses the reader). Every other
// file the scene names is opened only as a regular file inside the folder,
// after resolving links; any other reference ends the read with a line
// naming it. `kvx-assimp --list-extensions <file>` writes the extensions assimp
// reads into <file>, one a line as a C string, for the build's table.
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "meshimport/worker_answer.h"
#include "meshtext/color.h"
#include "meshtext/tokens.h"
#include "reader_support.h"
#include "scene_walk.h"

namespace {

constexpr int kFileFd = 3;
constexpr int kFolderFd = 4;

// A file read through its descriptor at its own offset.
class FdStream : public Assimp::IOStream {
public:
    FdStream(int fd, bool owned, size_t size) : fd_(fd), owned_(owned), size_(size) {}
    ~FdStream() override {
        if (owned_) ::close(fd_);
    }
    size_t Read(void* buffer, size_t size, size_t count) override {
        if (size == 0 || count == 0 || offset_ >= size_) return 0;
        size_t want = std::min(count, (size_ - offset_) / size) * size;
        size_t done = 0;
        while (done < want) {
            ssize_t n = ::pread(fd_, static_cast<char*>(buffer) + done, want - done,
                                static_cast<off_t>(offset_ + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        offset_ += done;
        return done / size;
    }
    size_t Write(const void*, size_t, size_t) override { return 0; }
    aiReturn Seek(size_t offset, aiOrigin origin) override {
        size_t base = origin == aiOrigin_SET ? 0 : origin == aiOrigin_CUR ? offset_ : size_;
        if (origin == aiOrigin_END) {
            if (offset > size_) return aiReturn_FAILURE;
            offset_ = size_ - offset;
            return aiReturn_SUCCESS;
        }
        if (offset > size_ - std::min(base, size_) || base > size_) return aiReturn_FAILURE;
        offset_ = base + offset;
        return aiReturn_SUCCESS;
    }
    size_t Tell() const override { return offset_; }
    size_t FileSize() const override { return size_; }
    void Flush() override {}

private:
    int fd_;
    bool owned_;
    size_t size_;
    size_t offset_ = 0;
};

// The main file from its descriptor, every other one from inside the folder.
class FolderIO : public Assimp::IOSystem {
public:
    FolderIO(std::string main, size_t mainSize) : main_(std::move(main)), mainSize_(mainSize) {}

    bool Exists(const char* name) const override {
        if (name == main_) return true;
        std::string refusal;
        int fd = openInside(name, refusal);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* name, const char* mode) override {
        if (mode == nullptr || std::strchr(mode, 'w') || std::strchr(mode, 'a') ||
            std::strchr(mode, '+')) {
            return nullptr;
        }
        if (name == main_) return new FdStream(kFileFd, false, mainSize_);
        std::string refusal;
        int fd = openInside(name, refusal);
        if (fd < 0) {
            if (!refusal.empty() && refusal_.empty()) refusal_ = refusal;
            return nullptr;
        }
        struct stat st;
        ::fstat(fd, &st);
        return new FdStream(fd, true, static_cast<size_t>(st.st_size));
    }
    void Close(Assimp::IOStream* stream) override { delete stream; }
    bool ComparePaths(const char* one, const char* second) const override {
        return std::strcmp(one, second) == 0;
    }

    // The first reference refused, as a message without the file's name.
    const std::string& refusal() const { return refusal_; }

private:
    // A descriptor for `name`, a regular file inside the folder, or -1:
    // with `refusal` set when the name is refused, empty when it is merely
    // not there.
    static int openInside(const char* name, std::string& refusal) {
        const std::string quoted = Quote(name, name + std::strlen(name));
        const std::string outside = "refers to " + quoted + ", outside the file's folder";
        if (*name == '\0') return -1;
        if (*name == '/') {
            refusal = outside;
            return -1;
        }
        if (::fcntl(kFolderFd, F_GETFD) < 0) {
            refusal = "refers to " + quoted + ", and a file read this way has no folder";
            return -1;
        }
        open_how how{};
        how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        int fd = static_cast<int>(::syscall(SYS_openat2, kFolderFd, name, &how, sizeof how));
        if (fd < 0 && errno == ENOSYS) fd = openResolved(name);
        if (fd < 0) {
            if (errno == EXDEV || errno == ELOOP || errno == EACCES) refusal = outside;
            return -1;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            refusal = "refers to " + quoted + ", which is not a regular file";
            return -1;
        }
        return fd;
    }

    // Without openat2: the name resolved with every link, kept only when it
    // lies inside the folder's own resolved path and is the file opened.
    static int openResolved(const char* name) {
        char folder[PATH_MAX], target[PATH_MAX];
        const std::string here = "/proc/self/fd/" + std::to_string(kFolderFd);
        if (::realpath(here.c_str(), folder) == nullptr) return -1;
        const std::string joined = std::string(folder) + "/" + name;
        if (::realpath(joined.c_str(), target) == nullptr) return -1;
        const std::string inside = std::string(folder) == "/" ? "/" : std::string(folder) + "/";
        if (std::string_view(target).substr(0, inside.size()) != inside) {
            errno = EXDEV;
            return -1;
        }
        return ::open(target, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    }

    std::string main_;
    size_t mainSize_;
    std::string refusal_;
};

bool ParseNumber(const char* text, uint64_t& value) {
    const char* end = text + std::strlen(text);
    auto [at, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && at == end && at != text;
}

std::string OneLine(const char* text) {
    std::string line = text && *text ? text : "assimp could not read the file";
    for (char& c : line) {
        if (c == '\n' || c == '\r' || c == '\0') c = ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

int ListExtensions(const char* output) {
    std::FILE* out = std::fopen(output, "w");
    if (out == nullptr) return 1;
    Assimp::Importer importer;
    std::string list;
    importer.GetExtensionList(list);  // "*.3ds;*.obj;..."
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(';', at);
        if (end == std::string::npos) end = list.size();
        std::string_view item = std::string_view(list).substr(at, end - at);
        if (item.substr(0, 2) == "*.") item.remove_prefix(2);
        std::string lower(item);
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (!lower.empty()) std::fprintf(out, "\"%s\",\n", lower.c_str());
        at = end + 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

bool WriteAll(const std::string& bytes) {
    const char* at = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(1, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

kvx::ImportResult Read(const std::string& name, const std::string& main,
                       const kvx::ReadOptions& options) {
    struct stat st;
    if (::fstat(kFileFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return kvx::detail::BadInput(name, 0, "the reader was given no regular file");
    }
    Assimp::Importer importer;
    auto* io = new FolderIO(main, static_cast<size_t>(st.st_size));
    importer.SetIOHandler(io);  // the importer owns it
    // Each mesh one kind of primitive, none removed: the walk keeps the
    // triangles, or a scene's lines or points when it has nothing else (so
    // that it can be written as a wireframe or a point set). Degenerate
    // triangles stay triangles, as the native readers keep them.
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, 0);
    const unsigned flags =
        aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_ValidateDataStructure;
    const aiScene* scene = importer.ReadFile(main, flags);
    if (!io->refusal().empty()) return kvx::detail::BadInput(name, 0, io->refusal());
    if (scene == nullptr) return kvx::detail::BadInput(name, 0, OneLine(importer.GetErrorString()));
    // glTF's vertex colours are linear; every other format's are taken as
    // the sRGB bytes they are shown as.
    const std::string extension = kvx::detail::Lower(kvx::detail::ExtensionOf(main));
    const bool linear = extension == "gltf" || extension == "glb";
    return kvx::WalkScene(name, *scene, options, linear);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--list-extensions") == 0) return ListExtensions(argv[2]);
    uint64_t memory = 0, seconds = 0;
    kvx::ReadOptions options;
    if (argc != 6 || !ParseColorOrder(argv[3], &options.colorOrder) ||
        !ParseNumber(argv[4], memory) || !ParseNumber(argv[5], seconds) || seconds > UINT32_MAX) {
        std::fprintf(stderr,
                     "kvx-assimp: a helper of kvximport and the kvx module, not a program "
                     "to run\n");
        return 1;
    }
    if (!kvx::ConfineWorker({memory, static_cast<uint32_t>(seconds)})) return 1;
    std::string answer;
    try {
        kvx::EncodeWorkerAnswer(Read(argv[1], argv[2], options), answer);
    } catch (const std::bad_alloc&) {
        answer.clear();
        kvx::ImportResult none;
        none.error.kind = kvx::FailureKind::memory;
        kvx::EncodeWorkerAnswer(none, answer);
        WriteAll(answer);
        ::_exit(kvx::kWorkerExitNoMemory);
    }
    // Without the scene's destructors: the answer is all that is left to do.
    ::_exit(WriteAll(answer) ? 0 : 1);
}
