// Every other format (glTF 2.0, COLLADA, FBX, 3DS and the rest) through
// assimp, where the build has it (Debian: libassimp-dev). Without it the
// functions below say so and read nothing.
//
// assimp never runs in the calling process: a worker program, kvx-assimp,
// reads the file within the bounds of ReaderLimits and sends the mesh
// back (worker_answer.h). The caller opens the file once and hands the
// worker its descriptor and its folder's; every other file the scene names
// (a glTF's buffers, ...) is read only when it is a regular file inside that
// folder after resolving links.
//
// The scene is walked from its root node, children in order, each node's
// meshes in order: every mesh that a node names contributes its vertices
// (positions with the node's accumulated transform applied in float
// arithmetic, as assimp's own matrix product computes it; left untouched
// when that transform is exactly the identity) and its triangles. Polygons
// are triangulated by assimp; meshes of points or lines are dropped beside
// triangles, and make the mesh (ImportedMesh::lines, or vertices alone) of
// a scene without any. glTF's linear colours become sRGB bytes. The
// first colour set gives the colours (floats packed as text colours are;
// vertices of meshes without one are opaque white), the first texture
// coordinate set the texture coordinates ((0, 0) for meshes without one).
// The name is that of the first named mesh, else of the first named node
// that holds a mesh; the normals where every mesh kept has them. Vertices
// are not joined here (the import welds them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshimport/imported_mesh.h"

namespace kvx {

// True when this build reads through assimp.
bool HaveAssimp();

// True when assimp reads files with this extension (without the dot, any
// letter case). Always false without assimp.
bool AssimpReadsExtension(std::string_view extension);

// Reads the file at `path`, which must be a regular file. With a
// `formatHint` (an extension, no dot) the file is read as one with that
// extension. assimp's own error text becomes the message. Every way the
// worker fails is one line naming the file: bad_input for a crash
// ("scene.dae: the reader crashed (SIGSEGV); the file is malformed"), the
// time limit, a refused reference ("scene.gltf: refers to \"../x.bin\",
// outside the file's folder"), an answer that is too large or garbled, a
// worker that is missing or cannot be started; memory for the memory
// limit or an allocation that failed here.
ImportResult ReadWithAssimp(const std::string& path, std::string_view formatHint,
                            const ReadOptions& options, const ReaderLimits& limits = {});

// The worker program: $KVX_ASSIMP_WORKER when set and not empty, else found
// relative to the object that holds this code: the program
// (<bin>/../libexec/kvx/kvx-assimp) or the Python module (the build tree's
// python/kvx/../../libexec/kvx/kvx-assimp, or the installed one). Empty
// when no candidate exists.
std::string AssimpWorkerPath();

// "2 GiB", "64 MiB", "1536 KiB", "1000 bytes": a size as the messages and
// the manual give it.
std::string SizeText(uint64_t bytes);

}  // namespace kvx
