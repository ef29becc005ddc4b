"""The format "kvx" (extension ".kvx") for meshio, registered by `import kvx`.

Reading gives a meshio.Mesh with
- points: the positions, float32;
- cells: "triangle" (versions 1 to 4), "line" (version -2) or, for a point
  set (version -1), one "vertex" cell per point;
- point_data: "kvx:color" (uint32 colour words), "kvx:normal" (versions 3
  and 4) and "kvx:texcoords" (version 4: kvx.Mesh.uv, the text mesh's u
  and v, as kvxexport writes them and three.js's uv has them);
- info: {"kvx:version": the version code, "kvx:name": the name}.
The arrays are copies: ordinary, writable, contiguous.

Writing takes triangle cells to version 3, or 4 where point_data holds
"kvx:texcoords"; "quad" and "polygon" cells (meshio's "polygonN" of earlier
releases too) become triangles as kvximport makes them: a convex polygon
its fan from the first corner, a concave one ear-clipped, both wound as the
polygon is, in the order of the blocks (a warning counts the polygons that
could not be ear-clipped and became fans); line cells to version -2; vertex cells, or none, to a point
set (-1). The keyword version= picks another version for the same cells
(1 to 4 for triangles), name= the version-4 name (else info["kvx:name"]).
Colours come from point_data["kvx:color"] (else the default of kvx.Mesh);
normals are always computed anew, by the rule of kvxconv3 and kvxconv4.
Cells of any other type, or of two kinds, are refused with a WriteError.

Refusals are meshio's: a file that cannot be read raises meshio.ReadError,
a mesh that cannot be written meshio.WriteError, each with one line; a file
that cannot be opened or written raises OSError (kvx.KvxIOError).
"""

import re
import warnings

import meshio
import numpy as np

from . import _kvx
from ._errors import KvxInputError

FORMAT = "kvx"

# The cell type of each primitive of the layout table (kvx._kvx.LAYOUTS);
# "records" (version -3) has none.
_CELL_OF = {"triangles": "triangle", "lines": "line", "points": "vertex"}
_LAYOUT_OF = {layout["version"]: layout for layout in _kvx.LAYOUTS}
# The versions that can be written, by the cell type they hold.
_WRITTEN = {
    cell: tuple(l["version"] for l in _kvx.LAYOUTS if l["writable"] and l["primitive"] == kind)
    for kind, cell in _CELL_OF.items()
}


def _codes(versions):
    """"-2", "1 to 4" (a run of three or more), "1, 3 and 4"."""
    if len(versions) > 2 and list(versions) == list(range(versions[0], versions[-1] + 1)):
        return f"{versions[0]} to {versions[-1]}"
    if len(versions) == 1:
        return str(versions[0])
    return f"{', '.join(map(str, versions[:-1]))} and {versions[-1]}"


def _versions_text(versions):
    """"version -2", "versions 1 to 4"."""
    return ("version " if len(versions) == 1 else "versions ") + _codes(versions)


def _default_version(cell, textured):
    """The version write() gives cells of this type: of those that hold
    them, the first whose record has texture coordinates exactly when
    `textured` (where one has them), preferring one with normals."""
    fits = [_LAYOUT_OF[v] for v in _WRITTEN[cell]]
    fits = [l for l in fits if ("uv" in l["fields"]) == textured] or fits
    return min(fits, key=lambda l: "normal" not in l["fields"])["version"]


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
    cell = _CELL_OF.get(_LAYOUT_OF[mesh.version]["primitive"])
    if cell == "vertex":
        cells = [meshio.CellBlock(cell, np.arange(n, dtype=np.int64).reshape(n, 1))]
    elif cell is not None:
        cells = [meshio.CellBlock(cell, mesh.indices.astype(np.int64))]
    else:
        raise meshio.ReadError(
            f"kvx: version {mesh.version} holds index records that meshio has no cell type "
            "for; kvx.load() reads them"
        )
    point_data = {"kvx:color": mesh.colors.copy()}
    if mesh.normals is not None:
        point_data["kvx:normal"] = mesh.normals.copy()
    uv = mesh.uv
    if uv is not None:
        point_data["kvx:texcoords"] = uv
    return meshio.Mesh(
        mesh.positions.copy(),
        cells,
        point_data=point_data,
        info={"kvx:version": mesh.version, "kvx:name": mesh.name},
    )


def _is_polygon(cell_type):
    """meshio's polygons of corners in order: "quad", "polygon", "polygon5"..."""
    return re.fullmatch(r"quad|polygon\d*", cell_type) is not None


def _kind_of(cell_type):
    """The kind a cell type is written as: polygons become triangles."""
    return "triangle" if _is_polygon(cell_type) else cell_type


def _cell_kind(mesh):
    """The one kind of cell the mesh holds: "triangle", "line" or "vertex"."""
    kinds = {}  # kind: the first cell type of that kind, for the message
    for block in mesh.cells:
        kind = _kind_of(block.type)
        if len(block.data) == 0 or kind in kinds:
            continue
        if kind not in _WRITTEN:
            raise meshio.WriteError(
                f"kvx: cells of type {block.type} cannot be written: a KVX file holds "
                f"triangles ({_versions_text(_WRITTEN['triangle'])}; quad and polygon cells "
                f"become triangles), lines ({_codes(_WRITTEN['line'])}) or vertices "
                f"({_codes(_WRITTEN['vertex'])})"
            )
        kinds[kind] = block.type
    if len(kinds) > 1:
        raise meshio.WriteError(
            "kvx: a KVX file holds one kind of cell; this mesh has "
            + " and ".join(kinds.values())
        )
    return next(iter(kinds), "vertex")


def _polygon_triangles(points, block, number):
    """The triangles of a block of polygons, and how many fell back to the
    fan; `number` is the block's place in mesh.cells, for messages."""
    data = block.data
    try:
        try:
            rows = np.asarray(data)
        except ValueError:  # NumPy refuses rows of different lengths
            rows = None
        if rows is not None and rows.ndim == 2 and rows.dtype != object:
            corners = rows.reshape(-1)
            offsets = np.arange(len(rows) + 1) * rows.shape[1]
        else:  # polygons of different sizes: one array each
            rows = [np.asarray(row).reshape(-1) for row in data]
            corners = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
            offsets = np.concatenate([[0], np.cumsum([len(row) for row in rows])])
        return _kvx.triangulate_polygons(points, corners, offsets)
    except KvxInputError as e:
        raise meshio.WriteError(f"kvx: cell block {number} ({block.type}): {e}") from e
    except (TypeError, ValueError) as e:
        raise meshio.WriteError(
            f"kvx: cell block {number} ({block.type}) is not a list of polygons of vertex "
            f"indices: {e}"
        ) from e


def _triangles(points, mesh):
    """Every triangle of the mesh's triangle, quad and polygon blocks, in
    their order, polygons made triangles (a warning for their fallbacks)."""
    blocks, fallbacks = [], 0
    for number, block in enumerate(mesh.cells):
        if len(block.data) == 0 or _kind_of(block.type) != "triangle":
            continue
        if block.type == "triangle":
            blocks.append(np.asarray(block.data))
        else:
            triangles, fell_back = _polygon_triangles(points, block, number)
            blocks.append(triangles)
            fallbacks += fell_back
    if fallbacks:
        warnings.warn(
            f"kvx: {fallbacks} polygon{'s' if fallbacks > 1 else ''} could not be ear-clipped "
            "(self-intersecting or degenerate) and became fans", stacklevel=4
        )
    return _joined(blocks, "triangle")


def _joined(blocks, kind):
    """The rows of every block, one array (WriteError where they differ)."""
    try:
        return np.concatenate(blocks)
    except ValueError as e:
        raise meshio.WriteError(f"kvx: the {kind} cells are not rows of vertex indices: {e}") \
            from e


def from_meshio(mesh, version=None, name=None):
    """The kvx.Mesh that write() saves for a meshio.Mesh."""
    kind = _cell_kind(mesh)
    point_data = mesh.point_data
    if version is None:
        version = _default_version(kind, "kvx:texcoords" in point_data)
    # Vertex cells also fit a triangle version, as a mesh of no faces.
    fits = _WRITTEN[kind] + (_WRITTEN["triangle"] if kind == "vertex" else ())
    if version not in fits:
        where = {"triangle": "triangles go to", "line": "lines go to",
                 "vertex": "a point set goes to"}[kind]
        raise meshio.WriteError(
            f"kvx: version {version} cannot hold {kind} cells; "
            f"{where} {_versions_text(_WRITTEN[kind])}"
        )
    layout = _LAYOUT_OF[version]

    points = np.asarray(mesh.points)
    if points.ndim == 2 and points.shape[1] == 2:
        warnings.warn("kvx: 2D points given; written with z = 0", stacklevel=3)
        points = np.column_stack([points, np.zeros(len(points), dtype=points.dtype)])

    indices = None
    if kind == "triangle":
        indices = _triangles(points, mesh)
    elif kind == "line":
        indices = _joined([np.asarray(b.data) for b in mesh.cells
                           if b.type == kind and len(b.data)], kind)
    if name is None and layout["has_name"] and isinstance(mesh.info, dict):
        name = mesh.info.get("kvx:name")

    try:
        return _kvx.Mesh(
            points,
            faces=indices if layout["primitive"] == "triangles" else None,
            edges=indices if layout["primitive"] == "lines" else None,
            colors=point_data.get("kvx:color"),
            uv=point_data.get("kvx:texcoords") if "uv" in layout["fields"] else None,
            name=name,
            version=version,
        )
    except (KvxInputError, TypeError) as e:
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
