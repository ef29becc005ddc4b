// Parses one OBJ file once with a peer library and prints its vertex
// count: the whole-process cost of a peer's import, for comparing with a
// kvximport run on the same file. Built twice: with OBJ_ONCE_FAST_OBJ
// (fast_obj) and without (tinyobjloader).
#include <cstdio>

#ifdef OBJ_ONCE_FAST_OBJ
#define FAST_OBJ_IMPLEMENTATION
#include "third_party/fast_obj.h"
#else
#include <tiny_obj_loader.h>
#endif

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.obj\n", argv[0]);
        return 1;
    }
#ifdef OBJ_ONCE_FAST_OBJ
    fastObjMesh* mesh = fast_obj_read(argv[1]);
    if (!mesh) return 2;
    std::printf("%u\n", mesh->position_count - 1);
    fast_obj_destroy(mesh);
#else
    tinyobj::ObjReader reader;
    if (!reader.ParseFromFile(argv[1])) return 2;
    std::printf("%zu\n", reader.GetAttrib().vertices.size() / 3);
#endif
    return 0;
}
