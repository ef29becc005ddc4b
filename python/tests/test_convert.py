"""kvx.convert and kvx.read_cmsh against the programs: the same bytes, the
same messages, nothing left behind on failure, the work arrays released
after each call, and threads converting at once."""

import os
import random
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import kvx
from conftest import PROGRAMS, VALUES, VERSIONS, example, program_file, program_message, write_cmsh

EXAMPLES = {3: "cube3.cmsh", 7: "cube7.cmsh", 9: "cube9.cmsh"}


@pytest.mark.parametrize("version", VERSIONS)
def test_the_programs_bytes_for_every_converter(tmp_path, version):
    values = VALUES[version]
    sources = [example(EXAMPLES[values])]
    sources += [write_cmsh(tmp_path / f"{seed}.cmsh", seed, values) for seed in range(10)]
    sources.append(write_cmsh(tmp_path / "empty.cmsh", 0, values, vertices=0, faces=0))
    for src in sources:
        expected = program_file(version, src, tmp_path / "program.kvx")
        kvx.convert(src, tmp_path / "convert.kvx", version)
        assert (tmp_path / "convert.kvx").read_bytes() == expected, src
        mesh = kvx.read_cmsh(str(src), version=version)
        assert mesh.version == version
        mesh.save(os.fsencode(tmp_path / "read.kvx"))
        assert (tmp_path / "read.kvx").read_bytes() == expected, src


def test_a_large_mesh_read_on_two_threads(tmp_path):
    # Past 2**17 triangles the reader splits them between two threads.
    src = write_cmsh(tmp_path / "big.cmsh", 7, 7, vertices=3000, faces=140000)
    for version in (3, -2):
        expected = program_file(version, src, tmp_path / "program.kvx")
        kvx.convert(src, tmp_path / "convert.kvx", version)
        assert (tmp_path / "convert.kvx").read_bytes() == expected


def test_read_cmsh_values_and_versions(tmp_path):
    assert kvx.read_cmsh(example("cube7.cmsh")).version == 3
    assert kvx.read_cmsh(example("cube3.cmsh"), 3).version == 1
    assert kvx.read_cmsh(example("cube9.cmsh"), values=9).name == "cube"
    assert kvx.read_cmsh(example("cube7.cmsh"), version=-2).edges.shape == (18, 2)
    cases = [({"values": 9, "version": 3}, "version 3 (kvxconv3) reads 7 values per vertex, not 9"),
             ({"values": 5}, "values must be 3, 7 or 9; got 5"),
             ({"version": 0}, "version must be one of 1, 2, 3, 4, -1, -2; got 0"),
             ({"version": True}, "version must be one of 1, 2, 3, 4, -1, -2; got True")]
    for arguments, message in cases:
        with pytest.raises(kvx.KvxInputError, match=f"^{re.escape(message)}$"):
            kvx.read_cmsh(example("cube7.cmsh"), **arguments)
    with pytest.raises(kvx.KvxInputError, match="got 7$"):
        kvx.convert(example("cube7.cmsh"), tmp_path / "x.kvx", 7)


# Inputs that every converter refuses, by values per vertex.
BAD_TEXTS = [
    "3 1\n1 0 0 1 0 0 0\n0 1 0 1 1.5abc 0 0\n0 0 1 1 0 1 0\n0 1 2\n",
    "3 1\n1 0 0 1 0 0 0\n0 1 0 1 1 0 0\n0 0 1 1 0 1 0\n0 1 3\n",
    "3 2\n1 0 0 1 0 0 0\n0 1 0 1 1 0 0\n0 0 1 1 0 1 0\n0 1 2\n2 1\n",
    "2 0\n1 0 0 1 0 0 0\n0 1.5 0 1 1 0 0\n",
    "2 0\n1 0 0 1 0 0 0\n0 nan 0 1 1 0 0\n",
    "999999999 0\n1 2 3\n",
    "",
]


@pytest.mark.parametrize("version", VERSIONS)
def test_failures_say_what_the_program_says(tmp_path, version):
    """Each failure raises the class of the program's exit status with the
    line it prints after "<program>: ", and writes nothing."""
    program = PROGRAMS[version]
    texts = list(BAD_TEXTS)
    if version == 1:
        texts = [t.replace("1 0 0 1 ", "").replace("0 1 0 1 ", "").replace("0 0 1 1 ", "")
                 for t in texts]
    if version == 4:
        texts = [
            "2 0\n0 0 1 0 0 1 0 0 0\n0 0 0 1 0 1 1.5abc 0 0\n",
            "3 1\n0 0 1 0 0 1 0 0 0\n0 0 0 1 0 1 1 0 0\n0 0 0 0 1 1 0 1 0\n0 1 3\nname\n",
            "2 0\n0 0 1 0 0 1 0 0 0\n0 0 0 1.5 0 1 1 0 0\n",
            "1 0\n0 0 1 1 1 1 0 0 0 " + "n" * 300 + "\n",
            "1 0\n0 0 1 1 1 1 0 0 0\n",
        ] + texts[-2:]
    out = tmp_path / "out" / "out.kvx"
    out.parent.mkdir()
    (out.parent / "keep.kvx").write_bytes(b"old")
    checked = 0
    for k, text in enumerate(texts):
        src = tmp_path / f"bad{k}.cmsh"
        src.write_text(text)
        status, message = program_message(program, src, tmp_path / "program.kvx")
        if status == 0:
            continue  # kvxpoints reads no triangles: some of these pass
        with pytest.raises(kvx.KvxError) as caught:
            kvx.convert(src, out.parent / "keep.kvx", version)
        assert str(caught.value) == message
        assert type(caught.value) is {2: kvx.KvxInputError, 4: kvx.KvxMemoryError}[status]
        with pytest.raises(kvx.KvxError) as again:
            kvx.read_cmsh(src, version=version)
        assert str(again.value) == str(caught.value)
        checked += 1
        assert sorted(os.listdir(out.parent)) == ["keep.kvx"]
        assert (out.parent / "keep.kvx").read_bytes() == b"old"
    assert checked >= 4


def test_files_that_cannot_be_read_or_written(tmp_path):
    src = example("cube7.cmsh")
    cases = [
        (tmp_path / "missing.cmsh", tmp_path / "a.kvx", 2, kvx.KvxFileNotFoundError, "ENOENT"),
        (tmp_path, tmp_path / "a.kvx", 2, kvx.KvxIOError, "EISDIR"),
        (src, tmp_path / "no" / "a.kvx", 3, kvx.KvxFileNotFoundError, "ENOENT"),
        (src, Path(src) / "a.kvx", 3, kvx.KvxIOError, "ENOTDIR"),
        (src, "/dev/full", 3, kvx.KvxIOError, "ENOSPC"),
    ]
    for source, target, status, cls, name in cases:
        returned, message = program_message("kvxconv3", source, target)
        assert returned == status, message
        with pytest.raises(cls) as caught:
            kvx.convert(source, target, 3)
        e = caught.value
        assert str(e) == message
        assert isinstance(e, OSError) and e.errno == getattr(__import__("errno"), name)
        assert e.filename == (source if status == 2 else target)
        assert e.strerror == str(e)
    with pytest.raises(kvx.KvxInputError, match="the path holds a zero byte"):
        kvx.convert("a\0b.cmsh", tmp_path / "a.kvx")
    assert not (tmp_path / "a.kvx").exists()


def test_work_arrays_are_released_between_calls(tmp_path):
    """A failure half-way through kvxwire's work leaves its work arrays
    allocated; every call must release them, and its mesh."""
    triangles = 400000
    bad = tmp_path / "bad.cmsh"
    bad.write_text("3 %d\n" % triangles + "1 0 0 1 0 0 0\n" * 3 + "0 1 2\n" * (triangles - 1)
                   + "0 1 9\n")
    good = write_cmsh(tmp_path / "good.cmsh", 3, 7, vertices=500, faces=20000)

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def rounds(n):
        for _ in range(n):
            with pytest.raises(kvx.KvxInputError, match="face 399999 names vertex 9 of 3"):
                kvx.convert(bad, tmp_path / "bad.kvx", -2)
            kvx.read_cmsh(good, version=-2)
            kvx.convert(good, tmp_path / "good.kvx", 4 - 1)

    rounds(3)
    before = resident()
    rounds(30)
    # A leak of the triangles alone would be 30 * 2.4 MB.
    assert resident() - before < 16 << 20


def test_eight_threads_convert_at_once(tmp_path):
    """Eight threads, started together, each convert the same 25 files of
    every version and of many sizes, each in an order of its own so that
    different converters run side by side: every output is the program's
    own file for its input. State shared between calls (a converter's mesh
    or work arrays in a global) would mix them up."""
    rng = random.Random(11)
    jobs = []
    for k in range(25):
        version = VERSIONS[k % len(VERSIONS)]
        src = write_cmsh(tmp_path / f"{k}.cmsh", k, VALUES[version],
                         vertices=rng.randint(30, 400), faces=rng.randint(50, 1500))
        jobs.append((src, version, program_file(version, src, tmp_path / "program.kvx")))
    threads = 8
    start = threading.Barrier(threads)

    def work(t):
        start.wait()
        wrong = []
        for k in range(len(jobs)):
            src, version, expected = jobs[(k * 7 + t * 3) % len(jobs)]
            dst = tmp_path / f"t{t}-{k}.kvx"
            kvx.convert(src, dst, version)
            if dst.read_bytes() != expected:
                wrong.append((t, str(src), "convert"))
            if t % 2 == 0:
                kvx.read_cmsh(src, version=version).save(dst)
                if dst.read_bytes() != expected:
                    wrong.append((t, str(src), "read_cmsh"))
        return wrong

    with ThreadPoolExecutor(threads) as pool:
        wrong = [w for result in pool.map(work, range(threads)) for w in result]
    assert wrong == []
