#include "scene_walk.h"

#include <cmath>
#include <cstring>

#include "reader_support.h"

namespace kvx {

namespace {

bool IsExactIdentity(const aiMatrix4x4& m) {
    const aiMatrix4x4 identity;
    return std::memcmp(&m, &identity, sizeof m) == 0;
}

// A linear colour value as an sRGB-encoded one, by the sRGB transfer
// function, in double arithmetic.
double LinearToSrgb(double linear) {
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

// Four sRGB-encoded values of a linear colour, in red, green, blue, alpha
// order, each times 255 rounded to the nearest byte (halves away from
// zero), packed in the word order of `order`: the readers' rule
// (detail::PackRgba) kept in double, so that the encoded values, which are
// not floats, round as they are. False, with `bad` the channel, for a value
// that is not a number or rounds outside 0 to 255.
bool PackRoundedColor(const double rgba[4], ColorOrder order, uint32_t& color, int& bad) {
    uint8_t bytes[4];
    for (int k = 0; k < 4; ++k) {
        const double scaled = std::round(rgba[k] * 255.0);
        if (!(scaled >= 0.0 && scaled <= 255.0)) {
            bad = k;
            return false;
        }
        bytes[k] = static_cast<uint8_t>(scaled);
    }
    color = EncodeColor({bytes[0], bytes[1], bytes[2], bytes[3]}, order);
    return true;
}

// The primitives a mesh is made of, in the order in which they win: a scene
// gives its triangles, else its lines, else its points.
enum Kind { kTriangles, kLines, kPoints, kKinds };

Kind KindOf(const aiMesh& mesh) {
    Kind kind = kPoints;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        if (mesh.mFaces[f].mNumIndices == 3) return kTriangles;
        if (mesh.mFaces[f].mNumIndices == 2) kind = kLines;
    }
    return kind;
}

// What the meshes of one kind add up to.
struct Part {
    ImportedMesh mesh;
    std::string nodeName;  // the first named node that holds a mesh of the kind
    bool any = false;      // a mesh of the kind was met
    bool allNormals = true;
};

class SceneWalk {
public:
    SceneWalk(const std::string& path, const aiScene& scene, const ReadOptions& options,
              bool linearColors)
        : path_(path), scene_(scene), options_(options), linearColors_(linearColors) {}

    ImportResult run();

private:
    bool visit(const aiNode& node, const aiMatrix4x4& parent, ImportResult& error);
    bool addMesh(const aiMesh& mesh, const aiNode& node, const aiMatrix4x4& transform,
                 ImportResult& error);
    bool packColor(const aiMesh& m, unsigned i, uint32_t& word, ImportResult& error) const;

    const std::string& path_;
    const aiScene& scene_;
    const ReadOptions& options_;
    const bool linearColors_;
    Part parts_[kKinds];
    int depth_ = 0;
};

bool SceneWalk::packColor(const aiMesh& m, unsigned i, uint32_t& word, ImportResult& error) const {
    const aiColor4D& c = m.mColors[0][i];
    const float rgba[4] = {c.r, c.g, c.b, c.a};
    int bad = 0;
    bool packed = false;
    if (linearColors_) {
        const double srgb[4] = {LinearToSrgb(c.r), LinearToSrgb(c.g), LinearToSrgb(c.b), c.a};
        packed = PackRoundedColor(srgb, options_.colorOrder, word, bad);
    } else {
        packed = detail::PackRgba(rgba, options_.colorOrder, word, bad);
    }
    if (packed) return true;
    error =
        detail::BadInput(path_, 0,
                         "mesh \"" + std::string(m.mName.C_Str()) + "\", vertex " +
                             std::to_string(i) + ": the " + detail::ChannelName(bad) + " value " +
                             detail::FloatText(rgba[bad]) + " cannot be packed into a colour word");
    return false;
}

bool SceneWalk::addMesh(const aiMesh& m, const aiNode& node, const aiMatrix4x4& transform,
                        ImportResult& error) {
    if (m.mNumFaces == 0) return true;
    const Kind kind = KindOf(m);
    const unsigned corners = kind == kTriangles ? 3 : kind == kLines ? 2 : 1;
    Part& part = parts_[kind];
    ImportedMesh& mesh = part.mesh;
    const size_t base = mesh.vertexCount();
    if (base + m.mNumVertices > UINT32_MAX) {
        error = detail::BadInput(path_, 0, "the scene has more than 4294967295 vertices");
        return false;
    }
    if (mesh.name.empty() && m.mName.length > 0) mesh.name = m.mName.C_Str();
    if (part.nodeName.empty() && node.mName.length > 0) part.nodeName = node.mName.C_Str();
    const bool identity = IsExactIdentity(transform);
    const aiColor4D* colors = m.mColors[0];
    const aiVector3D* uv = m.mTextureCoords[0];
    if (colors && !mesh.hasColors) {
        mesh.hasColors = true;
        mesh.colors.assign(base, 0xFFFFFFFFu);
    }
    if (uv && !mesh.hasTexCoords) {
        mesh.hasTexCoords = true;
        mesh.texCoords.assign(2 * base, 0.0f);
    }
    // Normals are kept only when every mesh of the kind has them.
    if (m.mNormals == nullptr) part.allNormals = false;
    const bool normals = part.allNormals;
    if (!normals) std::vector<float>().swap(mesh.normals);
    part.any = true;
    // Normals move with the inverse transpose of the transform's linear part.
    aiMatrix3x3 normalMatrix(transform);
    normalMatrix.Inverse().Transpose();
    for (unsigned i = 0; i < m.mNumVertices; ++i) {
        aiVector3D p = m.mVertices[i];
        if (!identity) p = transform * p;
        mesh.positions.insert(mesh.positions.end(), {p.x, p.y, p.z});
        if (mesh.hasColors) {
            uint32_t word = 0xFFFFFFFFu;
            if (colors && !packColor(m, i, word, error)) return false;
            mesh.colors.push_back(word);
        }
        if (mesh.hasTexCoords) {
            mesh.texCoords.push_back(uv ? uv[i].x : 0.0f);
            mesh.texCoords.push_back(uv ? uv[i].y : 0.0f);
        }
        if (normals) {
            aiVector3D n = m.mNormals[i];
            if (!identity) n = (normalMatrix * n).NormalizeSafe();
            mesh.normals.insert(mesh.normals.end(), {n.x, n.y, n.z});
        }
    }
    std::vector<uint32_t>& indices = kind == kLines ? mesh.lines : mesh.triangles;
    for (unsigned f = 0; f < m.mNumFaces && kind != kPoints; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != corners) continue;  // smaller primitives beside larger ones
        for (unsigned k = 0; k < corners; ++k) {
            if (face.mIndices[k] >= m.mNumVertices) {
                error = detail::BadInput(path_, 0,
                                         "mesh \"" + std::string(m.mName.C_Str()) + "\": face " +
                                             std::to_string(f) + " names vertex " +
                                             std::to_string(face.mIndices[k]) + " of " +
                                             std::to_string(m.mNumVertices));
                return false;
            }
            indices.push_back(static_cast<uint32_t>(base + face.mIndices[k]));
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
        if (!addMesh(*scene_.mMeshes[index], node, transform, error)) return false;
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
    Part* chosen = &parts_[kTriangles];
    for (Part& part : parts_) {
        if (part.any) {
            chosen = &part;
            break;
        }
    }
    ImportResult result;
    result.mesh = std::move(chosen->mesh);
    ImportedMesh& mesh = result.mesh;
    if (mesh.name.empty()) mesh.name = chosen->nodeName;
    mesh.hasNormals = chosen->any && chosen->allNormals;
    return result;
}

}  // namespace

ImportResult WalkScene(const std::string& path, const aiScene& scene, const ReadOptions& options,
                       bool linearColors) {
    return detail::GuardMemory(path,
                               [&] { return SceneWalk(path, scene, options, linearColors).run(); });
}

}  // namespace kvx
