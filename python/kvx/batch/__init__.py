"""Batch conversion: many meshes to KVX files, in parallel.

    python3 -m kvx.batch INPUT... --out DIR [--layout N] [--jobs N]
                         [--scheduler ADDRESS] [--quiet]
    python3 -m kvx.batch --version

Each INPUT is a file, a folder or a glob pattern ("scans/**/*.cmsh" searches
folders below scans/, not following links to folders, as the shell does
not). A folder stands for every file below it, at any depth, whose
extension kvximport reads (.cmsh, .obj, .ply, .stl, .off and, where the
build reads through assimp, .glb, .fbx, ...), in the order of their sorted
paths, hidden names and links to folders left out; a folder with none is
reported as failed ("scans: no file in this folder that kvx reads"). A
name is taken as it is written wherever a file of that name exists, so that
"scan[1].cmsh" is that file; only an argument that names no file and holds
*, ? or [ is expanded, as the shell does. Every input becomes DIR/<name
without suffix>.kvx, written by the converter of --layout (the KVX version
1, 2, 3, 4, -1 or -2, or "points" for -1 and "wire" for -2; 3 by default:
kvxconv3) exactly as the program writes it. `--version N` is taken as
`--layout N`, as earlier releases took it; `--version` as the last word
prints the package's version and exits 0, as GNU programs do. Two files of the same name
would write the same output: the first in command-line order is converted,
each later one is reported as failed. A file named twice (by a glob and by
name, say) is converted once; a link under another name is converted under
that name too. An output that is one of the inputs (the same file, through
any link) is refused before anything is written, and its input reported as
failed.

Where it runs: a local pool of --jobs processes (the number of processors
by default), or, with --scheduler, the Dask distributed cluster whose
scheduler listens at ADDRESS (such as tcp://10.0.0.1:8786). Cluster workers
need kvx importable and the input and output folders on a shared file
system, at the same paths: they get absolute paths, so their messages name
the files that way.

What it reports: a progress bar on standard error when that is a terminal
(not with --quiet), and at the end one JSON object on standard output:

    {"files": 300, "converted": 298,
     "failed": [{"path": "a.cmsh", "message": "a.cmsh:7: expected a number, ..."}],
     "seconds": 1.9, "files_per_second": 156.8, "version": 3, "out": "DIR",
     "workers": "2 local processes"}

"converted" counts the files written, "files_per_second" those per second.
A failing file is reported with the program's message and does not stop
the others. Neither does one that ends the process converting it (a crash,
os._exit, the kernel's out-of-memory killer): the pool is started again,
the files that process held are converted once more, each in a process of
its own, so that only the file that ends its process again fails ("a.cmsh:
the process converting it ended by SIGSEGV"). On a Dask cluster the
scheduler retries a task whose worker died on other workers, up to its
"distributed.scheduler.allowed-failures" (3 by default); a task of several
files that still fails is split into one task per file, one of those that
still fails runs again alone on the cluster, and only a file that fails so
is reported ("a.cmsh: the worker converting it died (...)").

Exit status: 0 when every file was converted (or the version was printed),
1 when any failed, 2 when the run could not start (bad arguments, an output
folder that cannot be made, no scheduler at ADDRESS).

A .cmsh input is converted by the converter of --layout; every other input
is read as kvximport reads it (kvx.load_any: OBJ, PLY, STL, OFF and what
assimp reads, by the extension) and written in --layout.
"""

import argparse
import glob
import importlib.util
import json
import multiprocessing
import os
import signal
import sys
import time

import kvx

# Files per task: large enough that scheduling costs little, small enough to
# spread the work and to move the progress bar.
_CHUNK_LIMIT = 16

# The version written unless --layout says another (kvxconv3's).
_DEFAULT_VERSION = 3


def convert_one(src, dst, version):
    """Converts src to dst; returns None, or the failure's one-line message."""
    suffix = os.path.splitext(src)[1].lower()
    try:
        if suffix == ".cmsh":
            kvx.convert(src, dst, version)
        elif suffix == "":
            # kvximport's message would point at its --format, which the
            # batch does not have.
            return f"{src}: no extension to tell the format by"
        else:
            # Everything else as kvximport reads and writes it.
            kvx.load_any(src, version=version).save(dst)
    except kvx.KvxError as e:
        return str(e)
    except Exception as e:  # noqa: BLE001 -- one file's failure must not end the batch
        return f"{src}: {type(e).__name__}: {e}"
    return None


def convert_many(pairs, version):
    """convert_one over (src, dst) pairs: one task of a pool or a cluster."""
    return [convert_one(src, dst, version) for src, dst in pairs]


def _convert_to(connection, src, dst, version):
    """convert_one in a process of its own, its answer sent to connection."""
    connection.send(convert_one(src, dst, version))
    connection.close()


def _how_it_ended(exitcode):
    if exitcode is not None and exitcode < 0:
        try:
            return f"ended by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"ended by signal {-exitcode}"
    return f"ended with status {exitcode} before it answered"


def convert_alone(context, src, dst, version):
    """convert_one in a new process of `context`: its message, or, where the
    process ends before it answers, the one line that says how."""
    receiver, sender = context.Pipe(duplex=False)
    process = context.Process(target=_convert_to, args=(sender, src, dst, version), daemon=True)
    process.start()
    sender.close()
    try:
        message = receiver.recv()
    except EOFError:
        message = False
    finally:
        receiver.close()
        process.join()
    if message is False:
        return f"{src}: the process converting it {_how_it_ended(process.exitcode)}"
    return message


def _identity(path):
    """The device and inode of the file at path (through links), or None."""
    try:
        s = os.stat(path)
    except (OSError, ValueError):
        return None
    return s.st_dev, s.st_ino


def expand(argument):
    """The files one command-line argument names, as the shell takes them:
    the argument itself where it is no pattern or a file of that name
    exists (even a dangling link), else the pattern's matches, sorted (none
    when nothing matches)."""
    if not glob.has_magic(argument) or os.path.lexists(argument):
        return [argument]
    return sorted(set(_matches(argument)))


def _matches(pattern):
    """glob.glob(pattern, recursive=True), except that "**" does not follow
    links to folders, as the shell's does not: two links back up in one
    folder would make glob's walk grow without end."""
    parts = pattern.split(os.sep)
    if "**" not in parts:
        yield from glob.glob(pattern)
        return
    k = parts.index("**")
    head, rest = os.sep.join(parts[:k]), os.sep.join(parts[k + 1:])
    if k > 0 and head == "":
        head = os.sep  # "/**/..."
    bases = glob.glob(head) if glob.has_magic(head) else [head]
    for base in bases:
        if not os.path.isdir(base or os.curdir):
            continue
        for folder, folders, files in os.walk(base or os.curdir):
            folders[:] = [f for f in folders if not f.startswith(".")]
            if base == "":
                folder = os.path.relpath(folder)
                folder = "" if folder == os.curdir else folder
            if rest:
                yield from _matches(os.path.join(glob.escape(folder), rest))
            else:
                yield from (os.path.join(folder, f) for f in folders + files
                            if not f.startswith("."))


def reads(path):
    """Whether the batch converts a file of this name found in a folder: a
    .cmsh, or an extension that kvx.load_any (kvximport) reads."""
    extension = os.path.splitext(path)[1][1:]
    return extension != "" and kvx._kvx.reads_extension(extension)


def walk(folder):
    """The files below folder that the batch converts (see reads), sorted by
    their path: every level, without following links to folders and
    without hidden names, as "**" searches."""
    found = []
    for where, folders, files in os.walk(folder):
        folders[:] = [f for f in folders if not f.startswith(".")]
        found += [os.path.join(where, f) for f in files if not f.startswith(".") and reads(f)]
    return sorted(found)


def plan(inputs, out_dir):
    """The (src, dst) pairs to convert, and the failures known beforehand.

    Each input is expanded (see expand), and a folder among the results
    stands for the files below it that the batch converts (see walk); a
    file named twice is taken once, an output that two different files
    would write goes to the first of them, and an output that is one of the
    inputs is refused.
    """
    pairs, failures = [], []
    outputs = {}
    for pattern in inputs:
        expanded = expand(pattern)
        if not expanded:
            failures.append({"path": pattern, "message": f"{pattern}: no file matches"})
        matches = []
        for match in expanded:
            if not os.path.isdir(match):
                matches.append(match)
                continue
            below = walk(match)
            if not below:
                failures.append(
                    {"path": match, "message": f"{match}: no file in this folder that kvx reads"}
                )
            matches += below
        for src in matches:
            stem = os.path.splitext(os.path.basename(src))[0]
            dst = os.path.join(out_dir, stem + ".kvx")
            first = outputs.get(dst)
            if first is None:
                outputs[dst] = src
                pairs.append((src, dst))
            elif os.path.realpath(first) != os.path.realpath(src):
                failures.append(
                    {"path": src, "message": f"{src}: {dst} is already the output of {first}"}
                )
    # Outputs never overwrite inputs, whatever links lead to them.
    sources = {}
    for src, _ in pairs:
        sources.setdefault(_identity(src), src)
    sources.pop(None, None)
    kept = []
    for src, dst in pairs:
        same = sources.get(_identity(dst))
        if same is None:
            kept.append((src, dst))
        else:
            failures.append(
                {"path": src, "message": f"{dst}: the output is the same file as the input {same}"}
            )
    return kept, failures


def _chunks(pairs, workers):
    size = max(1, min(_CHUNK_LIMIT, len(pairs) // (4 * max(1, workers))))
    return [pairs[k : k + size] for k in range(0, len(pairs), size)]


class _Progress:
    """A one-line bar on standard error, redrawn at most ten times a second."""

    def __init__(self, total, enabled):
        self.total, self.enabled = total, enabled and total > 0
        self.done = self.failed = 0
        self.shown = 0.0

    def add(self, done, failed):
        self.done += done
        self.failed += failed
        now = time.monotonic()
        if self.enabled and (now - self.shown >= 0.1 or self.done == self.total):
            self.shown = now
            width = 30
            filled = width * self.done // self.total
            bar = "#" * filled + "-" * (width - filled)
            failed = f", {self.failed} failed" if self.failed else ""
            sys.stderr.write(f"\rkvx.batch [{bar}] {self.done}/{self.total}{failed}")
            sys.stderr.flush()

    def close(self):
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _run_pool(chunks, version, jobs, context, collect):
    """Runs the chunks on a pool of `jobs` processes, at most `jobs` of them
    handed out at a time, so that a process that dies breaks the pool with
    no more than those in hand. Returns the chunks not done: those in hand
    when the pool broke, then those never handed out (empty when none
    broke it), as two lists."""
    from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
    from concurrent.futures.process import BrokenProcessPool

    waiting = list(reversed(chunks))
    lost = []
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        running = {}
        while waiting or running:
            try:
                while waiting and len(running) < jobs:
                    running[pool.submit(convert_many, waiting[-1], version)] = waiting[-1]
                    waiting.pop()
            except BrokenProcessPool:
                if not running:
                    break  # broken with nothing in hand: a process died idle
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                chunk = running.pop(future)
                try:
                    messages = future.result()
                except BrokenProcessPool:
                    lost.append(chunk)
                else:
                    collect(chunk, messages)
            if lost:
                # The pool is broken: every chunk in hand fails the same way.
                for future, chunk in running.items():
                    try:
                        collect(chunk, future.result())
                    except BrokenProcessPool:
                        lost.append(chunk)
                break
    return lost, list(reversed(waiting))


def _run_local(pairs, version, jobs, collect):
    context = multiprocessing.get_context("forkserver")
    # Workers fork from a server that has kvx loaded already; forking this
    # process instead could copy a lock that another thread holds.
    context.set_forkserver_preload(["kvx.batch"])
    chunks = _chunks(pairs, jobs)
    # Each round ends when a process dies, which breaks the pool. The files
    # of the chunks it held are converted again one by one, each in a
    # process of its own, so that only a file that ends its process again
    # fails; the rest goes on in a new pool. Every round takes at least one
    # chunk out for good, so the rounds end.
    while chunks:
        held, chunks = _run_pool(chunks, version, jobs, context, collect)
        if not held and chunks:
            held = [chunks.pop(0)]  # a pool that broke idle: one chunk alone
        for chunk in held:
            collect(chunk, [convert_alone(context, src, dst, version) for src, dst in chunk])


def _run_dask(pairs, version, scheduler, collect):
    from distributed import Client, as_completed

    try:
        from distributed import KilledWorker
    except ImportError:  # older releases
        from distributed.scheduler import KilledWorker

    client = scheduler if isinstance(scheduler, Client) else Client(scheduler, timeout=30)
    try:
        # Workers run elsewhere, in folders of their own: absolute paths, as
        # the shared file system shows them here.
        absolute = [(os.path.abspath(src), os.path.abspath(dst)) for src, dst in pairs]
        given = dict(zip(absolute, pairs))
        chunks = _chunks(absolute, sum(client.nthreads().values()))
        # The scheduler runs a task again where its worker died, until the
        # task has seen "allowed-failures" deaths (KilledWorker); the tasks
        # a dying worker held besides count such a death too. A chunk of
        # several files that gets so far goes again as one task per file;
        # a file whose own task does, alone on the cluster, one at a time,
        # and only a file that fails so alone is reported.
        alone = []
        while chunks:
            futures = client.map(convert_many, chunks, version=version, pure=False)
            chunk_of = {future.key: chunk for future, chunk in zip(futures, chunks)}
            chunks = []
            for future in as_completed(futures):
                chunk = chunk_of[future.key]
                try:
                    collect([given[p] for p in chunk], future.result())
                except KilledWorker:
                    if len(chunk) > 1:
                        chunks += [[p] for p in chunk]
                    else:
                        alone.append(chunk)
                except Exception as e:  # noqa: BLE001 -- a lost or failed task fails its files
                    collect([given[p] for p in chunk], None,
                            f"the task failed: {type(e).__name__}: {e}")
        for chunk in alone:
            try:
                messages = client.submit(convert_many, chunk, version, pure=False).result()
            except KilledWorker as e:
                messages = [f"{given[chunk[0]][0]}: the worker converting it died ({e})"]
            except Exception as e:  # noqa: BLE001
                messages = [f"{given[chunk[0]][0]}: the task failed: {type(e).__name__}: {e}"]
            collect([given[chunk[0]]], messages)
    finally:
        if client is not scheduler:
            client.close()


def run(inputs, out_dir, layout=None, jobs=None, scheduler=None, progress=False, *,
        version=None):
    """Converts the inputs (files, folders or globs) into out_dir; returns the
    summary.

    layout: the KVX version written, as kvx.load_any takes it (1, 2, 3, 4,
    -1, -2, "points", "wire"; 3 when None); version= is its alias (not both);
    jobs: processes of the local pool (os.cpu_count() when None; else a
    positive int, KvxInputError otherwise);
    scheduler: a Dask scheduler address or a distributed.Client, used
    instead of the local pool. The summary is the dict that the command
    prints as JSON.
    """
    version = kvx._check_layout(layout, version)
    if version is None:
        version = _DEFAULT_VERSION
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise kvx.KvxInputError(f"jobs must be a positive number of processes; got {jobs!r}")
    start = time.monotonic()
    os.makedirs(out_dir, exist_ok=True)
    pairs, failed = plan(inputs, out_dir)
    files = len(pairs) + len(failed)
    converted = 0
    bar = _Progress(len(pairs) + len(failed), progress)
    bar.add(len(failed), len(failed))

    def collect(chunk, messages, common=None):
        nonlocal converted
        if messages is None:
            messages = [f"{src}: {common}" for src, _ in chunk]
        bad = 0
        for (src, _), message in zip(chunk, messages):
            if message is None:
                converted += 1
            else:
                failed.append({"path": src, "message": message})
                bad += 1
        bar.add(len(chunk), bad)

    if scheduler is not None:
        address = scheduler if isinstance(scheduler, str) else scheduler.scheduler.address
        workers = f"Dask scheduler {address}"
        if pairs:
            _run_dask(pairs, version, scheduler, collect)
    else:
        jobs = jobs or os.cpu_count() or 1
        workers = f"{jobs} local process" + ("es" if jobs > 1 else "")
        if pairs:
            _run_local(pairs, version, jobs, collect)
    bar.close()
    seconds = time.monotonic() - start
    return {
        "files": files,
        "converted": converted,
        "failed": failed,
        "seconds": round(seconds, 3),
        "files_per_second": round(converted / seconds, 1) if seconds > 0 else 0.0,
        "version": version,
        "out": out_dir,
        "workers": workers,
    }


def _layout(text):
    """A --layout value: a version code or a word of kvx._LAYOUT_NAMES."""
    try:
        return kvx._check_layout(text if text in kvx._LAYOUT_NAMES else int(text))
    except ValueError:  # KvxInputError is one too
        words = [str(v) for v in kvx.VERSIONS] + list(kvx._LAYOUT_NAMES)
        raise argparse.ArgumentTypeError(
            f"{text!r} is not one of {kvx._listed(words)}"
        ) from None


def _jobs(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def _asks_for_the_version(argv):
    """True where "--version" is the last word before any "--": GNU's
    --version, which prints the version; elsewhere it takes a layout."""
    words = argv[: argv.index("--")] if "--" in argv else argv
    return bool(words) and words[-1] == "--version"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if _asks_for_the_version(argv):
        print(f"kvx.batch {kvx.__version__}")
        return 0
    parser = argparse.ArgumentParser(
        prog="python3 -m kvx.batch",
        description="Converts meshes (text meshes, and every format kvximport reads) to KVX "
        "files on a local process pool or a Dask cluster, and prints a JSON summary.",
        epilog="--version by itself prints the version of kvx and exits.",
    )
    parser.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="a file, a folder (every file below it that kvximport reads) or a glob pattern",
    )
    parser.add_argument("--out", required=True, metavar="DIR", help="the folder of the results")
    parser.add_argument(
        "--layout", type=_layout, metavar="N",
        help="the KVX version to write: "
        + ", ".join(f"{v} (default)" if v == _DEFAULT_VERSION else str(v) for v in kvx.VERSIONS)
        + "; " + ", ".join(f"{word} ({v})" for word, v in kvx._LAYOUT_NAMES.items()),
    )
    # --version N: --layout's name in earlier releases; alone, the version.
    parser.add_argument("--version", type=_layout, dest="old_layout", help=argparse.SUPPRESS)
    parser.add_argument(
        "--jobs", type=_jobs, metavar="N", help="local processes (default: the processors)"
    )
    parser.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler instead (tcp://host:8786)",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    if args.layout is not None and args.old_layout is not None:
        parser.error("--layout and --version N both choose the KVX version; give one")
    if args.jobs is not None and args.scheduler is not None:
        parser.error("--jobs sizes the local pool; with --scheduler the cluster's workers work")
    if args.scheduler is not None and importlib.util.find_spec("distributed") is None:
        parser.error("--scheduler needs Dask distributed (python3-distributed)")
    try:
        summary = run(
            args.inputs, args.out, args.layout if args.layout is not None else args.old_layout,
            args.jobs, args.scheduler,
            progress=not args.quiet and sys.stderr.isatty(),
        )
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"kvx.batch: {where}{e.strerror or e}", file=sys.stderr)
        return 2
    json.dump(summary, sys.stdout, indent=1)
    sys.stdout.write("\n")
    return 1 if summary["failed"] else 0
