# Types of the native module kvx._kvx, which kvx re-exports (kvx.Mesh) and
# wraps (kvx.load, kvx.read_cmsh, kvx.convert, kvx.load_any).
import os
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str

class Mesh:
    """A triangle mesh, point set or wireframe of one KVX version."""

    def __init__(
        self,
        positions: npt.ArrayLike,
        faces: Optional[npt.ArrayLike] = None,
        colors: Optional[npt.ArrayLike] = None,
        uv: Optional[npt.ArrayLike] = None,
        name: Union[str, bytes, None] = None,
        version: int = 3,
        *,
        edges: Optional[npt.ArrayLike] = None,
        texcoords: Optional[npt.ArrayLike] = None,
        stored_uv: Optional[npt.ArrayLike] = None,
        color_order: str = "argb",
    ) -> None: ...
    @property
    def version(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def vertex_count(self) -> int: ...
    @property
    def face_count(self) -> int: ...
    @property
    def positions(self) -> npt.NDArray[np.float32]: ...
    @property
    def normals(self) -> Optional[npt.NDArray[np.float32]]: ...
    @property
    def colors(self) -> npt.NDArray[np.uint32]: ...
    @property
    def uv(self) -> Optional[npt.NDArray[np.float32]]:
        """u, 1 - stored v: the text mesh's and three.js's convention (a new array)."""
    @property
    def stored_uv(self) -> Optional[npt.NDArray[np.float32]]:
        """u, v as the file stores them (a read-only view)."""
    @property
    def faces(self) -> Optional[npt.NDArray[np.uint16]]: ...
    @property
    def edges(self) -> Optional[npt.NDArray[np.uint16]]: ...
    @property
    def indices(self) -> Optional[npt.NDArray[np.uint16]]: ...
    def rgba(self, order: str = "argb") -> npt.NDArray[np.uint8]: ...
    def texcoords(self) -> Optional[npt.NDArray[np.float32]]:
        """Mesh.uv, under its earlier name."""
    def save(self, path: _Path) -> None: ...

def load(path: _Path) -> Mesh: ...
def load_bytes(data: bytes, name: str) -> Mesh: ...
def convert(input: _Path, output: _Path, version: int) -> None: ...
def read_cmsh(path: _Path, version: int) -> Mesh: ...
# The layout table, one dict per version code: version, record_size,
# fields (byte offsets of uv, color, normal, position where the record has
# them), index_values_per_group, primitive ("triangles", "lines", "points",
# "records"), has_name, writable, program (None where no converter writes
# it), values_per_vertex.
LAYOUTS: tuple[dict[str, object], ...]

def load_any(
    path: _Path,
    split: bool,
    version: int,
    format: str,
    color_order: str,
    name: Optional[str],
    weld: Optional[bool],
    normals: str = ...,
    reader_memory: int = ...,
    reader_time: int = ...,
    reader_output: int = ...,
) -> Union[Mesh, list[Mesh]]: ...

# The triangles of polygons (as kvximport makes them): polygon p's corners
# are corners[offsets[p]:offsets[p + 1]], indices of the (N, 3) points.
# Returns the (T, 3) corner indices and how many polygons could not be ear
# clipped and became fans.
def triangulate_polygons(
    points: npt.ArrayLike, corners: npt.ArrayLike, offsets: npt.ArrayLike
) -> tuple[npt.NDArray[np.uint32], int]: ...

# The GPU order (kvxopt --optimize): the triangles in the new vertex
# numbers and the old number of each new vertex (positions[order]).
def optimize(
    positions: npt.ArrayLike, triangles: Optional[npt.ArrayLike] = None
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...

# Fewer triangles (kvxopt --simplify, --fit): the triangles kept over the
# vertices kept, their old numbers (rising) and the error reached.
def simplify(
    positions: npt.ArrayLike,
    triangles: npt.ArrayLike,
    ratio: float,
    error: float = ...,
    sloppy: bool = ...,
    max_vertices: int = ...,
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32], float]: ...
