#!/usr/bin/env python3
"""Times every program on generated meshes and prints a Markdown table.

    bench/run.py [--runs 5] [--sizes 100000,1000000,4000000] [--build build-release]

Builds the release configuration, writes deterministic meshes with kvxgen
(a torus grid with its faces repeated, and random triangles for kvxwire),
runs each program several times with its standard output going to
/dev/null, and reports the median wall time, throughput, and peak resident
memory, beside the same figures for `cat` of the input: the machine's floor.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIME = os.access("/usr/bin/time", os.X_OK)
PROGRAMS = ["kvxconv1", "kvxconv2", "kvxconv3", "kvxconv4", "kvxpoints", "kvxwire", "kvxdump"]


def run_once(argv):
    """Wall seconds and peak resident kilobytes of one run. GNU time reports
    the peak of the program itself; a child forked from Python would count
    Python's own pages until it executes the program."""
    with tempfile.NamedTemporaryFile("r") as report, open(os.devnull, "wb") as null:
        wrapper = ["/usr/bin/time", "-f", "%M", "-o", report.name] if TIME else []
        start = time.perf_counter()
        child = subprocess.run(wrapper + argv, stdout=null, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        if child.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed with status {child.returncode}: "
                     f"{child.stderr.decode(errors='replace')}")
        peak = int(report.read().split()[-1]) if TIME else 0
    return elapsed, peak


def measure(argv, runs):
    """Median wall time and the largest peak memory over `runs` runs, after
    one warm-up run that brings the files into the page cache."""
    run_once(argv)
    times, peaks = [], []
    for _ in range(runs):
        t, rss = run_once(argv)
        times.append(t)
        peaks.append(rss)
    return statistics.median(times), max(peaks)


def generate(bin_dir, work, values, triangles, kind):
    path = os.path.join(work, f"{kind}{values}-{triangles}.cmsh")
    if not os.path.exists(path):
        with open(path, "wb") as out:
            subprocess.run([os.path.join(bin_dir, "kvxgen"), str(values), str(triangles), kind],
                           stdout=out, check=True)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="100000,1000000,4000000")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"))
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKVX_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j2", "--target", *PROGRAMS, "kvxgen"],
                   check=True, stdout=subprocess.DEVNULL)
    bin_dir = os.path.join(args.build, "bin")
    work = tempfile.mkdtemp(prefix="kvxbench.")
    rows = []
    try:
        for n in sizes:
            cases = [
                ("kvxconv1", "repeated", 3), ("kvxconv2", "repeated", 7),
                ("kvxconv3", "repeated", 7), ("kvxconv4", "repeated", 9),
                ("kvxpoints", "repeated", 7), ("kvxwire", "repeated", 7),
                ("kvxwire", "random", 7),
            ]
            for program, kind, values in cases:
                text = generate(bin_dir, work, values, n, kind)
                out = os.path.join(work, "out.kvx")
                seconds, peak = measure([os.path.join(bin_dir, program), text, out], args.runs)
                cat_seconds, cat_peak = measure(["cat", text], args.runs)
                size = os.path.getsize(text)
                rows.append((program, f"{kind}, {values} values", n, size, seconds, peak,
                             size, cat_seconds, cat_peak, "in"))
            # kvxdump prints the version-3 file of the repeated mesh.
            text = generate(bin_dir, work, 7, n, "repeated")
            kvx = os.path.join(work, "dump.kvx")
            subprocess.run([os.path.join(bin_dir, "kvxconv3"), text, kvx], check=True)
            printed = len(subprocess.run([os.path.join(bin_dir, "kvxdump"), kvx],
                                         check=True, stdout=subprocess.PIPE).stdout)
            seconds, peak = measure([os.path.join(bin_dir, "kvxdump"), kvx], args.runs)
            cat_seconds, cat_peak = measure(["cat", kvx], args.runs)
            rows.append(("kvxdump", "version 3 of repeated", n, printed, seconds, peak,
                         os.path.getsize(kvx), cat_seconds, cat_peak, "out"))
    finally:
        shutil.rmtree(work)

    print(f"Median of {args.runs} runs; standard output to /dev/null; files in the page cache.")
    print()
    print("| program | mesh | triangles | MB | seconds | MB/s | M triangles/s | peak MB "
          "| cat seconds | cat MB/s | cat peak MB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for program, mesh, n, size, s, peak, cat_size, cs, cpeak, direction in rows:
        mb = size / 1e6
        print(f"| {program} | {mesh} | {n:,} | {mb:.1f} {direction} | {s:.3f} | {mb / s:.0f} "
              f"| {n / s / 1e6:.1f} | {peak / 1024:.0f} | {cs:.3f} | {cat_size / 1e6 / cs:.0f} "
              f"| {cpeak / 1024:.0f} |")


if __name__ == "__main__":
    main()
