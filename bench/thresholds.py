#!/usr/bin/python3
"""Measures where a second thread, and where huge pages, start to pay.

    /usr/bin/python3 bench/thresholds.py [--rounds 7] [--knob NAME ...]

For each knob (the thresholds of meshcore/parallel.h and the huge-page size
of meshcore/okvx.cpp) it builds the program that the knob matters most to
twice, with the knob at "always" and at "never", in build-thresholds/, and
times both one process per run on the benchmark's knot meshes from 1,000 to
65,536 vertices and (but for the vertex split, as a KVX mesh has at most
65,536 vertices) kvxgen's torus meshes of up to 4,000,000 triangles,
standard output to /dev/null, files in the page cache. It prints one
Markdown table per knob: the median milliseconds of each build and the size
from which "always" is faster, which is where the knob's default belongs.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import run  # noqa: E402  (bench/run.py)

NEVER = "4294967295"
# name: (macro, value for "always", program, what a size counts)
KNOBS = {
    "vertices": ("KVX_PARALLEL_VERTICES", "2", "kvxconv3", "vertex entries"),
    "triangles": ("KVX_PARALLEL_TRIANGLES", "2", "kvxconv3", "triangle entries"),
    "faces": ("KVX_PARALLEL_FACES", "2", "kvxconv3", "faces"),
    "huge-pages": ("KVX_HUGE_PAGES_FROM", "0", "kvxconv3", "triangles"),
}
SIZES = (1000, 2000, 4000, 8000, 16000, 32000, 65536)
LARGE = (250000, 1000000, 4000000)


def build(folder, program, definition):
    subprocess.run(["cmake", "-S", run.ROOT, "-B", folder, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKVX_BUILD_TESTS=OFF", "-DKVX_BUILD_BENCH=OFF",
                    f"-DCMAKE_CXX_FLAGS=-D{definition}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2", "--target", program], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(folder, "bin", program)


def inputs(tools, work, knob):
    """(label, size counted, text path) of each mesh the knob is timed on."""
    meshes = []
    for n in SIZES:
        path = os.path.join(work, f"knot{n}.cmsh")
        if not os.path.exists(path):
            with open(path, "wb") as out:
                subprocess.run([os.path.join(tools, "kvxcorpus"), "mesh", "7", "knot", str(n), "f6"],
                               stdout=out, check=True)
        vertices, triangles = run.counts(path)
        size = vertices if knob == "vertices" else triangles
        meshes.append((f"knot, {vertices:,} vertices", size, path))
    if knob != "vertices":  # a KVX mesh has at most 65,536 vertices, but any number of triangles
        for t in LARGE:
            path = os.path.join(work, f"torus{t}.cmsh")
            if not os.path.exists(path):
                with open(path, "wb") as out:
                    subprocess.run([os.path.join(tools, "kvxgen"), "7", str(t), "repeated"],
                                   stdout=out, check=True)
            triangles = run.counts(path)[1]
            meshes.append((f"torus, {triangles:,} triangles", triangles, path))
    return meshes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--runs", type=int, default=10, help="runs per loop")
    parser.add_argument("--knob", action="append", choices=sorted(KNOBS))
    parser.add_argument("--build", default=os.path.join(run.ROOT, "build-thresholds"))
    args = parser.parse_args()

    # The mesh writers come from the benchmark build.
    bench = os.path.join(args.build, "bench-tools")
    subprocess.run(["cmake", "-S", run.ROOT, "-B", bench, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKVX_BUILD_TESTS=OFF", "-DKVX_BUILD_BENCH=ON"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", bench, "-j2", "--target", "kvxcorpus", "kvxgen",
                    "kvxconv3"], check=True, stdout=subprocess.DEVNULL)
    tools = os.path.join(bench, "bench", "bin")

    print(f"`{' '.join(['/usr/bin/python3', 'bench/thresholds.py'] + sys.argv[1:])}`, "
          f"load average {os.getloadavg()[0]:.2f} at the start\n")
    with tempfile.TemporaryDirectory() as work:
        for knob in args.knob or list(KNOBS):
            macro, always, program, unit = KNOBS[knob]
            programs = {
                "always": build(os.path.join(args.build, f"{knob}-always"), program,
                                f"{macro}={always}"),
                "never": build(os.path.join(args.build, f"{knob}-never"), program,
                               f"{macro}={NEVER}"),
            }
            rows = [f"### {knob}: {macro} ({program}, sizes in {unit})", "",
                    "| mesh | size | always ms | never ms | always / never |",
                    "|---|---:|---:|---:|---:|"]
            crossing = None
            for label, size, path in inputs(tools, work, knob):
                loops = {}
                for name, binary in programs.items():
                    command = (f"{run.q(binary)} {run.q(path)} "
                               f"{run.q(os.path.join(work, name + '.kvx'))}")
                    loops[name] = run.repeated(command, args.runs)
                t = run.time_loops(loops, args.rounds)
                a, n = t["always"] / args.runs, t["never"] / args.runs
                if a < n and crossing is None:
                    crossing = size
                elif a >= n:
                    crossing = None
                rows.append(f"| {label} | {size:,} | {a * 1e3:.2f} | {n * 1e3:.2f} | {a / n:.2f} |")
            rows.append("")
            rows.append(f"From {crossing:,} {unit} on, always is faster." if crossing
                        else "Always is not faster at the largest size measured.")
            print("\n".join(rows) + "\n", flush=True)


if __name__ == "__main__":
    main()
