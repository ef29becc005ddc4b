#!/usr/bin/python3
"""Measures the Python module's figures that the guide reports.

    /usr/bin/python3 bench/python_module.py build

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


def text_mesh(path, seed, vertices=2000, triangles=4000):
    rng = np.random.default_rng(seed)
    positions = rng.uniform(-100, 100, (vertices, 3))
    colours = rng.integers(0, 256, (vertices, 4)) / 255
    faces = rng.integers(0, vertices, (triangles, 3))
    with open(path, "w") as f:
        f.write(f"{vertices} {triangles}\n")
        np.savetxt(f, np.hstack([colours, positions]), fmt="%.6g")
        np.savetxt(f, faces, fmt="%d")


def main(build):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    sys.path.insert(0, str(build / "python"))
    import kvx

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
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
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "build").resolve())
