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
from conftest import program_message


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
        status, message = program_message("kvxdump", path)
        if name == "version-9":
            # kvxdump prints the header of a version it does not know.
            assert status == 0
            assert str(caught.value) == f"{path}: unsupported version 9"
        else:
            assert (status, str(caught.value)) == (2, message)
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
    assert str(e) == program_message("kvxdump", missing)[1]
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


def run_limited(script, malloc_env=None, **limits):
    """Runs a Python script in a fresh interpreter under resource limits."""
    prelude = textwrap.dedent(f"""
        import resource
        for name, value in {limits!r}.items():
            resource.setrlimit(getattr(resource, name), (value, value))
    """)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", **(malloc_env or {}))
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


def test_memory_short_anywhere_raises_kvx_memory_error(tmp_path):
    """With little room left under an address-space limit, every call that
    allocates in proportion to a mesh (NumPy's copies and arrays, C++
    vectors, bytes) raises KvxMemoryError, not RuntimeError or a bare
    MemoryError; and the module still works once the memory is back."""
    r = run_limited("""
        import pickle, resource
        import numpy as np, kvx
        n = 2_000_000
        pos64 = np.zeros((n, 3))
        pos32 = np.zeros((n, 3), np.float32)
        values = np.zeros((n, 4))
        words = np.zeros(n, np.uint32)
        points = kvx.Mesh(pos32, version=1)
        textured = kvx.Mesh(pos32, stored_uv=np.zeros((n, 2), np.float32), version=4)
        data = bytearray(16 + 16 * n)
        works = {
            "a float64 copy": lambda: kvx.Mesh(pos64, version=1),
            "colour values": lambda: kvx.Mesh(pos32, colors=values, version=1),
            "colour words": lambda: kvx.Mesh(pos32, colors=words, version=1),
            "the records": lambda: kvx.Mesh(pos32, version=1),
            "rgba": points.rgba,
            "uv": lambda: textured.uv,
            "pickle": lambda: pickle.dumps(points),
            "load_bytes": lambda: kvx.load_bytes(data),
        }
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        limit = size + (4 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        for name, work in works.items():
            try:
                work()
                print(name, "no error")
            except Exception as e:
                print(name, type(e).__name__, isinstance(e, MemoryError), e)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        print(kvx.Mesh(pos64, colors=values, version=1).rgba().shape)
    """, malloc_env={"MALLOC_MMAP_THRESHOLD_": "65536"})  # what is freed goes back at once
    assert r.stdout.splitlines() == [
        "a float64 copy KvxMemoryError True out of memory (24000000 bytes)",
        "colour values KvxMemoryError True out of memory",
        "colour words KvxMemoryError True out of memory",
        "the records KvxMemoryError True out of memory (32000000 bytes)",
        "rgba KvxMemoryError True out of memory",
        "uv KvxMemoryError True out of memory",
        "pickle KvxMemoryError True out of memory",
        "load_bytes KvxMemoryError True out of memory (32000016 bytes)",
        "(2000000, 4)",
    ], r.stderr


def test_an_output_that_is_its_input_is_refused(tmp_path):
    """convert, and save of a mesh over the file it was read from, refuse
    the same file by its name, a link or a hard link, before anything is
    read or written; another file, or one that does not exist, is fine."""
    src = tmp_path / "m.cmsh"
    write_text = "3 1\n1 1 1 1 0 0 0\n1 1 1 1 1 0 0\n1 1 1 1 0 1 0\n0 1 2\n"
    src.write_text(write_text)
    (tmp_path / "link.kvx").symlink_to(src)
    os.link(src, tmp_path / "hard.kvx")
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "up.cmsh").symlink_to("../m.cmsh")
    names = [src, tmp_path / "link.kvx", tmp_path / "hard.kvx", tmp_path / "dir" / "up.cmsh",
             tmp_path / "dir" / ".." / "m.cmsh"]
    for dst in names:
        message = f"{dst}: the same file as the input; choose another output"
        with pytest.raises(kvx.KvxIOError) as caught:
            kvx.convert(src, dst)
        assert str(caught.value) == message
        mesh = kvx.read_cmsh(src)
        with pytest.raises(kvx.KvxIOError) as caught:
            mesh.save(dst)
        assert str(caught.value) == message
    assert src.read_text() == write_text and os.path.islink(tmp_path / "link.kvx")

    kvx.convert(src, tmp_path / "out.kvx")  # new, then over an older file
    kvx.convert(src, tmp_path / "out.kvx")
    loaded = kvx.load(tmp_path / "out.kvx")
    before = (tmp_path / "out.kvx").read_bytes()
    with pytest.raises(kvx.KvxIOError, match="the same file as the input"):
        loaded.save(tmp_path / "out.kvx")
    assert (tmp_path / "out.kvx").read_bytes() == before
    loaded.save(tmp_path / "copy.kvx")
    assert (tmp_path / "copy.kvx").read_bytes() == before
    import pickle  # a copy comes from bytes, not from the file

    pickle.loads(pickle.dumps(loaded)).save(tmp_path / "out.kvx")
    assert kvx.Mesh(np.zeros((3, 3)), [[0, 1, 2]]).save(tmp_path / "out.kvx") is None

    off = tmp_path / "tetra.off"
    off.write_text("OFF\n4 4 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 0 3 2\n3 1 2 3\n")
    for part in [kvx.load_any(off)] + kvx.load_any(off, split=True):
        with pytest.raises(kvx.KvxIOError, match="the same file as the input"):
            part.save(off)
    assert off.read_text().startswith("OFF\n")


@pytest.mark.parametrize("call, error, message", [
    (lambda p: kvx.load_any(p, weld="yes"), TypeError,
     "weld must be True, False or None; got 'yes'"),
    (lambda p: kvx.load_any(p, weld=1), TypeError, "weld must be True, False or None; got 1"),
    (lambda p: kvx.load_any(p, split="no"), TypeError, "split must be True or False; got 'no'"),
    (lambda p: kvx.load_any(p, split=None), TypeError, "split must be True or False; got None"),
    (lambda p: kvx.load_any(p, name=5), TypeError, "name must be str, bytes or None; got int 5"),
    (lambda p: kvx.load_any(p, format=b"off"), TypeError,
     "format must be str or None; got bytes b'off'"),
    (lambda p: kvx.load_any(p, color_order=None), TypeError,
     "color_order must be str; got NoneType None"),
    (lambda p: kvx.load_any(p, color_order="bgra"), kvx.KvxInputError,
     'color_order must be "argb" or "rgba", not "bgra"'),
    (lambda p: kvx.load_bytes(5), TypeError,
     "data must be bytes, bytearray or memoryview; got int"),
    (lambda p: kvx.load_bytes(b"", name=None), TypeError, "name must be str; got NoneType None"),
    (lambda p: kvx.Mesh(np.zeros((3, 3)), color_order="abgr"), kvx.KvxInputError,
     'colour order "abgr" is neither argb nor rgba'),
])
def test_arguments_of_the_wrong_kind(tmp_path, call, error, message):
    src = tmp_path / "tetra.off"
    src.write_text("OFF\n4 4 0\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 0 3 2\n3 1 2 3\n")
    with pytest.raises(error) as caught:
        call(src)
    assert str(caught.value) == message


def test_flags_of_numpy_and_memory_views_are_taken(tmp_path):
    src = tmp_path / "two.off"
    src.write_text("OFF\n4 2 0\n0 0 0\n1 0 0\n0 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n")
    assert kvx.load_any(src, weld=np.bool_(True)).vertex_count == 3
    assert kvx.load_any(src, weld=False).vertex_count == 4
    assert len(kvx.load_any(src, split=np.True_)) == 1
    data = kvx.Mesh(np.zeros((3, 3)), [[0, 1, 2]]).__getstate__()[0]
    assert kvx.load_bytes(memoryview(bytearray(data))).__getstate__()[0] == data
