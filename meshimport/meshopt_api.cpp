#include "meshopt_api.h"

#ifdef KVX_MESHOPTIMIZER_SONAME
#include <dlfcn.h>
#endif

namespace kvx {
namespace {

#ifdef KVX_MESHOPTIMIZER_SONAME
template <typename Function>
bool Find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const MeshoptApi* Load() {
    // Never closed: the table lives as long as the process.
    void* library = dlopen(KVX_MESHOPTIMIZER_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static MeshoptApi api;
    const bool found =
        Find(library, "meshopt_optimizeVertexCache", api.optimizeVertexCache) &&
        Find(library, "meshopt_optimizeOverdraw", api.optimizeOverdraw) &&
        Find(library, "meshopt_optimizeVertexFetchRemap", api.optimizeVertexFetchRemap) &&
        Find(library, "meshopt_spatialSortRemap", api.spatialSortRemap) &&
        Find(library, "meshopt_simplify", api.simplify) &&
        Find(library, "meshopt_simplifySloppy", api.simplifySloppy) &&
        Find(library, "meshopt_analyzeVertexCache", api.analyzeVertexCache) &&
        Find(library, "meshopt_analyzeOverdraw", api.analyzeOverdraw) &&
        Find(library, "meshopt_analyzeVertexFetch", api.analyzeVertexFetch);
    return found ? &api : nullptr;
}
#else
const MeshoptApi* Load() {
    static const MeshoptApi api{
        &meshopt_optimizeVertexCache, &meshopt_optimizeOverdraw, &meshopt_optimizeVertexFetchRemap,
        &meshopt_spatialSortRemap,    &meshopt_simplify,         &meshopt_simplifySloppy,
        &meshopt_analyzeVertexCache,  &meshopt_analyzeOverdraw,  &meshopt_analyzeVertexFetch};
    return &api;
}
#endif

}  // namespace

const MeshoptApi* Meshopt() {
    static const MeshoptApi* const api = Load();
    return api;
}

}  // namespace kvx
