// A build without meshoptimizer: the mesh is imported as it is, and every
// request for the GPU order, simplification or figures is refused.
#include "meshimport/optimize.h"

namespace kvx {
namespace {

Failure Unavailable() {
    return Failure{FailureKind::usage,
                   "the GPU order and simplification need meshoptimizer, which this build was "
                   "made without",
                   0};
}

}  // namespace

bool OptimizerAvailable() {
    return false;
}

bool OrderTrianglesForGpu(std::vector<uint32_t>&, const float*, size_t, size_t) {
    return false;
}

bool FetchOrder(const uint32_t*, size_t, size_t, std::vector<uint32_t>&) {
    return false;
}

Failure OptimizeMesh(ImportedMesh&) {
    return Unavailable();
}

Failure OptimizeKvx(OKVX&) {
    return Unavailable();
}

Failure CheckKvx(const OKVX&) {
    return Unavailable();
}

Failure SimplifyMesh(ImportedMesh&, const SimplifyOptions&, SimplifyOutcome*) {
    return Unavailable();
}

Failure SimplifyKvx(OKVX&, const SimplifyOptions&, SimplifyOutcome*) {
    return Unavailable();
}

Failure SimplifyKvx(const OKVX&, const SimplifyOptions&, OKVX&, SimplifyOutcome*) {
    return Unavailable();
}

bool FiguresOf(const uint32_t*, size_t, const float*, size_t, size_t, size_t, MeshFigures&) {
    return false;
}

bool FiguresOf(const ImportedMesh&, size_t, MeshFigures&) {
    return false;
}

bool FiguresOf(const OKVX&, MeshFigures&) {
    return false;
}

}  // namespace kvx
