#!/usr/bin/python3
"""Start-up and reading ratios, side by side in one run, as a Markdown table.

    /usr/bin/python3 bench/ratios.py [--build build-release] [--rounds 7] [--runs 40]

Builds the release configuration (programs linked as KVX_STATIC_PROGRAMS
decides, AUTO: statically) and measures, each figure the median of
--rounds turns that take turns with their reference:

1. one run on the 8-vertex cube against `/bin/true` with the same
   arguments (and kvximport of the cube as OBJ, kvxdump of its file);
2. each converter on the 65,536-vertex mesh against `cat` of the file;
3. kvxconv2 and kvxconv3 over the corpus, one process per file, against
   bench/plain_conv.c (fscanf and printf) doing the same work.

Each run is timed twice: the processor time the kernel charges it (user and
system, from wait4), which a busy machine disturbs little, and the wall
time from spawn to exit. Peak memory is the largest resident size of a run.
"""

import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONVERTERS = ["kvxconv1", "kvxconv2", "kvxconv3", "kvxconv4", "kvxpoints", "kvxwire"]
VALUES = {"kvxconv1": 3, "kvxconv4": 9}


def run_once(argv):
    """(processor seconds, wall seconds) of one run; output to /dev/null.
    Raises on a failed run."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{' '.join(map(shlex.quote, argv))} failed")
    return usage.ru_utime + usage.ru_stime, wall


def peak_kib(argv):
    """Peak resident KiB of one run, by GNU time (0 without it)."""
    if not os.access("/usr/bin/time", os.X_OK):
        return 0
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        words = report.read().split()
    return int(words[-1]) if words and words[-1].isdigit() else 0


def measure(cases, rounds, runs):
    """cases: name -> list of argv (run in turn, `runs` times over per round).
    Returns name -> (median processor s, median wall s, peak KiB) per pass."""
    samples = {name: ([], []) for name in cases}
    # A spawned child's own rusage counts the parent's pages before exec.
    peak = {name: max(peak_kib(argv) for argv in argvs) for name, argvs in cases.items()}
    for turn in range(rounds + 1):  # the first turn warms the caches
        for name, argvs in cases.items():
            cpu = wall = 0.0
            for _ in range(runs):
                for argv in argvs:
                    c, w = run_once(argv)
                    cpu, wall = cpu + c, wall + w
            if turn > 0:
                samples[name][0].append(cpu / runs)
                samples[name][1].append(wall / runs)
    return {name: (statistics.median(c), statistics.median(w), peak[name])
            for name, (c, w) in samples.items()}


def row(name, t, reference, target):
    cpu, wall = t[name][0] / t[reference][0], t[name][1] / t[reference][1]
    met = "yes" if cpu <= target else "no"
    return (f"| {name} | {1000 * t[name][0]:.2f} | {1000 * t[reference][0]:.2f} | {cpu:.2f} "
            f"| {1000 * t[name][1]:.2f} | {1000 * t[reference][1]:.2f} | {wall:.2f} "
            f"| {target} | {met} | {t[name][2] / 1024:.1f} |")


HEADER = ("| run | ms (processor) | reference ms | ratio | ms (wall) | reference ms | ratio "
          "| target (processor) | met | peak MB |\n"
          "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--runs", type=int, default=40, help="runs per turn on the cube")
    parser.add_argument("--mesh-runs", type=int, default=4)
    parser.add_argument("--corpus-files", type=int, default=100)
    args = parser.parse_args()

    subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKVX_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j2", "--target", "programs", "kvxcorpus",
                    "plain_conv"], check=True, stdout=subprocess.DEVNULL)
    bin_dir = os.path.join(args.build, "bin")
    bench_bin = os.path.join(args.build, "bench", "bin")

    def tool(name):
        return os.path.join(bin_dir, name)

    plain = os.path.join(bench_bin, "plain_conv")
    work = tempfile.mkdtemp(prefix="kvxratios.")
    shm = work
    try:
        cube = {v: os.path.join(ROOT, "examples", f"cube{v}.cmsh") for v in (3, 7, 9)}
        out = os.path.join(work, "out.kvx")
        cube_kvx = os.path.join(work, "cube.kvx")
        cube_obj = os.path.join(work, "cube.obj")
        subprocess.run([tool("kvxconv3"), cube[7], cube_kvx], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([tool("kvxexport"), cube_kvx, cube_obj], check=True,
                       stdout=subprocess.DEVNULL)
        knot = {}
        for v in (3, 7, 9):
            knot[v] = os.path.join(work, f"knot{v}.cmsh")
            with open(knot[v], "wb") as f:
                subprocess.run([os.path.join(bench_bin, "kvxcorpus"), "mesh", str(v), "knot",
                                "65536", "f6"], stdout=f, check=True)
        corpus = os.path.join(work, "corpus")
        os.mkdir(corpus)
        subprocess.run([os.path.join(bench_bin, "kvxcorpus"), "corpus", "7", corpus,
                        str(args.corpus_files)], check=True, stdout=subprocess.DEVNULL)
        files = sorted(os.path.join(corpus, f) for f in os.listdir(corpus) if f.endswith(".cmsh"))

        cases = {"/bin/true": [["/bin/true", cube[7], out]]}
        for p in CONVERTERS:
            cases[p] = [[tool(p), cube[VALUES.get(p, 7)], out]]
        cases["kvxdump"] = [[tool("kvxdump"), cube_kvx]]
        # The floor of a replaced output: the same runs with the output on
        # tmpfs, where a rename over the old file costs next to nothing.
        shm = tempfile.mkdtemp(prefix="kvxratios.", dir="/dev/shm") \
            if os.path.isdir("/dev/shm") else work
        shm_out = os.path.join(shm, "out.kvx")
        cases["kvxconv3, output on tmpfs"] = [[tool("kvxconv3"), cube[7], shm_out]]
        cases["kvxconv3, output /dev/null"] = [[tool("kvxconv3"), cube[7], "/dev/null"]]
        cases["plain_conv kvxconv3"] = [[plain, "kvxconv3", cube[7], out]]
        cases["kvximport (OBJ)"] = [[tool("kvximport"), cube_obj, out]]
        cube_t = measure(cases, args.rounds, args.runs)

        cases = {f"cat {v} values": [["/bin/cat", knot[v]]] for v in (3, 7, 9)}
        for p in CONVERTERS:
            cases[p] = [[tool(p), knot[VALUES.get(p, 7)], out]]
        mesh_t = measure(cases, args.rounds, args.mesh_runs)

        cases = {}
        for p in ("kvxconv2", "kvxconv3"):
            cases[p] = [[tool(p), f, out] for f in files]
            cases[f"plain_conv {p}"] = [[plain, p, f, out] for f in files]
        corpus_t = measure(cases, args.rounds, 1)
    finally:
        shutil.rmtree(work)
        if shm != work:
            shutil.rmtree(shm)

    command = " ".join(["/usr/bin/python3 bench/ratios.py"] + [shlex.quote(a)
                                                               for a in sys.argv[1:]])
    print(f"Measured with `{command}`; load average {os.getloadavg()[0]:.2f} at the end.")
    print()
    print(f"1. The 8-vertex cube against `/bin/true`: median of {args.rounds} turns of "
          f"{args.runs} runs.")
    print()
    print(HEADER)
    for p in CONVERTERS + ["kvximport (OBJ)", "kvxconv3, output on tmpfs",
                           "kvxconv3, output /dev/null", "plain_conv kvxconv3"]:
        print(row(p, cube_t, "/bin/true", 1.15))
    print(row("kvxdump", cube_t, "/bin/true", 0.95))
    print()
    print(f"2. The 65,536-vertex mesh (%.6f) against `cat` of the file: median of "
          f"{args.rounds} turns of {args.mesh_runs} runs.")
    print()
    print(HEADER)
    for p in CONVERTERS:
        print(row(p, mesh_t, f"cat {VALUES.get(p, 7)} values", 5))
    print()
    print(f"3. The corpus ({len(files)} files, 7 values), one process per file, against "
          f"plain_conv: median of {args.rounds} passes; ms per pass.")
    print()
    print(HEADER)
    print(row("kvxconv2", corpus_t, "plain_conv kvxconv2", 0.25))
    print(row("kvxconv3", corpus_t, "plain_conv kvxconv3", 0.35))


if __name__ == "__main__":
    main()
