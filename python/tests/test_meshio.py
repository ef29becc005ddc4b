"""The meshio plugin: reading every version, writing it back byte for byte,
other formats to KVX, refusals, and meshio's command line through
kvx.meshio_cli."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest

meshio = pytest.importorskip("meshio")

import kvx  # noqa: E402
from conftest import (  # noqa: E402
    CUBE9_UV, VALUES, VERSIONS, example, program_file, run_program, write_cmsh)

CELLS = {1: "triangle", 2: "triangle", 3: "triangle", 4: "triangle", -1: "vertex", -2: "line"}


def test_the_format_is_registered():
    assert meshio.extension_to_filetypes[".kvx"] == ["kvx"]
    assert meshio._helpers.reader_map["kvx"] is kvx._meshio.read
    assert meshio._helpers._writer_map["kvx"] is kvx._meshio.write


@pytest.mark.parametrize("version", VERSIONS)
def test_read_and_write_back_the_programs_files(tmp_path, version):
    for seed in range(4):
        src = write_cmsh(tmp_path / f"{seed}.cmsh", seed, VALUES[version], name=f"n{seed}")
        expected = program_file(version, src, tmp_path / f"{seed}.kvx")
        m = meshio.read(tmp_path / f"{seed}.kvx")
        loaded = kvx.load(tmp_path / f"{seed}.kvx")

        assert [b.type for b in m.cells] == [CELLS[version]]
        np.testing.assert_array_equal(m.points, loaded.positions)
        assert m.points.dtype == np.float32 and m.points.flags.writeable
        if version == -1:
            np.testing.assert_array_equal(m.cells[0].data.ravel(), np.arange(loaded.vertex_count))
        else:
            np.testing.assert_array_equal(m.cells[0].data, loaded.indices)
        keys = {"kvx:color"} | ({"kvx:normal"} if version in (3, 4) else set())
        keys |= {"kvx:texcoords"} if version == 4 else set()
        assert set(m.point_data) == keys
        np.testing.assert_array_equal(m.point_data["kvx:color"], loaded.colors)
        if version in (3, 4):
            np.testing.assert_array_equal(m.point_data["kvx:normal"], loaded.normals)
        if version == 4:
            np.testing.assert_array_equal(m.point_data["kvx:texcoords"][:, 0],
                                          loaded.stored_uv[:, 0])
            np.testing.assert_array_equal(m.point_data["kvx:texcoords"][:, 1],
                                          np.float32(1) - loaded.stored_uv[:, 1])
        assert m.info == {"kvx:version": version, "kvx:name": f"n{seed}" if version == 4 else ""}

        # Written back: the same bytes; versions 1 and 2 are asked for.
        extra = {"version": version} if version in (1, 2) else {}
        meshio.write(tmp_path / "back.kvx", m, **extra)
        assert (tmp_path / "back.kvx").read_bytes() == expected, (version, seed)


def test_texcoords_are_the_text_meshs(tmp_path):
    program_file(4, example("cube9.cmsh"), tmp_path / "cube.kvx")
    assert meshio.read(tmp_path / "cube.kvx").point_data["kvx:texcoords"].tolist() == CUBE9_UV


def test_other_formats_to_kvx(tmp_path):
    rng = np.random.default_rng(3)
    points = rng.standard_normal((50, 3))  # float64: rounded to float32 on the way
    triangles = rng.integers(0, 50, (80, 3))
    colors = rng.integers(0, 2**32, 50, dtype=np.uint64).astype(np.uint32)
    meshio.write(tmp_path / "part.vtu", meshio.Mesh(points, [("triangle", triangles)],
                                                    point_data={"kvx:color": colors}))
    meshio.write(tmp_path / "part.kvx", meshio.read(tmp_path / "part.vtu"))
    kvx.Mesh(points, triangles, colors=colors).save(tmp_path / "direct.kvx")
    assert (tmp_path / "part.kvx").read_bytes() == (tmp_path / "direct.kvx").read_bytes()

    # Two triangle blocks become one list; texture coordinates make it
    # version 4, whose name comes from name= or info.
    texcoords = rng.uniform(0, 1, (50, 2))
    two = meshio.Mesh(points, [("triangle", triangles[:30]), ("triangle", triangles[30:])],
                      point_data={"kvx:texcoords": texcoords})
    meshio.write(tmp_path / "tex.kvx", two, name="part")
    kvx.Mesh(points, triangles, uv=texcoords, name="part", version=4).save(
        tmp_path / "direct4.kvx")
    assert (tmp_path / "tex.kvx").read_bytes() == (tmp_path / "direct4.kvx").read_bytes()
    two.info = {"kvx:name": "part"}
    meshio.write(tmp_path / "info.kvx", two)
    assert (tmp_path / "info.kvx").read_bytes() == (tmp_path / "direct4.kvx").read_bytes()

    # A point cloud without cells is a point set; 2D points get z = 0.
    with pytest.warns(UserWarning, match="2D points"):
        meshio.write(tmp_path / "flat.kvx", meshio.Mesh(points[:, :2], []))
    flat = kvx.load(tmp_path / "flat.kvx")
    assert flat.version == -1
    np.testing.assert_array_equal(flat.positions[:, 2], 0)


@pytest.mark.parametrize("cells, extra, message", [
    ([("tetra", [[0, 1, 2, 3]])], {}, "kvx: cells of type tetra cannot be written: a KVX file "
     "holds triangles (versions 1 to 4; quad and polygon cells become triangles), lines (-2) "
     "or vertices (-1)"),
    ([("triangle", [[0, 1, 2]]), ("line", [[0, 1]])], {},
     "kvx: a KVX file holds one kind of cell; this mesh has triangle and line"),
    ([("triangle", [[0, 1, 2]])], {"version": -2},
     "kvx: version -2 cannot hold triangle cells; triangles go to versions 1 to 4"),
    ([("line", [[0, 1]])], {"version": 3},
     "kvx: version 3 cannot hold line cells; lines go to version -2"),
    ([("triangle", [[0, 1, 4]])], {}, "kvx: face 0 names vertex 4 of 4"),
    ([("triangle", [[0, 1, 2]])], {"name": "x" * 300, "version": 4},
     "kvx: the name is 300 characters long; at most 255 fit"),
])
def test_what_cannot_be_written(tmp_path, cells, extra, message):
    with pytest.raises(meshio.WriteError) as caught:
        meshio.write(tmp_path / "x.kvx", meshio.Mesh(np.zeros((4, 3)), cells), **extra)
    assert str(caught.value) == message
    assert os.listdir(tmp_path) == []


def test_buffers_and_unreadable_files(tmp_path):
    kvx.Mesh(np.eye(3), [[0, 1, 2]]).save(tmp_path / "t.kvx")
    data = (tmp_path / "t.kvx").read_bytes()
    m = meshio.read(io.BytesIO(data), file_format="kvx")
    np.testing.assert_array_equal(m.points, np.eye(3))
    with pytest.raises(meshio.ReadError, match="^<buffer>: truncated: the header promises 105 "
                                               "bytes, the file has 60$"):
        meshio.read(io.BytesIO(data[:60]), file_format="kvx")
    with pytest.raises(meshio.ReadError, match="open the buffer with 'rb'"):
        meshio.read(io.StringIO("KVX"), file_format="kvx")
    with pytest.raises(meshio.WriteError, match="not to a buffer"):
        meshio.write(io.BytesIO(), m, file_format="kvx")
    (tmp_path / "m3.kvx").write_bytes(b"KVX" + bytes(8) + (-3).to_bytes(4, "little", signed=True))
    with pytest.raises(meshio.ReadError, match="version -3 holds index records"):
        kvx._meshio.read(tmp_path / "m3.kvx")


def meshio_cli(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kvx.__file__)))
    return subprocess.run([sys.executable, "-m", "kvx.meshio_cli", *map(str, args)],
                          capture_output=True, text=True, env=env, cwd=cwd)


def test_meshio_command_line(tmp_path):
    kvx.convert(write_cmsh(tmp_path / "scan.cmsh", 9, 7), tmp_path / "scan.kvx", 3)

    def cli(*args):
        r = meshio_cli(*args)
        assert r.returncode == 0, r.stderr
        return r.stdout

    cli("convert", tmp_path / "scan.kvx", tmp_path / "scan.vtk")
    vtk = meshio.read(tmp_path / "scan.vtk")
    scan = kvx.load(tmp_path / "scan.kvx")
    np.testing.assert_array_equal(vtk.points, scan.positions)
    np.testing.assert_array_equal(vtk.cells[0].data, scan.faces)
    np.testing.assert_array_equal(vtk.point_data["kvx:normal"], scan.normals)

    cli("convert", tmp_path / "scan.vtk", tmp_path / "again.kvx")
    assert (tmp_path / "again.kvx").read_bytes() == (tmp_path / "scan.kvx").read_bytes()
    assert "triangle: %d" % scan.face_count in cli("info", tmp_path / "scan.kvx")


# A cube of six quads, as meshio reads OBJ quads: "quad" cells.
BOX_OBJ = """v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
v 0 0 1
v 1 0 1
v 1 1 1
v 0 1 1
f 1 4 3 2
f 5 6 7 8
f 1 2 6 5
f 2 3 7 6
f 3 4 8 7
f 5 8 4 1
"""


def test_a_quad_obj_converts_as_kvximport_reads_it(tmp_path):
    (tmp_path / "box.obj").write_text(BOX_OBJ)
    assert [b.type for b in meshio.read(tmp_path / "box.obj").cells] == ["quad"]
    r = meshio_cli("convert", "box.obj", "box.kvx", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    box = kvx.load(tmp_path / "box.kvx")
    assert box.faces.tolist()[:4] == [[0, 3, 2], [0, 2, 1], [4, 5, 6], [4, 6, 7]]
    # kvximport fans convex faces the same way, from the same code.
    assert run_program("kvximport", tmp_path / "box.obj", tmp_path / "program.kvx").returncode == 0
    assert (tmp_path / "box.kvx").read_bytes() == (tmp_path / "program.kvx").read_bytes()


@pytest.mark.parametrize("files, args, status, line", [
    ({"bad.obj": "v 0 0 0\nv 1 x 0\nf 1 2 3\n"}, ["convert", "bad.obj", "out.kvx"], 2,
     "bad.obj: cannot be read: ValueError: could not convert string to float: 'x'"),
    ({}, ["convert", "gone.obj", "out.kvx"], 2, "gone.obj: no such file"),
    ({"t.kvx": b"KVX12"}, ["info", "t.kvx"], 2,
     "t.kvx: truncated: the file has 5 bytes, fewer than the 15 of a header"),
    ({"t.kvx": b"KVX12"}, ["convert", "t.kvx", "out.vtk"], 2,
     "t.kvx: truncated: the file has 5 bytes, fewer than the 15 of a header"),
    ({"box.obj": BOX_OBJ}, ["convert", "box.obj", "out.zzz"], 2,
     "out.zzz: Could not deduce file format from path 'out.zzz'."),
    ({"box.obj": BOX_OBJ}, ["convert", "box.obj", "no/out.kvx"], 3,
     "no/out.kvx: No such file or directory"),
    ({"hex.vtk": "hexahedron"}, ["convert", "hex.vtk", "out.kvx"], 2,
     "out.kvx: kvx: cells of type hexahedron cannot be written: a KVX file holds triangles "
     "(versions 1 to 4; quad and polygon cells become triangles), lines (-2) or vertices (-1)"),
])
def test_command_line_failures_are_one_line(tmp_path, files, args, status, line):
    for name, content in files.items():
        if content == "hexahedron":
            meshio.write(tmp_path / name, meshio.Mesh(np.eye(8, 3), [("hexahedron", [range(8)])]))
        elif isinstance(content, bytes):
            (tmp_path / name).write_bytes(content)
        else:
            (tmp_path / name).write_text(content)
    before = sorted(os.listdir(tmp_path))
    r = meshio_cli(*args, cwd=tmp_path)
    assert (r.returncode, r.stderr, r.stdout) == (status, f"kvx.meshio_cli: {line}\n", "")
    assert sorted(os.listdir(tmp_path)) == before  # nothing written


def test_command_line_usage_is_status_1(tmp_path):
    r = meshio_cli("convert", "only-one.obj")
    assert r.returncode == 1 and "Traceback" not in r.stderr
    assert "the following arguments are required: outfile" in r.stderr
