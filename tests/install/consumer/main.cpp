// Built against an installed meshcore: writes a version-4 mesh with computed
// vertex normals to the path given, loads the file back into a second mesh
// and checks that counts, records, indices and name came back unchanged.
// Exit status 0 when they did, 1 on a mismatch, 2 when the save or load fails.
#include <meshcore/normals.h>
#include <meshcore/okvx.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Two triangles over the corners of a unit tetrahedron, and a fifth vertex
// that no face names.
constexpr uint32_t kVertices = 5;
constexpr uint32_t kFaces = 2;
constexpr uint16_t kIndices[3 * kFaces] = {0, 1, 2, 0, 2, 3};
constexpr float kPositions[kVertices][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {2, 2, 2}};
constexpr uint32_t kColors[kVertices] = {0xFF0000FFu, 0x00FF00FFu, 0x0000FFFFu, 0x336699CCu, 0};
constexpr char kName[] = "tetra";

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Fills `m` and computes its vertex normals as kvxconv4 does.
bool BuildMesh(OKVX& m) {
    m.version = 4;
    m.vertexCount = kVertices;
    m.faceCount = kFaces;
    m.verticesV4 = KvxAllocateArray<VertexkvxV4>(kVertices);
    m.faces = KvxAllocateArray<uint16_t>(3 * kFaces);
    CFace* faces = KvxAllocateArray<CFace>(kFaces);
    if (m.verticesV4 == nullptr || m.faces == nullptr || faces == nullptr) {
        KvxFree(faces);
        return false;
    }
    for (uint32_t i = 0; i < kVertices; ++i) {
        m.verticesV4[i] = {0.25f * static_cast<float>(i),
                           0.5f,
                           kColors[i],
                           0,
                           0,
                           0,
                           kPositions[i][0],
                           kPositions[i][1],
                           kPositions[i][2]};
    }
    std::memcpy(m.faces, kIndices, sizeof kIndices);
    std::memcpy(m.name, kName, sizeof kName);
    unsignedShort2CFace(m.faces, kFaces, faces);
    CalculateFaceNormalsV4(faces, faces, kFaces, m.verticesV4);
    CalculateVertexNormalsV4(faces, kFaces, m.verticesV4, kVertices);
    KvxFree(faces);
    return true;
}

bool Check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "consumer: %s\n", what);
    return ok;
}

int Run(const char* path, OKVX& saved, OKVX& loaded) {
    if (!BuildMesh(saved)) {
        Check(false, "out of memory");
        return 2;
    }
    KvxStatus why;
    if (!saved.saveV4(path, &why)) {
        std::fprintf(stderr, "consumer: %s: %s\n", path, KvxStatusMessage(why).c_str());
        return 2;
    }
    if (loaded.load(path, &why) != 1) {
        std::fprintf(stderr, "consumer: %s: %s\n", path, KvxStatusMessage(why).c_str());
        return 2;
    }
    // Vertex 1 lies on one face only: its normal is that face's, (0, 0, 1).
    const VertexkvxV4& v1 = saved.verticesV4[1];
    bool ok = Check(SameBits(v1.nx, 0) && SameBits(v1.ny, 0) && SameBits(v1.nz, 1),
                    "vertex 1 should have the normal (0, 0, 1)");
    ok &=
        Check(loaded.version == 4 && loaded.vertexCount == kVertices && loaded.faceCount == kFaces,
              "the header did not come back");
    ok &= Check(
        std::memcmp(loaded.verticesV4, saved.verticesV4, kVertices * sizeof(VertexkvxV4)) == 0,
        "the vertex records did not come back");
    ok &= Check(std::memcmp(loaded.faces, kIndices, sizeof kIndices) == 0,
                "the index triples did not come back");
    ok &= Check(std::strcmp(loaded.name, kName) == 0, "the name did not come back");
    if (!ok) return 1;
    std::printf("saved and loaded %u vertices, %u faces, name %s\n", loaded.vertexCount,
                loaded.faceCount, loaded.name);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: consumer <file.kvx>\n", stderr);
        return 1;
    }
    OKVX saved{};
    OKVX loaded{};
    int status = Run(argv[1], saved, loaded);
    KvxRelease(saved);
    KvxRelease(loaded);
    return status;
}
