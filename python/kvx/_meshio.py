"""The format "kvx" (extension ".kvx") for meshio, registered by `import kvx`.

Reading gives a meshio.Mesh with
- points: the positions, float32;
- cells: "triangle" (versions 1 to 4), "line" (version -2) or, for a point
  set (version -1), one "vertex" cell per point;
- point_data: "kvx:color" (uint32 colour words), "kvx:normal" (versions 3
  and 4) and "kvx:texcoords" (version 4: u, v as a text mesh gives them,
  as kvx.Mesh.texcoords() and kvxexport do);
- info: {"kvx:version": the version code, "kvx:name": the name}.
The arrays are copies: ordinary, writable, contiguous.

Writing takes triangle cells to version 3, or 4 where point_data holds
"kvx:texcoords"; line cells to version -2; vertex cells, or none, to a point
set (-1). The keyword version= picks another version for the same cells
(1 to 4 for triangles), name= the version-4 name (else info["kvx:name"]).
Colours come from point_data["kvx:color"] (else the default of kvx.Mesh);
normals are always computed anew, by the rule of kvxconv3 and kvxconv4.
Cells of any other type, or of two kinds, are refused with a WriteError.
"""

import warnings

import meshio
import numpy as np

from . import _kvx
from ._errors import KvxInputError

FORMAT = "kvx"

_TRIANGLE_VERSIONS = (1, 2, 3, 4)


def read(filename):
    """A meshio.Mesh from a KVX file: a path, or a buffer open in binary mode."""
    try:
        if hasattr(filename, "read"):
            data = filename.read()
            if isinstance(data, str):
                raise meshio.ReadError("kvx: a KVX file is binary: open the buffer with 'rb'")
            mesh = _kvx.load_bytes(bytes(data), "<buffer>")
        else:
            mesh = _kvx.load(filename)
    except KvxInputError as e:
        raise meshio.ReadError(str(e)) from e
    return to_meshio(mesh)


def to_meshio(mesh):
    """The meshio.Mesh of a kvx.Mesh, as read() gives it."""
    n = mesh.vertex_count
    if mesh.version in _TRIANGLE_VERSIONS:
        cells = [meshio.CellBlock("triangle", mesh.faces.astype(np.int64))]
    elif mesh.version == -2:
        cells = [meshio.CellBlock("line", mesh.edges.astype(np.int64))]
    elif mesh.version == -1:
        cells = [meshio.CellBlock("vertex", np.arange(n, dtype=np.int64).reshape(n, 1))]
    else:
        raise meshio.ReadError(
            f"kvx: version {mesh.version} holds index records that meshio has no cell type "
            "for; kvx.load() reads them"
        )
    point_data = {"kvx:color": mesh.colors.copy()}
    if mesh.normals is not None:
        point_data["kvx:normal"] = mesh.normals.copy()
    if mesh.version == 4:
        point_data["kvx:texcoords"] = mesh.texcoords()
    return meshio.Mesh(
        mesh.positions.copy(),
        cells,
        point_data=point_data,
        info={"kvx:version": mesh.version, "kvx:name": mesh.name},
    )


def _cell_kind(mesh):
    """The one kind of cell the mesh holds: "triangle", "line" or "vertex"."""
    kinds = []
    for block in mesh.cells:
        if len(block.data) == 0 or block.type in kinds:
            continue
        if block.type not in ("triangle", "line", "vertex"):
            raise meshio.WriteError(
                f"kvx: cells of type {block.type} cannot be written: a KVX file holds "
                "triangles (versions 1 to 4), lines (-2) or vertices (-1)"
            )
        kinds.append(block.type)
    if len(kinds) > 1:
        raise meshio.WriteError(
            f"kvx: a KVX file holds one kind of cell; this mesh has {' and '.join(kinds)}"
        )
    return kinds[0] if kinds else "vertex"


def from_meshio(mesh, version=None, name=None):
    """The kvx.Mesh that write() saves for a meshio.Mesh."""
    kind = _cell_kind(mesh)
    point_data = mesh.point_data
    if version is None:
        if kind == "triangle":
            version = 4 if "kvx:texcoords" in point_data else 3
        else:
            version = -2 if kind == "line" else -1
    fits = {"triangle": _TRIANGLE_VERSIONS, "line": (-2,), "vertex": (-1,) + _TRIANGLE_VERSIONS}
    if version not in fits[kind]:
        raise meshio.WriteError(
            f"kvx: version {version} cannot hold {kind} cells; "
            + {
                "triangle": "triangles go to versions 1 to 4",
                "line": "lines go to version -2",
                "vertex": "a point set goes to version -1",
            }[kind]
        )

    points = np.asarray(mesh.points)
    if points.ndim == 2 and points.shape[1] == 2:
        warnings.warn("kvx: 2D points given; written with z = 0", stacklevel=3)
        points = np.column_stack([points, np.zeros(len(points), dtype=points.dtype)])

    indices = None
    if kind in ("triangle", "line"):
        blocks = [np.asarray(b.data) for b in mesh.cells if b.type == kind and len(b.data)]
        indices = np.concatenate(blocks)
    if name is None and version == 4 and isinstance(mesh.info, dict):
        name = mesh.info.get("kvx:name")

    try:
        return _kvx.Mesh(
            points,
            faces=indices if version > 0 else None,
            edges=indices if version == -2 else None,
            colors=point_data.get("kvx:color"),
            texcoords=point_data.get("kvx:texcoords") if version == 4 else None,
            name=name,
            version=version,
        )
    except KvxInputError as e:
        raise meshio.WriteError(f"kvx: {e}") from e


def write(filename, mesh, version=None, name=None):
    """Writes a meshio.Mesh as a KVX file at a path (see the module's notes)."""
    if hasattr(filename, "write"):
        raise meshio.WriteError(
            "kvx: a KVX file is written to a path (completely or not at all), not to a buffer"
        )
    from_meshio(mesh, version, name).save(filename)


def register():
    meshio.register_format(FORMAT, [".kvx"], read, {FORMAT: write})
