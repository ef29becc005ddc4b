// The meshes of an assimp scene as one ImportedMesh, as
// meshimport/assimp_reader.h describes: in the worker only, the one process
// that holds assimp.
#pragma once

#include <assimp/scene.h>

#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

// Walks `scene` from its root; `path` names the file in messages. The
// meshes of one kind make the mesh: the triangles when any mesh has them,
// else the line segments, else the points (every vertex of a mesh of
// points); meshes of the other kinds are dropped. Normals are kept when
// every mesh of that kind has them. With `linearColors` (glTF's colours
// are linear) red, green and blue are encoded by the sRGB transfer function
// and every value rounded to the nearest byte; otherwise colours are packed
// as text colours are. A node tree more than 1000 levels deep, a node naming
// a missing mesh, a face naming a missing vertex or a colour that cannot be
// packed is bad_input; a failed allocation out_of_memory.
ImportResult WalkScene(const std::string& path, const aiScene& scene, const ReadOptions& options,
                       bool linearColors);

}  // namespace kvx
