"""python3 -m kvx.batch on a few hundred generated files, on the local pool
and on a Dask LocalCluster of two workers: every result compared byte for
byte with the program's, every failure with the program's message."""

import json
import os
import pty
import subprocess
import sys

import pytest

import kvx
import kvx.batch
from conftest import PROGRAMS, program_file, run_program, write_cmsh

FILES = 240


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """FILES good text meshes, the program's bytes for each, and inputs that
    fail with the messages they must give."""
    root = tmp_path_factory.mktemp("corpus")
    (root / "in").mkdir()
    (root / "in" / "sub").mkdir()
    expected = {}
    for k in range(FILES):
        src = write_cmsh(root / "in" / f"m{k:03d}.cmsh", k, 7)
        expected[f"m{k:03d}.kvx"] = program_file(3, src, root / "program.kvx")
    bad = {"bad-count.cmsh": "4 1\n1 2\n", "bad-index.cmsh": "1 1\n1 1 1 1 0 0 0\n0 0 1\n"}
    failures = {}
    for name, text in bad.items():
        path = root / "in" / name
        path.write_text(text)
        r = run_program(PROGRAMS[3], path, root / "program.kvx")
        assert r.returncode == 2
        failures[str(path)] = r.stderr.decode()[len("kvxconv3: "):-1]
    # Other formats as kvximport reads and writes them.
    ply = root / "in" / "part.ply"
    ply.write_text("ply\n")
    r = run_program("kvximport", ply, root / "program.kvx")
    assert r.returncode == 2
    failures[str(ply)] = r.stderr.decode()[len("kvximport: "):-1]
    off = root / "in" / "tetra.off"
    off.write_text("OFF\n4 4 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 0 3 2\n3 1 2 3\n")
    assert run_program("kvximport", off, root / "program.kvx").returncode == 0
    expected["tetra.kvx"] = (root / "program.kvx").read_bytes()
    twin = write_cmsh(root / "in" / "sub" / "m007.cmsh", 1007, 7)
    failures[str(twin)] = f"{twin}: {root / 'out' / 'm007.kvx'} is already the output of " \
                          f"{root / 'in' / 'm007.cmsh'}"
    # A link under another name gives a file of that name.
    (root / "in" / "alias.cmsh").symlink_to(root / "in" / "m000.cmsh")
    expected["alias.kvx"] = expected["m000.kvx"]
    gone = str(root / "in" / "gone.cmsh")
    failures[gone] = f"{gone}: No such file or directory"
    inputs = [str(root / "in" / "*.cmsh"), str(ply), str(off), str(twin), gone,
              str(root / "in" / "m00*.cmsh")]
    return root, inputs, expected, failures


def batch(*args, **run):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kvx.__file__)))
    run.setdefault("stdout", subprocess.PIPE)
    run.setdefault("stderr", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", "kvx.batch", *map(str, args)], text=True,
                          env=env, timeout=120, **run)


def check(corpus, out, r, workers):
    root, _, expected, failures = corpus
    assert r.returncode == 1, r.stderr
    assert r.stderr == ""  # no progress bar where standard error is no terminal
    summary = json.loads(r.stdout)
    assert summary["files"] == len(expected) + len(failures)
    assert summary["converted"] == len(expected) == FILES + 2  # with alias and tetra
    assert summary["workers"] == workers and summary["version"] == 3
    assert summary["files_per_second"] > 0
    got = {f["path"]: f["message"] for f in summary["failed"]}
    assert got == failures
    assert sorted(os.listdir(out)) == sorted(expected)
    for name, data in expected.items():
        assert (out / name).read_bytes() == data, name


def test_local_pool(corpus):
    root, inputs, _, _ = corpus
    out = root / "out"
    check(corpus, out, batch(*inputs, "--out", out, "--jobs", 2), "2 local processes")


def test_local_cluster_of_two_workers(corpus, tmp_path):
    distributed = pytest.importorskip("distributed")
    root, inputs, expected, failures = corpus
    # Relative inputs and output: the workers get absolute paths.
    inputs = [os.path.relpath(p, root) for p in inputs]
    expected_failures = {}
    for path, message in failures.items():
        if "already the output" in message:  # the one message made before the workers
            message = "in/sub/m007.cmsh: cluster/m007.kvx is already the output of in/m007.cmsh"
        expected_failures[os.path.relpath(path, root)] = message
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        r = batch(*inputs, "--out", "cluster", "--scheduler", cluster.scheduler_address,
                  cwd=root)
        check((root, inputs, expected, expected_failures), root / "cluster", r,
              f"Dask scheduler {cluster.scheduler_address}")

        # The same through the API, with a Client, for the wireframes; and
        # a mesh loaded on a worker comes back whole (pickled as its file).
        with distributed.Client(cluster) as client:
            first = root / "cluster" / "m000.kvx"
            mesh = client.submit(kvx.load, str(first)).result()
            assert mesh.__getstate__()[0] == first.read_bytes()
            sources = sorted((root / "in").glob("m01*.cmsh"))
            summary = kvx.batch.run([str(s) for s in sources], tmp_path, version=-2,
                                    scheduler=client)
        assert summary["converted"] == len(sources) == 10 and summary["failed"] == []
        for src in sources:
            wire = program_file(-2, src, tmp_path / "program.kvx")
            assert (tmp_path / (src.stem + ".kvx")).read_bytes() == wire


def test_every_file_converted_exits_0(corpus, tmp_path):
    root = corpus[0]
    sources = [root / "in" / f"m{k:03d}.cmsh" for k in (3, 5, 8)]
    r = batch(*sources, "--out", tmp_path, "--version", -1, "--jobs", 1)
    assert r.returncode == 0, r.stderr
    summary = json.loads(r.stdout)
    assert (summary["converted"], summary["failed"]) == (3, [])
    for src in sources:
        assert (tmp_path / (src.stem + ".kvx")).read_bytes() == \
            program_file(-1, src, tmp_path / "program.kvx")


def test_a_progress_bar_on_a_terminal(corpus, tmp_path):
    root = corpus[0]
    primary, secondary = pty.openpty()
    r = batch(root / "in" / "m1*.cmsh", "--out", tmp_path, "--jobs", 2, stderr=secondary,
              stdout=subprocess.PIPE)
    os.close(secondary)
    shown = b""
    while True:
        try:
            chunk = os.read(primary, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(primary)
    assert r.returncode == 0
    assert shown.endswith(b"\rkvx.batch [" + b"#" * 30 + b"] 100/100\r\n")
    assert json.loads(r.stdout)["converted"] == 100


@pytest.mark.parametrize("args, words", [
    (["a.cmsh", "--out", "o", "--version", "5"], "'5' is not one of 1, 2, 3, 4, -1, -2"),
    (["a.cmsh", "--out", "o", "--jobs", "0"], "'0' is not a positive number"),
    (["a.cmsh", "--out", "o", "--jobs", "2", "--scheduler", "tcp://x:1"], "--jobs sizes"),
    (["a.cmsh"], "the following arguments are required: --out"),
    (["a.cmsh", "--out", "/dev/null/o"], "kvx.batch: /dev/null/o: Not a directory"),
])
def test_what_cannot_start_exits_2(tmp_path, args, words):
    r = batch(*args, cwd=tmp_path)
    assert r.returncode == 2
    assert words in r.stderr and r.stdout == ""
