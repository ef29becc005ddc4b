#!/usr/bin/python3
"""Times every program the way users run them and prints Markdown tables.

    /usr/bin/python3 bench/run.py [--quick] [--no-large] [--rounds 5] [--build build-release]

Builds the release configuration and writes its meshes into a temporary
folder: the bundled cubes, realistic closed surfaces and a corpus of about
100 of them from kvxcorpus, the Stanford bunny from the npm package `bunny`
(bench/bunny.py; left out, with a note, where npm cannot fetch it), and the
large torus meshes of kvxgen. It first checks every program's files and
printed text against plain_conv, which does the same work with fscanf,
printf and fwrite, then times:

1. a run on the 8-vertex cube, against /bin/true: the cost of a run;
2. the 65,536-vertex mesh, against `cat` of the same file, and peak memory;
3. the corpus converted one process per file, against the same loop of cat;
4. kvxconv2 and kvxconv3 across mesh sizes and number formats;
5. unless --no-large, the large meshes: 100,000 to 4,000,000 triangles.

Tables 1 to 4 time shell loops of one process per run or per file,
standard output to /dev/null, files in the page cache, so no Python start-up
is counted; the loops of a table take turns for --rounds rounds and each
figure is the median. Every ratio compares figures of the same run.
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

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import bunny  # noqa: E402  (bench/bunny.py)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIME = os.access("/usr/bin/time", os.X_OK)
PROGRAMS = ["kvxconv1", "kvxconv2", "kvxconv3", "kvxconv4", "kvxpoints", "kvxwire", "kvxdump"]
CONVERTERS = PROGRAMS[:-1]
# Values per vertex of each converter's input.
VALUES = {"kvxconv1": 3, "kvxconv4": 9}


def note(message):
    print(message, file=sys.stderr, flush=True)


def q(path):
    return shlex.quote(path)


# ---- Timing shell loops -----------------------------------------------------

def shell_seconds(script):
    """Wall seconds of /bin/sh running `script`, or None if it failed."""
    start = time.perf_counter()
    status = subprocess.run(["/bin/sh", "-c", script], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    return elapsed if status == 0 else None


def repeated(command, runs):
    """A loop running `command` (shell text) `runs` times."""
    return (f"i=0; while [ $i -lt {runs} ]; do {command} >/dev/null || exit 1; "
            f"i=$((i + 1)); done")


def per_file(folder, command, passes=1):
    """A loop running `command` once per text mesh of `folder`, as "$f", in
    `passes` passes over the folder."""
    loop = f'for f in {q(folder)}/*.cmsh; do {command} >/dev/null || exit 1; done'
    return f"j=0; while [ $j -lt {passes} ]; do {loop}; j=$((j + 1)); done"


def time_loops(loops, rounds, warm=True):
    """Median seconds of each loop (name -> script), None for one that
    failed. The loops take turns, so that a busy spell of the machine falls
    on all of them alike; a warm-up turn brings the files into the cache."""
    times = {name: [] for name in loops}
    failed = set()
    for turn in range(rounds + (1 if warm else 0)):
        for name, script in loops.items():
            if name in failed:
                continue
            seconds = shell_seconds(script)
            if seconds is None:
                failed.add(name)
            elif turn > 0 or not warm:
                times[name].append(seconds)
    return {name: None if name in failed else statistics.median(t) for name, t in times.items()}


def peak_mb(argv):
    """Peak resident megabytes of one run, by GNU time (None without it)."""
    if not TIME:
        return None
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        words = report.read().split()
    return int(words[-1]) / 1024 if words and words[-1].isdigit() else None


# ---- Meshes -----------------------------------------------------------------

def vertex_share(path):
    """Vertex bytes and all bytes of a text mesh written one entry a line."""
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    vertices = int(lines[0].split()[0])
    return sum(len(line) + 1 for line in lines[1:1 + vertices]), len(data)


def counts(path):
    with open(path) as f:
        return tuple(int(word) for word in f.readline().split()[:2])


class Meshes:
    """Writes every mesh of the benchmark into `work`."""

    def __init__(self, bin_dir, work, corpus_files):
        self.bin_dir, self.work = bin_dir, work
        self.cube = {}
        for v in (3, 7, 9):
            self.cube[v] = os.path.join(work, f"cube{v}.cmsh")
            shutil.copy(os.path.join(ROOT, "examples", f"cube{v}.cmsh"), self.cube[v])
        # The 65,536-vertex mesh: a torus-knot tube of 1,024 rings of 64.
        self.reference = {v: self.mesh(v, "knot", 65536, "f6") for v in (3, 7, 9)}
        self.bunny, self.bunny_note = self.fetch_bunny()
        # Sizes and number formats; the blob of 65,536 is one of 64,002.
        sizes = [("knot", n, "f6") for n in (1000, 4000, 16000, 65536)]
        sizes += [("knot", 65536, "g9"), ("knot", 65536, "g11"), ("blob", 65536, "f6")]
        self.by_size = [(f"{shape}, %.{fmt[1:]}{fmt[0]}", self.mesh(7, shape, n, fmt))
                        for shape, n, fmt in sizes]
        if self.bunny:
            self.by_size.append(("Stanford bunny, %.9g", self.bunny[7]))
        self.corpus = {}
        for v in (3, 7, 9):
            folder = os.path.join(work, f"corpus{v}")
            os.mkdir(folder)
            subprocess.run([self.tool("kvxcorpus"), "corpus", str(v), folder, str(corpus_files)],
                           check=True)
            if self.bunny:
                shutil.copy(self.bunny[v], os.path.join(folder, "bunny.cmsh"))
            self.corpus[v] = folder

    def tool(self, name):
        """A program (build/bin) or a benchmark tool (build/bench/bin)."""
        if name in PROGRAMS:
            return os.path.join(self.bin_dir, name)
        return os.path.join(os.path.dirname(self.bin_dir), "bench", "bin", name)

    def mesh(self, values, shape, vertices, fmt):
        path = os.path.join(self.work, f"{shape}{vertices}-{fmt}-{values}.cmsh")
        with open(path, "wb") as out:
            subprocess.run([self.tool("kvxcorpus"), "mesh", str(values), shape, str(vertices), fmt],
                           stdout=out, check=True)
        return path

    def fetch_bunny(self):
        try:
            positions, cells = bunny.load(bunny.fetch(self.work))
        except (OSError, ValueError, subprocess.SubprocessError) as error:
            return None, f"The Stanford bunny is left out: {error}"
        paths = {}
        for v in (3, 7, 9):
            paths[v] = os.path.join(self.work, f"bunny{v}.cmsh")
            with open(paths[v], "w") as out:
                out.write(bunny.text(positions, cells, v))
        return paths, f"The corpus holds the Stanford bunny ({bunny.PACKAGE})."

    def corpus_files(self, values):
        folder = self.corpus[values]
        return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                      if name.endswith(".cmsh"))


# ---- Checks against plain_conv -----------------------------------------------

class Checker:
    """Runs a program and plain_conv on the same input and notes failures
    and differences: a failure of a program is a finding, and so is a file
    or printed text unlike plain_conv's."""

    def __init__(self, meshes):
        self.meshes = meshes
        self.findings = []
        self.checked = 0
        self.failed = set()  # (program, input) pairs

    def run(self, argv, output):
        child = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        written = b""
        if output and os.path.exists(output):
            with open(output, "rb") as f:
                written = f.read()
            os.remove(output)
        return child, written

    def check(self, program, path):
        work = self.meshes.work
        out = [os.path.join(work, "check-a.kvx"), os.path.join(work, "check-b.kvx")]
        if program == "kvxdump":
            argvs = [[self.meshes.tool("kvxdump"), path],
                     [self.meshes.tool("plain_conv"), "kvxdump", path]]
            out = [None, None]
        else:
            argvs = [[self.meshes.tool(program), path, out[0]],
                     [self.meshes.tool("plain_conv"), program, path, out[1]]]
        (real, real_file), (plain, plain_file) = (self.run(a, o) for a, o in zip(argvs, out))
        self.checked += 1
        command = " ".join(q(a) for a in argvs[0])
        if real.returncode != 0:
            self.failed.add((program, path))
            self.findings.append(f"`{command}` failed with status {real.returncode}: "
                                 f"{real.stderr.decode(errors='replace').strip()}")
        elif plain.returncode != 0:
            self.findings.append(f"plain_conv {program} failed on {path}: "
                                 f"{plain.stderr.decode(errors='replace').strip()}")
        elif real.stdout != plain.stdout or real_file != plain_file:
            what = "its file" if real_file != plain_file else "its printed text"
            self.findings.append(f"`{command}`: {what} differs from plain_conv's")

    def check_all(self):
        m = self.meshes
        for program in CONVERTERS:
            v = VALUES.get(program, 7)
            for path in [m.cube[v], m.reference[v]] + m.corpus_files(v):
                self.check(program, path)
        for _, path in m.by_size:
            for program in ("kvxconv2", "kvxconv3"):
                self.check(program, path)
        for path in (m.cube[7], m.reference[7]):
            kvx = path + ".kvx"
            subprocess.run([m.tool("kvxconv3"), path, kvx], check=True)
            self.check("kvxdump", kvx)


# ---- Tables ------------------------------------------------------------------

def ratio(value, reference):
    return "failed" if value is None or reference is None else f"{value / reference:.2f}"


def ratio_cells(value, reference, target):
    """The ratio, the target and whether it is met."""
    met = value is not None and reference is not None and value / reference <= target
    return ratio(value, reference), f"{target}", "yes" if met else "no"


def ms(seconds, runs=1):
    return "failed" if seconds is None else f"{1000 * seconds / runs:.2f}"


def table_cube(m, rounds, runs):
    """Per-run cost on the 8-vertex cube against /bin/true."""
    plain = m.tool("plain_conv")
    loops = {"true": repeated(f"/bin/true {q(m.cube[7])} {q(m.work)}/cube.kvx", runs)}
    dump_input = m.cube[7] + ".kvx"
    for program in PROGRAMS:
        if program == "kvxdump":
            args = q(dump_input)
        else:
            args = f"{q(m.cube[VALUES.get(program, 7)])} {q(m.work)}/cube.kvx"
        loops[program] = repeated(f"{q(m.tool(program))} {args}", runs)
        loops["plain " + program] = repeated(f"{q(plain)} {program} {args}", runs)
    t = time_loops(loops, rounds)
    rows = ["| program | ms per run | plain_conv ms | /bin/true ms | ratio to /bin/true "
            "| target | met |", "|---|---:|---:|---:|---:|---:|---|"]
    for program in PROGRAMS:
        cells = ratio_cells(t[program], t["true"], 0.95 if program == "kvxdump" else 1.15)
        rows.append(f"| {program} | {ms(t[program], runs)} | {ms(t['plain ' + program], runs)} "
                    f"| {ms(t['true'], runs)} | {' | '.join(cells)} |")
    return rows


def table_reference(m, rounds, runs):
    """The 65,536-vertex mesh against cat of the same file, and peak memory."""
    plain = m.tool("plain_conv")
    kvx = m.reference[7] + ".kvx"
    printed = os.path.join(m.work, "reference-dump.txt")
    subprocess.run([m.tool("kvxconv3"), m.reference[7], kvx], check=True)
    with open(printed, "wb") as out:
        subprocess.run([m.tool("kvxdump"), kvx], stdout=out, check=True)
    loops, cases = {}, []
    for program in PROGRAMS:
        if program == "kvxdump":
            source, args, argv = printed, q(kvx), [m.tool(program), kvx]
        else:
            source = m.reference[VALUES.get(program, 7)]
            out = os.path.join(m.work, "reference.kvx")
            args, argv = f"{q(source)} {q(out)}", [m.tool(program), source, out]
        loops[program] = repeated(f"{q(m.tool(program))} {args}", runs)
        loops["plain " + program] = repeated(f"{q(plain)} {program} {args}", runs)
        loops["cat " + source] = repeated(f"cat {q(source)}", runs)
        cases.append((program, source, argv))
    t = time_loops(loops, rounds)
    rows = ["| program | input | MB | ms | plain_conv ms | cat ms | ratio to cat | target | met "
            "| peak MB | target MB |", "|---|---|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
    for program, source, argv in cases:
        what = "kvxconv3's file; cat of the text it prints" if program == "kvxdump" else \
            f"{VALUES.get(program, 7)} values, %.6f"
        cells = ratio_cells(t[program], t["cat " + source], 5)
        peak = peak_mb(argv)
        rows.append(f"| {program} | {what} | {os.path.getsize(source) / 1e6:.1f} "
                    f"| {ms(t[program], runs)} | {ms(t['plain ' + program], runs)} "
                    f"| {ms(t['cat ' + source], runs)} | {' | '.join(cells)} "
                    f"| {'n/a' if peak is None else f'{peak:.0f}'} | 32 |")
    return rows


def table_corpus(m, rounds):
    """The corpus, one process per file, against the same loop of cat."""
    plain = m.tool("plain_conv")
    # The loops of cat and /bin/true are short: several passes over the
    # corpus make them as long as the others, and as steady.
    passes = 5
    loops = {"true": per_file(m.corpus[7], '/bin/true "$f" "$f.kvx"', passes)}
    for v in (3, 7, 9):
        loops[f"cat {v}"] = per_file(m.corpus[v], 'cat "$f"', passes)
    for program in CONVERTERS:
        folder = m.corpus[VALUES.get(program, 7)]
        loops[program] = per_file(folder, f'{q(m.tool(program))} "$f" "$f.kvx"')
        loops["plain " + program] = per_file(folder, f'{q(plain)} {program} "$f" "$f.kvx"')
    t = time_loops(loops, rounds)
    for name in ["true", "cat 3", "cat 7", "cat 9"]:
        t[name] = None if t[name] is None else t[name] / passes

    def s(seconds):
        return "failed" if seconds is None else f"{seconds:.2f}"

    rows = ["| program | corpus | files | MB | seconds | plain_conv seconds | cat seconds "
            "| /bin/true seconds | ratio to cat | target | met | ratio to plain_conv | target "
            "| met |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---|"]
    # kvxconv2 and kvxconv3 against the plain converter doing the same work.
    plain_targets = {"kvxconv2": 0.25, "kvxconv3": 0.35}
    for program in CONVERTERS:
        v = VALUES.get(program, 7)
        files = m.corpus_files(v)
        size = sum(os.path.getsize(f) for f in files) / 1e6
        cells = ratio_cells(t[program], t[f"cat {v}"], 0.9)
        target = plain_targets.get(program)
        plain_cells = ratio_cells(t[program], t["plain " + program], target) if target else \
            (ratio(t[program], t["plain " + program]), "", "")
        rows.append(f"| {program} | {v} values | {len(files)} | {size:.1f} | {s(t[program])} "
                    f"| {s(t['plain ' + program])} | {s(t[f'cat {v}'])} | {s(t['true'])} "
                    f"| {' | '.join(cells)} | {' | '.join(plain_cells)} |")
    return rows


def table_sizes(m, rounds, runs):
    """kvxconv2 and kvxconv3 across sizes and number formats, against cat."""
    plain = m.tool("plain_conv")
    loops, cases = {}, []
    largest = max(os.path.getsize(path) for _, path in m.by_size)
    for label, path in m.by_size:
        n = max(runs, min(10 * runs, int(runs * largest / os.path.getsize(path))))
        out = q(os.path.join(m.work, "size.kvx"))
        for program in ("kvxconv2", "kvxconv3"):
            loops[program + path] = repeated(f"{q(m.tool(program))} {q(path)} {out}", n)
        loops["plain" + path] = repeated(f"{q(plain)} kvxconv2 {q(path)} {out}", n)
        loops["cat" + path] = repeated(f"cat {q(path)}", n)
        cases.append((label, path, n))
    t = time_loops(loops, rounds)
    rows = ["| mesh | vertices | triangles | MB | vertex text | kvxconv2 ms | kvxconv3 ms "
            "| plain_conv kvxconv2 ms | cat ms | kvxconv2 / cat | kvxconv3 / cat |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for label, path, n in cases:
        vertices, triangles = counts(path)
        vertex_bytes, size = vertex_share(path)
        ratios = [ratio(t[p + path], t["cat" + path]) for p in ("kvxconv2", "kvxconv3")]
        rows.append(f"| {label} | {vertices:,} | {triangles:,} | {size / 1e6:.2f} "
                    f"| {100 * vertex_bytes / size:.0f} % | {ms(t['kvxconv2' + path], n)} "
                    f"| {ms(t['kvxconv3' + path], n)} | {ms(t['plain' + path], n)} "
                    f"| {ms(t['cat' + path], n)} | {ratios[0]} | {ratios[1]} |")
    return rows


# ---- The large meshes (kvxgen), timed run by run -----------------------------

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
            kvxgen = os.path.join(os.path.dirname(bin_dir), "bench", "bin", "kvxgen")
            subprocess.run([kvxgen, str(values), str(triangles), kind],
                           stdout=out, check=True)
    return path


def table_large(bin_dir, work, sizes, runs):
    rows = []
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
            seconds, peak = measure([os.path.join(bin_dir, program), text, out], runs)
            cat_seconds, cat_peak = measure(["cat", text], runs)
            size = os.path.getsize(text)
            rows.append((program, f"{kind}, {values} values", n, size, seconds, peak,
                         size, cat_seconds, cat_peak, "in"))
        # kvxdump prints the version-3 file of the repeated mesh.
        text = generate(bin_dir, work, 7, n, "repeated")
        kvx = os.path.join(work, "dump.kvx")
        subprocess.run([os.path.join(bin_dir, "kvxconv3"), text, kvx], check=True)
        printed = len(subprocess.run([os.path.join(bin_dir, "kvxdump"), kvx],
                                     check=True, stdout=subprocess.PIPE).stdout)
        seconds, peak = measure([os.path.join(bin_dir, "kvxdump"), kvx], runs)
        cat_seconds, cat_peak = measure(["cat", kvx], runs)
        rows.append(("kvxdump", "version 3 of repeated", n, printed, seconds, peak,
                     os.path.getsize(kvx), cat_seconds, cat_peak, "out"))
        for path in (text, kvx):
            os.remove(path)

    lines = ["| program | mesh | triangles | MB | seconds | MB/s | M triangles/s | peak MB "
             "| cat seconds | cat MB/s | cat peak MB |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for program, mesh, n, size, s, peak, cat_size, cs, cpeak, direction in rows:
        mb = size / 1e6
        lines.append(f"| {program} | {mesh} | {n:,} | {mb:.1f} {direction} | {s:.3f} "
                     f"| {mb / s:.0f} | {n / s / 1e6:.1f} | {peak / 1024:.0f} | {cs:.3f} "
                     f"| {cat_size / 1e6 / cs:.0f} | {cpeak / 1024:.0f} |")
    return lines


# ---- Main --------------------------------------------------------------------

def describe(m):
    """The meshes in words: the reference mesh and the corpus statistics."""
    vertices, triangles = counts(m.reference[7])
    vertex_bytes, size = vertex_share(m.reference[7])
    lines = [f"The 65,536-vertex mesh is a tube around a torus knot, 1,024 rings of 64 "
             f"vertices: {vertices:,} vertices, {triangles:,} triangles, {size / 1e6:.1f} MB "
             f"with 7 values per vertex, {100 * vertex_bytes / size:.0f} % of it vertex text, "
             f"positions printed with %.6f."]
    for v in (3, 7, 9):
        files = m.corpus_files(v)
        shares = [vertex_share(f) for f in files]
        sizes = [s for _, s in shares]
        meshes = [counts(f) for f in files]
        lines.append(
            f"Corpus of {v} values per vertex: {len(files)} files, {min(sizes):,} bytes to "
            f"{max(sizes) / 1e6:.1f} MB, {sum(sizes) / 1e6:.1f} MB in all, "
            f"{100 * sum(b for b, _ in shares) / sum(sizes):.0f} % of it vertex text; "
            f"{min(c[0] for c in meshes):,} to {max(c[0] for c in meshes):,} vertices, "
            f"{sum(c[1] for c in meshes):,} triangles in all.")
    lines.append(m.bunny_note)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int,
                        help="turns of every timed loop, whose median is reported (5)")
    parser.add_argument("--cube-runs", type=int, help="runs per loop on the cube (100)")
    parser.add_argument("--mesh-runs", type=int,
                        help="runs per loop on the 65,536-vertex mesh (10)")
    parser.add_argument("--corpus-files", type=int, default=100)
    parser.add_argument("--no-large", action="store_true", help="leave out the large meshes")
    parser.add_argument("--quick", action="store_true",
                        help="3 rounds, 30 and 3 runs, no large meshes, unless told otherwise")
    parser.add_argument("--runs", type=int, default=5, help="runs per large mesh")
    parser.add_argument("--sizes", default="100000,1000000,4000000",
                        help="triangles of the large meshes")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"))
    args = parser.parse_args()
    defaults = (3, 30, 3) if args.quick else (5, 100, 10)
    args.rounds = args.rounds or defaults[0]
    args.cube_runs = args.cube_runs or defaults[1]
    args.mesh_runs = args.mesh_runs or defaults[2]
    args.no_large = args.no_large or args.quick

    note("building the release configuration")
    subprocess.run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DKVX_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j2", "--target", *PROGRAMS, "kvxgen",
                    "kvxcorpus", "plain_conv"], check=True, stdout=subprocess.DEVNULL)
    bin_dir = os.path.join(args.build, "bin")
    work = tempfile.mkdtemp(prefix="kvxbench.")
    load_before = os.getloadavg()
    try:
        note("writing the meshes")
        m = Meshes(bin_dir, work, args.corpus_files)
        note("checking every program against plain_conv")
        checker = Checker(m)
        checker.check_all()
        note("timing the cube")
        cube = table_cube(m, args.rounds, args.cube_runs)
        note("timing the 65,536-vertex mesh")
        reference = table_reference(m, args.rounds, args.mesh_runs)
        note("timing the corpus")
        corpus = table_corpus(m, args.rounds)
        note("timing sizes and number formats")
        sizes = table_sizes(m, args.rounds, args.mesh_runs)
        large = []
        if not args.no_large:
            note("timing the large meshes")
            large = table_large(bin_dir, work, [int(s) for s in args.sizes.split(",")],
                                args.runs)
        description = describe(m)
    finally:
        shutil.rmtree(work)
    load_after = os.getloadavg()

    command = " ".join(["/usr/bin/python3 bench/run.py"] + [q(a) for a in sys.argv[1:]])
    print(f"Measured with `{command}`: release build, standard output to /dev/null, "
          f"files in the page cache; load average {load_before[0]:.2f} before, "
          f"{load_after[0]:.2f} after.")
    print()
    print("\n".join(description))
    print()
    if checker.findings:
        print(f"Checked against plain_conv: {len(checker.findings)} of {checker.checked} "
              f"runs failed or differ:")
        print()
        print("\n".join(f"- {finding}" for finding in checker.findings))
    else:
        print(f"Checked against plain_conv: all {checker.checked} runs wrote the same files "
              f"and printed the same text.")
    sections = [
        (f"1. One run on the 8-vertex cube, against `/bin/true` with the same arguments: "
         f"median of {args.rounds} loops of {args.cube_runs} runs.", cube),
        (f"2. The 65,536-vertex mesh, against `cat` of the same file: median of {args.rounds} "
         f"loops of {args.mesh_runs} runs; peak memory of one run.", reference),
        (f"3. The corpus, one process per file in a shell loop (`for f in *.cmsh; do "
         f"kvxconv2 \"$f\" \"$f.kvx\"; done`), against the same loop running `cat \"$f\"` "
         f"and `/bin/true` (timed over 5 passes, given per pass): median of {args.rounds} "
         f"loops.", corpus),
        ("4. kvxconv2 and kvxconv3 across mesh sizes and number formats, 7 values per vertex, "
         "against `cat` of the same file.", sizes),
    ]
    if large:
        sections.append((f"5. Large meshes: median of {args.runs} runs, each started from "
                         f"Python under GNU time.", large))
    for caption, rows in sections:
        print()
        print(caption)
        print()
        print("\n".join(rows))


if __name__ == "__main__":
    main()
