// The meshes of an assimp scene as one ImportedMesh, as
// meshimport/assimp_reader.h describes: in the worker only, the one process
// that holds assimp.
#pragma once

#include <assimp/scene.h>

#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

// Walks `scene` from its root; `path` names the file in messages. A node
// tree more than 1000 levels deep, a node naming a missing mesh, a face
// naming a missing vertex or a colour that cannot be packed is bad_input;
// a failed allocation out_of_memory.
ImportResult WalkScene(const std::string& path, const aiScene& scene, const ReadOptions& options);

}  // namespace kvx
