#!/usr/bin/python3
"""kvxopt against gltfpack on real meshes: the GPU order, the simplification
and the fit.

    bench/opt_bench.py [--bin build/bin] [--gltfpack web/node_modules/.bin/gltfpack]
                       [--runs 5] [--markdown]

Needs the built programs (kvximport, kvxexport, kvxopt) and the Python
module (build/python), gltfpack from the web lockfile (`cd web && npm ci`),
NumPy and SciPy, and the Debian package assimp-testmodels; the Stanford
bunny of bench/bunny.py joins where npm can fetch it.

For each mesh: kvximport --weld writes the common input (version 3, the
vertices equal in every bit joined, as gltfpack joins them), kvxexport its
GLB for gltfpack. Then, one process per file, the median of --runs runs:
`kvxopt in.kvx out.kvx` against `gltfpack -i in.glb -o out.glb -noq`; and
`kvxopt --simplify R` against `gltfpack -si 0.5 -noq`, R being the share of
triangles gltfpack kept, so that both have the same triangle count (kvxopt
--simplify 0.5 is listed too).

Every figure is computed here from the files read back (the KVX by kvx.load,
the GLB by the reader below), by one analyzer for both: ACMR and ATVR of a
16-entry FIFO vertex cache (the model of meshopt_analyzeVertexCache with
cache 16, warp 0, primgroup 0), and the geometric error of a simplified
mesh: the largest distance from points sampled on its triangles (centroids
and seeded random points, at most 3,000) to the input's surface, over the
length of the input's bounding-box diagonal. The distance to the surface is
the least distance to an input triangle (Ericson's closest point), over
every triangle that can be nearest: those that reach farther from their
centroid than 3 times the median always, the others where their centroids
are among the 48 (then 512) nearest, or within the distance found plus 3
times the median (scipy's cKDTree); so the distance is exact.

Last, --fit is timed on a real mesh subdivided (each triangle in four, its
edges' midpoints shared) until it has 200,000 vertices or more (COLLADA.dae:
215,134), as wall time and as the processor time of the run (user and
system), the machine being shared.
"""

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

MODELS = "/usr/share/assimp/models"
# Real meshes of assimp's test models: scans, CAD exports, modelled objects.
MESHES = [
    ("duck (COLLADA)", "Collada/duck_triangulate.dae"),
    ("COLLADA", "Collada/COLLADA.dae"),
    ("teapots (COLLADA)", "Collada/teapots.DAE"),
    ("earth (COLLADA)", "Collada/earthCylindrical.DAE"),
    ("2CylinderEngine (glTF)", "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"),
    ("Wuson (OBJ)", "OBJ/WusonOBJ.obj"),
    ("Wuson (PLY)", "PLY/Wuson.ply"),
    ("spider (OBJ)", "OBJ/spider.obj"),
    ("Spider (STL)", "STL/Spider_binary.stl"),
    ("sphereWithHole (STL)", "STL/sphereWithHole.stl"),
]


def run(command):
    r = subprocess.run(command, capture_output=True)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))}: {r.stderr.decode(errors='replace')}")
    return r


def timed(command, runs, processor=False):
    """The median wall time of `runs` runs of `command`, one process each;
    with `processor`, also the median processor time of the runs."""
    times, cpu = [], []
    for _ in range(runs):
        before = os.times()
        start = time.perf_counter()
        run(command)
        times.append(time.perf_counter() - start)
        after = os.times()
        cpu.append(after.children_user - before.children_user + after.children_system -
                   before.children_system)
    if processor:
        return statistics.median(times), statistics.median(cpu)
    return statistics.median(times)


def read_glb(path):
    """The positions (float32, N x 3) and triangles (T x 3) of every mesh
    primitive of a GLB, concatenated, the nodes' matrices applied."""
    data = open(path, "rb").read()
    length = struct.unpack_from("<I", data, 12)[0]
    doc = json.loads(data[20:20 + length])
    binary = data[20 + length + 8:]
    kinds = {5121: np.uint8, 5123: np.uint16, 5125: np.uint32, 5126: np.float32}
    widths = {"SCALAR": 1, "VEC3": 3}

    def accessor(k):
        a = doc["accessors"][k]
        view = doc["bufferViews"][a["bufferView"]]
        dtype = np.dtype(kinds[a["componentType"]])
        width = widths[a["type"]]
        start = view.get("byteOffset", 0) + a.get("byteOffset", 0)
        stride = view.get("byteStride", dtype.itemsize * width)
        rows = np.ndarray((a["count"], width), dtype, binary, start, (stride, dtype.itemsize))
        return rows.copy()

    positions, triangles, base = [], [], 0
    for node in doc.get("nodes", []):
        if "mesh" not in node:
            continue
        matrix = np.array(node.get("matrix", np.eye(4).ravel()), np.float64).reshape(4, 4).T
        if any(key in node for key in ("translation", "rotation", "scale")):
            raise ValueError(f"{path}: node transforms other than a matrix")
        for primitive in doc["meshes"][node["mesh"]]["primitives"]:
            if primitive.get("mode", 4) != 4:
                continue
            p = accessor(primitive["attributes"]["POSITION"]).astype(np.float64)
            p = (np.c_[p, np.ones(len(p))] @ matrix.T)[:, :3]
            t = accessor(primitive["indices"]).reshape(-1, 3).astype(np.int64)
            positions.append(p)
            triangles.append(t + base)
            base += len(p)
    return np.vstack(positions).astype(np.float32), np.vstack(triangles)


def read_kvx(kvx, path):
    m = kvx.load(path)
    return np.array(m.positions, np.float32), np.array(m.faces, np.int64)


def fifo(triangles, vertex_count, size=16):
    """ACMR and ATVR of a `size`-entry FIFO cache: a vertex is transformed
    when it is not among the last `size` transformed."""
    stamp = np.full(vertex_count, -(10 ** 9), np.int64)
    now = 0
    for v in triangles.ravel().tolist():
        if now - stamp[v] > size:
            stamp[v] = now
            now += 1
    used = len(np.unique(triangles))
    return now / len(triangles), now / used


def closest_distance(points, a, b, c):
    """Distance from each point to its triangle (a, b, c rows), by the
    regions of Ericson's closest-point test."""
    ab, ac, ap = b - a, c - a, points - a
    d1, d2 = (ab * ap).sum(-1), (ac * ap).sum(-1)
    bp = points - b
    d3, d4 = (ab * bp).sum(-1), (ac * bp).sum(-1)
    cp = points - c
    d5, d6 = (ab * cp).sum(-1), (ac * cp).sum(-1)
    va = d3 * d6 - d5 * d4
    vb = d5 * d2 - d1 * d6
    vc = d1 * d4 - d3 * d2
    denom = va + vb + vc
    with np.errstate(divide="ignore", invalid="ignore"):
        v = np.where(denom != 0, vb / denom, 0)
        w = np.where(denom != 0, vc / denom, 0)
    q = a + ab * v[..., None] + ac * w[..., None]
    # Vertex and edge regions.
    with np.errstate(divide="ignore", invalid="ignore"):
        cases = [
            ((d1 <= 0) & (d2 <= 0), a),
            ((d3 >= 0) & (d4 <= d3), b),
            ((d6 >= 0) & (d5 <= d6), c),
            ((vc <= 0) & (d1 >= 0) & (d3 <= 0), a + ab * np.nan_to_num(d1 / (d1 - d3))[..., None]),
            ((vb <= 0) & (d2 >= 0) & (d6 <= 0), a + ac * np.nan_to_num(d2 / (d2 - d6))[..., None]),
            ((va <= 0) & ((d4 - d3) >= 0) & ((d5 - d6) >= 0),
             b + (c - b) * np.nan_to_num((d4 - d3) / ((d4 - d3) + (d5 - d6)))[..., None]),
        ]
    for mask, at in reversed(cases):
        q = np.where(mask[..., None], at, q)
    return np.linalg.norm(points - q, axis=-1)


def surface_error(source, simplified, seed=1):
    """The largest distance from points on `simplified` to `source`'s
    surface, over `source`'s bounding-box diagonal."""
    from scipy.spatial import cKDTree

    sp, st = source
    op, ot = simplified
    sp, op = sp.astype(np.float64), op.astype(np.float64)
    rng = np.random.default_rng(seed)
    corners = op[ot]
    bary = rng.dirichlet([1, 1, 1], size=(len(ot), 4))
    samples = np.concatenate([corners.mean(1), np.einsum("tkc,tcd->tkd", bary, corners).reshape(-1, 3)])
    if len(samples) > 3000:
        samples = samples[rng.choice(len(samples), 3000, replace=False)]
    triangles = sp[st]
    centroids = triangles.mean(1)
    radius = np.linalg.norm(triangles - centroids[:, None, :], axis=-1).max(1)
    # The triangles that reach farther than 3 times the median from their
    # centroids are measured for every point; the others reach no farther
    # than `reach`.
    reach = 3 * np.median(radius)
    big = np.nonzero(radius > reach)[0]
    small = np.nonzero(radius <= reach)[0]
    d = np.full(len(samples), np.inf)
    for chunk in range(0, len(samples), 256):
        part = samples[chunk:chunk + 256, None, :]
        tri = triangles[big]
        if len(big):
            d[chunk:chunk + 256] = closest_distance(part, tri[None, :, 0], tri[None, :, 1],
                                                    tri[None, :, 2]).min(1)
    if len(small):
        tree = cKDTree(centroids[small])
        k = min(48, len(small))
        far, near = tree.query(samples, k=k)
        near, far = near.reshape(len(samples), k), far.reshape(len(samples), k)
        tri = triangles[small[near]]
        d = np.minimum(d, closest_distance(samples[:, None, :], tri[:, :, 0], tri[:, :, 1],
                                           tri[:, :, 2]).min(1))
        # Where a small triangle beyond the k nearest centroids could be
        # nearer: the 512 nearest, then every one whose centroid lies within
        # reach.
        flagged = np.nonzero(d + reach > far[:, -1])[0]
        k = min(512, len(small))
        for chunk in range(0, len(flagged), 500):
            rows = flagged[chunk:chunk + 500]
            far2, near2 = tree.query(samples[rows], k=k)
            near2, far2 = near2.reshape(len(rows), k), far2.reshape(len(rows), k)
            tri = triangles[small[near2]]
            d[rows] = np.minimum(d[rows], closest_distance(
                samples[rows][:, None, :], tri[:, :, 0], tri[:, :, 1], tri[:, :, 2]).min(1))
            far[rows, -1] = far2[:, -1]
        rest = flagged[d[flagged] + reach > far[flagged, -1]]
        for i in rest:
            ball = small[np.array(tree.query_ball_point(samples[i], d[i] + reach), np.int64)]
            if len(ball):
                tri = triangles[ball]
                d[i] = min(d[i], closest_distance(samples[i][None, :], tri[:, 0], tri[:, 1],
                                                  tri[:, 2]).min())
    diagonal = np.linalg.norm(sp.max(0) - sp.min(0))
    return float(d.max() / diagonal)


def subdivided(positions, triangles, vertices):
    """Midpoint subdivision, each edge's midpoint shared, until the mesh has
    at least `vertices` vertices."""
    p, t = positions.astype(np.float32), triangles.astype(np.int64)
    while len(p) < vertices:
        edges = np.sort(np.concatenate([t[:, [0, 1]], t[:, [1, 2]], t[:, [2, 0]]]), axis=1)
        unique, inverse = np.unique(edges, axis=0, return_inverse=True)
        mid = len(p) + inverse.reshape(3, -1).T  # midpoints of (0,1), (1,2), (2,0)
        p = np.vstack([p, (p[unique[:, 0]] + p[unique[:, 1]]) / 2]).astype(np.float32)
        a, b, c = t.T
        m01, m12, m20 = mid.T
        t = np.concatenate([np.c_[a, m01, m20], np.c_[m01, b, m12], np.c_[m20, m12, c],
                            np.c_[m01, m12, m20]])
    return p, t


def write_ply(path, positions, triangles):
    with open(path, "wb") as f:
        f.write(("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\n"
                 "property float y\nproperty float z\nelement face %d\n"
                 "property list uchar int vertex_indices\nend_header\n"
                 % (len(positions), len(triangles))).encode())
        f.write(positions.astype("<f4").tobytes())
        rows = np.zeros(len(triangles), dtype=[("n", "u1"), ("i", "<i4", 3)])
        rows["n"], rows["i"] = 3, triangles
        f.write(rows.tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"))
    parser.add_argument("--python", default=os.path.join(ROOT, "build", "python"))
    parser.add_argument("--gltfpack",
                        default=os.path.join(ROOT, "web", "node_modules", ".bin", "gltfpack"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, args.python)
    import kvx  # noqa: E402

    tool = lambda name: os.path.join(args.bin, name)
    work = tempfile.mkdtemp(prefix="kvxopt-bench.")
    meshes = [(name, os.path.join(MODELS, path)) for name, path in MESHES
              if os.path.exists(os.path.join(MODELS, path))]
    try:
        import bunny
        positions, cells = bunny.load(bunny.fetch(work))
        path = os.path.join(work, "bunny.ply")
        write_ply(path, np.array(positions, np.float32), np.array(cells, np.int64))
        meshes.insert(0, ("Stanford bunny", path))
    except Exception as error:  # noqa: BLE001 (npm may be offline)
        print(f"(the Stanford bunny is left out: {error})", file=sys.stderr)

    print(f"`bench/opt_bench.py --runs {args.runs}`; load average before "
          f"{os.getloadavg()[0]:.2f}\n")
    order_rows, simplify_rows, ratios_acmr, ratios_time = [], [], [], []
    for name, source in meshes:
        base = os.path.join(work, "in.kvx")
        glb = os.path.join(work, "in.glb")
        run([tool("kvximport"), "--weld", "--layout", "3", source, base])
        run([tool("kvxexport"), base, glb])
        ours, theirs = os.path.join(work, "opt.kvx"), os.path.join(work, "gp.glb")
        t_ours = timed([tool("kvxopt"), base, ours], args.runs, True)
        t_theirs = timed([args.gltfpack, "-i", glb, "-o", theirs, "-noq"], args.runs, True)
        p, t = read_kvx(kvx, base)
        a0 = fifo(t, len(p))
        op, ot = read_kvx(kvx, ours)
        a1 = fifo(ot, len(op))
        gp, gt = read_glb(theirs)
        a2 = fifo(gt, len(gp))
        order_rows.append((name, len(t), len(p), a0, a1, a2, t_ours, t_theirs))
        ratios_acmr.append(a1[0] / a2[0])
        ratios_time.append(t_ours[0] / t_theirs[0])

        # Simplification to half: gltfpack's count, and kvxopt at that count.
        half = os.path.join(work, "gp-half.glb")
        run([args.gltfpack, "-i", glb, "-o", half, "-noq", "-si", "0.5"])
        hp, ht = read_glb(half)
        share = min(1.0, len(ht) / len(t))
        same = os.path.join(work, "opt-same.kvx")
        run([tool("kvxopt"), "--simplify", repr(share), base, same])
        sp, st = read_kvx(kvx, same)
        plain = os.path.join(work, "opt-half.kvx")
        run([tool("kvxopt"), "--simplify", "0.5", base, plain])
        _, pt = read_kvx(kvx, plain)
        e_ours = surface_error((p, t), (sp, st))
        e_theirs = surface_error((p, t), (hp, ht))
        simplify_rows.append((name, len(t), len(pt), len(st), len(ht), e_ours, e_theirs))

    print("### The GPU order: kvxopt against gltfpack -noq\n")
    print("| mesh | triangles | vertices | ACMR in | ACMR kvxopt | ACMR gltfpack | kvxopt / "
          "gltfpack | ATVR in | ATVR kvxopt | ATVR gltfpack | time kvxopt | time gltfpack |"
          " processor kvxopt | processor gltfpack |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, tris, verts, a0, a1, a2, t1, t2 in order_rows:
        print(f"| {name} | {tris} | {verts} | {a0[0]:.3f} | {a1[0]:.3f} | {a2[0]:.3f} | "
              f"{a1[0] / a2[0]:.3f} | {a0[1]:.3f} | {a1[1]:.3f} | {a2[1]:.3f} | "
              f"{t1[0] * 1000:.1f} ms | {t2[0] * 1000:.1f} ms | {t1[1] * 1000:.0f} ms | "
              f"{t2[1] * 1000:.0f} ms |")
    mean1 = statistics.mean(r[4][0] for r in order_rows)
    mean2 = statistics.mean(r[5][0] for r in order_rows)
    print(f"| mean | | | | {mean1:.3f} | {mean2:.3f} | {mean1 / mean2:.3f} | | | | | | | |\n")
    print(f"ACMR kvxopt / gltfpack: at most {max(ratios_acmr):.3f} per mesh (target 1.02), "
          f"mean {mean1:.3f} against {mean2:.3f}; time kvxopt / gltfpack at most "
          f"{max(ratios_time):.3f} in wall time (target 1).\n")

    print("### Simplification to half: kvxopt --simplify against gltfpack -si 0.5 -noq\n")
    print("| mesh | triangles | kvxopt --simplify 0.5 | kvxopt at gltfpack's count | "
          "gltfpack -si 0.5 | error kvxopt | error gltfpack | kvxopt / gltfpack |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    worst = 0.0
    for name, tris, half, same, theirs, e1, e2 in simplify_rows:
        ratio = e1 / e2 if e2 > 0 else (1.0 if e1 == 0 else float("inf"))
        worst = max(worst, ratio)
        print(f"| {name} | {tris} | {half} | {same} | {theirs} | {e1:.5f} | {e2:.5f} | "
              f"{ratio:.2f} |")
    print(f"\nError kvxopt / gltfpack at the same count: at most {worst:.2f} (target 1.1).\n")

    # --fit on a subdivided real mesh of 200,000 vertices or more.
    name, source = next((m for m in meshes if m[0] == "COLLADA"), meshes[0])
    run([tool("kvximport"), "--weld", "--layout", "3", source, base])
    p, t = read_kvx(kvx, base)
    big_p, big_t = subdivided(p, t, 200000)
    big = os.path.join(work, "big.ply")
    write_ply(big, big_p, big_t)
    fitted = os.path.join(work, "fit.kvx")
    w_import, c_import = timed([tool("kvximport"), "--fit", big, fitted], args.runs, True)
    w_opt, c_opt = timed([tool("kvxopt"), "--fit", big, fitted], args.runs, True)
    fp, ft = read_kvx(kvx, fitted)
    print("### --fit on a subdivided real mesh\n")
    print(f"{name} subdivided: {len(big_p)} vertices, {len(big_t)} triangles (binary PLY); "
          f"median of {args.runs}: `kvximport --fit` {w_import * 1000:.0f} ms wall, "
          f"{c_import * 1000:.0f} ms processor; `kvxopt --fit` (with the order) "
          f"{w_opt * 1000:.0f} ms wall, {c_opt * 1000:.0f} ms processor; result {len(fp)} "
          f"vertices, {len(ft)} triangles (target: under 1 s).\n")
    print(f"Load average after {os.getloadavg()[0]:.2f}.")
    for f in os.listdir(work):
        os.remove(os.path.join(work, f))
    os.rmdir(work)


if __name__ == "__main__":
    main()
