// kvx._kvx: the native part of the Python package kvx. A Mesh owns one OKVX
// and shows its records to NumPy as read-only views; loads and saves go
// through meshcore on the mesh's own OKVX; the converters are the library's
// (kvx::ReadCmshMesh), run with the GIL released and no lock: each call
// owns its mesh and work arrays, so threads convert at once. The package (python/kvx/) adds the
// Python-facing functions, the exception classes and the meshio plugin.
//
// Failures become the exceptions of kvx._errors: make_error(kind, message,
// errno, filename) with kind "input" (KvxInputError, a ValueError), "io"
// (KvxIOError, an OSError with errno) or "memory" (KvxMemoryError).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "mesh_build.h"
#include "meshcore/failure.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshimport/import.h"
#include "meshimport/optimize.h"
#include "meshimport/triangulate.h"
#include "meshtext/cmsh_mesh.h"
#include "meshtext/color.h"
#include "optimize_binding.h"
#include "same_file.h"

namespace py = pybind11;

namespace {

using kvx::DisplayName;

// ---- Errors ----

enum class ErrorKind { input, io, memory };

// Text for Python: UTF-8 where it is, other bytes as \xNN, so that a
// message stays one printable line whatever a path holds.
py::str MessageText(const std::string& text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

[[noreturn]] void Raise(ErrorKind kind, const std::string& message, int sysErrno = 0,
                        py::object filename = py::none()) {
    static const char* const kKinds[] = {"input", "io", "memory"};
    py::object error = py::module_::import("kvx._errors")
                           .attr("make_error")(kKinds[static_cast<int>(kind)], MessageText(message),
                                               sysErrno, filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void RaiseInput(const std::string& message) {
    Raise(ErrorKind::input, message);
}

[[noreturn]] void RaiseNoMemory(uint64_t bytes) {
    Raise(ErrorKind::memory, "out of memory (" + std::to_string(bytes) + " bytes)");
}

// Memory that runs short anywhere in a call of F, in a C++ allocation
// (std::bad_alloc) or a Python or NumPy one (MemoryError), raises
// KvxMemoryError as a failed allocation of the libraries does.
template <auto F>
struct MemoryGuarded;

template <typename R, typename... A, R (*F)(A...)>
struct MemoryGuarded<F> {
    static R Call(A... args) {
        try {
            return F(std::forward<A>(args)...);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_MemoryError) ||
                e.matches(py::module_::import("kvx._errors").attr("KvxError"))) {
                throw;
            }
        } catch (const std::bad_alloc&) {
        }
        Raise(ErrorKind::memory, "out of memory");
    }
};

template <auto F>
constexpr auto Guarded = &MemoryGuarded<F>::Call;

// The device and inode of the file at `path`, through links; false where
// there is none.
bool IdentityOf(const std::string& path, dev_t* device, ino_t* inode) {
    struct stat s;
    if (::stat(path.c_str(), &s) != 0) return false;
    *device = s.st_dev;
    *inode = s.st_ino;
    return true;
}

// The file a mesh was read from (load, load_any, read_cmsh), so that saving
// the mesh never replaces it.
struct SourceFile {
    std::string path;  // empty: none
    dev_t device = 0;
    ino_t inode = 0;
};

SourceFile SourceOf(const std::string& path) {
    SourceFile source;
    if (IdentityOf(path, &source.device, &source.inode)) source.path = path;
    return source;
}

// Refuses, before anything is written, an output that is the file a mesh
// was read from, by whatever link or name, in the programs' words
// (CheckOutputIsNotInput): the source is known by the device and inode it
// had when it was read. An output that does not exist yet is fine.
void RefuseOverSource(const SourceFile& source, const std::string& output) {
    dev_t device;
    ino_t inode;
    if (source.path.empty() || !IdentityOf(output, &device, &inode)) return;
    if (device == source.device && inode == source.inode) {
        KvxStatus why;
        why.code = KvxErrc::output_is_input;
        Raise(ErrorKind::io, DisplayName(output.c_str()) + ": " + KvxStatusMessage(why));
    }
}

// A path as str, bytes or os.PathLike, as bytes (os.fsencode), refused
// when it holds a zero byte, which would cut it short.
std::string PathOf(const py::object& path) {
    std::string p = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (p.find('\0') != std::string::npos) {
        RaiseInput(DisplayName(p.c_str()) + "...: the path holds a zero byte");
    }
    return p;
}

// A failure of the libraries as the matching exception: memory as
// KvxMemoryError; a failed system call (errno set) as KvxIOError naming the
// file (the output for an output failure, else the input); the rest as
// KvxInputError. The kinds are those that give the programs' exit statuses.
[[noreturn]] void RaiseFailure(const kvx::Failure& f, const py::object& input,
                               const py::object& output) {
    switch (f.kind) {
        case kvx::FailureKind::output:
            Raise(ErrorKind::io, f.message, f.sysErrno, output);
        case kvx::FailureKind::memory:
            Raise(ErrorKind::memory, f.message);
        default:
            if (f.sysErrno != 0) Raise(ErrorKind::io, f.message, f.sysErrno, input);
            RaiseInput(f.message);
    }
}

// A failed load of `path`, as the programs word it ("<path>: <why>").
[[noreturn]] void RaiseLoadFailure(const std::string& path, const KvxStatus& why, int32_t version,
                                   const py::object& filename) {
    const std::string detail =
        why.code == KvxErrc::unsupported_version ? " " + std::to_string(version) : "";
    RaiseFailure(kvx::InputFailure(DisplayName(path.c_str()), why, detail.c_str()), filename,
                 py::none());
}

// ---- The mesh ----

struct PyMesh {
    OKVX m{};           // zero: empty
    SourceFile source;  // the file it was read from, if any

    PyMesh() = default;
    PyMesh(const PyMesh&) = delete;
    PyMesh& operator=(const PyMesh&) = delete;
    ~PyMesh() { KvxRelease(m); }
};

// Views of zero rows point here rather than at null, which NumPy would
// replace by an array of its own.
alignas(16) const unsigned char kNoRecords[64] = {};

// The layout of a mesh's version (a Mesh always has one of the table's).
const kvx::Layout& LayoutOf(const OKVX& m) {
    const kvx::Layout* l = kvx::LayoutOf(m.version);
    if (l == nullptr) throw py::type_error("not an initialised kvx.Mesh");
    return *l;
}

// The first vertex record of a mesh, never null.
const char* RecordsOf(const OKVX& m) {
    const void* records = kvx::VertexArrayOf(m, LayoutOf(m));
    return records != nullptr ? static_cast<const char*>(records)
                              : reinterpret_cast<const char*>(kNoRecords);
}

// A read-only view of `rows` rows of `columns` values of type T (one
// dimension when columns is 0), rowStride bytes apart from `first`, whose
// base is `owner`: the array keeps the mesh alive, and no byte is copied.
template <typename T>
py::array View(const py::object& owner, const char* first, uint64_t rows, py::ssize_t columns,
               py::ssize_t rowStride) {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(rows)};
    std::vector<py::ssize_t> strides{rowStride};
    if (columns > 0) {
        shape.push_back(columns);
        strides.push_back(static_cast<py::ssize_t>(sizeof(T)));
    }
    py::array_t<T> a(shape, strides, reinterpret_cast<const T*>(first), owner);
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return a;
}

// The mesh of `self`, which must be a Mesh that __init__ (or a load) has
// made: Mesh.__new__ alone leaves one that holds nothing valid yet.
const PyMesh& PyMeshOf(const py::object& self) {
    if (py::isinstance<PyMesh>(self)) {
        auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
        py::detail::value_and_holder v =
            instance->get_value_and_holder(py::detail::get_type_info(typeid(PyMesh)));
        if (v && v.holder_constructed()) return *v.value_ptr<PyMesh>();
    }
    throw py::type_error("not an initialised kvx.Mesh");
}

const OKVX& MeshOf(const py::object& self) {
    return PyMeshOf(self).m;
}

py::object VertexField(const py::object& self, int8_t kvx::Layout::*field, py::ssize_t columns) {
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    if (l.*field == kvx::kAbsent) return py::none();
    return View<float>(self, RecordsOf(m) + l.*field, m.vertexCount, columns, l.recordSize);
}

py::object Colors(const py::object& self) {
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    return View<uint32_t>(self, RecordsOf(m) + l.colorOffset, m.vertexCount, 0, l.recordSize);
}

// The index block as rows of its groups: every group (`only` absent), or
// only where the mesh draws `only`.
py::object Indices(const py::object& self, std::optional<kvx::Primitive> only) {
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    const py::ssize_t columns = l.indexValuesPerGroup;
    const bool wanted = only ? l.primitive == *only : columns > 0;
    if (!wanted) return py::none();
    const char* first = m.faces != nullptr ? reinterpret_cast<const char*>(m.faces)
                                           : reinterpret_cast<const char*>(kNoRecords);
    return View<uint16_t>(self, first, m.faceCount, columns,
                          columns * static_cast<py::ssize_t>(sizeof(uint16_t)));
}

ColorOrder OrderOf(const std::string& text) {
    ColorOrder order;
    if (!ParseColorOrder(text, &order)) {
        RaiseInput("colour order \"" + text + "\" is neither argb nor rgba");
    }
    return order;
}

py::array RgbaArray(const py::object& self, const std::string& orderText) {
    const ColorOrder order = OrderOf(orderText);
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    const char* records = RecordsOf(m);
    py::array_t<uint8_t> out({static_cast<py::ssize_t>(m.vertexCount), py::ssize_t{4}});
    uint8_t* p = out.mutable_data();
    for (uint64_t i = 0; i < m.vertexCount; ++i) {
        uint32_t word;
        std::memcpy(&word, records + i * l.recordSize + static_cast<uint64_t>(l.colorOffset),
                    sizeof word);
        Rgba c = DecodeColor(word, order);
        p[4 * i] = c.r;
        p[4 * i + 1] = c.g;
        p[4 * i + 2] = c.b;
        p[4 * i + 3] = c.a;
    }
    return out;
}

// The texture coordinates as a text mesh has them (Mesh.uv): a new array of
// u and 1 - stored v, in single precision as kvxexport writes them.
py::object Uv(const py::object& self) {
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    if (l.uvOffset == kvx::kAbsent) return py::none();
    py::array_t<float> out({static_cast<py::ssize_t>(m.vertexCount), py::ssize_t{2}});
    float* p = out.mutable_data();
    const char* records = RecordsOf(m);
    for (uint64_t i = 0; i < m.vertexCount; ++i) {
        float stored[2];
        std::memcpy(stored, records + i * l.recordSize + static_cast<uint64_t>(l.uvOffset),
                    sizeof stored);
        p[2 * i] = stored[0];
        p[2 * i + 1] = 1.0f - stored[1];
    }
    return out;
}

py::str Name(const py::object& self) {
    const OKVX& m = MeshOf(self);
    const size_t length = strnlen(m.name, sizeof m.name);
    PyObject* s = PyUnicode_DecodeUTF8(m.name, static_cast<Py_ssize_t>(length), "surrogateescape");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

std::string Repr(const py::object& self) {
    if (!py::isinstance<PyMesh>(self)) return "<kvx.Mesh>";
    const OKVX* mesh = nullptr;
    try {
        mesh = &MeshOf(self);
    } catch (const py::type_error&) {
        return "<kvx.Mesh, not initialised>";
    }
    const OKVX& m = *mesh;
    std::string text = "<kvx.Mesh version " + std::to_string(m.version) + ", " +
                       std::to_string(m.vertexCount) +
                       (m.vertexCount == 1 ? " vertex" : " vertices");
    const kvx::Primitive drawn = LayoutOf(m).primitive;
    if (drawn != kvx::Primitive::points) {
        text += ", " + std::to_string(m.faceCount) +
                (drawn == kvx::Primitive::lines ? " edge" : " face") +
                (m.faceCount == 1 ? "" : "s");
    }
    return text + ">";
}

// The mesh as the KVX file that saving it writes, held in memory: the
// state that pickle keeps (and that __setstate__ loads back, checked as any
// file is).
py::bytes FileBytes(const py::object& self) {
    const OKVX& m = MeshOf(self);
    const kvx::Layout& l = LayoutOf(m);
    const uint64_t vertexBytes = uint64_t{m.vertexCount} * l.recordSize;
    const uint64_t indexBytes = uint64_t{m.faceCount} * l.indexValuesPerGroup * sizeof(uint16_t);
    const size_t nameBytes = l.hasName ? strnlen(m.name, 255) : 0;
    const uint64_t total = kKvxHeaderSize + vertexBytes + indexBytes + nameBytes;
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (out == nullptr) throw py::error_already_set();
    char* p = PyBytes_AsString(out);
    std::memcpy(p, "KVX", 3);
    std::memcpy(p + 3, &m.vertexCount, 4);  // little-endian, as okvx.h asserts
    std::memcpy(p + 7, &m.faceCount, 4);
    std::memcpy(p + 11, &m.version, 4);
    p += kKvxHeaderSize;
    if (vertexBytes > 0) std::memcpy(p, RecordsOf(m), vertexBytes);
    if (indexBytes > 0) std::memcpy(p + vertexBytes, m.faces, indexBytes);
    std::memcpy(p + vertexBytes + indexBytes, m.name, nameBytes);
    return py::reinterpret_steal<py::bytes>(out);
}

void Save(const py::object& self, const py::object& pathArg) {
    const OKVX& m = MeshOf(self);
    const std::string path = PathOf(pathArg);
    const kvx::SaveOperation op = LayoutOf(m).save;
    RefuseOverSource(PyMeshOf(self).source, path);
    if (op == nullptr) {
        RaiseInput(DisplayName(path.c_str()) + ": version " + std::to_string(m.version) +
                   " is read only; no program writes it");
    }
    KvxStatus why;
    bool saved;
    {
        py::gil_scoped_release nogil;
        saved = (m.*op)(path.c_str(), &why);
    }
    if (!saved)
        RaiseFailure(kvx::OutputFailure(DisplayName(path.c_str()), why), py::none(), pathArg);
}

// ---- Building a mesh from arrays ----

py::array AsArray(const py::handle& value) {
    return py::module_::import("numpy").attr("asarray")(value);
}

std::string ShapeText(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k) {
        if (k > 0) text += ", ";
        text += std::to_string(a.shape(k));
    }
    return text + (a.ndim() == 1 ? ",)" : ")");
}

std::string DtypeText(const py::array& a) {
    return py::str(a.dtype()).cast<std::string>();
}

// `value` as an array of `columns` columns (one dimension when 0) whose
// kind is one of `kinds` (NumPy's letters: f, i, u); an empty list or array
// counts as zero rows of any kind. `what` and `form` name it in messages.
py::array RowsOf(const py::handle& value, const char* what, const char* form, py::ssize_t columns,
                 const char* kinds) {
    py::array a = AsArray(value);
    if (a.size() == 0 && a.ndim() == 1) {
        std::vector<py::ssize_t> shape{0};
        if (columns > 0) shape.push_back(columns);
        return py::array(py::dtype("float32"), shape);
    }
    const bool shaped = columns > 0 ? a.ndim() == 2 && a.shape(1) == columns : a.ndim() == 1;
    if (!shaped) {
        RaiseInput(std::string(what) + " must be " + form + "; got shape " + ShapeText(a));
    }
    if (a.size() > 0 && std::strchr(kinds, a.dtype().kind()) == nullptr) {
        RaiseInput(std::string(what) + " must be " + form + "; got " + DtypeText(a));
    }
    return a;
}

// `a` as a C-contiguous array of T: itself, or a converted copy, whose
// allocation may fail (KvxMemoryError with its size).
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Cast(const py::array& a) {
    try {
        return py::array_t<T, py::array::c_style | py::array::forcecast>(a);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_MemoryError)) throw;
    }
    RaiseNoMemory(static_cast<uint64_t>(a.size()) * sizeof(T));
}

void CheckRows(const py::array& a, py::ssize_t rows, const char* what) {
    if (a.shape(0) != rows) {
        RaiseInput(std::string(what) + " has " + std::to_string(a.shape(0)) +
                   " rows; positions has " + std::to_string(rows));
    }
}

// The colour words from whatever form `colors` takes, or none.
std::vector<uint32_t> ColorWords(const py::object& colors, py::ssize_t rows,
                                 const std::string& orderText) {
    const ColorOrder order = OrderOf(orderText);
    std::vector<uint32_t> words;
    if (colors.is_none()) return words;
    static constexpr char kForms[] =
        "(N,) colour words, (N, 4) colour values from 0 to 1 or (N, 4) uint8 bytes";
    py::array a = AsArray(colors);
    const char kind = a.dtype().kind();
    const bool number = kind == 'f' || kind == 'i' || kind == 'u';
    const bool words1d = a.ndim() == 1 && (kind == 'i' || kind == 'u' || a.size() == 0);
    const bool four = a.ndim() == 2 && a.shape(1) == 4 && number;
    const bool bytes = four && kind == 'u' && a.itemsize() == 1;
    if (!(words1d || four)) {
        RaiseInput(std::string("colors must be ") + kForms + "; got " + DtypeText(a) +
                   " of shape " + ShapeText(a));
    }
    CheckRows(a, rows, "colors");
    words.resize(static_cast<size_t>(rows));
    const auto n = static_cast<uint64_t>(rows);
    std::string message;
    bool ok = true;
    if (bytes) {
        kvxpy::WordsFromBytes(Cast<uint8_t>(a).data(), n, order, words.data());
    } else if (four) {
        ok = kvxpy::PackColors(Cast<float>(a).data(), n, words.data(), message);
    } else if (kind == 'u') {
        ok = kvxpy::WordsFromIntegers(Cast<uint64_t>(a).data(), n, words.data(), message);
    } else if (n > 0) {
        ok = kvxpy::WordsFromIntegers(Cast<int64_t>(a).data(), n, words.data(), message);
    }
    if (!ok) RaiseInput(message);
    return words;
}

std::string NameBytes(const py::object& name) {
    if (name.is_none()) return {};
    if (py::isinstance<py::bytes>(name)) return name.cast<std::string>();
    if (!py::isinstance<py::str>(name)) throw py::type_error("name must be str or bytes");
    PyObject* b = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
    if (b == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(b).cast<std::string>();
}

// The layout of the converter that writes `version`.
const kvx::Layout& ConverterLayoutOf(int32_t version) {
    const kvx::Layout* l = kvx::LayoutOf(version);
    if (l == nullptr || l->text.program == nullptr) {
        std::string versions;
        for (const kvx::Layout& each : kvx::Layouts()) {
            if (each.text.program == nullptr) continue;
            versions += (versions.empty() ? "" : ", ") + std::to_string(each.version);
        }
        RaiseInput("version must be one of " + versions + "; got " + std::to_string(version));
    }
    return *l;
}

std::unique_ptr<PyMesh> MakeMesh(const py::object& positions, const py::object& faces,
                                 const py::object& colors, const py::object& uv,
                                 const py::object& name, int32_t version, const py::object& edges,
                                 const py::object& texcoords, const py::object& storedUv,
                                 const std::string& colorOrder) {
    const kvx::Layout& layout = ConverterLayoutOf(version);
    const bool lines = layout.primitive == kvx::Primitive::lines;
    const std::string code = "version " + std::to_string(version);
    if (layout.primitive != kvx::Primitive::triangles && !faces.is_none()) {
        RaiseInput(lines ? code + " (a wireframe) takes edges=, not faces"
                         : code + " (a point set) takes no faces");
    }
    if (!lines && !edges.is_none()) {
        for (const kvx::Layout& l : kvx::Layouts())
            if (l.primitive == kvx::Primitive::lines)
                RaiseInput("edges= is for version " + std::to_string(l.version) + " (a wireframe)");
    }
    // uv= and its other name texcoords= (as a text mesh has them), or
    // stored_uv= (as the file stores them): one at most.
    const std::pair<const char*, const py::object*> coordinateArguments[] = {
        {"uv", &uv}, {"texcoords", &texcoords}, {"stored_uv", &storedUv}};
    const char* given = nullptr;
    const py::object* coords = nullptr;
    for (const auto& [argument, value] : coordinateArguments) {
        if (value->is_none()) continue;
        if (given != nullptr && value == &storedUv) {
            RaiseInput(std::string("give ") + given +
                       " (as a text mesh has them) or stored_uv (as stored), not both");
        }
        if (given != nullptr) RaiseInput("texcoords is another name for uv: give one of them");
        given = argument;
        coords = value;
    }
    if (given != nullptr && layout.uvOffset == kvx::kAbsent) {
        RaiseInput("texture coordinates are stored by version 4 only");
    }
    const std::string nameBytes = NameBytes(name);
    if (!layout.hasName && !nameBytes.empty()) RaiseInput("a name is stored by version 4 only");

    auto p = Cast<float>(RowsOf(positions, "positions", "an (N, 3) array of numbers", 3, "fiu"));
    const py::ssize_t n = p.shape(0);
    kvxpy::MeshSource source;
    source.version = version;
    source.vertexCount = static_cast<uint64_t>(n);
    source.positions = p.data();
    source.name = nameBytes;

    std::vector<uint32_t> words = ColorWords(colors, n, colorOrder);
    if (!words.empty()) source.colors = words.data();

    py::array_t<float, py::array::c_style | py::array::forcecast> uvArray;
    if (coords != nullptr) {
        uvArray = Cast<float>(RowsOf(*coords, given, "an (N, 2) array of numbers", 2, "fiu"));
        CheckRows(uvArray, n, given);
        (coords == &storedUv ? source.storedUv : source.uv) = uvArray.data();
    }

    py::array_t<int64_t, py::array::c_style | py::array::forcecast> signedIndices;
    py::array_t<uint64_t, py::array::c_style | py::array::forcecast> unsignedIndices;
    const py::object& rows = lines ? edges : faces;
    if (!rows.is_none()) {
        const bool pairs = lines;
        py::array a = RowsOf(
            rows, pairs ? "edges" : "faces",
            pairs ? "an (E, 2) array of vertex indices" : "an (F, 3) array of vertex indices",
            pairs ? 2 : 3, "iu");
        source.indices.rows = static_cast<uint64_t>(a.shape(0));
        if (a.dtype().kind() == 'u') {
            unsignedIndices = Cast<uint64_t>(a);
            source.indices.unsignedValues = unsignedIndices.data();
        } else {
            signedIndices = Cast<int64_t>(a);
            source.indices.signedValues = signedIndices.data();
        }
    }

    auto mesh = std::make_unique<PyMesh>();
    std::string message;
    kvx::FailureKind result;
    {
        py::gil_scoped_release nogil;
        result = kvxpy::BuildMesh(source, mesh->m, message);
    }
    if (result != kvx::FailureKind::none)
        RaiseFailure({result, message, 0}, py::none(), py::none());
    return mesh;
}

// ---- Loading ----

std::unique_ptr<PyMesh> Load(const py::object& pathArg) {
    const std::string path = PathOf(pathArg);
    auto mesh = std::make_unique<PyMesh>();
    mesh->source = SourceOf(path);
    KvxStatus why;
    int32_t loaded;
    {
        py::gil_scoped_release nogil;
        loaded = mesh->m.load(path.c_str(), &why);
    }
    if (loaded != 1) RaiseLoadFailure(path, why, mesh->m.version, pathArg);
    return mesh;
}

std::unique_ptr<PyMesh> LoadBytes(const py::bytes& data, const std::string& name) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) != 0) throw py::error_already_set();
    auto mesh = std::make_unique<PyMesh>();
    KvxStatus why;
    int32_t loaded;
    {
        // bytes objects do not change, and `data` holds this one.
        py::gil_scoped_release nogil;
        loaded = KvxLoadMemory(mesh->m, bytes, static_cast<size_t>(size), &why);
    }
    if (loaded != 1) RaiseLoadFailure(name, why, mesh->m.version, py::none());
    return mesh;
}

// ---- The converters ----

// The text mesh at `input` read as the converter of `layout` reads it, into
// `m`; false with `failure` set.
bool ReadAsConverter(const std::string& input, const kvx::Layout& layout, OKVX& m,
                     kvx::Failure& failure) {
    py::gil_scoped_release nogil;
    return kvx::ReadCmshMesh(input.c_str(), DisplayName(input.c_str()), layout, m, failure);
}

void Convert(const py::object& inputArg, const py::object& outputArg, int32_t version) {
    const kvx::Layout& layout = ConverterLayoutOf(version);
    const std::string input = PathOf(inputArg);
    const std::string output = PathOf(outputArg);
    KvxStatus why;
    if (!kvx::CheckOutputIsNotInput(input.c_str(), output.c_str(), &why))
        RaiseFailure(kvx::OutputFailure(DisplayName(output.c_str()), why), inputArg, outputArg);
    kvx::OwnedMesh mesh;
    kvx::Failure failure;
    bool saved = ReadAsConverter(input, layout, mesh.m, failure);
    if (saved) {
        py::gil_scoped_release nogil;
        saved = (mesh.m.*(layout.save))(output.c_str(), &why);
        if (!saved) failure = kvx::OutputFailure(DisplayName(output.c_str()), why);
    }
    if (!saved) RaiseFailure(failure, inputArg, outputArg);
}

std::unique_ptr<PyMesh> ReadCmsh(const py::object& inputArg, int32_t version) {
    const kvx::Layout& layout = ConverterLayoutOf(version);
    const std::string input = PathOf(inputArg);
    auto result = std::make_unique<PyMesh>();
    result->source = SourceOf(input);
    kvx::Failure failure;
    if (!ReadAsConverter(input, layout, result->m, failure))
        RaiseFailure(failure, inputArg, py::none());
    return result;
}

// kvximport's reading of any format it reads, into meshes: one, or with
// `split` a list of parts. Its warnings become Python warnings.
py::object LoadAny(const py::object& pathArg, bool split, int32_t version,
                   const std::string& format, const std::string& colorOrder, const py::object& name,
                   const py::object& weld, const std::string& normals, uint64_t readerMemory,
                   uint32_t readerTime, uint64_t readerOutput) {
    kvx::ImportRequest request;
    // 0: the default bound.
    if (readerMemory != 0) request.readerLimits.memoryBytes = readerMemory;
    if (readerTime != 0) request.readerLimits.seconds = readerTime;
    if (readerOutput != 0) request.readerLimits.answerBytes = readerOutput;
    request.input = PathOf(pathArg);
    const SourceFile source = SourceOf(request.input);
    request.format = format;
    request.version = version;
    request.split = split;
    if (!ParseColorOrder(colorOrder, &request.colorOrder)) {
        RaiseInput("color_order must be \"argb\" or \"rgba\", not \"" + colorOrder + "\"");
    }
    if (!name.is_none()) request.name = name.cast<std::string>();
    if (!weld.is_none()) request.weld = weld.cast<bool>() ? kvx::WeldMode::on : kvx::WeldMode::off;
    if (normals == "source") {
        request.normals = kvx::NormalsMode::source;
    } else if (normals != "smooth") {
        RaiseInput("normals must be \"smooth\" or \"source\", not \"" + normals + "\"");
    }

    kvx::KvxMeshes meshes;
    kvx::ImportReport report;
    {
        py::gil_scoped_release nogil;
        report = kvx::ImportMeshes(request, meshes);
    }
    py::object warn = py::module_::import("warnings").attr("warn");
    for (const std::string& warning : report.warnings)
        warn(MessageText(warning));
    const kvx::Failure& failure = report.failure;
    switch (failure.kind) {
        case kvx::FailureKind::none:
            break;
        case kvx::FailureKind::memory:
            Raise(ErrorKind::memory, failure.message);
        default:
            if (failure.sysErrno != 0)
                Raise(ErrorKind::io, failure.message, failure.sysErrno, pathArg);
            RaiseInput(failure.message);
    }
    py::list parts;
    for (size_t k = 0; k < meshes.size(); ++k) {
        auto part = std::make_unique<PyMesh>();
        std::swap(part->m, meshes[k]);
        part->source = source;
        parts.append(py::cast(std::move(part)));
    }
    return split ? py::object(parts) : parts[0];
}

// ---- Polygons ----

// The triangles of polygons, as the importers make them
// (kvx::TriangulatePolygon): polygon p's corners are corners[offsets[p] ..
// offsets[p + 1]), vertex indices into the (N, 3) positions. Returns the
// (T, 3) uint32 corner indices, each polygon's triangles in its order and
// wound as it is, and how many polygons fell back to the fan. Refuses
// (KvxInputError) offsets that do not rise from 0 to the corners' count, a
// polygon of fewer than 3 corners and a corner that names no vertex, before
// any triangle is made.
py::tuple TriangulatePolygons(const py::object& positionsArg, const py::object& cornersArg,
                              const py::object& offsetsArg) {
    const auto positions =
        Cast<float>(RowsOf(positionsArg, "points", "an (N, 3) array of numbers", 3, "fiu"));
    const auto corners =
        Cast<int64_t>(RowsOf(cornersArg, "corners", "a 1-D array of vertex indices", 0, "iu"));
    const auto offsets =
        Cast<int64_t>(RowsOf(offsetsArg, "offsets", "a 1-D array of corner offsets", 0, "iu"));
    const auto vertexCount = static_cast<uint64_t>(positions.shape(0));
    const auto cornerCount = static_cast<uint64_t>(corners.shape(0));
    const auto polygonCount =
        offsets.shape(0) > 0 ? static_cast<uint64_t>(offsets.shape(0) - 1) : 0;
    if (vertexCount > uint64_t{UINT32_MAX} + 1) {
        RaiseInput("points: " + std::to_string(vertexCount) +
                   " vertices; polygons index at most 4294967296");
    }
    const float* xyz = positions.data();
    const int64_t* corner = corners.data();
    const int64_t* offset = offsets.data();

    std::string message;
    std::vector<uint32_t> triangles;
    uint64_t fallbacks = 0;
    {
        py::gil_scoped_release nogil;
        if (offsets.shape(0) == 0 || offset[0] != 0 ||
            static_cast<uint64_t>(offset[polygonCount]) != cornerCount) {
            message =
                "offsets must run from 0 to the number of corners, " + std::to_string(cornerCount);
        }
        uint64_t triangleCount = 0;
        for (uint64_t p = 0; p < polygonCount && message.empty(); ++p) {
            const int64_t count = offset[p + 1] - offset[p];
            if (count < 3 || count > int64_t{UINT32_MAX}) {
                message = "polygon " + std::to_string(p) + " has " + std::to_string(count) +
                          (count == 1 ? " corner" : " corners") +
                          (count < 3 ? "; a polygon has at least 3" : "; at most 4294967295 fit");
                break;
            }
            if (offset[p + 1] > static_cast<int64_t>(cornerCount)) {
                message =
                    "offsets must rise to the number of corners, " + std::to_string(cornerCount);
                break;
            }
            for (int64_t k = offset[p]; k < offset[p + 1]; ++k) {
                if (corner[k] < 0 || static_cast<uint64_t>(corner[k]) >= vertexCount) {
                    message = "polygon " + std::to_string(p) + " names vertex " +
                              std::to_string(corner[k]) + " of " + std::to_string(vertexCount);
                    break;
                }
            }
            triangleCount += static_cast<uint64_t>(count) - 2;
        }
        if (message.empty()) {
            triangles.reserve(static_cast<size_t>(3 * triangleCount));
            std::vector<uint32_t> polygon;
            for (uint64_t p = 0; p < polygonCount; ++p) {
                polygon.assign(corner + offset[p], corner + offset[p + 1]);
                const kvx::PolygonSplit split = kvx::TriangulatePolygon(
                    xyz, polygon.data(), static_cast<uint32_t>(polygon.size()), triangles);
                if (split == kvx::PolygonSplit::fallback) ++fallbacks;
            }
        }
    }
    if (!message.empty()) RaiseInput(message);
    py::array_t<uint32_t> out({static_cast<py::ssize_t>(triangles.size() / 3), py::ssize_t{3}});
    if (!triangles.empty())
        std::memcpy(out.mutable_data(), triangles.data(), triangles.size() * sizeof(uint32_t));
    return py::make_tuple(out, fallbacks);
}

// The layout table (meshcore/layout.h), one dict per version in its order.
py::tuple Layouts() {
    static const char* const kPrimitives[] = {"triangles", "lines", "points", "records"};
    py::list out;
    for (const kvx::Layout& l : kvx::Layouts()) {
        py::dict fields;
        const std::pair<const char*, int8_t> named[] = {{"uv", l.uvOffset},
                                                        {"color", l.colorOffset},
                                                        {"normal", l.normalOffset},
                                                        {"position", l.positionOffset}};
        for (const auto& [key, offset] : named)
            if (offset != kvx::kAbsent) fields[key] = offset;
        py::dict d;
        d["version"] = l.version;
        d["record_size"] = l.recordSize;
        d["fields"] = fields;
        d["index_values_per_group"] = l.indexValuesPerGroup;
        d["primitive"] = kPrimitives[static_cast<int>(l.primitive)];
        d["has_name"] = l.hasName;
        d["writable"] = l.save != nullptr;
        d["program"] = l.text.program != nullptr ? py::object(py::str(l.text.program)) : py::none();
        d["values_per_vertex"] = l.text.valuesPerVertex;
        out.append(d);
    }
    return py::tuple(out);
}

}  // namespace

PYBIND11_MODULE(_kvx, module) {
    module.doc() =
        "The native part of kvx: the mesh model, KVX load and save, and the converters. "
        "Use the package kvx rather than this module.";
    module.attr("__version__") = KVX_VERSION;

    py::class_<PyMesh> cls(module, "Mesh",
                           R"(A triangle mesh, point set or wireframe of one KVX version.

kvx.load() gives one as a file holds it; Mesh(...) builds one from arrays.
Its arrays are read-only views of the vertex records and the index block,
with no copy: each keeps the mesh alive. Build a new Mesh to change one.

Mesh(positions, faces=None, colors=None, uv=None, name=None, version=3, *,
     edges=None, texcoords=None, stored_uv=None, color_order="argb")

positions   (N, 3) numbers, stored as float32 (float64 rounds to nearest).
faces       (F, 3) integer vertex indices (versions 1 to 4); each must be
            below N and at most 65535. None: no faces.
edges       (E, 2) integer vertex indices (version -2), checked the same way.
colors      (N,) colour words (integers 0 to 0xFFFFFFFF); or (N, 4) uint8
            red, green, blue, alpha, encoded in color_order; or (N, 4) other
            numbers, packed as a text mesh's four colour values are (each
            times 255, truncated, must lie in 0 to 255; the first value
            goes to the high byte: alpha in the argb order). None:
            0xFFFFFFFF (version 1: 0xFFFF0000, as kvxconv1 writes).
uv          version 4: (N, 2) texture coordinates as a text mesh gives them
            (Mesh.uv, three.js's uv); v is stored as 1 - v in float32, as
            kvxconv4 stores it. texcoords= is another name for it.
stored_uv   version 4: (N, 2) texture coordinates as stored (Mesh.stored_uv).
name        version 4: str or bytes, at most 255 bytes, no zero byte.
version     1, 2, 3, 4, -1 (point set) or -2 (wireframe).

Versions 3 and 4 get the smooth vertex normals of kvxconv3 and kvxconv4, bit
for bit. Bad arguments raise KvxInputError (a ValueError) with the
converters' words, e.g. "face 3 names vertex 8 of 8".

A mesh pickles as the bytes of its KVX file, loaded back with the loader's
checks, so that Dask and multiprocessing can move it.)");
    cls.attr("__module__") = "kvx";
    cls.def(py::init(Guarded<&MakeMesh>), py::arg("positions"), py::arg("faces") = py::none(),
            py::arg("colors") = py::none(), py::arg("uv") = py::none(),
            py::arg("name") = py::none(), py::arg("version") = 3, py::kw_only(),
            py::arg("edges") = py::none(), py::arg("texcoords") = py::none(),
            py::arg("stored_uv") = py::none(), py::arg("color_order") = "argb");
    cls.def_property_readonly(
        "version", [](const py::object& self) { return MeshOf(self).version; },
        "The version code: 1, 2, 3, 4, -1 (point set), -2 (wireframe) or -3 (read only).");
    cls.def_property_readonly("name", &Name,
                              "The name (version 4; '' otherwise), bytes that are not UTF-8 as "
                              "surrogate escapes.");
    cls.def_property_readonly(
        "vertex_count", [](const py::object& self) { return MeshOf(self).vertexCount; },
        "The number of vertices.");
    cls.def_property_readonly(
        "face_count", [](const py::object& self) { return MeshOf(self).faceCount; },
        "The header's face count: triangles (1 to 4), edges (-2); for -1 the word the file "
        "holds (kvxpoints writes the vertex count).");
    cls.def_property_readonly(
        "positions",
        [](const py::object& self) { return VertexField(self, &kvx::Layout::positionOffset, 3); },
        "(N, 3) float32 view of x, y, z.");
    cls.def_property_readonly(
        "normals",
        [](const py::object& self) { return VertexField(self, &kvx::Layout::normalOffset, 3); },
        "(N, 3) float32 view of the vertex normals (versions 3, 4, -3), else None.");
    cls.def_property_readonly("colors", &Colors,
                              "(N,) uint32 view of the colour words; rgba() decodes them.");
    cls.def_property_readonly(
        "uv", Guarded<&Uv>,
        "The texture coordinates as a text mesh has them (version 4), else None: a new (N, 2) "
        "float32 array of u, 1 - stored v, as kvxexport writes them and as three.js's uv "
        "attribute holds them. stored_uv is the view of the values as stored.");
    cls.def_property_readonly(
        "stored_uv",
        [](const py::object& self) { return VertexField(self, &kvx::Layout::uvOffset, 2); },
        "(N, 2) float32 view of u, v as the file stores them (v as 1 - v; version 4), else "
        "None.");
    cls.def_property_readonly(
        "faces", [](const py::object& self) { return Indices(self, kvx::Primitive::triangles); },
        "(F, 3) uint16 view of the triangles (versions 1 to 4), else None.");
    cls.def_property_readonly(
        "edges", [](const py::object& self) { return Indices(self, kvx::Primitive::lines); },
        "(E, 2) uint16 view of the edges (version -2), else None.");
    cls.def_property_readonly(
        "indices", [](const py::object& self) { return Indices(self, std::nullopt); },
        "uint16 view of the whole index block, one row per group: 3 columns (1 to 4), 2 "
        "(-2), 6 (-3); None for -1.");
    cls.def("rgba", Guarded<&RgbaArray>, py::arg("order") = "argb",
            R"(The colours as a new (N, 4) uint8 array of red, green, blue, alpha.

order: "argb" reads the word's high byte as alpha (the programs' default),
"rgba" as red.)");
    cls.def("texcoords", Guarded<&Uv>, "Mesh.uv, under the name of earlier releases.");
    cls.def("save", Guarded<&Save>, py::arg("path"),
            R"(Writes the mesh as a KVX file of its version at path (str, bytes or
os.PathLike), as the converters write: complete or not at all, an existing
file untouched on failure. Raises KvxIOError (an OSError, errno set) when
the file cannot be written or when path is the file the mesh was read
from (by any link or name), which is never replaced.)");
    cls.def("__repr__", &Repr);
    cls.def(
        py::pickle([](const py::object& self) { return py::make_tuple(Guarded<&FileBytes>(self)); },
                   [](const py::tuple& state) {
                       if (state.size() != 1 || !py::isinstance<py::bytes>(state[0])) {
                           throw py::value_error("not a pickled kvx.Mesh");
                       }
                       return Guarded<&LoadBytes>(state[0].cast<py::bytes>(), "<pickle>");
                   }));

    module.def("load", Guarded<&Load>, py::arg("path"));
    module.def("load_bytes", Guarded<&LoadBytes>, py::arg("data"), py::arg("name"));
    module.def("convert", Guarded<&Convert>, py::arg("input"), py::arg("output"),
               py::arg("version"));
    module.def("read_cmsh", Guarded<&ReadCmsh>, py::arg("path"), py::arg("version"));
    module.attr("LAYOUTS") = Layouts();
    module.def("load_any", Guarded<&LoadAny>, py::arg("path"), py::arg("split"), py::arg("version"),
               py::arg("format"), py::arg("color_order"), py::arg("name"), py::arg("weld"),
               py::arg("normals") = "smooth", py::arg("reader_memory") = 0,
               py::arg("reader_time") = 0, py::arg("reader_output") = 0);
    module.def("triangulate_polygons", Guarded<&TriangulatePolygons>, py::arg("points"),
               py::arg("corners"), py::arg("offsets"));
    // Whether load_any (kvximport) reads files of this extension ("ply",
    // "cmsh", "glb" where the build reads through assimp), in any case.
    module.def(
        "reads_extension",
        [](const std::string& extension) {
            kvx::ImportFormat format;
            return kvx::IsTextMeshFormat(extension) || kvx::FormatOfName(extension, &format);
        },
        py::arg("extension"));
    if (kvx::OptimizerAvailable()) BindOptimize(module);
}
