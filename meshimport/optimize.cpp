#include "meshimport/optimize.h"

#include "meshopt_api.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "meshcore/layout.h"
#include "meshcore/normals.h"

namespace kvx {

static_assert(std::is_same_v<uint32_t, unsigned int>, "meshoptimizer indexes with unsigned int");

namespace {

constexpr uint32_t kUnused = UINT32_MAX;

Failure NoMemory() {
    return {FailureKind::memory, "out of memory", ENOMEM};
}

// The positions, x y z every `stride` bytes, as packed floats; a
// coordinate that is not finite counts as 0, so that every pass (the
// overdraw's sort, the spatial order, the simplifier's quadrics) sees
// numbers.
std::vector<float> PackedPositions(const float* positions, size_t stride, size_t count) {
    std::vector<float> packed(3 * count);
    const auto* bytes = reinterpret_cast<const unsigned char*>(positions);
    for (size_t i = 0; i < count; ++i) {
        float xyz[3];
        std::memcpy(xyz, bytes + i * stride, sizeof xyz);
        for (size_t k = 0; k < 3; ++k)
            packed[3 * i + k] = std::isfinite(xyz[k]) ? xyz[k] : 0.0f;
    }
    return packed;
}

// Indices padded to a multiple of 3 with the last one: meshoptimizer 0.18
// takes lists of triangles only, and a repeated index changes no order of
// first occurrence.
std::vector<uint32_t> PaddedToTriangles(const uint32_t* indices, size_t count) {
    std::vector<uint32_t> padded(indices, indices + count);
    while (padded.size() % 3 != 0)
        padded.push_back(padded.back());
    return padded;
}

// The vertices that `triangles` use, in their order: remap[old] = new or
// kUnused; returns how many.
size_t UsedInOrder(const std::vector<uint32_t>& triangles, size_t vertexCount,
                   std::vector<uint32_t>& remap) {
    remap.assign(vertexCount, kUnused);
    for (uint32_t v : triangles)
        remap[v] = 0;
    size_t kept = 0;
    for (uint32_t& r : remap)
        if (r != kUnused) r = static_cast<uint32_t>(kept++);
    return kept;
}

// The triangles of `triangles` that name three distinct vertices.
void DropDegenerate(std::vector<uint32_t>& triangles) {
    size_t out = 0;
    for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
        const uint32_t a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
        if (a == b || b == c || c == a) continue;
        triangles[out++] = a;
        triangles[out++] = b;
        triangles[out++] = c;
    }
    triangles.resize(out);
}

size_t CountUsed(const std::vector<uint32_t>& triangles, std::vector<uint8_t>& seen) {
    std::fill(seen.begin(), seen.end(), uint8_t{0});
    size_t used = 0;
    for (uint32_t v : triangles) {
        used += seen[v] == 0;
        seen[v] = 1;
    }
    return used;
}

// One simplification of `triangles` over `packed` toward `target`
// triangles: meshopt_simplify with the borders locked, then, where asked
// and short of the target, the sloppy pass when it does better.
void SimplifyOnce(const std::vector<uint32_t>& triangles, const std::vector<float>& packed,
                  size_t target, const SimplifyOptions& options, std::vector<uint32_t>& out,
                  SimplifyOutcome& outcome) {
    const size_t vertexCount = packed.size() / 3;
    out.resize(triangles.size());
    float error = 0.0f;
    size_t kept = Meshopt()->simplify(out.data(), triangles.data(), triangles.size(), packed.data(),
                                      vertexCount, 3 * sizeof(float), 3 * target, options.error,
                                      meshopt_SimplifyLockBorder, &error);
    outcome.sloppy = false;
    if (options.sloppy && kept > 3 * target) {
        std::vector<uint32_t> loose(triangles.size());
        float looseError = 0.0f;
        const size_t looseKept = Meshopt()->simplifySloppy(
            loose.data(), triangles.data(), triangles.size(), packed.data(), vertexCount,
            3 * sizeof(float), 3 * target, options.error, &looseError);
        if (looseKept < kept) {
            out.swap(loose);
            kept = looseKept;
            error = looseError;
            outcome.sloppy = true;
        }
    }
    out.resize(kept);
    DropDegenerate(out);
    outcome.error = error;
    outcome.targetTriangles = target;
    outcome.triangles = out.size() / 3;
}

// The simplified triangles of `triangles` into `out`, by `options`.
void SimplifyTriangles(const std::vector<uint32_t>& triangles, const std::vector<float>& packed,
                       const SimplifyOptions& options, std::vector<uint32_t>& out,
                       SimplifyOutcome& outcome) {
    assert(options.ratio > 0.0 && options.ratio <= 1.0 && options.error >= 0.0f);
    const size_t count = triangles.size() / 3;
    const size_t vertexCount = packed.size() / 3;
    size_t target = static_cast<size_t>(std::llround(options.ratio * static_cast<double>(count)));
    target = std::clamp<size_t>(target, 1, count);
    std::vector<uint8_t> seen;
    size_t used = 0;
    if (options.maxVertices != 0) {
        seen.resize(vertexCount);
        used = CountUsed(triangles, seen);
        if (target == count && used <= options.maxVertices) {
            out = triangles;
            DropDegenerate(out);
            outcome = {count, out.size() / 3, CountUsed(out, seen), 0.0f, false, true};
            return;
        }
        // About as many triangles as vertices would fit, and a little
        // fewer, for a start that mostly fits at once.
        const double share =
            static_cast<double>(options.maxVertices) / static_cast<double>(used) * 0.99;
        target = std::min(target, static_cast<size_t>(static_cast<double>(count) * share));
    }
    SimplifyOnce(triangles, packed, target, options, out, outcome);
    // A fit that is not there yet goes on from what the last round left,
    // aiming lower by the share of vertices still too many and a little
    // more, within what is left of the error bound; the error reached is
    // the rounds' sum.
    for (int round = 1; options.maxVertices != 0; ++round) {
        outcome.vertices = CountUsed(out, seen);
        outcome.fits = outcome.vertices <= options.maxVertices;
        // Short of the target: aiming lower only helps when the simplifier
        // reached it.
        if (outcome.fits || round == 12 || target <= 1 ||
            outcome.triangles > target + target / 50 + 1) {
            break;
        }
        const double share =
            static_cast<double>(options.maxVertices) / static_cast<double>(outcome.vertices) * 0.98;
        target = std::max<size_t>(
            1, std::min(static_cast<size_t>(static_cast<double>(outcome.triangles) * share),
                        outcome.triangles - 1));
        SimplifyOptions rest = options;
        rest.error = std::max(0.0f, options.error - outcome.error);
        const std::vector<uint32_t> last = out;
        const float reached = outcome.error;
        SimplifyOnce(last, packed, target, rest, out, outcome);
        outcome.error += reached;
    }
    if (options.maxVertices == 0) outcome.vertices = 0;
}

Failure VertexCountFailure(const SimplifyOutcome& outcome, size_t most) {
    return BadInput("kept " + std::to_string(outcome.vertices) + " vertices; at most " +
                    std::to_string(most) + " fit (the simplifier stopped at " +
                    std::to_string(outcome.triangles) +
                    " triangles; a larger --error or --sloppy lets it go further)");
}

// ---- KVX meshes ----

struct KvxParts {
    const Layout* layout = nullptr;
    std::vector<uint32_t> indices;  // the index block, 32 bits each
    std::vector<float> packed;      // the positions
};

// The layout, the indices (checked) and the positions of `m`.
Failure TakeApart(const OKVX& m, KvxParts& parts) {
    const Layout* layout = LayoutOf(m.version);
    if (layout == nullptr || layout->save == nullptr)
        return BadInput("version " + std::to_string(m.version) + " is read only");
    parts.layout = layout;
    const uint8_t per = layout->primitive == Primitive::points ? 0 : layout->indexValuesPerGroup;
    const size_t count = size_t{per} * m.faceCount;
    parts.indices.resize(count);
    for (size_t k = 0; k < count; ++k) {
        const uint32_t v = m.faces[k];
        if (v >= m.vertexCount) {
            return BadInput(std::string(layout->primitive == Primitive::lines ? "edge " : "face ") +
                            std::to_string(k / per) + " names vertex " + std::to_string(v) +
                            " of " + std::to_string(m.vertexCount));
        }
        parts.indices[k] = v;
    }
    const auto* records = static_cast<const unsigned char*>(VertexArrayOf(m, *layout));
    parts.packed =
        m.vertexCount == 0
            ? std::vector<float>()
            : PackedPositions(reinterpret_cast<const float*>(records + layout->positionOffset),
                              layout->recordSize, m.vertexCount);
    return {};
}

// A new mesh `out` of `m`'s version, name and fields: the vertices `remap`
// keeps (remap[old] = new or kUnused; `kept` of them), the index block
// `indices` in the new numbers. False when memory is short (the arrays made
// so far are in `out`, for KvxRelease).
bool Rebuild(const OKVX& m, const Layout& layout, const std::vector<uint32_t>& remap, size_t kept,
             const std::vector<uint32_t>& indices, OKVX& out) {
    out.version = m.version;
    std::memcpy(out.name, m.name, sizeof out.name);
    out.vertexCount = static_cast<uint32_t>(kept);
    auto* records = static_cast<unsigned char*>(KvxAllocate(kept, layout.recordSize));
    if (records == nullptr) return false;
    SetVertexArray(out, layout, records);
    const auto* from = static_cast<const unsigned char*>(VertexArrayOf(m, layout));
    for (size_t old = 0; old < remap.size(); ++old) {
        if (remap[old] == kUnused) continue;
        std::memcpy(records + size_t{remap[old]} * layout.recordSize,
                    from + old * layout.recordSize, layout.recordSize);
    }
    if (layout.primitive == Primitive::points) {
        out.faceCount = m.faceCount;
        return true;
    }
    out.faceCount = static_cast<uint32_t>(indices.size() / layout.indexValuesPerGroup);
    out.faces = KvxAllocateArray<uint16_t>(indices.size());
    if (out.faces == nullptr) return false;
    for (size_t k = 0; k < indices.size(); ++k)
        out.faces[k] = static_cast<uint16_t>(remap[indices[k]]);
    return true;
}

// `fresh` in place of `m`, whose arrays go.
void Replace(OKVX& m, OKVX& fresh) {
    KvxRelease(m);
    m = fresh;
    fresh = OKVX{};
}

template <typename Work>
Failure Guarded(Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return NoMemory();
    }
}

// The remap of `mesh`'s vertices, by what the mesh is made of (OptimizeMesh).
void OrderOf(std::vector<uint32_t>& triangles, const std::vector<uint32_t>& lines,
             const std::vector<float>& packed, std::vector<uint32_t>& remap) {
    const size_t vertexCount = packed.size() / 3;
    if (!triangles.empty()) {
        if (!OrderTrianglesForGpu(triangles, packed.data(), 3 * sizeof(float), vertexCount))
            throw std::bad_alloc();
        std::vector<uint32_t> all(triangles);
        all.insert(all.end(), lines.begin(), lines.end());
        if (!FetchOrder(all.data(), all.size(), vertexCount, remap)) throw std::bad_alloc();
    } else if (!lines.empty()) {
        if (!FetchOrder(lines.data(), lines.size(), vertexCount, remap)) throw std::bad_alloc();
    } else {
        remap.resize(vertexCount);
        if (vertexCount != 0)
            Meshopt()->spatialSortRemap(remap.data(), packed.data(), vertexCount,
                                        3 * sizeof(float));
    }
}

template <typename T>
void Permute(std::vector<T>& values, size_t width, const std::vector<uint32_t>& remap,
             size_t kept) {
    std::vector<T> out(width * kept);
    for (size_t old = 0; old < remap.size(); ++old) {
        if (remap[old] == kUnused) continue;
        std::copy_n(&values[width * old], width, &out[width * size_t{remap[old]}]);
    }
    values.swap(out);
}

// The vertices of `mesh` that `remap` keeps, in its numbers, and its
// triangles and lines renumbered (a new ImportedMesh put in place only
// when whole).
void Renumber(ImportedMesh& mesh, const std::vector<uint32_t>& remap, size_t kept,
              std::vector<uint32_t>& triangles) {
    std::vector<float> positions(mesh.positions), texCoords(mesh.texCoords), normals(mesh.normals);
    std::vector<uint32_t> colors(mesh.colors), lines(mesh.lines);
    Permute(positions, 3, remap, kept);
    if (mesh.hasColors) Permute(colors, 1, remap, kept);
    if (mesh.hasTexCoords) Permute(texCoords, 2, remap, kept);
    if (mesh.hasNormals) Permute(normals, 3, remap, kept);
    for (uint32_t& v : triangles)
        v = remap[v];
    for (uint32_t& v : lines)
        v = remap[v];
    mesh.positions.swap(positions);
    mesh.colors.swap(colors);
    mesh.texCoords.swap(texCoords);
    mesh.normals.swap(normals);
    mesh.triangles.swap(triangles);
    mesh.lines.swap(lines);
}

// Where the shared library could not be loaded.
Failure Unavailable() {
    return Failure{FailureKind::usage,
                   "the GPU order and simplification need meshoptimizer, which could not be "
                   "loaded",
                   0};
}

}  // namespace

bool OptimizerAvailable() {
    return Meshopt() != nullptr;
}

bool OrderTrianglesForGpu(std::vector<uint32_t>& triangles, const float* positions, size_t stride,
                          size_t vertexCount) {
    assert(triangles.size() % 3 == 0);
    if (triangles.empty()) return true;
    if (!OptimizerAvailable()) return false;
    try {
        const std::vector<float> packed = PackedPositions(positions, stride, vertexCount);
        std::vector<uint32_t> cache(triangles.size()), drawn(triangles.size());
        Meshopt()->optimizeVertexCache(cache.data(), triangles.data(), triangles.size(),
                                       vertexCount);
        Meshopt()->optimizeOverdraw(drawn.data(), cache.data(), cache.size(), packed.data(),
                                    vertexCount, 3 * sizeof(float), kOverdrawThreshold);
        triangles.swap(drawn);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FetchOrder(const uint32_t* indices, size_t count, size_t vertexCount,
                std::vector<uint32_t>& remap) {
    if (!OptimizerAvailable()) return false;
    try {
        remap.assign(vertexCount, kUnused);
        size_t next = 0;
        if (count != 0) {
            const std::vector<uint32_t> padded = PaddedToTriangles(indices, count);
            next = Meshopt()->optimizeVertexFetchRemap(remap.data(), padded.data(), padded.size(),
                                                       vertexCount);
        }
        for (uint32_t& r : remap)
            if (r == kUnused) r = static_cast<uint32_t>(next++);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

Failure OptimizeMesh(ImportedMesh& mesh) {
    if (!OptimizerAvailable()) return Unavailable();
    assert(IsConsistent(mesh));
    return Guarded([&]() -> Failure {
        const size_t n = mesh.vertexCount();
        const std::vector<float> packed = PackedPositions(mesh.positions.data(), 12, n);
        std::vector<uint32_t> triangles(mesh.triangles), remap;
        OrderOf(triangles, mesh.lines, packed, remap);
        Renumber(mesh, remap, n, triangles);
        return {};
    });
}

Failure OptimizeKvx(OKVX& m) {
    if (!OptimizerAvailable()) return Unavailable();
    return Guarded([&]() -> Failure {
        KvxParts parts;
        if (Failure f = TakeApart(m, parts)) return f;
        std::vector<uint32_t> remap;
        std::vector<uint32_t> triangles, lines;
        (parts.layout->primitive == Primitive::lines ? lines : triangles).swap(parts.indices);
        OrderOf(triangles, lines, parts.packed, remap);
        OKVX fresh{};
        if (!Rebuild(m, *parts.layout, remap, m.vertexCount, triangles.empty() ? lines : triangles,
                     fresh)) {
            KvxRelease(fresh);
            return NoMemory();
        }
        Replace(m, fresh);
        return {};
    });
}

Failure SimplifyMesh(ImportedMesh& mesh, const SimplifyOptions& options, SimplifyOutcome* outcome) {
    if (!OptimizerAvailable()) return Unavailable();
    assert(IsConsistent(mesh));
    if (mesh.triangles.empty()) return BadInput("no triangles to simplify");
    return Guarded([&]() -> Failure {
        const std::vector<float> packed =
            PackedPositions(mesh.positions.data(), 12, mesh.vertexCount());
        std::vector<uint32_t> triangles;
        SimplifyOutcome reached;
        SimplifyTriangles(mesh.triangles, packed, options, triangles, reached);
        std::vector<uint32_t> remap;
        reached.vertices = UsedInOrder(triangles, mesh.vertexCount(), remap);
        if (outcome) *outcome = reached;
        if (!reached.fits) return VertexCountFailure(reached, options.maxVertices);
        // Lines of a triangle mesh name vertices the triangles may no longer
        // keep: they go with the triangles' simplification.
        mesh.lines.clear();
        Renumber(mesh, remap, reached.vertices, triangles);
        return {};
    });
}

Failure CheckKvx(const OKVX& m) {
    return Guarded([&]() -> Failure {
        KvxParts parts;
        return TakeApart(m, parts);
    });
}

Failure SimplifyKvx(OKVX& m, const SimplifyOptions& options, SimplifyOutcome* outcome) {
    if (!OptimizerAvailable()) return Unavailable();
    OKVX fresh{};
    Failure f = SimplifyKvx(m, options, fresh, outcome);
    if (f) {
        KvxRelease(fresh);
        return f;
    }
    Replace(m, fresh);
    return {};
}

Failure SimplifyKvx(const OKVX& m, const SimplifyOptions& options, OKVX& fresh,
                    SimplifyOutcome* outcome) {
    if (!OptimizerAvailable()) return Unavailable();
    return Guarded([&]() -> Failure {
        KvxParts parts;
        if (Failure f = TakeApart(m, parts)) return f;
        const Layout& layout = *parts.layout;
        if (layout.primitive != Primitive::triangles || parts.indices.empty())
            return BadInput("no triangles to simplify");
        std::vector<uint32_t> triangles;
        SimplifyOutcome reached;
        SimplifyTriangles(parts.indices, parts.packed, options, triangles, reached);
        std::vector<uint32_t> remap;
        reached.vertices = UsedInOrder(triangles, m.vertexCount, remap);
        if (outcome) *outcome = reached;
        if (!reached.fits) return VertexCountFailure(reached, options.maxVertices);
        if (!Rebuild(m, layout, remap, reached.vertices, triangles, fresh)) return NoMemory();
        // ComputeSmoothNormals sets every normal anew.
        if (layout.text.smoothNormals && layout.normalOffset != kAbsent) {
            if (!ComputeSmoothNormals(fresh)) return NoMemory();
        }
        return {};
    });
}

bool FiguresOf(const uint32_t* triangles, size_t triangleCount, const float* positions,
               size_t stride, size_t vertexCount, size_t vertexBytes, MeshFigures& figures) {
    figures = {};
    figures.triangles = triangleCount;
    figures.vertices = vertexCount;
    if (triangleCount == 0) return true;
    if (!OptimizerAvailable()) return false;
    try {
        const std::vector<float> packed = PackedPositions(positions, stride, vertexCount);
        const size_t count = 3 * triangleCount;
        const meshopt_VertexCacheStatistics cache =
            Meshopt()->analyzeVertexCache(triangles, count, vertexCount, kVertexCacheSize, 0, 0);
        figures.acmr = cache.acmr;
        figures.atvr = cache.atvr;
        figures.overdraw =
            Meshopt()
                ->analyzeOverdraw(triangles, count, packed.data(), vertexCount, 3 * sizeof(float))
                .overdraw;
        figures.overfetch =
            Meshopt()->analyzeVertexFetch(triangles, count, vertexCount, vertexBytes).overfetch;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FiguresOf(const ImportedMesh& mesh, size_t vertexBytes, MeshFigures& figures) {
    const bool ok = FiguresOf(mesh.triangles.data(), mesh.triangleCount(), mesh.positions.data(),
                              3 * sizeof(float), mesh.vertexCount(), vertexBytes, figures);
    figures.lines = mesh.lineCount();
    return ok;
}

bool FiguresOf(const OKVX& m, MeshFigures& figures) {
    try {
        KvxParts parts;
        if (TakeApart(m, parts)) return false;
        const Layout& layout = *parts.layout;
        if (layout.primitive != Primitive::triangles) {
            figures = {};
            figures.vertices = m.vertexCount;
            figures.lines = layout.primitive == Primitive::lines ? m.faceCount : 0;
            return true;
        }
        return FiguresOf(parts.indices.data(), m.faceCount, parts.packed.data(), 3 * sizeof(float),
                         m.vertexCount, layout.recordSize, figures);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
