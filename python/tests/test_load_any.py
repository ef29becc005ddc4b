"""kvx.load_any: every format kvximport reads, saved byte for byte as
kvximport writes it, splits in its parts, and its failures with its words."""

import struct
import warnings

import pytest

import kvx
from conftest import program_message, run_program

TETRA_OFF = "OFF\n4 4 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 0 3 2\n3 1 2 3\n"
COLOURED_PLY = """ply
format ascii 1.0
element vertex 3
property float x
property float y
property float z
property uchar red
property uchar green
property uchar blue
element face 1
property list uchar int vertex_indices
end_header
0 0 0 255 0 0
1 0 0 0 255 0
0 1 0 0 0 255
3 0 1 2
"""
TEXTURED_OBJ = """o panel
v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
vt 0 0
vt 1 0
vt 1 1
vt 0 1
f 1/1 2/2 3/3
f 1/1 3/3 4/4
"""


def binary_stl(triangles, announced=None):
    data = b"\0" * 80 + struct.pack("<I", len(triangles) if announced is None else announced)
    for t in triangles:
        data += struct.pack("<12fH", 0, 0, 0, *[c for v in t for c in v], 0)
    return data


def kvximport(tmp_path, src, *options):
    """kvximport's file (or parts) for src: a list of bytes."""
    out = tmp_path / "program.kvx"
    r = run_program("kvximport", *options, src, out)
    assert r.returncode == 0, r.stderr
    if "--split" not in options:
        return [out.read_bytes()]
    parts, k = [], 1
    while (tmp_path / f"program-{k}.kvx").exists():
        parts.append((tmp_path / f"program-{k}.kvx").read_bytes())
        k += 1
    return parts


def saved(mesh, tmp_path):
    path = tmp_path / "mine.kvx"
    mesh.save(path)
    return path.read_bytes()


@pytest.mark.parametrize(
    "name, content, arguments, options",
    [
        ("tetra.off", TETRA_OFF, {}, ()),
        ("tetra.off", TETRA_OFF, {"version": -2}, ("--layout", "-2")),
        ("tetra.off", TETRA_OFF, {"layout": -2}, ("--layout", "-2")),
        ("tetra.off", TETRA_OFF, {"layout": "wire"}, ("--layout", "-2")),
        ("tetra.off", TETRA_OFF, {"layout": "points"}, ("--layout", "-1")),
        ("tetra.off", TETRA_OFF, {"normals": "smooth"}, ()),
        ("tri.ply", COLOURED_PLY, {"layout": 2}, ("--layout", "2")),
        ("panel.obj", TEXTURED_OBJ, {"layout": 3}, ("--layout", "3")),  # texture dropped
        ("tri.ply", COLOURED_PLY, {}, ()),
        ("tri.ply", COLOURED_PLY, {"version": 1}, ("--layout", "1")),
        ("panel.obj", TEXTURED_OBJ, {}, ()),  # texture coordinates: version 4, named "panel"
        ("panel.obj", TEXTURED_OBJ, {"name": "door"}, ("--name", "door")),
        ("panel.dat", TEXTURED_OBJ, {"format": "obj"}, ("--format", "obj")),
        ("two.stl", binary_stl([[(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(1, 0, 0), (1, 1, 0), (0, 1, 0)]]),
         {}, ()),  # welded: 4 vertices
        ("two.stl", binary_stl([[(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(1, 0, 0), (1, 1, 0), (0, 1, 0)]]),
         {"weld": False}, ("--no-weld",)),
    ],
)
def test_gives_kvximports_bytes(tmp_path, name, content, arguments, options):
    src = tmp_path / name
    if isinstance(content, bytes):
        src.write_bytes(content)
    else:
        src.write_text(content)
    mesh = kvx.load_any(src, **arguments)
    assert isinstance(mesh, kvx.Mesh)
    assert saved(mesh, tmp_path) == kvximport(tmp_path, src, *options)[0]


def test_panel_keeps_its_texture_and_name(tmp_path):
    src = tmp_path / "panel.obj"
    src.write_text(TEXTURED_OBJ)
    mesh = kvx.load_any(src)
    assert (mesh.version, mesh.name, mesh.vertex_count, mesh.face_count) == (4, "panel", 4, 2)
    assert mesh.texcoords().tolist() == [[0, 0], [1, 0], [1, 1], [0, 1]]


def test_splits_as_kvximport_does(tmp_path):
    # A 300 x 300 grid: 90,000 vertices, too many for one KVX mesh.
    n = 300
    lines = ["OFF", f"{n * n} {2 * (n - 1) ** 2} 0"]
    lines += [f"{x} {y} 0" for y in range(n) for x in range(n)]
    for y in range(n - 1):
        for x in range(n - 1):
            a = y * n + x
            lines += [f"3 {a} {a + 1} {a + n + 1}", f"3 {a} {a + n + 1} {a + n}"]
    src = tmp_path / "grid.off"
    src.write_text("\n".join(lines) + "\n")

    with pytest.raises(kvx.KvxInputError) as e:
        kvx.load_any(src)
    assert str(e.value) == f"{src}: 90000 vertices; a KVX file holds at most 65536 (use --split)"

    parts = kvx.load_any(src, split=True)
    expected = kvximport(tmp_path, src, "--split")
    assert len(parts) == len(expected) >= 2
    assert [saved(p, tmp_path) for p in parts] == expected
    assert all(p.vertex_count <= 65536 for p in parts)
    assert sum(p.face_count for p in parts) == 2 * (n - 1) ** 2

    small = tmp_path / "tetra.off"
    small.write_text(TETRA_OFF)
    [whole] = kvx.load_any(small, split=True)  # one part: still a list
    assert whole.vertex_count == 4


def test_failures_carry_kvximports_words(tmp_path):
    cases = {
        "broken.ply": "ply\n",
        "short.off": "OFF\n3 1 0\n0 0 0\n",
        "bad.obj": "v 0 0 0\nf 1 2 3\n",
        "scene.xyz123": "",
    }
    for name, content in cases.items():
        src = tmp_path / name
        src.write_text(content)
        status, message = program_message("kvximport", src, tmp_path / "program.kvx")
        assert status == 2
        with pytest.raises(kvx.KvxInputError) as e:
            kvx.load_any(src)
        assert str(e.value) == message, name

    missing = tmp_path / "missing.ply"
    with pytest.raises(kvx.KvxFileNotFoundError) as e:
        kvx.load_any(missing)
    assert e.value.errno == 2 and str(e.value) == f"{missing}: No such file or directory"
    with pytest.raises(kvx.KvxInputError):
        kvx.load_any(missing, version=5)
    with pytest.raises(kvx.KvxInputError):
        kvx.load_any(missing, color_order="bgra")


def test_warnings_become_python_warnings(tmp_path):
    src = tmp_path / "lying.stl"
    src.write_bytes(
        binary_stl([[(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(1, 0, 0), (1, 1, 0), (0, 1, 0)]], announced=1)
    )
    r = run_program("kvximport", src, tmp_path / "program.kvx")
    assert r.returncode == 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = kvx.load_any(src)
    assert [str(w.message) for w in caught] == [
        line[len("kvximport: "):] for line in r.stderr.decode().splitlines()
    ]
    assert caught and mesh.face_count == 2


@pytest.mark.parametrize("arguments, error, message", [
    ({"layout": 5}, kvx.KvxInputError,
     'layout must be one of 1, 2, 3, 4, -1, -2, "points" or "wire"; got 5'),
    ({"layout": "dots"}, kvx.KvxInputError,
     'layout must be one of 1, 2, 3, 4, -1, -2, "points" or "wire"; got \'dots\''),
    ({"layout": True}, kvx.KvxInputError,
     'layout must be one of 1, 2, 3, 4, -1, -2, "points" or "wire"; got True'),
    ({"layout": "3"}, kvx.KvxInputError,
     'layout must be one of 1, 2, 3, 4, -1, -2, "points" or "wire"; got \'3\''),
    ({"version": "wire"}, kvx.KvxInputError,
     "version must be one of 1, 2, 3, 4, -1, -2; got 'wire'"),
    ({"layout": 3, "version": 3}, TypeError,
     "layout= and its alias version= name the same thing; give one"),
    ({"normals": "flat"}, kvx.KvxInputError, 'normals must be "smooth" or "source"; got \'flat\''),
    ({"normals": None}, TypeError, "normals must be str; got NoneType None"),
])
def test_options_are_checked_before_reading(tmp_path, arguments, error, message):
    with pytest.raises(error) as caught:
        kvx.load_any(tmp_path / "missing.off", **arguments)
    assert str(caught.value) == message


NORMALS_OBJ = """v 0 0 0
v 1 0 0
v 0 1 0
vn 0 0.6 0.8
vn 0.6 0 0.8
vn 0 0 1
f 1//1 2//2 3//3
"""


@pytest.mark.parametrize("normals", ["smooth", "source"])
def test_normals_as_kvximport_chooses_them(tmp_path, normals):
    if b"--normals" not in run_program("kvximport", "--help").stdout:
        pytest.skip("kvximport has no --normals yet")
    src = tmp_path / "lit.obj"
    src.write_text(NORMALS_OBJ)
    mesh = kvx.load_any(src, normals=normals)
    assert saved(mesh, tmp_path) == kvximport(tmp_path, src, "--normals", normals)[0]
