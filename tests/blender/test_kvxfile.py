"""The add-on's pure-Python reader and writer (blender/io_mesh_kvx/kvxfile.py)
against the programs and the kvx module: the same arrays and messages on
reading, the same bytes on writing (normals bit for bit), the same parts
as kvximport --split. Runs in plain Python: the module imports no bpy."""

import importlib.util
import os
import struct
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("kvxfile", ROOT / "blender/io_mesh_kvx/kvxfile.py")
kvxfile = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(kvxfile)

kvx = pytest.importorskip("kvx")

PROGRAMS = {1: "kvxconv1", 2: "kvxconv2", 3: "kvxconv3", 4: "kvxconv4", -1: "kvxpoints",
            -2: "kvxwire"}
EXAMPLES = Path(os.environ.get("KVX_EXAMPLES", ROOT / "examples"))
TEST_DATA = Path(os.environ.get("KVX_TEST_DATA", ROOT / "tests/data"))
ASSIMP_OBJ = Path("/usr/share/assimp/models/OBJ")


def program(name):
    path = os.environ.get(name.upper())
    if not path or not os.path.exists(path):
        pytest.skip(f"{name.upper()} does not name the built {name} (run through CTest)")
    return path


def run(name, *args):
    r = subprocess.run([program(name), *map(str, args)], capture_output=True,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 0, r.stderr
    return r


def text_for(version):
    return EXAMPLES / ("cube3.cmsh" if version == 1 else
                       "cube9.cmsh" if version == 4 else "cube7.cmsh")


def same_arrays(a, b):
    if a is None or b is None:
        return a is None and b is None
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def random_text(path, seed, scale, vertices=2000, faces=12000, values=7):
    """A text mesh of random positions (scale: "unit", "wide", "grid")."""
    rng = np.random.default_rng(seed)
    if scale == "wide":
        p = rng.standard_normal((vertices, 3)) * 10.0 ** rng.integers(-6, 7, (vertices, 1))
    elif scale == "grid":
        p = rng.integers(-40, 40, (vertices, 3)) / 8
    else:
        p = rng.random((vertices, 3))
    p = p.astype(np.float32)
    t = rng.integers(0, vertices, (faces, 3))
    lead = "0.5 0.25 " if values == 9 else ""
    lines = [f"{vertices} {faces}"]
    lines += [lead + "1 0.2 0.4 0.6 %r %r %r" % tuple(map(float, row)) for row in p]
    lines += ["%d %d %d" % tuple(row) for row in t]
    if values == 9:
        lines.append("random")
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.mark.parametrize("version", sorted(PROGRAMS))
def test_every_version_reads_as_the_module_loads_and_writes_the_programs_bytes(version, tmp_path):
    for source in (text_for(version), TEST_DATA / ("irregular9.cmsh" if version == 4
                                                    else "irregular7.cmsh")):
        if version == 1 and source.name.startswith("irregular"):
            continue
        out = tmp_path / "m.kvx"
        run(PROGRAMS[version], source, out)
        expected = out.read_bytes()
        data = kvxfile.read(out)
        mesh = kvx.load(out)
        assert data.version == mesh.version == version
        assert data.name == mesh.name
        assert data.face_count == mesh.face_count
        for field in ("positions", "colors", "normals", "stored_uv", "faces", "edges", "uv"):
            assert same_arrays(getattr(data, field), getattr(mesh, field)), field
        # Written back, normals computed again: the program's bytes.
        assert kvxfile.file_bytes(data) == expected
        kvxfile.write(tmp_path / "again.kvx", data)
        assert (tmp_path / "again.kvx").read_bytes() == expected
        assert kvxfile.parse(expected).positions.tobytes() == data.positions.tobytes()


def test_empty_meshes_are_the_programs_files(tmp_path):
    (tmp_path / "empty.cmsh").write_text("0 0\n")
    for version in (3, -1, -2):
        run(PROGRAMS[version], tmp_path / "empty.cmsh", tmp_path / "empty.kvx")
        data = kvxfile.read(tmp_path / "empty.kvx")
        assert data.vertex_count == 0
        assert kvxfile.file_bytes(data) == (tmp_path / "empty.kvx").read_bytes()


def test_normals_of_positions_that_are_not_finite(tmp_path):
    # Everything but the sign of a normal that is not a number is the
    # converters'; the add-on warns of the rest.
    text = tmp_path / "nan.cmsh"
    text.write_text("6 5\n1 1 1 1 0 0 0\n1 1 1 1 inf 0 0\n1 1 1 1 0 nan 0\n"
                    "1 1 1 1 -inf 1 0\n1 1 1 1 1e38 3e38 0\n1 1 1 1 1e-45 1e-40 0\n"
                    "0 1 2\n1 2 3\n0 4 3\n0 1 4\n5 0 4\n")
    run("kvxconv3", text, tmp_path / "nan.kvx")
    data = kvxfile.read(tmp_path / "nan.kvx")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # and no NumPy warning on the way
        got = kvxfile.smooth_normals(data.positions, data.faces).view(np.uint32)
    want = data.normals.view(np.uint32)
    assert (got & 0x7FFFFFFF).tolist() == (want & 0x7FFFFFFF).tolist()
    assert (got[np.isfinite(data.normals)] == want[np.isfinite(data.normals)]).all()


@pytest.mark.parametrize("scale", ["unit", "wide", "grid"])
def test_normals_equal_the_converters_bit_for_bit_on_random_meshes(scale, tmp_path):
    for seed in (1, 2):
        for values, version in ((7, 3), (9, 4)):
            text = random_text(tmp_path / "r.cmsh", seed, scale, values=values)
            run(PROGRAMS[version], text, tmp_path / "r.kvx")
            expected = (tmp_path / "r.kvx").read_bytes()
            data = kvxfile.read(tmp_path / "r.kvx")
            assert kvxfile.file_bytes(data) == expected, (scale, seed, version)


def test_normals_equal_the_converters_on_real_meshes(tmp_path):
    models = [ASSIMP_OBJ / n for n in ("WusonOBJ.obj", "spider.obj", "regr01.obj")]
    models = [m for m in models if m.exists()] + [TEST_DATA / "concave_polygon.obj"]
    for model in models:
        for layout in ("3", "4"):
            out = tmp_path / "real.kvx"
            run("kvximport", "--layout", layout, model, out)
            data = kvxfile.read(out)
            assert data.faces is not None and len(data.faces) > 0
            assert kvxfile.file_bytes(data) == out.read_bytes(), model


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def test_a_cross_product_that_needs_the_extended_format(tmp_path):
    # (P2 - P1) x (P0 - P1)'s x is exactly (1 + 2^-12)^2 + 2^-60: halfway
    # between two floats in double, just above it in the extended format.
    # Its y (2^-30) and z keep the normal off the axes, so that the last
    # bit of x shows in the unit vector.
    one = 1 + 2.0 ** -12
    tiny = 2.0 ** -30
    text = tmp_path / "ext.cmsh"
    text.write_text(f"3 1\n1 1 1 1 1 {-tiny!r} {one!r}\n1 1 1 1 0 0 0\n"
                    f"1 1 1 1 0 {one!r} {tiny!r}\n0 1 2\n")
    run("kvxconv3", text, tmp_path / "ext.kvx")
    data = kvxfile.read(tmp_path / "ext.kvx")
    assert kvxfile.file_bytes(data) == (tmp_path / "ext.kvx").read_bytes()
    # Computed in double alone, the face normal would differ.
    e1 = data.positions[2] - data.positions[1]
    e2 = data.positions[0] - data.positions[1]
    naive = np.float32(float(e1[1]) * float(e2[2]) - float(e1[2]) * float(e2[1]))
    exact = kvxfile._difference_of_products(e1[1:2], e2[2:3], e1[2:3], e2[1:2])[0]
    assert naive != exact


def test_the_sum_of_squares_is_rounded_as_the_converters_round_it():
    # Lengths whose square root lies within a double's step of half a
    # float's: found by search over floats, each checked against an exact
    # computation with fractions.
    from fractions import Fraction
    rng = np.random.default_rng(7)
    v = rng.random((20000, 3)).astype(np.float32)
    got = kvxfile._length(v[:, 0], v[:, 1], v[:, 2])
    for k in range(0, 20000, 97):
        s = kvxfile._round_significand(Fraction(float(v[k, 0])) ** 2 +
                                       Fraction(float(v[k, 1])) ** 2, 64)
        s = kvxfile._round_significand(s + Fraction(float(v[k, 2])) ** 2, 64)
        assert got[k] == np.float32(np.sqrt(float(s)))
    # Lengths close to half a float's step, which double alone cannot
    # decide: 1 + 2^-23 has the root 1 + 2^-24 - 2^-49 ..., just below it.
    near = np.array([[1, 2.0 ** -12, 2.0 ** -12], [1, 2.0 ** -12, f32(0x39800001)],
                     [f32(0x3F800001), 2.0 ** -12, 2.0 ** -12]], dtype=np.float32)
    got = kvxfile._length(near[:, 0], near[:, 1], near[:, 2])
    for k, (x, y, z) in enumerate(near.tolist()):
        s = kvxfile._round_significand(Fraction(x) ** 2 + Fraction(y) ** 2, 64)
        s = kvxfile._round_significand(s + Fraction(z) ** 2, 64)
        assert got[k] == np.float32(np.sqrt(float(s))), k
    assert got[0] == np.float32(1)
    # The rounding helpers at their limits.
    assert kvxfile._to_float32(Fraction(1) + Fraction(1, 2 ** 24)) == np.float32(1)
    assert kvxfile._to_float32(Fraction(1) + Fraction(3, 2 ** 25)) == np.float32(f32(0x3F800001))
    assert kvxfile._to_float32(Fraction(3, 2 ** 150)) == np.float32(f32(2))
    assert kvxfile._to_float32(Fraction(2) ** 128) == np.float32(np.inf)
    assert kvxfile._round_significand(Fraction(2 ** 64 + 1), 64) == 2 ** 64
    assert kvxfile._round_significand(Fraction(2 ** 64 + 3), 64) == 2 ** 64 + 4


def test_vertex_normals_add_in_face_order():
    # A vertex named by many faces: its sum is in face order, float by float.
    rng = np.random.default_rng(3)
    positions = rng.standard_normal((40, 3)).astype(np.float32)
    faces = np.array([[0, k, k + 1] for k in range(1, 39)] + [[5, 5, 6], [7, 0, 7]])
    normals = kvxfile.face_normals(positions, faces)
    total = np.zeros((40, 3), dtype=np.float32)
    for k, face in enumerate(faces):
        for corner in face:
            total[corner] = total[corner] + normals[k]
    expected = kvxfile._normalize(total)
    got = kvxfile.smooth_normals(positions, faces)
    assert got.tobytes() == expected.tobytes()
    assert kvx.Mesh(positions, faces).normals.tobytes() == got.tobytes()


def test_bad_files_get_the_modules_messages(tmp_path):
    good = tmp_path / "good.kvx"
    run("kvxconv4", EXAMPLES / "cube9.cmsh", good)
    content = good.read_bytes()
    cases = {f"prefix{n}": content[:n] for n in range(len(content))}
    cases["version7"] = content[:11] + struct.pack("<i", 7) + content[15:]
    cases["nomagic"] = b"XYZ" + content[3:]
    cases["nomagic_bad_version"] = b"XYZ" + content[3:11] + struct.pack("<i", 9)
    cases["long_name"] = content + b"n" * 300
    cases["name255"] = content[:-4] + b"n" * 255
    for label, data in cases.items():
        path = tmp_path / f"{label}.kvx"
        path.write_bytes(data)
        try:
            mesh = kvx.load(path)
        except kvx.KvxError as e:
            with pytest.raises(kvxfile.KvxFileError) as caught:
                kvxfile.read(path)
            assert str(caught.value) == str(e), label
            with pytest.raises(kvxfile.KvxFileError) as caught:
                kvxfile.parse(data, str(path))
            assert str(caught.value) == str(e), label
        else:
            assert kvxfile.read(path).name == mesh.name, label
    for path in (tmp_path / "missing.kvx", tmp_path):
        with pytest.raises(kvx.KvxError) as expected:
            kvx.load(path)
        with pytest.raises(kvxfile.KvxFileError) as caught:
            kvxfile.read(path)
        assert str(caught.value) == str(expected.value)


def test_a_failed_write_leaves_the_old_file_and_no_other(tmp_path):
    data = kvxfile.read(TEST_DATA / "cube-v3.kvx")
    target = tmp_path / "keep.kvx"
    target.write_bytes(b"old")
    bad = kvxfile.KvxData(3, data.positions, data.colors, faces=data.faces)
    bad.faces = None  # fails while the bytes are made
    with pytest.raises(Exception):
        kvxfile.write_all([(tmp_path / "first.kvx", data), (target, bad)])
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.kvx"]
    with pytest.raises(kvxfile.KvxFileError):
        kvxfile.write(tmp_path / "no" / "such.kvx", data)


def grid(columns, rows):
    """A grid of columns x rows vertices, two triangles per cell."""
    y, x = np.mgrid[0:rows, 0:columns]
    positions = np.stack([x, y, (x * y) % 7], axis=-1).reshape(-1, 3).astype(np.float32)
    a = (y[:-1, :-1] * columns + x[:-1, :-1]).reshape(-1)
    faces = np.stack([np.stack([a, a + 1, a + columns + 1], 1),
                      np.stack([a, a + columns + 1, a + columns], 1)], 1).reshape(-1, 3)
    return positions, faces


def write_obj(path, positions, faces):
    lines = ["v %d %d %d" % tuple(p) for p in positions.astype(int)]
    lines += ["f %d %d %d" % tuple(f + 1) for f in faces]
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("shape", [(300, 230), (300, 300), "limit"])
def test_split_makes_kvximports_parts(shape, tmp_path):
    # A square grid has two widest axes, the first of which is cut; every
    # 1000th triangle left out makes the count odd and puts the middle
    # inside a run of equal centroids, ordered by triangle number. "limit":
    # a half of exactly 65536 vertices, which fits, beside as many copies of
    # one far triangle.
    obj = tmp_path / "big.obj"
    if shape == "limit":
        positions, faces = grid(256, 256)
        positions = np.concatenate([positions, [[1000, 0, 0], [1001, 0, 0], [1000, 1, 0]]])
        faces = np.concatenate([faces, np.tile([65536, 65537, 65538], (len(faces), 1))])
    else:
        positions, faces = grid(*shape)
    if shape == (300, 300):
        faces = np.delete(faces, np.arange(0, len(faces), 1000), axis=0)
        assert len(faces) % 2 == 1
    write_obj(obj, positions, faces)
    run("kvximport", "--split", obj, tmp_path / "big.kvx")
    cells = kvxfile.split(positions, faces)
    paths = kvxfile.part_paths(str(tmp_path / "big.kvx"), len(cells))
    assert len(cells) == 2 if shape == "limit" else len(cells) > 1
    assert [Path(p).name for p in paths] == [f"big-{k}.kvx" for k in range(1, len(cells) + 1)]
    for path, cell in zip(paths, cells):
        members, local = kvxfile.part_of(cell, faces)
        assert len(members) <= kvxfile.MOST_VERTICES
        part = kvxfile.KvxData(3, positions[members], np.full(len(members), 0xFFFFFFFF),
                               faces=local)
        assert kvxfile.file_bytes(part) == Path(path).read_bytes(), path
    assert not Path(kvxfile.part_paths(str(tmp_path / "big.kvx"), len(cells) + 1)[-1]).exists()


def test_names_fit_as_kvximport_fits_them(tmp_path):
    for name in ("plain", "two words\tand\x00more", "é" * 200, "a" + "é" * 127):
        fitted = kvxfile.fit_name(name)
        obj = tmp_path / "t.obj"
        obj.write_bytes(b"o " + name.replace("\x00", "_").encode() +
                        b"\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
        if "\t" in name:
            continue  # OBJ's o line ends a name at white space; checked below
        run("kvximport", "--layout", "4", obj, tmp_path / "t.kvx")
        assert kvx.load(tmp_path / "t.kvx").name == fitted, name
    assert kvxfile.fit_name("two words\tand\x00more") == "two_words_and_more"
    assert len(kvxfile.fit_name("é" * 200).encode()) == 254
    assert len(kvxfile.fit_name("a" + "é" * 127).encode()) == 255
