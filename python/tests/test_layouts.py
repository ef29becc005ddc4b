"""The Python tables read from the library's layout table (kvx._kvx.LAYOUTS):
the table as docs/format.md gives it, and every table and message derived
from it, as literal values; and derived indeed, from a table changed."""

import subprocess
import sys
import textwrap

import pytest

import kvx
import kvx.batch
from conftest import PROGRAMS, VALUES, VERSIONS

# docs/format.md: record sizes, byte offsets, index groups, trailers.
V12 = {"record_size": 16, "fields": {"color": 0, "position": 4}}
V3 = {"record_size": 28, "fields": {"color": 0, "normal": 4, "position": 16}}
LAYOUTS = {
    1: dict(V12, index_values_per_group=3, primitive="triangles", values_per_vertex=3),
    2: dict(V12, index_values_per_group=3, primitive="triangles", values_per_vertex=7),
    3: dict(V3, index_values_per_group=3, primitive="triangles", values_per_vertex=7),
    4: {"record_size": 36, "fields": {"uv": 0, "color": 8, "normal": 12, "position": 24},
        "index_values_per_group": 3, "primitive": "triangles", "values_per_vertex": 9},
    -1: dict(V12, index_values_per_group=0, primitive="points", values_per_vertex=7),
    -2: dict(V12, index_values_per_group=2, primitive="lines", values_per_vertex=7),
    -3: dict(V3, index_values_per_group=6, primitive="records", values_per_vertex=0),
}
VERSION_LIST = "1, 2, 3, 4, -1, -2"


def test_the_table_is_the_formats():
    got = {layout["version"]: layout for layout in kvx._kvx.LAYOUTS}
    assert list(got) == [1, 2, 3, 4, -1, -2, -3]
    for version, expected in LAYOUTS.items():
        expected = dict(expected, version=version, has_name=version == 4,
                        writable=version != -3, program=PROGRAMS.get(version))
        assert got[version] == expected, version


def test_the_derived_tables():
    assert kvx.VERSIONS == VERSIONS == (1, 2, 3, 4, -1, -2)
    assert kvx.PROGRAMS == PROGRAMS
    assert kvx._VALUES_OF == VALUES
    assert kvx._VERSION_OF == {3: 1, 7: 3, 9: 4}
    meshio_plugin = pytest.importorskip("kvx._meshio")
    assert meshio_plugin._WRITTEN == {"triangle": (1, 2, 3, 4), "line": (-2,), "vertex": (-1,)}
    assert [meshio_plugin._default_version(cell, textured) for cell, textured in
            [("triangle", False), ("triangle", True), ("line", False), ("line", True),
             ("vertex", False), ("vertex", True)]] == [3, 4, -2, -2, -1, -1]


def test_the_messages_that_list_versions(tmp_path, capsys):
    for call in (lambda: kvx.convert("a.cmsh", tmp_path / "a.kvx", 5),
                 lambda: kvx.read_cmsh("a.cmsh", version=-3),
                 lambda: kvx.load_any("a.ply", version=0),
                 lambda: kvx.batch.run([], tmp_path, version=7)):
        with pytest.raises(kvx.KvxInputError) as caught:
            call()
        assert str(caught.value).startswith(f"version must be one of {VERSION_LIST}; got ")
    with pytest.raises(kvx.KvxInputError, match="^values must be 3, 7 or 9; got 8$"):
        kvx.read_cmsh("a.cmsh", values=8)
    with pytest.raises(SystemExit):
        kvx.batch.main(["a.cmsh", "--out", str(tmp_path), "--version", "-3"])
    assert f"'-3' is not one of {VERSION_LIST}" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        kvx.batch.main(["--help"])
    help_text = " ".join(capsys.readouterr().out.split())
    assert "the KVX version to write: 1, 2, 3 (default), 4, -1, -2" in help_text


def test_a_changed_table_changes_them():
    """With a layout of version 5 added to the table (a copy of version 3's,
    written by a "kvxconv5" that reads 7 values), and version 4's uv taken
    away, the package's tables and messages follow."""
    script = textwrap.dedent("""
        import importlib, kvx, kvx._kvx
        layouts = [dict(l) for l in kvx._kvx.LAYOUTS]
        layouts.insert(4, dict(layouts[2], version=5, program="kvxconv5"))
        layouts[3] = dict(layouts[3], fields={"color": 8, "normal": 12, "position": 24})
        kvx._kvx.LAYOUTS = tuple(layouts)
        importlib.reload(kvx)
        print(kvx.VERSIONS, kvx.PROGRAMS[5], kvx._VALUES_OF[5], kvx._VERSION_OF)
        try:
            kvx.read_cmsh("a.cmsh", version=6)
        except kvx.KvxInputError as e:
            print(e)
        try:
            import meshio
        except ImportError:
            print("(1, 2, 3, 4, 5) 3")
        else:
            from kvx import _meshio
            importlib.reload(_meshio)
            print(_meshio._WRITTEN["triangle"], _meshio._default_version("triangle", True))
    """)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "(1, 2, 3, 4, 5, -1, -2) kvxconv5 7 {3: 1, 7: 3, 9: 4}",
        "version must be one of 1, 2, 3, 4, 5, -1, -2; got 6",
        "(1, 2, 3, 4, 5) 3",
    ]
