// meshcore: the in-memory triangle mesh shared by the KVX tools, and its
// binary file format.
//
// A KVX file is a 15-byte little-endian header ("KVX", vertex count, face
// count, signed version code) followed by the vertex records, the 16-bit
// index block and, for version 4, the name. The vertex records below are laid
// out in memory exactly as in the file, so blocks are copied without
// conversion.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

static_assert(std::endian::native == std::endian::little,
              "KVX files are little-endian and are copied straight into memory");

// Vertex records: every field is 32 bits wide, no padding.
struct VertexkvxV1 {
    uint32_t color;
    float x, y, z;
};

// Same layout as VertexkvxV1; a type of its own for version 2.
struct VertexkvxV2 {
    uint32_t color;
    float x, y, z;
};

struct VertexkvxV3 {
    uint32_t color;
    float nx, ny, nz;
    float x, y, z;
};

struct VertexkvxV4 {
    float u, v;
    uint32_t color;
    float nx, ny, nz;
    float x, y, z;
};

// One triangle with its face normal; lives only in memory while normals are
// computed, never written to a file.
struct CFace {
    uint16_t i0, i1, i2;
    float nx, ny, nz;
};

// An undirected edge between two vertices.
struct CLine {
    uint32_t a, b;
};

// Lines are equal when they join the same two vertices, in either direction.
inline bool operator==(const CLine& l, const CLine& r) {
    return (l.a == r.a && l.b == r.b) || (l.a == r.b && l.b == r.a);
}

struct CVector {
    float x, y, z;
};

// Why a save or load failed. Every operation that can fail keeps its own
// result (a bool, or load's 1/0) and, when given a KvxStatus, says why there.
enum class KvxErrc : int {
    ok = 0,
    unsupported_version,  // load: the version code is none of 1..4, -1..-3
    open_failed,          // sysErrno holds the reason
    read_failed,          // sysErrno holds the reason
    write_failed,         // sysErrno holds the reason (also a failed close or rename)
    truncated,            // the file holds fewer bytes (found) than its header promises
                          // (expected), or fewer than the 15 of the header itself
    name_too_long,        // a version-4 name of `found` bytes (0: of unknown length, on a
                          // stream, read no further than 256 bytes); at most 255 fit
    too_large,            // the counts need more memory than this process can address
    out_of_memory,        // an allocation of `expected` bytes failed
    invalid_mesh,         // save: a count is not zero but its array is missing
    not_kvx,              // load: neither the magic "KVX" nor an accepted version code
    output_is_input,      // an output path names the file an input path names
};

struct KvxStatus {
    KvxErrc code = KvxErrc::ok;
    int sysErrno = 0;
    uint64_t expected = 0;
    uint64_t found = 0;
    // load: the file does not begin with "KVX". Where its version is
    // accepted it loads all the same, and this only tells, on success as on
    // failure past the header; where not, the load fails with not_kvx.
    bool magicMissing = false;
};

// One line of English without the path, such as "No such file or directory"
// or "truncated: the header promises 1047 bytes, the file has 40".
std::string KvxStatusMessage(const KvxStatus& status);

// The mesh. A zero-filled instance is empty: version 0, no counts, empty
// name, null arrays. Only the vertex member selected by `version` is used:
//   1, -1, -2: verticesV1   2: verticesV2   3, -3: verticesV3   4: verticesV4
// `faces` holds index triples (versions 1..4) or pairs (version -2); version
// -1 has none, and its faceCount only travels in the file header.
class OKVX {
public:
    int32_t version;
    uint32_t vertexCount;
    uint32_t faceCount;
    char name[256];  // zero-terminated, at most 255 characters; used by version 4
    alignas(16) uint16_t* faces;
    alignas(16) VertexkvxV1* verticesV1;
    alignas(16) VertexkvxV2* verticesV2;
    alignas(16) VertexkvxV3* verticesV3;
    alignas(16) VertexkvxV4* verticesV4;

    // Save operations. Each writes one whole file of its own version code
    // (never the `version` member): the header, `vertexCount` records of its
    // vertex member, then `faceCount` index triples (V1..V4) or pairs (Vn2),
    // no index block for Vn1, and for V4 the non-zero bytes among the first
    // 255 of `name`.
    //
    // A regular file (or a new one) is written to a temporary file beside it
    // and renamed over the path only once complete, so a failed save leaves
    // whatever was at the path untouched and no partial file behind. A path
    // that names a device or a pipe (/dev/null, /dev/stdout) is written
    // directly. Returns true on success; on failure returns false and, given
    // `status`, says why. The mesh is never changed.
    bool saveV1(const char* path, KvxStatus* status = nullptr) const;
    bool saveV2(const char* path, KvxStatus* status = nullptr) const;
    bool saveV3(const char* path, KvxStatus* status = nullptr) const;
    bool saveV4(const char* path, KvxStatus* status = nullptr) const;
    bool saveVn1(const char* path, KvxStatus* status = nullptr) const;
    bool saveVn2(const char* path, KvxStatus* status = nullptr) const;

    // Fills this mesh from the KVX file at `path`. Expects a fresh (zero)
    // instance: nothing it holds is released. Returns 1 when the file was
    // loaded and 0 when not; given `status`, says why (ok on success).
    //
    // The header words are read in file order from offset 3; the words the
    // file holds whole are set, the others keep their values. The magic is
    // not required where the version is accepted, so any three bytes load
    // alike then (status->magicMissing tells when they are not "KVX"). A
    // file with neither the magic nor an accepted version returns 0 with
    // not_kvx (and magicMissing); so does one shorter than the 15-byte
    // header whose bytes differ from the magic's, while one whose bytes
    // begin the magic (the empty file too) is truncated.
    //
    // A version other than 1, 2, 3, 4, -1, -2, -3 after the magic returns 0
    // (unsupported_version) with only the three header members set. For the
    // others the file must hold, past the header, vertexCount records of the
    // version's size and faceCount index groups: 3 values (versions 1..4),
    // 2 (version -2), 6 (version -3) or none (version -1) of 2 bytes each.
    // That size is computed in 64 bits and checked before anything is
    // allocated (truncated, with the bytes expected and found). Bytes past
    // the index block are ignored, except for version 4, where they are the
    // name: copied into `name` and followed by a zero byte; more than 255
    // fails with name_too_long (found: the trailer's length where known; a
    // stream is read no further than one byte past 255). An allocation
    // that fails gives out_of_memory; open_failed and read_failed carry
    // errno.
    //
    // On success the version's vertex member and (except for version -1)
    // `faces` point to new 16-byte aligned arrays holding exactly what the
    // file supplied; they belong to the mesh (KvxRelease frees them). On
    // failure no array is allocated and no pointer, nor `name`, changes.
    //
    // A path that is not a regular file (a pipe, /dev/stdin, a device) is
    // read as a stream, only as far as its header asks. The file is closed
    // before load returns.
    int32_t load(const char* path, KvxStatus* status = nullptr);
};

static_assert(sizeof(VertexkvxV1) == 16 && sizeof(VertexkvxV2) == 16);
static_assert(sizeof(VertexkvxV3) == 28 && sizeof(VertexkvxV4) == 36);
static_assert(offsetof(VertexkvxV1, color) == 0 && offsetof(VertexkvxV1, x) == 4 &&
              offsetof(VertexkvxV1, y) == 8 && offsetof(VertexkvxV1, z) == 12);
static_assert(offsetof(VertexkvxV2, color) == 0 && offsetof(VertexkvxV2, x) == 4 &&
              offsetof(VertexkvxV2, y) == 8 && offsetof(VertexkvxV2, z) == 12);
static_assert(offsetof(VertexkvxV3, color) == 0 && offsetof(VertexkvxV3, nx) == 4 &&
              offsetof(VertexkvxV3, ny) == 8 && offsetof(VertexkvxV3, nz) == 12 &&
              offsetof(VertexkvxV3, x) == 16 && offsetof(VertexkvxV3, y) == 20 &&
              offsetof(VertexkvxV3, z) == 24);
static_assert(offsetof(VertexkvxV4, u) == 0 && offsetof(VertexkvxV4, v) == 4 &&
              offsetof(VertexkvxV4, color) == 8 && offsetof(VertexkvxV4, nx) == 12 &&
              offsetof(VertexkvxV4, ny) == 16 && offsetof(VertexkvxV4, nz) == 20 &&
              offsetof(VertexkvxV4, x) == 24 && offsetof(VertexkvxV4, y) == 28 &&
              offsetof(VertexkvxV4, z) == 32);
static_assert(offsetof(CFace, i0) == 0 && offsetof(CFace, i1) == 2 && offsetof(CFace, i2) == 4);
static_assert(sizeof(CLine) == 8 && offsetof(CLine, a) == 0 && offsetof(CLine, b) == 4);
static_assert(sizeof(CVector) == 12);
static_assert(offsetof(OKVX, version) == 0 && offsetof(OKVX, vertexCount) == 4 &&
              offsetof(OKVX, faceCount) == 8 && offsetof(OKVX, name) == 12);
static_assert(offsetof(OKVX, faces) % 16 == 0 && offsetof(OKVX, verticesV1) % 16 == 0 &&
              offsetof(OKVX, verticesV2) % 16 == 0 && offsetof(OKVX, verticesV3) % 16 == 0 &&
              offsetof(OKVX, verticesV4) % 16 == 0 && alignof(OKVX) == 16);

// Size in bytes of the header and of one vertex record of a version code;
// KvxRecordSize is 0 for codes that have no vertex block.
inline constexpr uint32_t kKvxHeaderSize = 15;
uint32_t KvxRecordSize(int32_t version);

// Allocates count * size bytes with 16-byte alignment. Returns null when the
// product overflows or memory is short; a zero size gives a valid, unique
// pointer. Release with KvxFree.
void* KvxAllocate(uint64_t count, uint64_t size);
void KvxFree(void* p);

template <typename T>
T* KvxAllocateArray(uint64_t count) {
    return static_cast<T*>(KvxAllocate(count, sizeof(T)));
}

namespace kvx {

// The save operation that writes `version`: &OKVX::saveV1 for 1 to
// &OKVX::saveV4 for 4, &OKVX::saveVn1 for -1, &OKVX::saveVn2 for -2; null
// for a code none writes (0, -3 and unknown codes).
using SaveOperation = bool (OKVX::*)(const char* path, KvxStatus* status) const;
SaveOperation SaveOperationOf(int32_t version);

}  // namespace kvx

// Loads a KVX file held in memory (`size` bytes at `data`) into `m`, exactly
// as OKVX::load loads it from a file: same checks, result and status.
int32_t KvxLoadMemory(OKVX& m, const void* data, size_t size, KvxStatus* status = nullptr);

// Releases every array of `m` and zero-fills it again. The tools never need
// this (their mesh lives until exit); it serves code that handles several
// meshes in one process.
void KvxRelease(OKVX& m);

namespace kvx {

// An OKVX that owns its arrays: released (KvxRelease) when it goes. For
// code that handles several meshes, on several threads, in one process.
class OwnedMesh {
public:
    OwnedMesh() = default;
    ~OwnedMesh() { KvxRelease(m); }
    OwnedMesh(OwnedMesh&& other) noexcept : m(other.m) { other.m = OKVX{}; }
    OwnedMesh& operator=(OwnedMesh&& other) noexcept {
        if (this != &other) {
            KvxRelease(m);
            m = other.m;
            other.m = OKVX{};
        }
        return *this;
    }

    OKVX m{};
};

}  // namespace kvx
