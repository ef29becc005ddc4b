"""kvx.load_any through the assimp worker: the worker is found beside the
module in the build tree, a misbehaving worker (KVX_FAKE_WORKER, pointed at
with KVX_ASSIMP_WORKER) raises the right error and leaves the interpreter
running, and the bounds are checked."""
import os
import struct

import pytest

import kvx

FAKE = os.environ.get("KVX_FAKE_WORKER")


def _gltf(folder, uri="tri.bin"):
    (folder / "tri.bin").write_bytes(struct.pack("<9f", 0, 0, 0, 1, 0, 0, 0, 1, 0))
    path = folder / "scene.gltf"
    path.write_text(
        '{"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],'
        ' "nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],'
        ' "buffers": [{"byteLength": 36, "uri": "' + uri + '"}],'
        ' "bufferViews": [{"buffer": 0, "byteLength": 36}],'
        ' "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",'
        ' "min": [0, 0, 0], "max": [1, 1, 0]}]}'
    )
    return path


@pytest.fixture
def worker(monkeypatch):
    if FAKE is None:
        pytest.skip("the build has no assimp")

    def use(path):
        monkeypatch.setenv("KVX_ASSIMP_WORKER", path)

    return use


def test_the_build_trees_worker_is_found_beside_the_module(tmp_path, monkeypatch):
    if FAKE is None:
        pytest.skip("the build has no assimp")
    monkeypatch.delenv("KVX_ASSIMP_WORKER", raising=False)
    mesh = kvx.load_any(_gltf(tmp_path))
    assert mesh.vertex_count == 3
    with pytest.raises(kvx.KvxInputError, match=r'refers to "\.\./\.\./etc/passwd", outside'):
        kvx.load_any(_gltf(tmp_path, "../../etc/passwd"))


@pytest.mark.parametrize(
    "content, error, message",
    [
        ("segv", kvx.KvxInputError, r"the reader crashed \(SIGSEGV\); the file is malformed"),
        ("abort", kvx.KvxInputError, r"the reader crashed \(SIGABRT\)"),
        ("hang", kvx.KvxInputError, r"the reader took more than 1 s"),
        ("allocate", kvx.KvxMemoryError, r"the reader ran out of memory \(limit 64 MiB\)"),
        ("garbage", kvx.KvxInputError, r"the reader's answer is garbled"),
        ("oversize 2000", kvx.KvxInputError, r"the reader's answer is larger than 1000 bytes"),
        ("silent", kvx.KvxInputError, r"the reader ended without an answer"),
    ],
)
def test_each_failure_of_the_worker_is_its_error(tmp_path, worker, content, error, message):
    worker(FAKE)
    path = tmp_path / "m.gltf"
    path.write_text(content)
    with pytest.raises(error, match=message):
        kvx.load_any(path, reader_time=1, reader_memory=64 << 20, reader_output=1000)
    # The interpreter and the next read go on.
    path.write_text("mesh")
    assert kvx.load_any(path).vertex_count == 3


def test_a_missing_worker_refuses_assimp_formats(tmp_path, worker):
    worker(str(tmp_path / "none"))
    with pytest.raises(kvx.KvxInputError, match="which cannot be started"):
        kvx.load_any(_gltf(tmp_path))


@pytest.mark.parametrize("key", ["reader_memory", "reader_time", "reader_output"])
@pytest.mark.parametrize("value", [0, -1, 1.5, "2G", True])
def test_bad_bounds_are_refused(tmp_path, key, value):
    with pytest.raises(kvx.KvxInputError, match=f"^{key} must be a whole number from 1 to "):
        kvx.load_any(tmp_path / "x.gltf", **{key: value})


def test_a_file_that_crashes_the_reader_costs_the_batch_that_file_alone(tmp_path):
    """The batch reads through the same worker: a crashing scene is one
    failed file, and the files after it in the same pool are converted."""
    if FAKE is None:
        pytest.skip("the build has no assimp")
    import json
    import subprocess
    import sys

    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "bad.gltf").write_text("segv")
    for k in range(4):
        (folder / f"good{k}.gltf").write_text("mesh")
    env = dict(os.environ, KVX_ASSIMP_WORKER=FAKE,
               PYTHONPATH=os.path.dirname(os.path.dirname(kvx.__file__)))
    out = tmp_path / "out"
    r = subprocess.run([sys.executable, "-m", "kvx.batch", str(folder / "*.gltf"), "--out",
                        str(out), "--jobs", "1"], capture_output=True, text=True, env=env,
                       timeout=120)
    assert r.returncode == 1, r.stderr
    summary = json.loads(r.stdout)
    assert (summary["files"], summary["converted"]) == (5, 4)
    [failure] = summary["failed"]
    assert failure["path"] == str(folder / "bad.gltf")
    assert failure["message"].endswith("the reader crashed (SIGSEGV); the file is malformed")
    assert sorted(os.listdir(out)) == [f"good{k}.kvx" for k in range(4)]
