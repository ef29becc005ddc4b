#!/usr/bin/python3
"""Measures kvx.convert on two threads against one, in one process.

    /usr/bin/python3 bench/python_threads.py [build] [--rounds N] [--version V]

Writes 200 small text meshes (a grid bent into a tube, 300 to 600 vertices
and about twice as many triangles each, seeded) into a temporary folder,
then, each round, converts all 200 with kvx.convert on this thread, and
again on a ThreadPoolExecutor of two threads; it prints the median time of
each over the rounds and their ratio. The converters run with the GIL
released and share no state, so on two free cores the ratio should be at
most 0.65. Nothing here is a test: the figures depend on the machine and
on what else runs on it.
"""

import argparse
import math
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

FILES = 200
TARGET = 0.65


def tube_text(seed, values):
    """A text mesh of `values` values per vertex (3, 7 or 9): a ring grid of
    20 to 40 columns and 15 rows bent into a tube, coloured by row."""
    columns, rows = 20 + seed % 21, 15
    lines = [f"{columns * rows} {2 * columns * (rows - 1)}"]
    for r in range(rows):
        for c in range(columns):
            angle = 2 * math.pi * c / columns
            radius = 1 + 0.1 * math.sin(seed + r)
            entry = f"{radius * math.cos(angle):.6f} {radius * math.sin(angle):.6f} {r * 0.2:.6f}"
            if values >= 7:
                entry = f"1 {r / rows:.4f} 0.5 {c / columns:.4f} " + entry
            if values == 9:
                entry = f"{c / columns:.4f} {r / (rows - 1):.4f} " + entry
            lines.append(entry)
    for r in range(rows - 1):
        for c in range(columns):
            a, b = r * columns + c, r * columns + (c + 1) % columns
            lines.append(f"{a} {b} {b + columns}")
            lines.append(f"{a} {b + columns} {a + columns}")
    if values == 9:
        lines.append(f"tube{seed}")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build", help="the build folder")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--version", type=int, default=3, help="the version to convert to")
    args = parser.parse_args()
    sys.path.insert(0, str(Path(args.build).resolve() / "python"))
    import kvx

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        sources = []
        for k in range(FILES):
            src = scratch / f"m{k:03d}.cmsh"
            src.write_text(tube_text(k, kvx._VALUES_OF[args.version]))
            sources.append(src)
        targets = [scratch / f"m{k:03d}.kvx" for k in range(FILES)]
        jobs = list(zip(sources, targets))
        size = sum(s.stat().st_size for s in sources)
        vertices = sum(kvx.read_cmsh(s, version=args.version).vertex_count for s in sources)

        def convert(job):
            kvx.convert(job[0], job[1], args.version)

        def one_thread():
            for job in jobs:
                convert(job)

        def two_threads(pool):
            list(pool.map(convert, jobs))

        # Per round: (wall seconds, processor seconds of this process).
        one, two = [], []

        def timed(work, into):
            wall, processor = time.perf_counter(), time.process_time()
            work()
            into.append((time.perf_counter() - wall, time.process_time() - processor))

        load = os.getloadavg()[0]
        with ThreadPoolExecutor(2) as pool:
            two_threads(pool)  # warm: files in the page cache, threads started
            one_thread()
            # Alternating, so that a change in the machine's load falls on both.
            for _ in range(args.rounds):
                timed(one_thread, one)
                timed(lambda: two_threads(pool), two)

    (single, single_cpu), (double, double_cpu) = [
        [statistics.median(column) for column in zip(*runs)] for runs in (one, two)]
    print(f"{FILES} text meshes, {vertices / FILES:.0f} vertices each on average, "
          f"{size / 1e6:.2f} MB in all; version {args.version}; {args.rounds} rounds; "
          f"{os.cpu_count()} processors, load average {load:.2f} before")
    for label, wall, processor in [("one thread: ", single, single_cpu),
                                   ("two threads:", double, double_cpu)]:
        print(f"{label} {wall * 1e3:.1f} ms (median; {FILES / wall:.0f} files/s), "
              f"{processor * 1e3:.1f} ms of processor time")
    ratio = double / single
    print(f"two / one: {ratio:.2f} (target at most {TARGET})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
