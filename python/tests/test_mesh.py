"""kvx.Mesh: built from arrays, saved, loaded; compared with the programs'
files byte for byte, and its arrays checked to be views of the records."""

import gc
import random
import struct

import numpy as np
import pytest

import kvx
from conftest import CUBE9_STORED_UV, CUBE9_UV, VERSIONS, example, program_file, test_data


def float32_text(values):
    """Text whose reading gives exactly these float32 values."""
    return " ".join(repr(float(v)) for v in values)


def random_arrays(seed, vertices, faces):
    """Positions, colour values, texture coordinates and faces, all
    float32-exact, and a name."""
    rng = np.random.default_rng(seed)
    positions = rng.standard_normal((vertices, 3)) * 10.0 ** rng.integers(-3, 4, (vertices, 3))
    colour_values = rng.choice([0, 0.25, 0.3, 0.5, 0.999, 1, 1.003], (vertices, 4))
    texcoords = rng.uniform(-0.5, 1.5, (vertices, 2))
    face_rows = rng.integers(0, vertices, (faces, 3))
    return (positions.astype(np.float32), colour_values.astype(np.float32),
            texcoords.astype(np.float32), face_rows, f"part-{seed}")


def text_mesh(version, positions, colour_values, texcoords, faces, name):
    """The text mesh that the converter of `version` reads for these arrays."""
    lines = [f"{len(positions)} {len(faces)}"]
    for k in range(len(positions)):
        entry = []
        if version == 4:
            entry.append(float32_text(texcoords[k]))
        if version != 1:
            entry.append(float32_text(colour_values[k]))
        entry.append(float32_text(positions[k]))
        lines.append(" ".join(entry))
    lines += [" ".join(map(str, f)) for f in faces]
    if version == 4:
        lines.append(name)
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("version", [1, 2, 3, 4, -1, -2])
def test_arrays_give_the_programs_bytes_and_load_back(tmp_path, version):
    for seed, vertices, faces in [(1, 1, 0), (2, 9, 14), (3, 60, 150)]:
        positions, colour_values, texcoords, face_rows, name = random_arrays(seed, vertices, faces)
        src = tmp_path / f"{seed}.cmsh"
        src.write_text(text_mesh(version, positions, colour_values, texcoords, face_rows, name))
        expected = program_file(version, src, tmp_path / f"{seed}.program.kvx")

        arguments = {"version": version}
        if version != 1:
            arguments["colors"] = colour_values
        if version > 0:
            arguments["faces"] = face_rows
        if version == 4:
            arguments.update(uv=texcoords, name=name)
        if version == -2:
            # kvxwire computes the edges; the Mesh takes them as they are.
            arguments["edges"] = kvx.load(tmp_path / f"{seed}.program.kvx").edges
        mesh = kvx.Mesh(positions, **arguments)
        mesh.save(tmp_path / f"{seed}.kvx")
        assert (tmp_path / f"{seed}.kvx").read_bytes() == expected, (version, seed)

        back = kvx.load(tmp_path / f"{seed}.kvx")
        assert back.version == version
        assert back.vertex_count == vertices
        np.testing.assert_array_equal(back.positions, positions)
        np.testing.assert_array_equal(back.colors, mesh.colors)
        if version > 0:
            np.testing.assert_array_equal(back.faces, face_rows)
        assert back.face_count == (vertices if version == -1 else len(mesh.indices))
        if version == 4:
            assert back.name == name
            np.testing.assert_array_equal(back.stored_uv[:, 0], texcoords[:, 0])
            np.testing.assert_array_equal(back.stored_uv[:, 1], np.float32(1) - texcoords[:, 1])
            np.testing.assert_array_equal(back.uv[:, 1], np.float32(1) - back.stored_uv[:, 1])
        # What was loaded saves as it was.
        back.save(tmp_path / "again.kvx")
        assert (tmp_path / "again.kvx").read_bytes() == expected


def test_golden_files_of_the_normal_model(tmp_path):
    # tests/data/*.kvx were computed by an exact model of the normal rule.
    for text, version, golden in [("irregular7.cmsh", 3, "irregular-v3.kvx"),
                                  ("irregular9.cmsh", 4, "irregular-v4.kvx")]:
        mesh = kvx.read_cmsh(test_data(text), version=version)
        rebuilt = kvx.Mesh(mesh.positions, mesh.faces, colors=mesh.colors, stored_uv=mesh.stored_uv,
                           name=mesh.name if version == 4 else None, version=version)
        rebuilt.save(tmp_path / "out.kvx")
        assert (tmp_path / "out.kvx").read_bytes() == test_data(golden).read_bytes()


def test_views_share_the_records_and_keep_the_mesh_alive(tmp_path):
    mesh = kvx.Mesh(np.arange(12).reshape(4, 3), [[0, 1, 2], [1, 2, 3]], version=4,
                    uv=[[0.5, 0.25]] * 4, colors=[1, 2, 3, 4])
    positions, colors, normals, uv, faces = (mesh.positions, mesh.colors, mesh.normals,
                                             mesh.stored_uv, mesh.faces)
    for view in (positions, colors, normals, uv, faces):
        assert view.base is mesh
        assert not view.flags.owndata
        assert not view.flags.writeable
    # One 36-byte record per vertex: u v colour nx ny nz x y z.
    assert positions.strides == (36, 4) and colors.strides == (36,) and uv.strides == (36, 4)
    assert positions.ctypes.data - uv.ctypes.data == 24
    assert colors.ctypes.data - uv.ctypes.data == 8
    assert normals.ctypes.data - uv.ctypes.data == 12
    assert faces.strides == (6, 2) and faces.dtype == np.uint16
    assert np.shares_memory(positions, mesh.positions)
    # uv, as a text mesh has it, is computed: a new array of its own.
    assert mesh.uv.flags.owndata and mesh.uv.flags.writeable and mesh.uv.base is None
    with pytest.raises(ValueError):
        positions[0, 0] = 7

    expected = positions.copy()
    del mesh, colors, normals, uv, faces
    gc.collect()
    junk = [np.full(1000, k, dtype=np.float32) for k in range(200)]  # reuse freed memory
    np.testing.assert_array_equal(positions, expected)
    assert positions.base.vertex_count == 4
    del junk

    # Loaded meshes too, for every record size; empty ones as well.
    for version, record in [(1, 16), (3, 28), (-1, 16)]:
        kvx.Mesh(np.ones((5, 3)), version=version).save(tmp_path / "v.kvx")
        loaded = kvx.load(tmp_path / "v.kvx")
        assert loaded.positions.base is loaded and loaded.positions.strides == (record, 4)
    empty = kvx.Mesh(np.empty((0, 3)))
    assert empty.positions.shape == (0, 3) and empty.positions.base is empty
    assert empty.faces.shape == (0, 3)


def test_what_each_version_shows(tmp_path):
    positions = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
    shown = {}
    for version in VERSIONS:
        extra = {"edges": [[0, 1], [1, 2]]} if version == -2 else {}
        faces = [[0, 1, 2]] if version > 0 else None
        mesh = kvx.Mesh(positions, faces, version=version, **extra)
        shown[version] = tuple(getattr(mesh, a) is not None
                               for a in ("normals", "uv", "faces", "edges", "indices"))
        assert mesh.texcoords() is None or version == 4
    assert shown == {1: (False, False, True, False, True), 2: (False, False, True, False, True),
                     3: (True, False, True, False, True), 4: (True, True, True, False, True),
                     -1: (False, False, False, False, False),
                     -2: (False, False, False, True, True)}
    assert repr(kvx.Mesh(positions, version=-1)) == "<kvx.Mesh version -1, 3 vertices>"
    assert repr(kvx.Mesh(positions, edges=[[0, 1]], version=-2)) == \
        "<kvx.Mesh version -2, 3 vertices, 1 edge>"


def test_version_minus_3_loads_and_is_read_only(tmp_path):
    record = struct.pack("<I6f", 0xFF00FF00, 0, 0, 1, 2.5, 3.5, 4.5)
    data = b"KVX" + struct.pack("<IIi", 2, 1, -3) + record * 2 + struct.pack("<6H", *range(6))
    path = tmp_path / "m3.kvx"
    path.write_bytes(data)
    mesh = kvx.load(path)
    assert mesh.version == -3 and mesh.faces is None and mesh.edges is None
    np.testing.assert_array_equal(mesh.indices, [[0, 1, 2, 3, 4, 5]])
    np.testing.assert_array_equal(mesh.positions, [[2.5, 3.5, 4.5]] * 2)
    np.testing.assert_array_equal(mesh.normals, [[0, 0, 1]] * 2)
    assert kvx.load_bytes(data).indices.tolist() == mesh.indices.tolist()
    with pytest.raises(kvx.KvxInputError, match=r"version -3 is read only"):
        mesh.save(tmp_path / "out.kvx")
    assert not (tmp_path / "out.kvx").exists()


def test_colours_in_every_form():
    positions = np.zeros((2, 3))
    words = kvx.Mesh(positions, colors=np.array([0x336699CC, 0xFFFFFFFF], dtype=np.uint64))
    assert words.colors.tolist() == [0x336699CC, 0xFFFFFFFF]
    # Four values as a text mesh has them: times 255, truncated.
    values = kvx.Mesh(positions, colors=[[0.2, 0.4, 0.6, 0.8], [1.003, -0.001, 0.5, 1]])
    assert values.colors.tolist() == [0x336699CC, 0xFF007FFF]
    # Integers other than uint8 are values too, as "1 0 0 1" is in a text mesh.
    assert kvx.Mesh(positions, colors=[[1, 0, 0, 1], [0, 1, 1, 0]]).colors.tolist() == \
        [0xFF0000FF, 0x00FFFF00]
    # Bytes red, green, blue, alpha, encoded in the order asked for.
    rgba = np.array([[0x11, 0x22, 0x33, 0x44], [1, 2, 3, 4]], dtype=np.uint8)
    argb = kvx.Mesh(positions, colors=rgba)
    assert argb.colors.tolist() == [0x44112233, 0x04010203]
    assert argb.rgba().tolist() == rgba.tolist()
    as_rgba = kvx.Mesh(positions, colors=rgba, color_order="rgba")
    assert as_rgba.colors.tolist() == [0x11223344, 0x01020304]
    assert as_rgba.rgba("rgba").tolist() == rgba.tolist()
    assert as_rgba.rgba("argb").tolist() == [[0x22, 0x33, 0x44, 0x11], [2, 3, 4, 1]]
    # Defaults: white, and kvxconv1's fixed colour in version 1.
    assert kvx.Mesh(positions).colors.tolist() == [0xFFFFFFFF] * 2
    assert kvx.Mesh(positions, version=1).colors.tolist() == [0xFFFF0000] * 2
    with pytest.raises(ValueError, match="neither argb nor rgba"):
        argb.rgba("bgra")


@pytest.mark.parametrize("colors, message", [
    ([[0, 0, 0, 0], [0, 1.5, 0, 0]],
     "vertex 1: colour value 1.5 times 255 is outside 0 to 255"),
    ([[0, 0, 0, -0.004], [0, 0, 0, 0]],
     "vertex 0: colour value -0.004 times 255 is outside 0 to 255"),
    ([[0, 0, 0, 0], [0, float("nan"), 0, 0]], "vertex 1: colour value nan is not a number"),
    ([5, -1], "vertex 1: colour word -1 is outside 0 to 4294967295"),
    ([2**32, 0], "vertex 0: colour word 4294967296 is outside 0 to 4294967295"),
    ([[1, 0, 0, 1], [5, 6, 7, 8]], "vertex 1: colour value 5 times 255 is outside 0 to 255"),
    ([["a"] * 4] * 2, "colors must be .*; got <U1 of shape \\(2, 4\\)"),
    ([1.0, 2.0], "colors must be .*; got float64 of shape \\(2,\\)"),
    ([1, 2, 3], "colors has 3 rows; positions has 2"),
])
def test_colours_refused(colors, message):
    with pytest.raises(kvx.KvxInputError, match=f"^{message}$"):
        kvx.Mesh(np.zeros((2, 3)), colors=colors)


def test_uv_is_the_text_meshs_and_stored_uv_the_files(tmp_path):
    program_file(4, example("cube9.cmsh"), tmp_path / "cube.kvx")
    data = (tmp_path / "cube.kvx").read_bytes()
    # The file's own records: 15 header bytes, then 36 per vertex, u v first.
    assert [list(struct.unpack_from("<2f", data, 15 + 36 * k)) for k in range(8)] == \
        CUBE9_STORED_UV
    for mesh in (kvx.load(tmp_path / "cube.kvx"), kvx.read_cmsh(example("cube9.cmsh"), 9)):
        assert mesh.uv.dtype == np.float32 and mesh.stored_uv.dtype == np.float32
        assert mesh.uv.tolist() == CUBE9_UV
        assert mesh.texcoords().tolist() == CUBE9_UV  # the earlier name
        assert mesh.stored_uv.tolist() == CUBE9_STORED_UV
        assert mesh.stored_uv.base is mesh and not mesh.stored_uv.flags.writeable
        positions = mesh.positions
        # Each way of giving them back builds the program's file.
        for given in ({"uv": mesh.uv}, {"texcoords": mesh.uv}, {"stored_uv": mesh.stored_uv}):
            kvx.Mesh(positions, mesh.faces, colors=mesh.colors, name="cube", version=4,
                     **given).save(tmp_path / "again.kvx")
            assert (tmp_path / "again.kvx").read_bytes() == data, given


def test_uv_rounds_in_single_precision():
    positions = np.zeros((2, 3))
    given = np.array([[0.5, 0.25], [0.1, 0.1]], dtype=np.float32)
    mesh = kvx.Mesh(positions, uv=given, version=4)
    # As kvxconv4 stores them: v becomes 1 - v, in single precision.
    assert mesh.stored_uv.tolist() == [[0.5, 0.75], [np.float32(0.1), np.float32(0.9)]]
    # uv flips back, in single precision too: 0.1 comes back as 1 - 0.9
    # (0.100000024), but given once more it is stored as before.
    assert mesh.uv.tolist() == [[0.5, 0.25], [np.float32(0.1), np.float32(0.100000024)]]
    again = kvx.Mesh(positions, uv=mesh.uv, version=4)
    assert again.stored_uv.tobytes() == mesh.stored_uv.tobytes()
    same = kvx.Mesh(positions, stored_uv=mesh.stored_uv, version=4)
    assert same.stored_uv.tobytes() == mesh.stored_uv.tobytes()
    assert kvx.Mesh(positions, version=4).stored_uv.tolist() == [[0, 0], [0, 0]]
    assert kvx.Mesh(positions, version=4).uv.tolist() == [[0, 1], [0, 1]]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
def test_positions_round_to_nearest_float32():
    values = np.array([[0.1, 1 / 3, 1e40], [-2.0000001, 16777217.0, 5e-46]])
    mesh = kvx.Mesh(values, version=-1)
    np.testing.assert_array_equal(mesh.positions, values.astype(np.float32))
    assert mesh.positions[0, 2] == np.inf and mesh.positions[1, 1] == 16777216


@pytest.mark.parametrize("arguments, message", [
    ({"faces": [[0, 1, 3]]}, "face 0 names vertex 3 of 3"),
    ({"faces": [[0, 1, 2], [2, -1, 0]]}, "face 1 names vertex -1 of 3"),
    ({"faces": np.array([[0, 1, 2**63]], dtype=np.uint64)},
     "face 0 names vertex 9223372036854775808 of 3"),
    ({"faces": [[0.0, 1.0, 2.0]]}, "faces must be an \\(F, 3\\) array of vertex indices; "
     "got float64"),
    ({"faces": [0, 1, 2]},
     "faces must be an \\(F, 3\\) array of vertex indices; got shape \\(3,\\)"),
    ({"edges": [[0, 3]], "version": -2}, "edge 0 names vertex 3 of 3"),
    ({"faces": [[0, 1, 2]], "version": -2}, "version -2 \\(a wireframe\\) takes edges=, not faces"),
    ({"faces": [[0, 1, 2]], "version": -1}, "version -1 \\(a point set\\) takes no faces"),
    ({"edges": [[0, 1]]}, "edges= is for version -2 \\(a wireframe\\)"),
    ({"version": 5}, "version must be one of 1, 2, 3, 4, -1, -2; got 5"),
    ({"version": -3}, "version must be one of 1, 2, 3, 4, -1, -2; got -3"),
    ({"uv": [[0, 0]] * 3}, "texture coordinates are stored by version 4 only"),
    ({"stored_uv": [[0, 0]] * 3, "version": 3}, "texture coordinates are stored by version 4 only"),
    ({"uv": [[0, 0]] * 3, "stored_uv": [[0, 0]] * 3, "version": 4},
     "give uv \\(as a text mesh has them\\) or stored_uv \\(as stored\\), not both"),
    ({"texcoords": [[0, 0]] * 3, "stored_uv": [[0, 0]] * 3, "version": 4},
     "give texcoords \\(as a text mesh has them\\) or stored_uv \\(as stored\\), not both"),
    ({"uv": [[0, 0]] * 3, "texcoords": [[0, 0]] * 3, "version": 4},
     "texcoords is another name for uv: give one of them"),
    ({"texcoords": [[0, 0]] * 2, "version": 4}, "texcoords has 2 rows; positions has 3"),
    ({"uv": [[0, 0]] * 4, "version": 4}, "uv has 4 rows; positions has 3"),
    ({"stored_uv": [[0, 0, 0]] * 3, "version": 4},
     "stored_uv must be an \\(N, 2\\) array of numbers; got shape \\(3, 3\\)"),
    ({"name": "x"}, "a name is stored by version 4 only"),
    ({"name": "n" * 256, "version": 4}, "the name is 256 characters long; at most 255 fit"),
    ({"name": "é" * 128, "version": 4}, "the name is 256 characters long; at most 255 fit"),
    ({"name": "a\0b", "version": 4}, 'the name "a\\\\x00b" holds a zero byte'),
])
def test_arguments_refused_with_the_converters_words(arguments, message):
    with pytest.raises(kvx.KvxInputError, match=f"^{message}$"):
        kvx.Mesh(np.zeros((3, 3)), **arguments)


def test_positions_refused():
    for positions, message in [(np.zeros((3, 2)), "got shape \\(3, 2\\)"),
                               (np.zeros(6), "got shape \\(6,\\)"),
                               ([["a", "b", "c"]], "got <U1")]:
        with pytest.raises(kvx.KvxInputError,
                           match=f"^positions must be an \\(N, 3\\) array of numbers; {message}$"):
            kvx.Mesh(positions)
    # Every vertex index that the 16 bits can hold is accepted.
    big = kvx.Mesh(np.zeros((70000, 3)), [[0, 65535, 1]], version=1)
    assert big.faces.tolist() == [[0, 65535, 1]]
    with pytest.raises(kvx.KvxInputError,
                       match="^face 0 names vertex 65536, beyond the 16-bit index range"):
        kvx.Mesh(np.zeros((70000, 3)), [[0, 65536, 1]], version=1)


def test_names_round_trip_as_bytes(tmp_path):
    raw = b"caf\xc3\xa9-\xff"
    mesh = kvx.Mesh(np.zeros((1, 3)), name=raw, version=4)
    assert mesh.name == raw.decode("utf-8", "surrogateescape")
    mesh.save(tmp_path / "n.kvx")
    assert (tmp_path / "n.kvx").read_bytes().endswith(raw)
    again = kvx.Mesh(np.zeros((1, 3)), name=kvx.load(tmp_path / "n.kvx").name, version=4)
    again.save(tmp_path / "m.kvx")
    assert (tmp_path / "m.kvx").read_bytes() == (tmp_path / "n.kvx").read_bytes()


def test_threads_build_and_save_alike(tmp_path):
    # Builds of versions 3 and 4 share the normal pass's global array.
    from concurrent.futures import ThreadPoolExecutor

    rng = random.Random(5)
    work = []
    for k in range(24):
        n = rng.randint(3, 400)
        positions = np.random.default_rng(k).standard_normal((n, 3))
        faces = np.random.default_rng(k + 100).integers(0, n, (rng.randint(1, 800), 3))
        work.append((k, positions, faces))

    def build(item):
        k, positions, faces = item
        mesh = kvx.Mesh(positions, faces, version=3 + k % 2)
        mesh.save(tmp_path / f"t{k}.kvx")
        return mesh.normals.copy()

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(build, work * 3))
    for (k, positions, faces), normals in zip(work * 3, results):
        alone = kvx.Mesh(positions, faces, version=3 + k % 2)
        np.testing.assert_array_equal(normals, alone.normals)
        alone.save(tmp_path / "alone.kvx")
        assert (tmp_path / f"t{k}.kvx").read_bytes() == (tmp_path / "alone.kvx").read_bytes()


def test_pickled_meshes_are_their_files(tmp_path):
    """The state pickle keeps is the file that save() writes, and it loads
    back with the loader's checks (Dask moves meshes this way)."""
    import pickle

    meshes = [kvx.read_cmsh(example, version=v) for v, example in
              [(1, example("cube3.cmsh")), (3, test_data("irregular7.cmsh")),
               (4, test_data("irregular9.cmsh")), (-1, test_data("irregular7.cmsh")),
               (-2, test_data("irregular7.cmsh"))]]
    meshes.append(kvx.Mesh(np.empty((0, 3)), version=2))
    record = struct.pack("<I6f", 1, 0, 0, 1, 2, 3, 4)
    meshes.append(kvx.load_bytes(b"KVX" + struct.pack("<IIi", 1, 1, -3) + record + bytes(12)))
    for mesh in meshes:
        state = mesh.__getstate__()[0]
        if mesh.version != -3:
            mesh.save(tmp_path / "m.kvx")
            assert state == (tmp_path / "m.kvx").read_bytes()
        back = pickle.loads(pickle.dumps(mesh))
        assert back.__getstate__()[0] == state
        assert back.positions.base is back
    with pytest.raises(kvx.KvxInputError, match="^<pickle>: truncated"):
        kvx.Mesh.__new__(kvx.Mesh).__setstate__((state[:-1],))
    with pytest.raises(ValueError, match="not a pickled kvx.Mesh"):
        kvx.Mesh.__new__(kvx.Mesh).__setstate__(("KVX",))


def test_a_mesh_not_initialised_is_refused(tmp_path):
    bare = kvx.Mesh.__new__(kvx.Mesh)
    assert repr(bare) == "<kvx.Mesh, not initialised>"
    for use in (lambda: bare.positions, lambda: bare.version, lambda: bare.rgba(),
                lambda: bare.save(tmp_path / "x.kvx"), lambda: kvx.Mesh.positions.fget(42)):
        with pytest.raises(TypeError, match="not an initialised kvx.Mesh"):
            use()
    assert not (tmp_path / "x.kvx").exists()
