// kvx.optimize and kvx.simplify: meshimport's GPU order and simplification
// (meshimport/optimize.h) over NumPy arrays, run with the interpreter's
// lock released. Each vertex carries its old number through the library's
// work (as its colour word), which gives the order handed back.
#include "optimize_binding.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "meshimport/imported_mesh.h"
#include "meshimport/optimize.h"

namespace py = pybind11;

namespace {

[[noreturn]] void Raise(const char* kind, const std::string& message) {
    py::object error = py::module_::import("kvx._errors")
                           .attr("make_error")(kind, py::str(message), 0, py::none());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void RaiseInput(const std::string& message) {
    Raise("input", message);
}

// `value` as a C-contiguous (rows, 3) array of T, or KvxInputError naming
// `what`; an empty sequence is zero rows.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Rows(const py::handle& value,
                                                               const char* what, const char* form,
                                                               const char* kinds) {
    py::array a = py::array::ensure(value);
    if (!a) {
        PyErr_Clear();
        RaiseInput(std::string(what) + " must be " + form);
    }
    if (a.size() == 0 && a.ndim() == 1)
        a = py::array(py::dtype::of<T>(), {py::ssize_t{0}, py::ssize_t{3}});
    if (a.ndim() != 2 || a.shape(1) != 3) RaiseInput(std::string(what) + " must be " + form);
    if (a.size() > 0 && std::strchr(kinds, a.dtype().kind()) == nullptr)
        RaiseInput(std::string(what) + " must be " + form);
    return py::array_t<T, py::array::c_style | py::array::forcecast>(a);
}

// The mesh of `positions` and `triangles`, each vertex's colour word its
// number. Refuses an index that names no vertex.
kvx::ImportedMesh MeshOf(const py::object& positionsArg, const py::object& trianglesArg) {
    const auto positions =
        Rows<float>(positionsArg, "positions", "an (N, 3) array of numbers", "fiu");
    const size_t n = static_cast<size_t>(positions.shape(0));
    if (n > UINT32_MAX) RaiseInput("positions: more than 4294967295 vertices");
    kvx::ImportedMesh mesh;
    mesh.positions.assign(positions.data(), positions.data() + 3 * n);
    mesh.hasColors = true;
    mesh.colors.resize(n);
    for (size_t v = 0; v < n; ++v)
        mesh.colors[v] = static_cast<uint32_t>(v);
    if (trianglesArg.is_none()) return mesh;
    const auto triangles =
        Rows<int64_t>(trianglesArg, "triangles", "a (T, 3) array of vertex indices", "iu");
    const size_t count = 3 * static_cast<size_t>(triangles.shape(0));
    const int64_t* t = triangles.data();
    mesh.triangles.resize(count);
    for (size_t k = 0; k < count; ++k) {
        if (t[k] < 0 || static_cast<uint64_t>(t[k]) >= n) {
            RaiseInput("triangle " + std::to_string(k / 3) + " names vertex " +
                       std::to_string(t[k]) + " of " + std::to_string(n));
        }
        mesh.triangles[k] = static_cast<uint32_t>(t[k]);
    }
    return mesh;
}

void RaiseFailure(const kvx::Failure& f) {
    Raise(f.kind == kvx::FailureKind::memory ? "memory" : "input", f.message);
}

// The triangles as a (T, 3) uint32 array and the old vertex numbers in
// their new order as an (N,) uint32 array.
py::tuple Arrays(const kvx::ImportedMesh& mesh) {
    py::array_t<uint32_t> triangles(
        {static_cast<py::ssize_t>(mesh.triangleCount()), py::ssize_t{3}});
    if (!mesh.triangles.empty())
        std::memcpy(triangles.mutable_data(), mesh.triangles.data(), 4 * mesh.triangles.size());
    py::array_t<uint32_t> order(static_cast<py::ssize_t>(mesh.vertexCount()));
    if (!mesh.colors.empty())
        std::memcpy(order.mutable_data(), mesh.colors.data(), 4 * mesh.colors.size());
    return py::make_tuple(triangles, order);
}

py::tuple Optimize(const py::object& positions, const py::object& triangles) {
    kvx::ImportedMesh mesh = MeshOf(positions, triangles);
    kvx::Failure failure;
    {
        py::gil_scoped_release nogil;
        failure = kvx::OptimizeMesh(mesh);
    }
    if (failure) RaiseFailure(failure);
    return Arrays(mesh);
}

py::tuple Simplify(const py::object& positions, const py::object& triangles, double ratio,
                   double error, bool sloppy, uint64_t maxVertices) {
    if (!(ratio > 0.0 && ratio <= 1.0))
        RaiseInput("ratio must be above 0 and at most 1; got " +
                   py::repr(py::float_(ratio)).cast<std::string>());
    if (!(error >= 0.0) || !std::isfinite(error))
        RaiseInput("error must be 0 or more; got " +
                   py::repr(py::float_(error)).cast<std::string>());
    kvx::ImportedMesh mesh = MeshOf(positions, triangles);
    kvx::SimplifyOptions options;
    options.ratio = ratio;
    options.error = static_cast<float>(error);
    options.sloppy = sloppy;
    options.maxVertices = static_cast<size_t>(maxVertices);
    kvx::SimplifyOutcome outcome;
    kvx::Failure failure;
    {
        py::gil_scoped_release nogil;
        failure = kvx::SimplifyMesh(mesh, options, &outcome);
    }
    if (failure) RaiseFailure(failure);
    py::tuple arrays = Arrays(mesh);
    return py::make_tuple(arrays[0], arrays[1], outcome.error);
}

}  // namespace

void BindOptimize(py::module_& module) {
    module.def("optimize", &Optimize, py::arg("positions"), py::arg("triangles") = py::none(),
               R"(The mesh in the order a GPU draws fastest, as kvxopt orders it.

positions  (N, 3) numbers: the vertices (float32 as the library sees them).
triangles  (T, 3) vertex indices, each below N; None: a point set.

Returns (triangles, order): the same triangles, each with its corners in
its order, reordered for a 16-entry vertex cache and then for overdraw, as
a (T, 3) uint32 array in the new vertex numbers; and order, an (N,) uint32
array: new vertex i is old vertex order[i], so positions[order] (and any
per-vertex array indexed with order) gives the vertices in the order the
triangles first fetch them, the vertices no triangle names last. A point
set gets a spatial order and a (0, 3) triangles array.

Raises KvxInputError for arrays of other shapes and an index that names
no vertex ("triangle 3 names vertex 8 of 8").)");
    module.def("simplify", &Simplify, py::arg("positions"), py::arg("triangles"), py::arg("ratio"),
               py::arg("error") = 0.01, py::arg("sloppy") = false, py::arg("max_vertices") = 0,
               R"(Fewer triangles, as kvxopt --simplify makes them.

positions     (N, 3) numbers; triangles (T, 3) vertex indices, each below N.
ratio         the share of triangles to keep: above 0, at most 1.
error         the largest error allowed, a share of the mesh's extent (0 or
              more); where the target needs more, fewer triangles go.
sloppy        where the topology stops the careful pass above the target,
              let the sloppy one (which merges nearby vertices) go further.
max_vertices  above 0: keep at most this many vertices (kvxopt --fit).

The vertices on an open border stay in place, and every vertex left is one
of the old ones, unmoved. Returns (triangles, order, error): the triangles
kept, none naming a vertex twice, as a (K, 3) uint32 array over the
vertices kept; order, the (M,) uint32 numbers of those vertices in the
old mesh, rising (positions[order] gives them); and the error reached, a
share of the extent. Raises KvxInputError for bad arguments, for a mesh
without triangles, and where max_vertices cannot be met.)");
}
