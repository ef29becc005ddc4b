"""Shared helpers of the Python tests: the built programs (whose paths CTest
passes as KVXCONV1 ... KVXDUMP), the bundled files, and text meshes made
from a seed."""

import os
import random
import subprocess
from pathlib import Path

import pytest

import kvx

# The versions the converters write, the converter of each and the values
# per vertex it reads, as docs/format.md and the programs' --help give them.
VERSIONS = (1, 2, 3, 4, -1, -2)
PROGRAMS = {1: "kvxconv1", 2: "kvxconv2", 3: "kvxconv3", 4: "kvxconv4", -1: "kvxpoints",
            -2: "kvxwire"}
VALUES = {1: 3, 2: 7, 3: 7, 4: 9, -1: 7, -2: 7}

# examples/cube9.cmsh's u, v as the text gives them, and as kvxconv4 stores
# them (v as 1 - v).
CUBE9_UV = [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0.5], [1, 0.5], [1, 1], [0, 1]]
CUBE9_STORED_UV = [[0, 1], [1, 1], [1, 0], [0, 0], [0, 0.5], [1, 0.5], [1, 0], [0, 0]]


def program_path(name):
    path = os.environ.get(name.upper())
    if not path or not os.path.exists(path):
        pytest.skip(f"{name.upper()} does not name the built {name} (run through CTest)")
    return path


def run_program(name, *args):
    """Runs a built program; returns the CompletedProcess (bytes)."""
    return subprocess.run([program_path(name), *map(str, args)], capture_output=True,
                          stdin=subprocess.DEVNULL)


def program_message(name, *args):
    """Runs a built program; returns its exit status and, where it failed,
    the one line it printed after "<name>: " (checked to be one such line),
    which is what kvx's exception says."""
    r = run_program(name, *args)
    if r.returncode == 0:
        return 0, None
    text = r.stderr.decode()
    assert text.startswith(f"{name}: ") and text.endswith("\n") and text.count("\n") == 1, text
    return r.returncode, text[len(name) + 2:-1]


def program_file(version, src, dst):
    """The bytes the converter of `version` writes for src (asserts success)."""
    r = run_program(PROGRAMS[version], src, dst)
    assert r.returncode == 0, r.stderr
    return Path(dst).read_bytes()


def example(name):
    return Path(os.environ.get("KVX_EXAMPLES", Path(__file__).parents[2] / "examples")) / name


def test_data(name):
    root = os.environ.get("KVX_TEST_DATA", Path(__file__).parents[2] / "tests" / "data")
    return Path(root) / name


test_data.__test__ = False  # a helper, not a test


def _number(rng):
    """A value written the way text meshes write them, in several forms."""
    form = rng.randrange(6)
    if form == 0:
        return str(rng.randint(-50, 50))
    if form == 1:
        return f"{rng.uniform(-10, 10):.3f}"
    if form == 2:
        return f"{rng.uniform(-1e4, 1e4):.8e}"
    if form == 3:
        return repr(rng.uniform(-1, 1))
    if form == 4:
        return f"{rng.uniform(-1, 1):.7g}"
    return f"{rng.choice(['', '-'])}{rng.randint(0, 99)}.{rng.randint(0, 999):03d}"


def cmsh_text(rng, values, vertices, faces, name="mesh"):
    """A valid text mesh of `values` values per vertex (3, 7 or 9)."""
    lines = [f"{vertices} {faces}"]
    for _ in range(vertices):
        entry = []
        if values == 9:
            entry += [f"{rng.uniform(-0.5, 1.5):.6g}" for _ in range(2)]
        if values >= 7:
            entry += [rng.choice(["0", "1", "0.5", f"{rng.random():.4f}"]) for _ in range(4)]
        entry += [_number(rng) for _ in range(3)]
        lines.append(" ".join(entry))
    for _ in range(faces):
        lines.append(" ".join(str(rng.randrange(vertices)) for _ in range(3)))
    if values == 9:
        lines.append(name)
    return "\n".join(lines) + "\n"


def write_cmsh(path, seed, values, vertices=None, faces=None, name="mesh"):
    rng = random.Random(seed)
    vertices = rng.randint(1, 40) if vertices is None else vertices
    faces = rng.randint(0, 60) if faces is None else faces
    Path(path).write_text(cmsh_text(rng, values, vertices, faces, name))
    return path
