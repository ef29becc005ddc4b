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
from conftest import PROGRAMS, program_file, program_message, run_program, write_cmsh

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
        status, failures[str(path)] = program_message(PROGRAMS[3], path, root / "program.kvx")
        assert status == 2
    # Other formats as kvximport reads and writes them.
    ply = root / "in" / "part.ply"
    ply.write_text("ply\n")
    status, failures[str(ply)] = program_message("kvximport", ply, root / "program.kvx")
    assert status == 2
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


# Loaded by every interpreter of the batch that this folder is on the path
# of: the pool's processes (started by a fork server, a fresh interpreter),
# the processes of their own and the batch itself. Each conversion of a
# file named in KVX_TEST_ENDS (name=abort or name=exit,...) ends its process
# there, as a crash in the converter would.
ENDING_SITE = '''
import os
import kvx

_convert = kvx.convert
_how = dict(item.split("=") for item in os.environ["KVX_TEST_ENDS"].split(","))


def convert(src, dst, version=3):
    how = _how.get(os.path.basename(os.fsdecode(src)))
    if how == "abort":
        os.abort()
    if how == "exit":
        os._exit(3)
    return _convert(src, dst, version)


kvx.convert = convert
'''


def ending_env(tmp_path, ends):
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(ENDING_SITE)
    package = os.path.dirname(os.path.dirname(kvx.__file__))
    return {"PYTHONPATH": f"{site}{os.pathsep}{package}", "KVX_TEST_ENDS": ends}


def ending_batch(env, *args):
    return subprocess.run([sys.executable, "-m", "kvx.batch", *map(str, args)], text=True,
                          capture_output=True, env=dict(os.environ, **env), timeout=120)


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_process_that_dies_costs_only_its_own_file(corpus, tmp_path, jobs):
    """Two files end the process converting them (each time: a crash loop);
    every other file is still converted, byte for byte, and counted."""
    root, _, expected, _ = corpus
    sources = [root / "in" / f"m{k:03d}.cmsh" for k in range(40)]
    env = ending_env(tmp_path, "m004.cmsh=abort,m031.cmsh=exit")
    out = tmp_path / "out"
    r = ending_batch(env, *sources, "--out", out, "--jobs", jobs)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    assert (summary["files"], summary["converted"]) == (40, 38)
    assert sorted(summary["failed"], key=lambda f: f["path"]) == [
        {"path": str(sources[4]), "message": f"{sources[4]}: the process converting it ended "
                                             "by SIGABRT"},
        {"path": str(sources[31]), "message": f"{sources[31]}: the process converting it ended "
                                              "with status 3 before it answered"},
    ]
    written = sorted(os.listdir(out))
    assert written == sorted(f"m{k:03d}.kvx" for k in range(40) if k not in (4, 31))
    for name in written:
        assert (out / name).read_bytes() == expected[name], name


def test_the_dask_path_costs_only_the_file_whose_worker_dies(corpus, tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    root, _, expected, _ = corpus
    sources = [root / "in" / f"m{k:03d}.cmsh" for k in range(100, 140)]  # tasks of 5 files
    env = ending_env(tmp_path, "m105.cmsh=abort")
    for name, value in env.items():
        monkeypatch.setenv(name, value)  # the cluster's worker processes load the site
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        r = ending_batch(env, *sources, "--out", out, "--scheduler", cluster.scheduler_address)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    assert (summary["files"], summary["converted"]) == (40, 39)
    [failure] = summary["failed"]
    assert failure["path"] == str(sources[5])
    assert failure["message"].startswith(f"{sources[5]}: the worker converting it died (")
    assert sorted(os.listdir(out)) == sorted(s.stem + ".kvx" for s in sources if s != sources[5])
    for name in os.listdir(out):
        assert (out / name).read_bytes() == expected[name], name


def test_names_are_taken_literally_and_only_unmatched_patterns_expanded(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    files = {"scan[1].cmsh": 1, "scan1.cmsh": 2, "scan2.cmsh": 3, "a*b.cmsh": 4, "axb.cmsh": 5}
    for name, seed in files.items():
        write_cmsh(src / name, seed, 7)
    out = tmp_path / "out"
    args = [src / "scan[1].cmsh", src / "scan1.cmsh", src / "s?an2.cmsh", src / "a*b.cmsh",
            src / "none[0-9].cmsh"]
    r = batch(*args, "--out", out, "--jobs", 1)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    missing = str(src / "none[0-9].cmsh")
    assert summary["failed"] == [{"path": missing, "message": f"{missing}: no file matches"}]
    assert (summary["files"], summary["converted"]) == (5, 4)
    assert sorted(os.listdir(out)) == ["a*b.kvx", "scan1.kvx", "scan2.kvx", "scan[1].kvx"]
    for name in ("scan[1]", "scan1", "scan2", "a*b"):
        assert (out / f"{name}.kvx").read_bytes() == \
            program_file(3, src / f"{name}.cmsh", tmp_path / "program.kvx"), name
    assert kvx.batch.expand(str(src / "scan[12].cmsh")) == [str(src / "scan1.cmsh"),
                                                             str(src / "scan2.cmsh")]
    assert kvx.batch.expand(str(src / "scan[1].cmsh")) == [str(src / "scan[1].cmsh")]


def test_an_output_that_is_an_input_is_refused(tmp_path):
    """Through a link, a hard link and as the file itself: nothing is
    written over an input, and the other files are converted."""
    src = tmp_path / "in"
    src.mkdir()
    out = tmp_path / "out"
    out.mkdir()
    texts = {}
    for k, name in enumerate(["linked", "hard", "plain"]):
        write_cmsh(src / f"{name}.cmsh", k, 7)
        texts[name] = (src / f"{name}.cmsh").read_bytes()
    (out / "linked.kvx").symlink_to(src / "linked.cmsh")
    os.link(src / "hard.cmsh", out / "hard.kvx")
    (src / "self.obj").write_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
    os.symlink(src / "self.obj", src / "self.kvx")  # --out in: self.obj's output is itself
    args = [src / "linked.cmsh", src / "hard.cmsh", src / "plain.cmsh"]
    r = batch(*args, "--out", out, "--jobs", 1)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    assert summary["converted"] == 1
    assert summary["failed"] == [
        {"path": str(src / n), "message": f"{out / (n[:-5] + '.kvx')}: the output is the same "
                                          f"file as the input {src / n}"}
        for n in ("linked.cmsh", "hard.cmsh")]
    r = batch(src / "self.obj", "--out", src, "--jobs", 1)
    assert json.loads(r.stdout)["failed"] == [
        {"path": str(src / "self.obj"),
         "message": f"{src / 'self.kvx'}: the output is the same file as the input "
                    f"{src / 'self.obj'}"}]
    assert (src / "self.obj").read_text().startswith("v 0 0 0")
    for name, data in texts.items():
        assert (src / f"{name}.cmsh").read_bytes() == data
    assert (out / "plain.kvx").read_bytes() == program_file(3, src / "plain.cmsh",
                                                            tmp_path / "program.kvx")


def test_run_checks_its_arguments(tmp_path):
    for jobs in (0, -1, True, "2", 1.5):
        with pytest.raises(kvx.KvxInputError, match="^jobs must be a positive number"):
            kvx.batch.run([], tmp_path, jobs=jobs)


def test_a_recursive_pattern_does_not_follow_links_to_folders(tmp_path):
    """Two links back up in one folder: glob's "**" would walk them without
    end; the batch's matches what the shell's does, and glob's where there
    are no links."""
    for folder in ("a/b/.hidden", "c"):
        (tmp_path / folder).mkdir(parents=True)
    for name in ("x.cmsh", "a/y.cmsh", "a/b/z.cmsh", "a/b/.hidden/w.cmsh", "c/q.txt"):
        (tmp_path / name).write_text("")
    patterns = ["**/*.cmsh", "./**/*.cmsh", "a/**/*.cmsh", "*/**/*.cmsh", "**/b/*.cmsh",
                "a/**/b/**/*.cmsh", "**/*.txt", "**"]
    script = ("import json, sys, kvx.batch\n"
              "print(json.dumps([kvx.batch.expand(p) for p in sys.argv[1:]]))")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kvx.__file__)))

    def expanded():
        r = subprocess.run([sys.executable, "-c", script, *patterns], capture_output=True,
                           text=True, cwd=tmp_path, env=env, timeout=60)
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)

    import glob
    old = os.getcwd()
    os.chdir(tmp_path)
    try:
        assert expanded() == [sorted(set(glob.glob(p, recursive=True))) for p in patterns]
    finally:
        os.chdir(old)
    (tmp_path / "a" / "b" / "up").symlink_to("..")
    (tmp_path / "a" / "b" / "up2").symlink_to("..")
    got = dict(zip(patterns, expanded()))
    assert got["./**/*.cmsh"] == ["./a/b/z.cmsh", "./a/y.cmsh", "./x.cmsh"]
    assert got["**/*.cmsh"] == ["a/b/z.cmsh", "a/y.cmsh", "x.cmsh"]
    assert got["a/**/b/**/*.cmsh"] == ["a/b/z.cmsh"]
    assert got["**"] == ["a", "a/b", "a/b/up", "a/b/up2", "a/b/z.cmsh", "a/y.cmsh", "c",
                         "c/q.txt", "x.cmsh"]


def test_layout_and_the_version(tmp_path):
    src = write_cmsh(tmp_path / "m.cmsh", 5, 7)
    for args, version in [(["--layout", "wire"], -2), (["--layout", "-1"], -1),
                          (["--layout", "points"], -1), (["--version", "2"], 2)]:
        out = tmp_path / f"out{version}"
        r = batch(src, "--out", out, "--quiet", *args)
        assert r.returncode == 0, r.stderr
        assert json.loads(r.stdout)["version"] == version
        assert (out / "m.kvx").read_bytes() == program_file(version, src, tmp_path / "p.kvx"), args

    # --version as the last word: the version, as the programs print theirs.
    program_version = run_program(PROGRAMS[3], "--version").stdout.decode().split()[-1]
    for args in (["--version"], [src, "--out", tmp_path / "never", "--version"]):
        r = batch(*args)
        assert (r.returncode, r.stdout, r.stderr) == (0, f"kvx.batch {program_version}\n", "")
    assert not (tmp_path / "never").exists()

    r = batch(src, "--out", tmp_path / "both", "--layout", "3", "--version", "3")
    assert r.returncode == 2 and r.stdout == ""
    assert "--layout and --version N both choose the KVX version; give one" in r.stderr
    r = batch(src, "--out", tmp_path / "bad", "--layout", "dots")
    assert r.returncode == 2
    assert "argument --layout: 'dots' is not one of 1, 2, 3, 4, -1, -2, points or wire" in r.stderr
    assert not (tmp_path / "both").exists() and not (tmp_path / "bad").exists()


def test_run_takes_layout_or_version(tmp_path):
    src = write_cmsh(tmp_path / "m.cmsh", 6, 7)
    summary = kvx.batch.run([str(src)], str(tmp_path / "o"), "wire", jobs=1)
    assert summary["version"] == -2 and summary["converted"] == 1
    assert kvx.batch.run([str(src)], str(tmp_path / "o1"), version=1, jobs=1)["version"] == 1
    with pytest.raises(TypeError):
        kvx.batch.run([str(src)], str(tmp_path / "o2"), 3, version=3)


def test_a_folder_stands_for_the_files_below_it_that_kvx_reads(tmp_path):
    """Every level, sorted by path, only the extensions kvximport reads (in
    any case), no hidden names, no links to folders; a folder with none and
    a file without an extension are reported without naming an option the
    batch does not have."""
    scans = tmp_path / "scans"
    for folder in ("b", "a/deep", ".hidden", "other"):
        (scans / folder).mkdir(parents=True)
    write_cmsh(scans / "b" / "z.cmsh", 1, 7)
    write_cmsh(scans / "a" / "deep" / "y.cmsh", 2, 7)
    write_cmsh(scans / "m.cmsh", 3, 7)
    write_cmsh(scans / ".hidden" / "h.cmsh", 4, 7)
    write_cmsh(scans / ".h.cmsh", 5, 7)
    off = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"
    (scans / "a" / "t.OFF").write_text(off)
    for name in ("notes.txt", "README", "cube.kvx", "other/x.png"):
        (scans / name).write_text("not a mesh\n")
    (scans / "a" / "up").symlink_to("..")
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "notes.txt").write_text("")

    found = [os.path.relpath(p, scans) for p in kvx.batch.walk(str(scans))]
    assert found == ["a/deep/y.cmsh", "a/t.OFF", "b/z.cmsh", "m.cmsh"]
    pairs, failures = kvx.batch.plan([str(scans), str(tmp_path / "empty")], "out")
    assert [os.path.relpath(src, scans) for src, _ in pairs] == found
    assert [dst for _, dst in pairs] == [os.path.join("out", n)
                                         for n in ("y.kvx", "t.kvx", "z.kvx", "m.kvx")]
    empty = str(tmp_path / "empty")
    assert failures == [{"path": empty, "message": f"{empty}: no file in this folder that kvx reads"}]

    out = tmp_path / "out"
    readme = scans / "README"
    r = batch(scans, readme, "--out", out, "--jobs", 1)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    assert (summary["files"], summary["converted"]) == (5, 4)
    assert summary["failed"] == [{"path": str(readme),
                                  "message": f"{readme}: no extension to tell the format by"}]
    for name in ("b/z", "a/deep/y", "m"):
        assert (out / f"{os.path.basename(name)}.kvx").read_bytes() == \
            program_file(3, scans / f"{name}.cmsh", tmp_path / "program.kvx"), name
    assert run_program("kvximport", scans / "a" / "t.OFF", tmp_path / "t.kvx").returncode == 0
    assert (out / "t.kvx").read_bytes() == (tmp_path / "t.kvx").read_bytes()

    # The help names what the batch reads and only options it has.
    text = " ".join(batch("--help").stdout.split())
    assert "a file, a folder" in text and "every format kvximport reads" in text
    assert "--format" not in text and "--format" not in kvx.batch.__doc__
