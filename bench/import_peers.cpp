// Times kvximport's native readers in-process against other libraries on
// the same files in the same run: fast_obj (bench/third_party/fast_obj.h),
// tinyobjloader and assimp (in this benchmark only: the programs never let
// assimp parse in their process). Each reader parses the file from memory
// `--rounds` times; the figure is the median. The last column says whether
// every position a reader gives is the float strtof gives for its token
// ("yes"), or how many are not.
//
//   import_peers [--rounds N] [--threads] FILE...
//
// OBJ files go through every reader, PLY, STL and OFF through ours and
// assimp's; STL also through our welding, as kvximport welds it. Prints a
// Markdown table.
#define FAST_OBJ_IMPLEMENTATION
#include "third_party/fast_obj.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <tiny_obj_loader.h>
#include <assimp/Importer.hpp>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "meshimport/obj_reader.h"
#include "meshimport/off_reader.h"
#include "meshimport/ply_reader.h"
#include "meshimport/stl_reader.h"
#include "meshimport/weld.h"
#include "reader_support.h"

namespace {

struct Buffer {
    const std::string* text;
    size_t at;
};

// fast_obj reads through callbacks: here from the bytes in memory, as the
// other readers do.
void* OpenMemory(const char*, void* user) {
    static_cast<Buffer*>(user)->at = 0;
    return user;
}
void CloseMemory(void*, void*) {}
size_t ReadMemory(void* file, void* dst, size_t bytes, void*) {
    auto* b = static_cast<Buffer*>(file);
    const size_t n = std::min(bytes, b->text->size() - b->at);
    std::memcpy(dst, b->text->data() + b->at, n);
    b->at += n;
    return n;
}
unsigned long SizeOfMemory(void* file, void*) {
    return static_cast<Buffer*>(file)->text->size();
}

// The bits of each (x, y, z) that strtof gives for an OBJ file's "v"
// tokens, or for an OFF file's vertex lines.
struct Key {
    uint32_t x, y, z;
    bool operator==(const Key&) const = default;
};
struct KeyHash {
    size_t operator()(const Key& k) const {
        return (uint64_t{k.x} * 0x9E3779B97F4A7C15u) ^ (uint64_t{k.y} << 21) ^ k.z;
    }
};
using Exact = std::unordered_set<Key, KeyHash>;

Exact ExactObjPositions(const std::string& text) {
    Exact exact;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != 'v' || (line[1] != ' ' && line[1] != '\t')) continue;
        std::istringstream tokens(line.substr(2));
        std::string t[3];
        if (!(tokens >> t[0] >> t[1] >> t[2])) continue;
        exact.insert({std::bit_cast<uint32_t>(std::strtof(t[0].c_str(), nullptr)),
                      std::bit_cast<uint32_t>(std::strtof(t[1].c_str(), nullptr)),
                      std::bit_cast<uint32_t>(std::strtof(t[2].c_str(), nullptr))});
    }
    return exact;
}

// The positions a reader gave that are not strtof's: "yes" when none.
std::string Rounding(const Exact* exact, const float* xyz, size_t count) {
    if (!exact) return "n/a";
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i) {
        const Key k{std::bit_cast<uint32_t>(xyz[3 * i]), std::bit_cast<uint32_t>(xyz[3 * i + 1]),
                    std::bit_cast<uint32_t>(xyz[3 * i + 2])};
        wrong += exact->count(k) == 0;
    }
    return wrong == 0 ? "yes" : "no: " + std::to_string(wrong) + " of " + std::to_string(count);
}

// One untimed run first, so that every reader finds the heap as grown as
// the others do.
double MedianSeconds(int rounds, const std::function<void()>& work) {
    work();
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Row(const std::string& file, size_t bytes, const char* reader, double seconds,
         const std::string& rounding) {
    std::printf("| %s | %s | %.2f | %.0f | %s |\n", file.c_str(), reader, seconds * 1e3,
                static_cast<double>(bytes) / seconds / 1e6, rounding.c_str());
}

std::string Extension(const std::string& path) {
    const size_t dot = path.rfind('.');
    std::string e = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : e)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return e;
}

// The lines of the table of ratios, one per OBJ file.
std::vector<std::string> ratios_;

void Time(const std::string& path, int rounds) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string ext = Extension(path);
    const std::string name = path.substr(path.rfind('/') + 1);
    const size_t bytes = text.size();
    Exact exactSet;
    const Exact* exact = nullptr;
    if (ext == "obj") {
        exactSet = ExactObjPositions(text);
        exact = &exactSet;
    }

    using Reader =
        kvx::ImportResult (*)(const std::string&, const char*, size_t, const kvx::ReadOptions&);
    Reader ours = ext == "obj"   ? kvx::ReadObj
                  : ext == "ply" ? kvx::ReadPly
                  : ext == "stl" ? kvx::ReadStl
                                 : kvx::ReadOff;
    kvx::ImportResult result;
    auto check = [&] {
        if (result.ok()) return;
        std::fprintf(stderr, "import_peers: %s\n", result.error.message.c_str());
        std::exit(2);
    };
    using kvx::detail::Scan;
    if (ext == "obj" || ext == "ply" || ext == "off") {
        // The generic loops alone: the readers as they were before their
        // fast paths.
        const double g = MedianSeconds(rounds, [&] {
            result = ext == "obj"
                         ? kvx::detail::ReadObjWith(path, text.data(), bytes, {}, Scan::generic, 0)
                     : ext == "ply"
                         ? kvx::detail::ReadPlyWith(path, text.data(), bytes, {}, Scan::generic)
                         : kvx::detail::ReadOffWith(path, text.data(), bytes, {}, Scan::generic);
        });
        check();
        Row(name, bytes, "kvximport's reader, generic loop only", g,
            Rounding(exact, result.mesh.positions.data(), result.mesh.vertexCount()));
    }
    if (ext == "obj") {
        const double one = MedianSeconds(rounds, [&] {
            result = kvx::detail::ReadObjWith(path, text.data(), bytes, {}, Scan::fast, 0);
        });
        check();
        Row(name, bytes, "kvximport's reader, one thread", one,
            Rounding(exact, result.mesh.positions.data(), result.mesh.vertexCount()));
    }
    const double t = MedianSeconds(rounds, [&] { result = ours(path, text.data(), bytes, {}); });
    check();
    Row(name, bytes,
        ext == "obj" && bytes >= kvx::detail::kParallelObjBytes ? "kvximport's reader, two threads"
                                                                : "kvximport's reader",
        t, Rounding(exact, result.mesh.positions.data(), result.mesh.vertexCount()));
    if (ext == "stl") {
        const double w = MedianSeconds(rounds, [&] {
            result = ours(path, text.data(), bytes, {});
            kvx::WeldVertices(result.mesh);
        });
        Row(name, bytes, "kvximport's reader and welding", w, "n/a");
    }

    if (ext == "obj") {
        Buffer buffer{&text, 0};
        const fastObjCallbacks callbacks{OpenMemory, CloseMemory, ReadMemory, SizeOfMemory};
        fastObjMesh* mesh = nullptr;
        const double f = MedianSeconds(rounds, [&] {
            if (mesh) fast_obj_destroy(mesh);
            mesh = fast_obj_read_with_callbacks(path.c_str(), &callbacks, &buffer);
        });
        // fast_obj's position 0 is a dummy.
        Row(name, bytes, "fast_obj", f,
            Rounding(exact, mesh->positions + 3, mesh->position_count - 1));

        // The ratios that decide: in each round one read by each, taking
        // turns, so that the load of a shared machine falls on all three
        // alike; the median over the rounds of fast_obj's time over ours.
        std::vector<double> oneRatio, twoRatio;
        for (int r = 0; r < rounds; ++r) {
            auto time = [](const std::function<void()>& work) {
                auto t0 = std::chrono::steady_clock::now();
                work();
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            };
            const double one = time([&] {
                result = kvx::detail::ReadObjWith(path, text.data(), bytes, {}, Scan::fast, 0);
            });
            const double peer = time([&] {
                fast_obj_destroy(mesh);
                mesh = fast_obj_read_with_callbacks(path.c_str(), &callbacks, &buffer);
            });
            const double two = time([&] { result = ours(path, text.data(), bytes, {}); });
            oneRatio.push_back(peer / one);
            twoRatio.push_back(peer / two);
        }
        std::sort(oneRatio.begin(), oneRatio.end());
        std::sort(twoRatio.begin(), twoRatio.end());
        ratios_.push_back(name + " | " +
                          std::to_string(oneRatio[oneRatio.size() / 2]).substr(0, 4) + " | " +
                          std::to_string(twoRatio[twoRatio.size() / 2]).substr(0, 4));

        fast_obj_destroy(mesh);
        tinyobj::ObjReader tiny;
        tinyobj::ObjReaderConfig config;
        config.triangulate = true;
        const double o =
            MedianSeconds(rounds, [&] { tiny.ParseFromString(text, std::string(), config); });
        const auto& v = tiny.GetAttrib().vertices;
        Row(name, bytes, "tinyobjloader", o, Rounding(exact, v.data(), v.size() / 3));
    }

    Assimp::Importer importer;
    const aiScene* scene = nullptr;
    const double a = MedianSeconds(rounds, [&] {
        scene = importer.ReadFileFromMemory(text.data(), bytes, aiProcess_Triangulate, ext.c_str());
    });
    std::string rounding = "n/a";
    if (scene && exact) {
        std::vector<float> xyz;
        for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
            const aiMesh* mesh = scene->mMeshes[m];
            for (unsigned i = 0; i < mesh->mNumVertices; ++i)
                xyz.insert(xyz.end(),
                           {mesh->mVertices[i].x, mesh->mVertices[i].y, mesh->mVertices[i].z});
        }
        rounding = Rounding(exact, xyz.data(), xyz.size() / 3);
    }
    Row(name, bytes, scene ? "assimp" : "assimp (failed)", a, rounding);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: import_peers [--rounds N] FILE...\n");
        return 1;
    }
    std::printf("| file | reader | ms | MB/s | correctly rounded |\n|---|---|---:|---:|---|\n");
    for (const std::string& f : files)
        Time(f, rounds);
    if (!ratios_.empty()) {
        std::printf(
            "\n| OBJ file | speed over fast_obj's, one thread | two threads |\n"
            "|---|---:|---:|\n");
        for (const std::string& line : ratios_)
            std::printf("| %s |\n", line.c_str());
    }
    return 0;
}
