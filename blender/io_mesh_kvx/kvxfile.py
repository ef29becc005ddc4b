# SPDX-License-Identifier: MIT
"""KVX files in pure Python and NumPy, for where the kvx module is missing.

read(path) gives a KvxData as the tool chain's loader checks it, with its
messages ("mesh.kvx: truncated: the header promises 215 bytes, the file
has 40"); write(path, data) writes one as the converters do (smooth normals
for versions 3 and 4 by their rule, bit for bit), through a temporary file
in the target's folder renamed over it once complete. smooth_normals() and
split() are the converters' normals and kvximport --split's parts.

Nothing here imports bpy: the add-on's Blender side and its tests share it.
"""

import math
import os
import tempfile
from fractions import Fraction

import numpy as np

HEADER_SIZE = 15
MOST_VERTICES = 65536
NAME_BYTES = 255

# The versions as the file holds them: record size, byte offsets of the
# fields, 16-bit index values per group, primitive, whether a name trails.
LAYOUTS = {
    1: dict(record=16, uv=None, color=0, normal=None, position=4, group=3, primitive="triangles"),
    2: dict(record=16, uv=None, color=0, normal=None, position=4, group=3, primitive="triangles"),
    3: dict(record=28, uv=None, color=0, normal=4, position=16, group=3, primitive="triangles"),
    4: dict(record=36, uv=0, color=8, normal=12, position=24, group=3, primitive="triangles"),
    -1: dict(record=16, uv=None, color=0, normal=None, position=4, group=0, primitive="points"),
    -2: dict(record=16, uv=None, color=0, normal=None, position=4, group=2, primitive="lines"),
    -3: dict(record=28, uv=None, color=0, normal=4, position=16, group=6, primitive="records"),
}
WRITABLE = (1, 2, 3, 4, -1, -2)


class KvxFileError(Exception):
    """A file that cannot be read or written: one line, as the programs word it."""


class KvxData:
    """One mesh of a KVX file: NumPy arrays, as the records hold them."""

    def __init__(self, version, positions, colors, faces=None, edges=None, normals=None,
                 stored_uv=None, name="", face_count=None):
        self.version = version
        self.positions = positions      # (N, 3) float32
        self.colors = colors            # (N,) uint32 colour words
        self.faces = faces              # (F, 3) uint16, versions 1 to 4
        self.edges = edges              # (E, 2) uint16, version -2
        self.normals = normals          # (N, 3) float32, versions 3, 4, -3
        self.stored_uv = stored_uv      # (N, 2) float32 as stored (v as 1 - v)
        self.name = name
        self.face_count = len(faces) if face_count is None and faces is not None else (
            face_count if face_count is not None else 0)

    @property
    def vertex_count(self):
        return len(self.positions)

    @property
    def uv(self):
        """u, 1 - stored v: the text mesh's (and Blender's) convention."""
        if self.stored_uv is None:
            return None
        uv = self.stored_uv.copy()
        uv[:, 1] = np.float32(1.0) - uv[:, 1]
        return uv


def display_name(path):
    """A path as one printable line: control characters as \\xNN."""
    text = os.fsdecode(path)
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) if ord(c) < 256 else c
                   for c in text)


def fit_name(name):
    """A version-4 name as kvximport fits an object's name: white space and
    zero bytes as "_", cut to 255 bytes at the start of a UTF-8 sequence."""
    fitted = bytearray(name.encode("utf-8", "surrogateescape"))
    for k, c in enumerate(fitted):
        if c == 0 or c in b" \t\n\v\f\r":
            fitted[k] = ord("_")
    if len(fitted) > NAME_BYTES:
        cut = NAME_BYTES
        while cut > 0 and fitted[cut] & 0xC0 == 0x80:
            cut -= 1
        del fitted[cut:]
    return bytes(fitted).decode("utf-8", "surrogateescape")


# ---- Reading ----

def read(path):
    """The mesh of the KVX file at path. KvxFileError with kvxdump's line
    for a file that cannot be opened, is not a KVX file, is truncated, has
    too long a name or a version that does not load."""
    label = display_name(path)
    try:
        with open(path, "rb") as f:
            data = f.read(HEADER_SIZE)
            version = None
            if len(data) == HEADER_SIZE:
                version = int.from_bytes(data[11:15], "little", signed=True)
            layout = LAYOUTS.get(version)
            if layout is None:
                return _parse(label, data)  # refused by its header
            vertices = int.from_bytes(data[3:7], "little")
            count = int.from_bytes(data[7:11], "little")
            end = HEADER_SIZE + vertices * layout["record"] + count * layout["group"] * 2
            extra = NAME_BYTES + 1 if version == 4 else 0
            # Never more than the header promises (and a name): a file that
            # claims more than it holds is refused, not read into memory.
            size = os.fstat(f.fileno()).st_size
            if size < end:
                raise KvxFileError(
                    f"{label}: truncated: the header promises {end} bytes, the file has {size}")
            data += f.read(end + extra - HEADER_SIZE)
            if version == 4 and len(data) > end + NAME_BYTES:
                raise KvxFileError(f"{label}: the name is {size - end} bytes long; at most "
                                   f"{NAME_BYTES} fit")
    except OSError as e:
        raise KvxFileError(f"{label}: {e.strerror or e}") from None
    return _parse(label, data)


def parse(data, label="<bytes>"):
    """The mesh of a KVX file's bytes, checked as read() checks a file."""
    return _parse(label, bytes(data))


def _parse(label, data):
    have = len(data)
    version = int.from_bytes(data[11:15], "little", signed=True) if have >= 15 else None
    magic_missing = data[:3] != b"KVX"[:min(3, have)]
    if magic_missing and (have < HEADER_SIZE or version not in LAYOUTS):
        raise KvxFileError(f"{label}: not a KVX file")
    if have < HEADER_SIZE:
        raise KvxFileError(f"{label}: truncated: the file has {have} bytes, fewer than the 15 "
                           "of a header")
    vertices = int.from_bytes(data[3:7], "little")
    count = int.from_bytes(data[7:11], "little")
    layout = LAYOUTS.get(version)
    if layout is None:
        raise KvxFileError(f"{label}: unsupported version {version}")
    record = layout["record"]
    vertex_end = HEADER_SIZE + vertices * record
    end = vertex_end + count * layout["group"] * 2
    if have < end:
        raise KvxFileError(f"{label}: truncated: the header promises {end} bytes, the file has "
                           f"{have}")
    name_bytes = data[end:] if version == 4 else b""
    if len(name_bytes) > NAME_BYTES:
        raise KvxFileError(f"{label}: the name is {len(name_bytes)} bytes long; at most "
                           f"{NAME_BYTES} fit")
    records = np.frombuffer(data, dtype=np.uint8, count=vertices * record,
                            offset=HEADER_SIZE).reshape(vertices, record)

    def field(offset, width, dtype):
        if offset is None:
            return None
        raw = np.ascontiguousarray(records[:, offset:offset + 4 * width])
        return raw.view("<" + dtype).reshape(vertices, width).astype(dtype) if width > 1 else \
            raw.view("<" + dtype).reshape(vertices).astype(dtype)

    indices = np.frombuffer(data, dtype="<u2", count=count * layout["group"],
                            offset=vertex_end).astype(np.uint16)
    faces = indices.reshape(count, 3) if layout["primitive"] == "triangles" else None
    edges = indices.reshape(count, 2) if layout["primitive"] == "lines" else None
    return KvxData(version, field(layout["position"], 3, "f4"), field(layout["color"], 1, "u4"),
                   faces=faces, edges=edges, normals=field(layout["normal"], 3, "f4"),
                   stored_uv=field(layout["uv"], 2, "f4"),
                   name=name_bytes.decode("utf-8", "surrogateescape"), face_count=count)


# ---- Writing ----

def file_bytes(data):
    """The bytes of the KVX file of `data` (version 1 to 4, -1 or -2), its
    normals computed by the converters' rule where the version has them."""
    version = data.version
    layout = LAYOUTS[version]
    n = data.vertex_count
    if layout["primitive"] == "triangles":
        groups = np.asarray(data.faces, dtype=np.uint16).reshape(-1, 3)
        count = len(groups)
    elif layout["primitive"] == "lines":
        groups = np.asarray(data.edges, dtype=np.uint16).reshape(-1, 2)
        count = len(groups)
    else:
        groups = np.zeros((0,), dtype=np.uint16)
        count = n  # as kvxpoints writes it
    name = data.name.encode("utf-8", "surrogateescape") if version == 4 else b""
    records = np.zeros((n, layout["record"]), dtype=np.uint8)

    def put(offset, values):
        if n == 0:
            return
        values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<"))
        raw = values.reshape(n, -1).view(np.uint8).reshape(n, -1)
        records[:, offset:offset + raw.shape[1]] = raw

    put(layout["position"], np.asarray(data.positions, dtype=np.float32).reshape(n, 3))
    put(layout["color"], np.asarray(data.colors, dtype=np.uint32).reshape(n, 1))
    if layout["normal"] is not None:
        put(layout["normal"], smooth_normals(data.positions, groups))
    if layout["uv"] is not None:
        put(layout["uv"], np.asarray(data.stored_uv, dtype=np.float32).reshape(n, 2))
    header = b"KVX" + n.to_bytes(4, "little") + count.to_bytes(4, "little") + \
        version.to_bytes(4, "little", signed=True)
    return header + records.tobytes() + groups.astype("<u2").tobytes() + name


def write(path, data):
    write_all([(path, data)])


def write_all(files):
    """Writes every (path, KvxData) or none: each to a temporary file in its
    target's folder, renamed over the targets once all are complete. An
    existing file is left as it was when anything fails (KvxFileError)."""

    def write_bytes(path, data, temporary):
        content = file_bytes(data)
        try:
            with open(temporary, "wb") as f:
                f.write(content)
        except OSError as e:
            raise KvxFileError(f"{display_name(path)}: {e.strerror or e}") from None

    replace_all(files, write_bytes)


def replace_all(files, write):
    """Writes every (path, item) or none: write(path, item, temporary)
    writes one to a temporary file in its target's folder (raising
    KvxFileError), and all are renamed over their targets once complete,
    each with the target's permissions where it exists. A failure removes
    every temporary file and leaves the targets as they were."""
    written = []
    try:
        for path, item in files:
            folder = os.path.dirname(os.path.abspath(path))
            try:
                fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".",
                                                 dir=folder)
            except OSError as e:
                raise KvxFileError(f"{display_name(path)}: {e.strerror or e}") from None
            os.close(fd)
            written.append((temporary, path))
            write(path, item, temporary)
            try:
                mode = 0o666 & ~_umask()
                if os.path.exists(path):
                    mode = os.stat(path).st_mode & 0o7777
                os.chmod(temporary, mode)
            except OSError as e:
                raise KvxFileError(f"{display_name(path)}: {e.strerror or e}") from None
        for temporary, path in written:
            try:
                os.replace(temporary, path)
            except OSError as e:
                raise KvxFileError(f"{display_name(path)}: {e.strerror or e}") from None
    finally:
        for temporary, _ in written:
            if os.path.exists(temporary):
                os.unlink(temporary)


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# ---- Normals, as the converters compute them ----
#
# Bit for bit wherever the positions are finite. Where one is an infinity
# or not a number, the normals it touches are not numbers here as there,
# but the x87 unit chooses between two such operands otherwise than
# NumPy's arithmetic does: their sign bits may differ.
NAN_NORMALS_WARNING = ("positions that are infinite or not a number: the normals they touch "
                       "are not numbers, whose sign bits may differ from kvxconv3's")
#
# The converters form cross products and sums of squares in the x87
# extended format (a 64-bit significand), round them to float (the sum of
# squares through double for its square root), and do everything else in
# float. Products of two floats are exact in double; what follows each
# product is computed here in double together with a bound on its error:
# where both ends of that bound give the same float, that float is the
# converters'; elsewhere (rarely: a value within a double's step of half a
# float's) the value is computed exactly with fractions.


def _round_significand(value, bits):
    """A Fraction rounded to `bits` significant bits, ties to even (no
    exponent limit, as the extended format's range never binds here)."""
    if value == 0:
        return value
    sign = -1 if value < 0 else 1
    value = abs(value)
    exponent = value.numerator.bit_length() - value.denominator.bit_length()
    if Fraction(2) ** exponent > value:
        exponent -= 1
    scale = Fraction(2) ** (bits - 1 - exponent)
    scaled = value * scale
    whole = scaled.numerator // scaled.denominator
    rest = scaled - whole
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and whole % 2 == 1):
        whole += 1
    return sign * whole / scale


def _to_float32(value):
    """A Fraction rounded once to float (subnormals and overflow included)."""
    if value == 0:
        return np.float32(0.0)
    if abs(value) < Fraction(2) ** -126:
        quantum = Fraction(2) ** -149
        scaled = value / quantum
        whole = math.floor(scaled)
        rest = scaled - whole
        if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and whole % 2 == 1):
            whole += 1
        return np.float32(float(whole * quantum))
    rounded = _round_significand(value, 24)
    if abs(rounded) >= Fraction(2) ** 128:
        return np.float32(math.copysign(math.inf, rounded))
    return np.float32(float(rounded))


def _certain(approx):
    """Float of each double and whether it is certain: whether the doubles
    a step below and above round to the same float."""
    with np.errstate(over="ignore", invalid="ignore"):
        low = np.nextafter(approx, -np.inf).astype(np.float32)
        high = np.nextafter(approx, np.inf).astype(np.float32)
    sure = (low == high) | ~np.isfinite(approx)
    return approx.astype(np.float32), sure


def _difference_of_products(a, b, c, d):
    """float(a*b - c*d) with the difference rounded to 64 bits first, for
    float32 arrays: the converters' cross product component."""
    with np.errstate(invalid="ignore"):
        p = a.astype(np.float64) * b.astype(np.float64)
        q = c.astype(np.float64) * d.astype(np.float64)
        result, sure = _certain(p - q)
    for k in np.flatnonzero(~sure):
        exact = Fraction(float(p[k])) - Fraction(float(q[k]))
        result[k] = _to_float32(_round_significand(exact, 64))
    return result


def _length(x, y, z):
    """float(sqrt(double(sum))) of float32 arrays, with the sum of squares
    (x*x + y*y) + z*z rounded to 64 bits at each addition."""
    with np.errstate(invalid="ignore", over="ignore"):
        xx = x.astype(np.float64) ** 2
        yy = y.astype(np.float64) ** 2
        zz = z.astype(np.float64) ** 2
        total = (xx + yy) + zz
        # The converters' double lies within 1.5 of total's steps of it (3
        # of the steps below a power of two): 4 steps each way hold it.
        low, high = total, total
        for _ in range(4):
            low, high = np.nextafter(low, 0), np.nextafter(high, np.inf)
        low = np.sqrt(low).astype(np.float32)
        high = np.sqrt(high).astype(np.float32)
        result = np.sqrt(total).astype(np.float32)
    sure = (low == high) | ~np.isfinite(total)
    for k in np.flatnonzero(~sure):
        s = _round_significand(Fraction(float(xx[k])) + Fraction(float(yy[k])), 64)
        s = _round_significand(s + Fraction(float(zz[k])), 64)
        result[k] = np.float32(math.sqrt(float(s)))
    return result


def _normalize(v):
    """The converters' unit vectors of the float32 rows of v: (0, 0, 0)
    where the length, rounded to float, is zero."""
    x, y, z = v[:, 0], v[:, 1], v[:, 2]
    length = _length(x, y, z)
    out = np.zeros_like(v)
    nonzero = length != 0  # a length that is not a number spreads into all three
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        out[nonzero] = v[nonzero] / length[nonzero, None]
    return out


def face_normals(positions, faces):
    """The unit normal of each triangle i0 i1 i2: of (P2 - P1) x (P0 - P1)."""
    p = np.asarray(positions, dtype=np.float32)
    f = np.asarray(faces, dtype=np.int64).reshape(-1, 3)
    p0, p1, p2 = p[f[:, 0]], p[f[:, 1]], p[f[:, 2]]
    with np.errstate(invalid="ignore", over="ignore"):
        e1 = p2 - p1
        e2 = p0 - p1
    n = np.empty((len(f), 3), dtype=np.float32)
    n[:, 0] = _difference_of_products(e1[:, 1], e2[:, 2], e1[:, 2], e2[:, 1])
    n[:, 1] = _difference_of_products(e1[:, 2], e2[:, 0], e1[:, 0], e2[:, 2])
    n[:, 2] = _difference_of_products(e1[:, 0], e2[:, 1], e1[:, 1], e2[:, 0])
    return _normalize(n)


def smooth_normals(positions, faces):
    """The converters' vertex normals: each vertex sums, in float and in face
    order, the normals of the faces that name it, one term per naming
    corner, and the sum is normalised."""
    p = np.asarray(positions, dtype=np.float32).reshape(-1, 3)
    f = np.asarray(faces, dtype=np.int64).reshape(-1, 3)
    normals = face_normals(p, f)
    total = np.zeros((len(p), 3), dtype=np.float32)
    corners = f.reshape(-1)
    if len(corners):
        # The corners of each vertex in face order, then the k-th terms of
        # all vertices added at once: no vertex appears twice in one step.
        order = np.argsort(corners, kind="stable")
        vertex = corners[order]
        starts = np.searchsorted(vertex, vertex, side="left")
        rank = np.arange(len(vertex)) - starts
        by_rank = np.argsort(rank, kind="stable")
        bounds = np.searchsorted(rank[by_rank], np.arange(rank.max() + 2))
        face_of = order // 3
        with np.errstate(invalid="ignore", over="ignore"):
            for k in range(len(bounds) - 1):
                step = by_rank[bounds[k]:bounds[k + 1]]
                total[vertex[step]] += normals[face_of[step]]
    return _normalize(total)


# ---- Parts of a large mesh, as kvximport --split makes them ----

def split(positions, faces, most=MOST_VERTICES):
    """The parts of a triangle mesh, each a list of triangle numbers in
    ascending order, so that none uses more than `most` vertices: halves at
    the median centroid along the widest axis, depth first."""
    p = np.asarray(positions, dtype=np.float32)
    f = np.asarray(faces, dtype=np.int64).reshape(-1, 3)
    with np.errstate(invalid="ignore", over="ignore"):
        corner = np.where(np.isfinite(p[f]), p[f], np.float32(0))
        mean = ((corner[:, 0] + corner[:, 1]) + corner[:, 2]) / np.float32(3)
    centroids = np.where(np.isfinite(mean), mean, np.float32(0))
    cells = []

    def cut(triangles):
        if len(np.unique(f[triangles])) <= most:
            cells.append(np.sort(triangles))
            return
        c = centroids[triangles]
        extent = c.max(axis=0).astype(np.float64) - c.min(axis=0).astype(np.float64)
        axis = 0
        for k in (1, 2):
            if extent[k] > extent[axis]:
                axis = k
        order = np.lexsort((triangles, c[:, axis]))
        middle = len(triangles) // 2
        cut(triangles[order[:middle]])
        cut(triangles[order[middle:]])

    if len(f):
        cut(np.arange(len(f)))
    return cells


def part_of(cell, faces):
    """The vertices a part uses (ascending) and its triangles numbered anew."""
    f = np.asarray(faces, dtype=np.int64).reshape(-1, 3)[cell]
    members, local = np.unique(f, return_inverse=True)
    return members, local.reshape(-1, 3)


def part_paths(path, count):
    """kvximport --split's names: <stem>-1.kvx to <stem>-<count>.kvx beside path."""
    folder, base = os.path.split(path)
    stem, extension = os.path.splitext(base)
    if extension.lower() == ".kvx":
        base = stem
    return [os.path.join(folder, f"{base}-{k}.kvx") for k in range(1, count + 1)]
