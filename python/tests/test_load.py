"""kvx.load and kvx.load_bytes against the file's own bytes: every view
equal to the same view of numpy.fromfile, read-only views of one mesh, at
every record size, file after file in one process (memory a load frees is
reused by the next), and on both sides of the size from which a load's
arrays go on huge pages."""

import struct

import numpy as np

import kvx

# The record size and the byte offsets of the colour, position, normal and
# texture coordinates per version, and the index values per group, as
# docs/format.md has them.
RECORDS = {1: (16, 0, 4, None, None, 3), 2: (16, 0, 4, None, None, 3),
           3: (28, 0, 16, 4, None, 3), 4: (36, 8, 24, 12, 0, 3),
           -1: (16, 0, 4, None, None, 0), -2: (16, 0, 4, None, None, 2)}

# meshcore/internal/read_array.h: from this size an array a load fills goes
# on huge pages, whose blocks start on a 2 MiB boundary.
HUGE_FROM = 31 << 20
HUGE_PAGE = 2 << 20


def random_file(version, vertices, groups, seed):
    """A file of random record bytes (NaN payloads among them) and random
    indices below the vertex count."""
    size, _, _, _, _, group = RECORDS[version]
    rng = np.random.default_rng(seed)
    records = rng.integers(0, 256, vertices * size, dtype=np.uint8).tobytes()
    index = rng.integers(0, min(max(vertices, 1), 65536), groups * group).astype(np.uint16).tobytes()
    return b"KVX" + struct.pack("<IIi", vertices, groups, version) + records + index


def expected_views(data):
    """The arrays a load shows, as views of the bytes themselves."""
    # Padded so that the views of an empty block still lie inside it.
    raw = np.frombuffer(data + bytes(64), dtype=np.uint8)
    vertices, groups, version = struct.unpack_from("<IIi", data, 3)
    size, color, position, normal, uv, group = RECORDS[version]

    def field(offset, columns, dtype):
        shape, strides = ((vertices, columns), (size, 4)) if columns else ((vertices,), (size,))
        return np.ndarray(shape, dtype, raw, 15 + offset, strides)

    return {
        "positions": field(position, 3, np.float32),
        "colors": field(color, 0, np.uint32),
        "normals": None if normal is None else field(normal, 3, np.float32),
        "stored_uv": None if uv is None else field(uv, 2, np.float32),
        "indices": None if group == 0 else
        np.ndarray((groups, group), np.uint16, raw, 15 + vertices * size),
    }


def check_mesh(mesh, data, what):
    for name, expected in expected_views(data).items():
        got = getattr(mesh, name)
        if expected is None:
            assert got is None, (what, name)
            continue
        # Bit for bit: NaN payloads too.
        assert got.dtype == expected.dtype and got.shape == expected.shape, (what, name)
        assert got.tobytes() == expected.tobytes(), (what, name)
        assert got.base is mesh and not got.flags.writeable and not got.flags.owndata, (what, name)
        assert got.strides == expected.strides, (what, name)
    if mesh.version == 4:
        uv = mesh.uv
        assert uv.flags.writeable and uv.flags.owndata and uv.base is None
        with np.errstate(invalid="ignore"):
            np.testing.assert_array_equal(uv[:, 1], 1 - mesh.stored_uv[:, 1])


def test_every_version_file_after_file(tmp_path):
    # Sizes on both sides of the page sizes, loaded in turns so that each load
    # reuses memory the one before freed: the new file's bytes, never the
    # old one's.
    path = tmp_path / "m.kvx"
    seed = 0
    for version in RECORDS:
        for vertices, groups in [(0, 0), (1, 1), (255, 100), (65536, 131072), (70000, 7),
                                 (65536, 131072), (3, 0)]:
            for _ in range(2):
                seed += 1
                data = random_file(version, vertices, groups, seed)
                path.write_bytes(data)
                what = f"version {version}, {vertices} vertices, {groups} groups"
                mesh = kvx.load(path)
                check_mesh(mesh, data, what)
                check_mesh(kvx.load_bytes(data), data, what + " from bytes")
                assert (mesh.vertex_count, mesh.face_count) == (vertices, groups)


def test_on_both_sides_of_the_huge_page_size(tmp_path):
    # A version -1 file whose record block, and a version 1 file whose index
    # block, is just below, at and just past the size: the same views, and
    # from the size on a block of huge pages.
    path = tmp_path / "big.kvx"
    seed = 100
    cases = [(-1, HUGE_FROM // 16 - 1, 0, "records"), (-1, HUGE_FROM // 16, 0, "records"),
             (1, 4, HUGE_FROM // 6 - 1, "indices"), (1, 4, -(-HUGE_FROM // 6), "indices"),
             (-1, HUGE_FROM // 16 + 1, 0, "records")]
    for version, vertices, groups, block in cases:
        seed += 1
        data = random_file(version, vertices, groups, seed)
        path.write_bytes(data)
        for mesh in (kvx.load(path), kvx.load_bytes(data)):
            check_mesh(mesh, data, f"{vertices} vertices, {groups} groups")
            array = mesh.positions if block == "records" else mesh.indices
            start = array.__array_interface__["data"][0]
            huge = array.nbytes >= HUGE_FROM
            assert (start % HUGE_PAGE == 0) == huge, (array.nbytes, hex(start))
            del mesh, array
