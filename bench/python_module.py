#!/usr/bin/python3
"""Measures the Python module's figures that the guide reports.

    /usr/bin/python3 bench/python_module.py build [--load-only] [--rounds N]

0. kvx.load beside numpy.fromfile of the same bytes plus the same views,
   and beside meshio and Open3D reading kvxexport's binary PLY of the same
   mesh, at every size: real meshes first (the Stanford bunny of
   bench/bunny.py where npm can fetch it, assimp's Wuson.ply and
   2CylinderEngine.glb imported by kvximport), then the knot surfaces of
   kvxcorpus from 1,000 to 65,536 vertices (kvxconv3, and kvxconv4 at
   65,536), then files of 4 vertices and an index block of 2 to 64 MiB
   (around the size from which a load's arrays go on huge pages). Each
   round times a batch of each reader in turn; the figures are the fastest
   round's time per read (on a shared machine, the round least disturbed)
   and the median round's (default 15 rounds), and each ratio divides two
   figures of the same run. --load-only stops after this table.

1. kvx.load of a version-3 file of 65,536 vertices and 131,072 triangles
   (bench/kvxgen random, converted by kvxconv3) into NumPy views: median of
   50 loads, beside reading the same bytes with numpy.fromfile.
2. kvx.batch on 300 text meshes of 2,000 vertices and 4,000 triangles each
   (seeded, about 175 KB each), then on 1,200 of them: files per second
   with 1 and 2 local processes and on a Dask LocalCluster of 2
   single-threaded workers, median of 5 runs (the time from start to
   summary, starting the pool included; the cluster was started before),
   beside running kvxconv3 on the 300 one after another.

Needs a build with the module and the benchmarks (kvxgen). Nothing here is
a test: the figures depend on the machine.
"""

import json
import os
import struct
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

FILES = 300


def median_seconds(work, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def load_meshes(build, scratch):
    """[(label, kvx file)]: the real meshes, the knots, the index-only files."""
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    meshes = []
    bunny = scratch / "bunny.cmsh"
    try:
        subprocess.run([sys.executable, Path(__file__).parent / "bunny.py", "--values", "7", bunny],
                       **quiet)
        subprocess.run([build / "bin" / "kvxconv3", bunny, scratch / "bunny.kvx"], **quiet)
        meshes.append(("bunny (real)", scratch / "bunny.kvx"))
    except (OSError, subprocess.CalledProcessError):
        print("the bunny could not be fetched; going on without it", file=sys.stderr)
    models = Path("/usr/share/assimp/models")
    for label, path in [("Wuson.ply (real)", "PLY/Wuson.ply"),
                        ("2CylinderEngine.glb (real)",
                         "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb")]:
        if (models / path).exists():
            out = scratch / (label.split()[0] + ".kvx")
            subprocess.run([build / "bin" / "kvximport", models / path, out], **quiet)
            meshes.append((label, out))
    for values, vertices, converter in [(7, 1000, "kvxconv3"), (7, 4000, "kvxconv3"),
                                        (7, 16000, "kvxconv3"), (7, 26000, "kvxconv3"),
                                        (7, 65536, "kvxconv3"), (9, 65536, "kvxconv4")]:
        text = scratch / f"knot{values}-{vertices}.cmsh"
        with open(text, "wb") as f:
            subprocess.run([build / "bench" / "bin" / "kvxcorpus", "mesh", str(values), "knot",
                            str(vertices), "f6"], stdout=f, check=True)
        out = text.with_suffix(".kvx")
        subprocess.run([build / "bin" / converter, text, out], **quiet)
        meshes.append((f"knot {vertices}, {converter}", out))
    # Index blocks of 64 bytes less than 2 to 64 MiB (version 1, 4 vertices):
    # the sizes where the allocation changes.
    for mib in [2, 8, 16, 24, 30, 31, 32, 34, 64]:
        faces = ((mib << 20) - 64) // 6
        out = scratch / f"index{mib}.kvx"
        with open(out, "wb") as f:
            f.write(b"KVX" + struct.pack("<IIi", 4, faces, 1) + bytes(64))
            f.write(np.arange(faces * 3, dtype=np.uint16).__mod__(4).tobytes())
        meshes.append((f"{mib} MiB less 64 bytes of indices", out))
    return meshes


# Record size and field offsets per version, as docs/format.md has them.
RECORDS = {1: (16, 0, 4, None, 3), 2: (16, 0, 4, None, 3), 3: (28, 0, 16, 4, 3),
           4: (36, 8, 24, 12, 3), -1: (16, 0, 4, None, 0), -2: (16, 0, 4, None, 2)}


def fromfile_views(path):
    """numpy.fromfile of the whole file and the views kvx.load gives."""
    raw = np.fromfile(path, dtype=np.uint8)
    vertices, faces, version = struct.unpack_from("<IIi", raw, 3)
    size, color, position, normal, group = RECORDS[version]

    def view(offset, shape, dtype, itemsize):
        strides = (size, itemsize) if len(shape) == 2 else (size,)
        return np.ndarray(shape, dtype, raw, 15 + offset, strides)

    positions = view(position, (vertices, 3), np.float32, 4)
    colors = view(color, (vertices,), np.uint32, 4)
    normals = None if normal is None else view(normal, (vertices, 3), np.float32, 4)
    start = 15 + vertices * size
    index = None if group == 0 else np.ndarray((faces, group), np.uint16, raw, start)
    return positions, colors, normals, index


def kvx_views(kvx, path):
    mesh = kvx.load(path)
    return mesh.positions, mesh.colors, mesh.normals, mesh.indices


def per_read(work, batch):
    start = time.perf_counter()
    for _ in range(batch):
        work()
    return (time.perf_counter() - start) / batch


def load_table(build, scratch, kvx, rounds):
    import meshio
    import open3d

    open3d.utility.set_verbosity_level(open3d.utility.VerbosityLevel.Error)
    before = os.getloadavg()[0]
    rows = []
    for label, path in load_meshes(build, scratch):
        mesh = kvx.load(path)
        got, want = kvx_views(kvx, path), fromfile_views(path)
        assert all((a is None and b is None) or np.array_equal(a, b, equal_nan=True)
                   for a, b in zip(got, want)), label
        readers = {"kvx.load": lambda: kvx_views(kvx, path),
                   "fromfile": lambda: fromfile_views(path)}
        if mesh.vertex_count > 4:
            ply = path.with_suffix(".ply")
            subprocess.run([build / "bin" / "kvxexport", path, ply], check=True)
            readers["meshio"] = lambda: meshio.read(ply)
            readers["Open3D"] = lambda: np.asarray(open3d.io.read_triangle_mesh(str(ply)).vertices)
        batch = {}
        for name, work in readers.items():
            work()
            batch[name] = max(1, round(0.005 / per_read(work, 3)))
        times = {name: [] for name in readers}
        for _ in range(rounds):
            for name, work in readers.items():
                times[name].append(per_read(work, batch[name]))
        rows.append((label, mesh.vertex_count, mesh.face_count, path.stat().st_size,
                     {name: (min(t), statistics.median(t)) for name, t in times.items()}))
    print(f"`/usr/bin/python3 bench/python_module.py {' '.join(sys.argv[1:])}` "
          f"(numpy {np.__version__}, meshio {meshio.__version__}, Open3D {open3d.__version__}; "
          f"{rounds} rounds; load average {before:.2f} before, {os.getloadavg()[0]:.2f} after); "
          "ms per read, fastest round (median round)\n")
    print("| mesh | vertices | faces | bytes | kvx.load | numpy.fromfile + views "
          "| kvx.load / fromfile | meshio (PLY) | Open3D (PLY) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for label, vertices, faces, size, t in rows:
        def ms(name):
            return f"{t[name][0] * 1e3:.3f} ({t[name][1] * 1e3:.3f})" if name in t else "n/a"
        ratio = [t["kvx.load"][k] / t["fromfile"][k] for k in (0, 1)]
        print(f"| {label} | {vertices} | {faces} | {size} | {ms('kvx.load')} | {ms('fromfile')} "
              f"| {ratio[0]:.2f} ({ratio[1]:.2f}) | {ms('meshio')} | {ms('Open3D')} |")


def text_mesh(path, seed, vertices=2000, triangles=4000):
    rng = np.random.default_rng(seed)
    positions = rng.uniform(-100, 100, (vertices, 3))
    colours = rng.integers(0, 256, (vertices, 4)) / 255
    faces = rng.integers(0, vertices, (triangles, 3))
    with open(path, "w") as f:
        f.write(f"{vertices} {triangles}\n")
        np.savetxt(f, np.hstack([colours, positions]), fmt="%.6g")
        np.savetxt(f, faces, fmt="%d")


def main(build, load_only, rounds):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    sys.path.insert(0, str(build / "python"))
    import kvx

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        # 0. kvx.load at every size.
        load_table(build, scratch, kvx, rounds)
        if load_only:
            return

        # 1. Loading into NumPy.
        text = scratch / "random.cmsh"
        with open(text, "wb") as f:
            subprocess.run([build / "bench" / "bin" / "kvxgen", "7", "131072", "random"], stdout=f,
                           check=True)
        kvxfile = scratch / "random.kvx"
        subprocess.run([build / "bin" / "kvxconv3", text, kvxfile], check=True)
        mesh = kvx.load(kvxfile)
        assert mesh.vertex_count == 65536
        load = median_seconds(lambda: kvx.load(kvxfile).positions, 50)
        raw = median_seconds(lambda: np.fromfile(kvxfile, dtype=np.uint8), 50)
        size = kvxfile.stat().st_size
        print(f"kvx.load, {mesh.vertex_count} vertices, {mesh.face_count} triangles, "
              f"{size / 1e6:.2f} MB: {load * 1e3:.2f} ms ({size / load / 1e6:.0f} MB/s); "
              f"numpy.fromfile of the same bytes: {raw * 1e3:.2f} ms")

        # 2. Batch throughput.
        inputs = scratch / "in"
        inputs.mkdir()
        for k in range(FILES):
            text_mesh(inputs / f"m{k:03d}.cmsh", k)
        total = sum(p.stat().st_size for p in inputs.iterdir())
        print(f"{FILES} text meshes, {total / 1e6:.1f} MB in all")

        def programs():
            for src in sorted(inputs.iterdir()):
                subprocess.run([build / "bin" / "kvxconv3", src, scratch / "p.kvx"], check=True)

        seconds = median_seconds(programs, 3)
        print(f"kvxconv3, one run after another: {FILES / seconds:.0f} files/s")

        def batch(pattern, *options):
            r = subprocess.run([sys.executable, "-m", "kvx.batch", pattern,
                                "--out", str(scratch / "out"), "--quiet", *options],
                               capture_output=True, text=True, env=env, check=True)
            return json.loads(r.stdout)

        def report(label, *options):
            for pattern, files in [(str(inputs / "m*.cmsh"), FILES),
                                   (str(scratch / "more" / "*.cmsh"), 4 * FILES)]:
                runs = [batch(pattern, *options) for _ in range(5)]
                assert all(r["converted"] == files for r in runs)
                rate = statistics.median(r["files_per_second"] for r in runs)
                took = statistics.median(r["seconds"] for r in runs)
                print(f"kvx.batch, {label}, {files} files: {rate:.0f} files/s ({took:.2f} s)")

        (scratch / "more").mkdir()
        for k in range(4 * FILES):
            os.symlink(inputs / f"m{k % FILES:03d}.cmsh", scratch / "more" / f"m{k:04d}.cmsh")
        report("1 local process", "--jobs", "1")
        report("2 local processes", "--jobs", "2")

        from distributed import LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster:
            report("LocalCluster of 2 workers", "--scheduler", cluster.scheduler_address)


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rounds = 15
    if "--rounds" in sys.argv:
        rounds = int(sys.argv[sys.argv.index("--rounds") + 1])
        args.remove(str(rounds))
    main(Path(args[0] if args else "build").resolve(), "--load-only" in sys.argv, rounds)
