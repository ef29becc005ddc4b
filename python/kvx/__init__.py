"""KVX triangle meshes for Python, built from the same code as the programs.

    >>> import kvx
    >>> mesh = kvx.load("cube.kvx")          # any KVX file
    >>> mesh.positions                        # (N, 3) float32 view, no copy
    >>> kvx.Mesh(points, faces).save("out.kvx")   # version 3, with normals
    >>> kvx.convert("cube.cmsh", "cube.kvx", version=3)  # what kvxconv3 does

- load(path), load_bytes(data): a Mesh from a KVX file or its bytes.
- Mesh(positions, faces, ...): a mesh built from arrays; Mesh.save(path).
- read_cmsh(path, values, version): a Mesh from a text mesh, exactly as the
  converter of that version would write it.
- convert(src, dst, version): one of the six converters, in this process.
- load_any(path, split=False, layout=..., normals=..., weld=...): a Mesh
  (or, split, a list of them) from any file kvximport reads: OBJ, PLY, STL,
  OFF, and what assimp reads, with kvximport's options.
- Failures raise KvxError: KvxInputError (ValueError), KvxIOError (OSError
  with errno), KvxMemoryError (MemoryError, wherever memory runs short),
  with the programs' messages; an argument of the wrong type TypeError.
- Outputs never replace inputs: convert() to its own input, or save() over
  the file a mesh was read from, raises KvxInputError before anything is
  read or written.

Where meshio is installed, importing kvx registers the format "kvx" (".kvx")
with it (see kvx._meshio; `python3 -m kvx.meshio_cli` is meshio's command
line with it).

The converters, the loads and saves and the building of a Mesh run with
the GIL released and share no state: threads convert at once.

Every table of versions here (VERSIONS, PROGRAMS, the values per vertex a
converter reads) is read from the library's layout table, kvx._kvx.LAYOUTS.
"""

from ._errors import (
    KvxError,
    KvxFileNotFoundError,
    KvxInputError,
    KvxIOError,
    KvxMemoryError,
    KvxPermissionError,
)
from . import _kvx
from ._kvx import Mesh
# The GPU order and simplification, where the build has meshoptimizer.
if hasattr(_kvx, "simplify"):
    from ._kvx import optimize, simplify

import numpy as _numpy

__version__ = _kvx.__version__

__all__ = [
    "KvxError",
    "KvxFileNotFoundError",
    "KvxIOError",
    "KvxInputError",
    "KvxMemoryError",
    "KvxPermissionError",
    "Mesh",
    "PROGRAMS",
    "VERSIONS",
    "convert",
    "load",
    "load_any",
    "load_bytes",
    "read_cmsh",
]
if hasattr(_kvx, "simplify"):
    __all__ += ["optimize", "simplify"]

# Every table below is read from the library's layout table, one dict per
# version code (see kvx._kvx.LAYOUTS), so that it says each thing once.
_LAYOUT_OF = {layout["version"]: layout for layout in _kvx.LAYOUTS}

# The version codes a mesh can be written in.
VERSIONS = tuple(layout["version"] for layout in _kvx.LAYOUTS if layout["writable"])

# The program that writes each version.
PROGRAMS = {
    layout["version"]: layout["program"] for layout in _kvx.LAYOUTS if layout["program"]
}

# Values per vertex of a text mesh, by the version of its converter.
_VALUES_OF = {version: _LAYOUT_OF[version]["values_per_vertex"] for version in PROGRAMS}


def _default_version(values):
    """The version a text mesh of so many values becomes unless told
    otherwise: of the converters that read that many, the first whose
    record holds normals, else the first (3 values: 1; 7: 3; 9: 4)."""
    readers = [_LAYOUT_OF[v] for v in PROGRAMS if _VALUES_OF[v] == values]
    return min(readers, key=lambda layout: "normal" not in layout["fields"])["version"]


_VERSION_OF = {values: _default_version(values) for values in sorted(set(_VALUES_OF.values()))}


def _listed(items, last="or"):
    """"1, 2 or 3": the items as a list in prose."""
    items = [str(item) for item in items]
    return items[0] if len(items) == 1 else f"{', '.join(items[:-1])} {last} {items[-1]}"


def _check_flag(what, value, none=False):
    """A keyword that is True or False (or None, where `none`): else TypeError."""
    if isinstance(value, (bool, _numpy.bool_)) or (none and value is None):
        return value
    allowed = "True, False or None" if none else "True or False"
    raise TypeError(f"{what} must be {allowed}; got {value!r}")


def _check_text(what, value, kinds=(str,), none=True):
    """A keyword that is a str (or bytes, where `kinds` has it) or None."""
    if isinstance(value, kinds) or (none and value is None):
        return value
    names = [k.__name__ for k in kinds] + (["None"] if none else [])
    names = ", ".join(names[:-1]) + " or " + names[-1] if len(names) > 1 else names[0]
    raise TypeError(f"{what} must be {names}; got {type(value).__name__} {value!r}")


def _check_version(version, what="version"):
    if isinstance(version, bool) or not isinstance(version, int) or version not in _VALUES_OF:
        raise KvxInputError(
            f"{what} must be one of {', '.join(map(str, PROGRAMS))}; got {version!r}"
        )
    return version


# The words kvximport's --layout takes besides the version codes: the
# point set and the wireframe, by their primitive in the layout table.
_WORD_OF_PRIMITIVE = {"points": "points", "lines": "wire"}
_LAYOUT_NAMES = {
    _WORD_OF_PRIMITIVE[layout["primitive"]]: layout["version"]
    for layout in _kvx.LAYOUTS
    if layout["writable"] and layout["primitive"] in _WORD_OF_PRIMITIVE
}


def _check_layout(layout, version=None, what="layout"):
    """The version code of a layout= argument (a code of VERSIONS, or a word
    of _LAYOUT_NAMES), or of its alias version= (given only one of them):
    None where neither is given. KvxInputError for another value, TypeError
    for both at once."""
    if layout is not None and version is not None:
        raise TypeError(f"{what}= and its alias version= name the same thing; give one")
    if layout is None:
        return None if version is None else _check_version(version)
    if isinstance(layout, str):
        if layout in _LAYOUT_NAMES:
            return _LAYOUT_NAMES[layout]
    elif not isinstance(layout, bool) and isinstance(layout, int) and layout in _VALUES_OF:
        return layout
    words = [str(v) for v in PROGRAMS] + [f'"{word}"' for word in _LAYOUT_NAMES]
    raise KvxInputError(f"{what} must be one of {_listed(words)}; got {layout!r}")


def load(path) -> Mesh:
    """Loads the KVX file at path (str, bytes or os.PathLike) into a Mesh.

    Any version the library reads: 1 to 4, -1 (point set), -2 (wireframe),
    -3 (read only). The mesh's arrays are views of the loaded records.

    Raises KvxFileNotFoundError / KvxIOError (OSError, errno set) when the
    file cannot be opened or read, KvxInputError (ValueError) when it is
    truncated, too long a name or of an unknown version, KvxMemoryError when
    memory is short. The message is kvxdump's, e.g. "part.kvx: truncated:
    the header promises 215 bytes, the file has 40".
    """
    return _kvx.load(path)


def load_bytes(data, name: str = "<bytes>") -> Mesh:
    """Loads a KVX file held in memory (bytes, bytearray, memoryview).

    Checks as load() does; `name` (a str) stands for the path in messages.
    Another type of data or name raises TypeError.
    """
    _check_text("name", name, none=False)
    if not isinstance(data, bytes):
        try:
            view = memoryview(data)
        except TypeError:
            raise TypeError(
                f"data must be bytes, bytearray or memoryview; got {type(data).__name__}"
            ) from None
        try:
            data = view.tobytes()
        except MemoryError:
            raise KvxMemoryError(f"out of memory ({view.nbytes} bytes)") from None
    return _kvx.load_bytes(data, name)


def read_cmsh(path, values: "int | None" = None, version: "int | None" = None) -> Mesh:
    """Reads a text mesh (.cmsh) into a Mesh with the converters' own code.

    values: values per vertex, 3, 7 or 9 (7 where neither is given);
    version: the version to build, one whose converter reads that many
    values (3 values: 1; 7: 2, 3, -1, -2; 9: 4). Given one, the other
    follows: 3 values make version 1, 7 version 3, 9 version 4.

    The mesh is the one the converter of that version (kvxconv1 to kvxconv4,
    kvxpoints, kvxwire) writes: Mesh.save() gives the program's bytes. Its
    echo is dropped; a warning on text after the last entry still goes to
    standard error, as the program gives it.

    Raises KvxInputError with the program's message ("part.cmsh:7: expected
    a number, found "1.5abc""), KvxIOError for a file that cannot be read,
    KvxMemoryError.
    """
    if version is None and values is None:
        version = 3  # as convert()
    if version is None:
        if values not in _VERSION_OF:
            raise KvxInputError(f"values must be {_listed(_VERSION_OF)}; got {values!r}")
        version = _VERSION_OF[values]
    _check_version(version)
    if values is not None and values != _VALUES_OF[version]:
        raise KvxInputError(
            f"version {version} ({PROGRAMS[version]}) reads {_VALUES_OF[version]} values per "
            f"vertex, not {values}"
        )
    return _kvx.read_cmsh(path, version)


def convert(src, dst, version: int = 3) -> None:
    """Converts the text mesh src into the KVX file dst of `version`.

    Runs the program's own work in this process: kvxconv1 (version 1, 3
    values per vertex), kvxconv2 (2), kvxconv3 (3), kvxconv4 (4, 9 values
    and a name), kvxpoints (-1) or kvxwire (-2); the file is byte for byte
    the program's, written completely or not at all. Its echo is dropped.

    Raises KvxInputError (the program's exit status 2), KvxIOError (an input
    that cannot be read, or status 3: the output cannot be written; errno
    set), KvxMemoryError (status 4), each with the program's message.
    A dst that is the same file as src (by any link or name) raises
    KvxIOError before anything is read or written.
    """
    _kvx.convert(src, dst, _check_version(version))


def load_any(
    path,
    split: bool = False,
    *,
    layout: "int | str | None" = None,
    version: "int | None" = None,
    normals: str = "smooth",
    format: "str | None" = None,
    color_order: str = "argb",
    name: "str | None" = None,
    weld: "bool | None" = None,
    reader_memory: "int | None" = None,
    reader_time: "int | None" = None,
    reader_output: "int | None" = None,
):
    """Reads any mesh file kvximport reads into a Mesh, as kvximport would
    write it: Mesh.save() gives kvximport's bytes.

    OBJ, PLY (ASCII and binary), STL (ASCII and binary) and OFF by the
    project's own readers; glTF, COLLADA, FBX, 3DS and the rest that assimp
    reads where the build found assimp. The format follows the extension
    unless `format` names one ("obj", "ply", "stl", "off", or an assimp
    extension such as "glb").

    The options are kvximport's:
    layout: the KVX version, 1, 2, 3, 4, -1 or -2, or "points" (-1) or
    "wire" (-2), as --layout takes it; None gives 3, or 4 when the mesh has
    texture coordinates. version= is its alias, as callers of earlier
    releases give it (both at once raise TypeError). normals ("smooth" or
    "source", versions 3 and 4): smooth normals by kvxconv3's rule (the
    default), or the source's own where it has them, as --normals chooses.
    color_order ("argb" or "rgba") is how float colours are packed; name is
    the version-4 name (the source's object name, or the file's, by
    default); weld merges equal vertices (None: STL only).

    assimp reads in a process of its own, bounded as kvximport's
    --reader-* options bound it: reader_memory, its address space in bytes
    (default 2 GiB); reader_time, its processor and elapsed time in whole
    seconds (default 120); reader_output, the largest answer in bytes
    (default 1 GiB). A crash or the time limit there raises KvxInputError,
    the memory limit KvxMemoryError; the interpreter goes on.

    A KVX mesh holds at most 65,536 vertices: a larger one raises
    KvxInputError, unless `split`, which returns a list of parts, each a
    compact mesh, in kvximport --split's order (a list of one when the mesh
    fits). Warnings (an STL header whose count is wrong) become Python
    warnings. Errors raise KvxInputError, KvxIOError (KvxFileNotFoundError
    for a missing file) or KvxMemoryError with kvximport's messages. An
    argument of the wrong type raises TypeError ("weld must be True, False
    or None; got 'yes'").
    """
    _check_flag("split", split)
    version = _check_layout(layout, version)
    _check_text("normals", normals, none=False)
    if normals not in ("smooth", "source"):
        raise KvxInputError(f'normals must be "smooth" or "source"; got {normals!r}')
    _check_text("format", format)
    _check_text("color_order", color_order, none=False)
    _check_text("name", name, (str, bytes))
    _check_flag("weld", weld, none=True)
    limits = []
    for key, value, largest in (
        ("reader_memory", reader_memory, 2**64 - 1),
        ("reader_time", reader_time, 86400),
        ("reader_output", reader_output, 2**64 - 1),
    ):
        if value is None:
            limits.append(0)
        elif isinstance(value, bool) or not isinstance(value, int) or not 0 < value <= largest:
            raise KvxInputError(f"{key} must be a whole number from 1 to {largest}; got {value!r}")
        else:
            limits.append(value)
    return _kvx.load_any(
        path, bool(split), version or 0, format or "", color_order, name,
        None if weld is None else bool(weld), normals, *limits
    )


try:
    import meshio as _meshio_package
except ImportError:  # meshio is optional
    _meshio_package = None
if _meshio_package is not None:
    from . import _meshio

    _meshio.register()
