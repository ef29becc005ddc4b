// Every other format (glTF 2.0, COLLADA, FBX, 3DS and the rest) through
// assimp, where the build has it (Debian: libassimp-dev). Without it the
// functions below say so and read nothing.
//
// The scene is walked from its root node, children in order, each node's
// meshes in order: every mesh that a node names contributes its vertices
// (positions with the node's accumulated transform applied in float
// arithmetic, as assimp's own matrix product computes it; left untouched
// when that transform is exactly the identity) and its triangles. Polygons
// are triangulated by assimp; meshes of points or lines are dropped. The
// first colour set gives the colours (floats packed as text colours are;
// vertices of meshes without one are opaque white), the first texture
// coordinate set the texture coordinates ((0, 0) for meshes without one).
// The name is that of the first named mesh, else of the first named node
// that holds a mesh. Vertices are not joined.
#pragma once

#include <string>
#include <string_view>

#include "meshimport/imported_mesh.h"

namespace kvx {

// True when this build reads through assimp.
bool HaveAssimp();

// True when assimp reads files with this extension (without the dot, any
// letter case). Always false without assimp.
bool AssimpReadsExtension(std::string_view extension);

// Reads the file at `path`. With a `formatHint` (an extension, no dot) that
// differs from the file's own extension, the file is read from memory with
// that hint, so that files it refers to (a .gltf's buffers) are not found.
// assimp's own error text becomes the message.
ImportResult ReadWithAssimp(const std::string& path, std::string_view formatHint,
                            const ReadOptions& options);

}  // namespace kvx
