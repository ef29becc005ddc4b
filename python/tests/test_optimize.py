"""kvx.optimize and kvx.simplify over NumPy arrays: the same mesh in GPU
order, checked against a FIFO cache and the triangles as positions counted
here; fewer triangles with the borders kept; kvxopt's own result for the
same mesh; and the arguments refused."""

import collections

import numpy as np
import pytest

import kvx
from conftest import run_program

pytestmark = pytest.mark.skipif(not hasattr(kvx, "simplify"),
                                reason="the build has no meshoptimizer")


def grid(n, seed=3):
    """An n x n grid over a wave, its triangles shuffled."""
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    z = 0.3 * np.sin(0.4 * i) * np.cos(0.3 * j)
    positions = np.stack([i, j, z], axis=-1).reshape(-1, 3).astype(np.float32)
    cells = (i[:-1, :-1] * n + j[:-1, :-1]).ravel()
    triangles = np.concatenate([np.stack([cells, cells + n, cells + n + 1], 1),
                                np.stack([cells, cells + n + 1, cells + 1], 1)])
    return positions, np.random.default_rng(seed).permutation(triangles)


def as_positions(positions, triangles):
    """The triangles as position triples, each rotated to start at its
    least corner (so the winding counts, not the first corner)."""
    out = []
    for t in triangles:
        corners = [tuple(positions[v].tolist()) for v in t]
        k = corners.index(min(corners))
        out.append(tuple(corners[k:] + corners[:k]))
    return collections.Counter(out)


def fifo_acmr(triangles, size=16):
    fifo, misses = collections.deque(), 0
    for v in np.asarray(triangles).ravel().tolist():
        if v in fifo:
            continue
        misses += 1
        fifo.append(v)
        if len(fifo) > size:
            fifo.popleft()
    return misses / len(triangles)


def border_positions(positions, triangles):
    edges = collections.Counter()
    for a, b, c in triangles.tolist():
        for e in ((a, b), (b, c), (c, a)):
            edges[tuple(sorted(e))] += 1
    return {tuple(positions[v].tolist()) for e, n in edges.items() if n == 1 for v in e}


def test_optimize_keeps_the_mesh_in_cache_and_fetch_order():
    positions, triangles = grid(20)
    # A repeated triangle, a degenerate one, and a vertex no triangle names.
    positions = np.vstack([positions, [[9, 9, 9]]]).astype(np.float32)
    triangles = np.vstack([triangles, triangles[:1], [[5, 5, 6]]])
    new, order = kvx.optimize(positions, triangles)
    assert new.dtype == np.uint32 and new.shape == triangles.shape
    assert order.dtype == np.uint32 and sorted(order.tolist()) == list(range(len(positions)))
    assert as_positions(positions[order], new) == as_positions(positions, triangles)
    # The vertices in the order the triangles first name them, the unused last.
    first = list(dict.fromkeys(new.ravel().tolist()))
    assert first == list(range(len(first))) and order[-1] == len(positions) - 1
    assert fifo_acmr(triangles) > 1.5 and fifo_acmr(new) < 0.8
    # The same arrays, the same answer; a list of lists is taken too.
    again, order2 = kvx.optimize(positions.tolist(), triangles.tolist())
    assert (again == new).all() and (order2 == order).all()


def test_optimize_orders_a_point_set_in_space():
    positions, _ = grid(16)
    shuffled = np.random.default_rng(5).permutation(positions)
    triangles, order = kvx.optimize(shuffled)
    assert triangles.shape == (0, 3)
    assert sorted(order.tolist()) == list(range(len(shuffled)))
    steps = lambda p: np.linalg.norm(np.diff(p, axis=0), axis=1).mean()
    assert steps(shuffled) > 4 and steps(shuffled[order]) < 2


@pytest.mark.parametrize("ratio", [0.5, 0.2])
def test_simplify_reaches_the_target_and_keeps_the_border(ratio):
    positions, triangles = grid(30)
    target = round(ratio * len(triangles))
    new, order, error = kvx.simplify(positions, triangles, ratio, error=0.05)
    assert 0.9 * target <= len(new) <= target
    assert 0 < error <= 0.05
    assert (order[1:] > order[:-1]).all() and set(new.ravel().tolist()) == set(range(len(order)))
    assert not ((new[:, 0] == new[:, 1]) | (new[:, 1] == new[:, 2]) | (new[:, 2] == new[:, 0])).any()
    kept = {tuple(p) for p in positions[order].tolist()}
    assert border_positions(positions, triangles) <= kept


def test_simplify_as_kvxopt_does(tmp_path):
    positions, triangles = grid(25)
    obj = tmp_path / "grid.obj"
    obj.write_text("".join(f"v {x:g} {y:g} {z!r}\n" for x, y, z in positions.tolist()) +
                   "".join(f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in triangles.tolist()))
    out = tmp_path / "grid.kvx"
    r = run_program("kvxopt", "--no-optimize", "--simplify", "0.4", "--layout", "1", obj, out)
    assert r.returncode == 0, r.stderr
    mesh = kvx.load(out)
    read = kvx.load_any(obj, split=False, version=1, format="", color_order="argb", name=None,
                        weld=None)
    new, order, _ = kvx.simplify(read.positions, read.faces, 0.4)
    assert (mesh.faces == new).all()
    assert (mesh.positions == read.positions[order]).all()


def test_fit_keeps_at_most_the_vertices_asked():
    positions, triangles = grid(40)
    new, order, _ = kvx.simplify(positions, triangles, 1.0, error=1.0, max_vertices=1000)
    assert 900 <= len(order) <= 1000
    new, order, _ = kvx.simplify(positions, triangles, 1.0, error=1.0, max_vertices=1600)
    assert len(order) == 1600 and len(new) == len(triangles)


@pytest.mark.parametrize("call, message", [
    (lambda p, t: kvx.optimize(p, t[:, :2]), "triangles must be a (T, 3) array of vertex indices"),
    (lambda p, t: kvx.optimize(p[:, :2], t), "positions must be an (N, 3) array of numbers"),
    (lambda p, t: kvx.optimize(p, t + 0.5), "triangles must be a (T, 3) array of vertex indices"),
    (lambda p, t: kvx.optimize(p, [[0, 1, 16]]), "triangle 0 names vertex 16 of 16"),
    (lambda p, t: kvx.simplify(p, [[0, 1, 2], [0, -1, 2]], 0.5), "triangle 1 names vertex -1 of 16"),
    (lambda p, t: kvx.simplify(p, t, 0.0), "ratio must be above 0 and at most 1; got 0.0"),
    (lambda p, t: kvx.simplify(p, t, 1.5), "ratio must be above 0 and at most 1; got 1.5"),
    (lambda p, t: kvx.simplify(p, t, 0.5, error=-1), "error must be 0 or more; got -1.0"),
    (lambda p, t: kvx.simplify(p, None, 0.5), "no triangles to simplify"),
])
def test_bad_arguments_are_refused(call, message):
    positions, triangles = grid(4)
    with pytest.raises(kvx.KvxInputError) as raised:
        call(positions, triangles)
    assert str(raised.value) == message


def test_a_fit_that_cannot_be_met_is_refused():
    positions, triangles = grid(20)
    with pytest.raises(kvx.KvxInputError, match=r"^kept \d+ vertices; at most 10 fit"):
        kvx.simplify(positions, triangles, 1.0, error=0.0, max_vertices=10)
