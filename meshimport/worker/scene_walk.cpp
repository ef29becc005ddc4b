#include "scene_walk.h"

#include <cstring>

#include "reader_support.h"

namespace kvx {

namespace {

bool IsExactIdentity(const aiMatrix4x4& m) {
    const aiMatrix4x4 identity;
    return std::memcmp(&m, &identity, sizeof m) == 0;
}

class SceneWalk {
public:
    SceneWalk(const std::string& path, const aiScene& scene, const ReadOptions& options)
        : path_(path), scene_(scene), options_(options) {}

    ImportResult run();

private:
    // Whether the mesh contributes: it has a triangle.
    static bool HasTriangles(const aiMesh& mesh) {
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            if (mesh.mFaces[f].mNumIndices == 3) return true;
        }
        return false;
    }
    bool visit(const aiNode& node, const aiMatrix4x4& parent, ImportResult& error);
    bool addMesh(const aiMesh& mesh, const aiMatrix4x4& transform, ImportResult& error);

    const std::string& path_;
    const aiScene& scene_;
    const ReadOptions& options_;
    ImportedMesh mesh_;
    std::string nodeName_;
    int depth_ = 0;
};

bool SceneWalk::addMesh(const aiMesh& m, const aiMatrix4x4& transform, ImportResult& error) {
    if (!HasTriangles(m)) return true;
    const size_t base = mesh_.vertexCount();
    if (base + m.mNumVertices > UINT32_MAX) {
        error = detail::BadInput(path_, 0, "the scene has more than 4294967295 vertices");
        return false;
    }
    if (mesh_.name.empty() && m.mName.length > 0) mesh_.name = m.mName.C_Str();
    const bool identity = IsExactIdentity(transform);
    const aiColor4D* colors = m.mColors[0];
    const aiVector3D* uv = m.mTextureCoords[0];
    if (colors && !mesh_.hasColors) {
        mesh_.hasColors = true;
        mesh_.colors.assign(base, 0xFFFFFFFFu);
    }
    if (uv && !mesh_.hasTexCoords) {
        mesh_.hasTexCoords = true;
        mesh_.texCoords.assign(2 * base, 0.0f);
    }
    for (unsigned i = 0; i < m.mNumVertices; ++i) {
        aiVector3D p = m.mVertices[i];
        if (!identity) p = transform * p;
        mesh_.positions.insert(mesh_.positions.end(), {p.x, p.y, p.z});
        if (mesh_.hasColors) {
            uint32_t word = 0xFFFFFFFFu;
            if (colors) {
                const float rgba[4] = {colors[i].r, colors[i].g, colors[i].b, colors[i].a};
                int bad = 0;
                if (!detail::PackRgba(rgba, options_.colorOrder, word, bad)) {
                    error = detail::BadInput(
                        path_, 0,
                        "mesh \"" + std::string(m.mName.C_Str()) + "\", vertex " +
                            std::to_string(i) + ": the " + detail::ChannelName(bad) + " value " +
                            detail::FloatText(rgba[bad]) + " cannot be packed into a colour word");
                    return false;
                }
            }
            mesh_.colors.push_back(word);
        }
        if (mesh_.hasTexCoords) {
            mesh_.texCoords.push_back(uv ? uv[i].x : 0.0f);
            mesh_.texCoords.push_back(uv ? uv[i].y : 0.0f);
        }
    }
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != 3) continue;  // points and lines
        for (unsigned k = 0; k < 3; ++k) {
            if (face.mIndices[k] >= m.mNumVertices) {
                error = detail::BadInput(path_, 0,
                                         "mesh \"" + std::string(m.mName.C_Str()) + "\": face " +
                                             std::to_string(f) + " names vertex " +
                                             std::to_string(face.mIndices[k]) + " of " +
                                             std::to_string(m.mNumVertices));
                return false;
            }
            mesh_.triangles.push_back(static_cast<uint32_t>(base + face.mIndices[k]));
        }
    }
    return true;
}

bool SceneWalk::visit(const aiNode& node, const aiMatrix4x4& parent, ImportResult& error) {
    // Scenes from files are shallow; a deeper one is refused rather than
    // allowed to exhaust the stack.
    if (++depth_ > 1000) {
        error = detail::BadInput(path_, 0, "the scene's node tree is more than 1000 levels deep");
        return false;
    }
    const aiMatrix4x4 transform = parent * node.mTransformation;
    for (unsigned k = 0; k < node.mNumMeshes; ++k) {
        unsigned index = node.mMeshes[k];
        if (index >= scene_.mNumMeshes || scene_.mMeshes[index] == nullptr) {
            error = detail::BadInput(path_, 0,
                                     "node \"" + std::string(node.mName.C_Str()) +
                                         "\" names mesh " + std::to_string(index) + " of " +
                                         std::to_string(scene_.mNumMeshes));
            return false;
        }
        if (nodeName_.empty() && node.mName.length > 0) nodeName_ = node.mName.C_Str();
        if (!addMesh(*scene_.mMeshes[index], transform, error)) return false;
    }
    for (unsigned k = 0; k < node.mNumChildren; ++k) {
        if (node.mChildren[k] && !visit(*node.mChildren[k], transform, error)) return false;
    }
    --depth_;
    return true;
}

ImportResult SceneWalk::run() {
    ImportResult error;
    if (scene_.mRootNode && !visit(*scene_.mRootNode, aiMatrix4x4(), error)) return error;
    if (mesh_.name.empty()) mesh_.name = nodeName_;
    ImportResult result;
    result.mesh = std::move(mesh_);
    return result;
}

}  // namespace

ImportResult WalkScene(const std::string& path, const aiScene& scene, const ReadOptions& options) {
    return detail::GuardMemory(path, [&] { return SceneWalk(path, scene, options).run(); });
}

}  // namespace kvx
