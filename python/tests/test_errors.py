"""Every error class: what kvx.load and Mesh.save raise, compared with what
kvxdump says of the same file, and memory that runs short."""

import errno
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kvx
from conftest import run_program


def test_the_classes():
    assert issubclass(kvx.KvxInputError, kvx.KvxError) and issubclass(kvx.KvxInputError, ValueError)
    assert issubclass(kvx.KvxIOError, kvx.KvxError) and issubclass(kvx.KvxIOError, OSError)
    assert issubclass(kvx.KvxFileNotFoundError, kvx.KvxIOError)
    assert issubclass(kvx.KvxFileNotFoundError, FileNotFoundError)
    assert issubclass(kvx.KvxPermissionError, PermissionError)
    assert issubclass(kvx.KvxMemoryError, kvx.KvxError)
    assert issubclass(kvx.KvxMemoryError, MemoryError)
    e = kvx.KvxIOError(errno.EIO, "part.kvx: Input/output error", "part.kvx")
    assert (str(e), e.errno, e.filename) == ("part.kvx: Input/output error", errno.EIO, "part.kvx")
    import pickle  # Dask sends exceptions between processes

    back = pickle.loads(pickle.dumps(e))
    assert (type(back), str(back), back.errno) == (kvx.KvxIOError, str(e), errno.EIO)


def header(vertices, faces, version):
    return b"KVX" + struct.pack("<IIi", vertices, faces, version)


def test_load_says_what_kvxdump_says(tmp_path):
    files = {
        "truncated": header(3, 1, 2) + bytes(40),
        "short-header": b"KVX\x01\x00",
        "long-name": header(0, 0, 4) + b"n" * 256,
        "version-9": header(0, 0, 9),
    }
    for name, data in files.items():
        path = tmp_path / f"{name}.kvx"
        path.write_bytes(data)
        with pytest.raises(kvx.KvxInputError) as caught:
            kvx.load(path)
        r = run_program("kvxdump", path)
        if name == "version-9":
            # kvxdump prints the header of a version it does not know.
            assert r.returncode == 0
            assert str(caught.value) == f"{path}: unsupported version 9"
        else:
            assert r.returncode == 2
            assert str(caught.value) == r.stderr.decode()[len("kvxdump: "):-1]
        with pytest.raises(kvx.KvxInputError) as from_memory:
            kvx.load_bytes(data, name="mem")
        assert str(from_memory.value) == "mem" + str(caught.value)[len(str(path)):]
    assert str(caught.value) != ""


def test_load_of_what_cannot_be_read(tmp_path):
    missing = tmp_path / "missing.kvx"
    with pytest.raises(FileNotFoundError) as caught:
        kvx.load(missing)
    e = caught.value
    assert isinstance(e, kvx.KvxIOError)
    assert (e.errno, e.filename, str(e)) == (errno.ENOENT, missing,
                                             f"{missing}: No such file or directory")
    assert str(e) == run_program("kvxdump", missing).stderr.decode()[len("kvxdump: "):-1]
    with pytest.raises(kvx.KvxIOError) as caught:
        kvx.load(tmp_path)
    assert caught.value.errno == errno.EISDIR
    with pytest.raises(kvx.KvxInputError, match="the path holds a zero byte"):
        kvx.load(b"a\0b")


def test_save_failures_leave_what_was_there(tmp_path):
    mesh = kvx.Mesh(np.zeros((3, 3)), [[0, 1, 2]])
    (tmp_path / "file").write_bytes(b"old")
    cases = [(tmp_path / "no" / "m.kvx", kvx.KvxFileNotFoundError, errno.ENOENT,
              "No such file or directory"),
             (tmp_path / "file" / "m.kvx", kvx.KvxIOError, errno.ENOTDIR, "Not a directory"),
             ("/dev/full", kvx.KvxIOError, errno.ENOSPC, "No space left on device"),
             (tmp_path, kvx.KvxIOError, errno.EISDIR, "Is a directory")]
    for path, cls, number, words in cases:
        with pytest.raises(cls) as caught:
            mesh.save(path)
        assert (caught.value.errno, str(caught.value)) == (number, f"{path}: {words}")
    assert sorted(os.listdir(tmp_path)) == ["file"]


def run_limited(script, **limits):
    """Runs a Python script in a fresh interpreter under resource limits."""
    prelude = textwrap.dedent(f"""
        import resource
        for name, value in {limits!r}.items():
            resource.setrlimit(getattr(resource, name), (value, value))
    """)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)],
                          capture_output=True, text=True, env=env, timeout=120)


def test_a_file_size_limit_fails_the_save_and_keeps_the_old_file(tmp_path):
    target = tmp_path / "big.kvx"
    target.write_bytes(b"old file")
    r = run_limited(f"""
        import numpy as np, kvx
        mesh = kvx.Mesh(np.zeros((100000, 3)), version=-1)
        try:
            mesh.save({str(target)!r})
        except kvx.KvxIOError as e:
            print(type(e).__name__, e.errno, e)
    """, RLIMIT_FSIZE=1 << 20)
    assert r.stdout == f"KvxIOError 27 {target}: File too large\n", r.stderr
    assert target.read_bytes() == b"old file"
    assert os.listdir(tmp_path) == ["big.kvx"]


def test_memory_short_raises_kvx_memory_error(tmp_path):
    """Under an address-space limit, a load whose counts the file backs (a
    sparse file) and a conversion whose counts the text backs fail with
    KvxMemoryError and the programs' words."""
    big = tmp_path / "big.kvx"
    with open(big, "wb") as f:
        f.write(header(1 << 27, 0, 1))  # 2 GiB of records
        f.truncate(15 + (16 << 27))
    text = tmp_path / "big.cmsh"
    with open(text, "wb") as f:
        f.write(b"100000000 0\n")  # 2.8 GB of version-3 records
        f.truncate(12 + 2 * 7 * 100000000)
    r = run_limited(f"""
        import resource, kvx
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        limit = size + (1536 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for work in (lambda: kvx.load({str(big)!r}),
                     lambda: kvx.convert({str(text)!r}, {str(tmp_path / "out.kvx")!r}, 3)):
            try:
                work()
                print("no error")
            except kvx.KvxMemoryError as e:
                print(isinstance(e, MemoryError), e)
    """)
    assert r.stdout == (f"True {big}: out of memory (2147483648 bytes)\n"
                        "True out of memory (2800000000 bytes)\n"), r.stderr
    assert not (tmp_path / "out.kvx").exists()
