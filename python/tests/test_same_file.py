"""kvx.convert runs the converters' own flow in this process, so an output
that is the input file is refused as the programs refuse it, and a file
that is not KVX is named so, in the programs' words."""

import os

import pytest

import kvx
from conftest import example, run_program


def test_convert_refuses_an_output_that_is_the_input(tmp_path):
    text = example("cube7.cmsh").read_bytes()
    src = tmp_path / "m.cmsh"
    src.write_bytes(text)
    os.symlink("m.cmsh", tmp_path / "link.cmsh")
    os.link(src, tmp_path / "hard.cmsh")
    # The converters of seven values per vertex.
    for version in (2, 3, -1, -2):
        for dst in (src, tmp_path / "link.cmsh", tmp_path / "hard.cmsh"):
            with pytest.raises(kvx.KvxIOError) as caught:
                kvx.convert(src, dst, version=version)
            assert str(caught.value) == f"{dst}: the same file as the input; choose another output"
            r = run_program(kvx.PROGRAMS[version], src, dst)
            assert r.returncode == 3
            assert r.stderr.decode() == f"{kvx.PROGRAMS[version]}: {caught.value}\n"
            assert src.read_bytes() == text
    kvx.convert(src, tmp_path / "out.kvx", version=3)
    assert (tmp_path / "out.kvx").read_bytes()[:3] == b"KVX"


def test_load_of_a_text_mesh_is_not_kvx(tmp_path):
    path = example("cube7.cmsh")
    with pytest.raises(kvx.KvxInputError) as caught:
        kvx.load(path)
    assert str(caught.value) == f"{path}: not a KVX file"
    r = run_program("kvxdump", path)
    assert (r.returncode, r.stdout) == (2, b"")
    assert r.stderr.decode() == f"kvxdump: {caught.value}\n"
