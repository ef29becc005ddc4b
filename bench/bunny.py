#!/usr/bin/python3
"""Writes the Stanford bunny of the npm package `bunny` as a text mesh.

    bench/bunny.py [--values 3|7|9] [--cache FOLDER] [OUTPUT]

Fetches the package (version 1.0.1, checked by its SHA-1) with `npm pack`,
or takes it from FOLDER where an earlier run left it, and writes its 1,839
vertices and 3,674 triangles to OUTPUT (default: standard output): a real
scanned surface. Positions are printed with %.9g, the colour of every vertex
is 1 0.8 0.8 0.8 (alpha first); nine values per vertex add texture
coordinates projected on the x-y plane and the name "bunny".
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile

PACKAGE = "bunny@1.0.1"
TARBALL = "bunny-1.0.1.tgz"
SHA1 = "86383da45ab7a99571a5a572b7be0e3564815f9e"


def fetch(folder):
    """Path of the package's tarball in `folder`, fetched if not there yet.
    Raises OSError or subprocess.SubprocessError when it cannot be had."""
    path = os.path.join(folder, TARBALL)
    if not os.path.exists(path):
        npm = subprocess.run(["npm", "pack", PACKAGE, "--loglevel=error", "--fetch-retries=0",
                              "--fetch-timeout=30000"], cwd=folder, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=120)
        if npm.returncode != 0:
            # Its first lines say why: "npm error code ECONNREFUSED".
            why = npm.stderr.decode(errors="replace").splitlines()[:4]
            raise OSError(f"npm pack {PACKAGE} failed: " + "; ".join(line.strip() for line in why))
    with open(path, "rb") as f:
        if hashlib.sha1(f.read()).hexdigest() != SHA1:
            raise OSError(f"{path}: not the expected {PACKAGE}")
    return path


def load(tarball):
    """The positions ([x, y, z] lists) and cells ([i, j, k] lists) of the
    package, whose index.js is `exports.positions=[...]` and `exports.cells=[...]`."""
    with tarfile.open(tarball) as archive:
        source = archive.extractfile("package/index.js").read().decode()
    match = re.fullmatch(r"\s*exports\.positions\s*=\s*(\[.*\])\s*;?\s*"
                         r"exports\.cells\s*=\s*(\[.*\])\s*;?\s*", source, re.S)
    if not match:
        raise ValueError(f"{tarball}: unexpected index.js")
    return json.loads(match.group(1)), json.loads(match.group(2))


def text(positions, cells, values):
    """The text mesh of `values` (3, 7 or 9) values per vertex."""
    lines = [f"{len(positions)} {len(cells)}"]
    x0, x1 = min(p[0] for p in positions), max(p[0] for p in positions)
    y0, y1 = min(p[1] for p in positions), max(p[1] for p in positions)
    for x, y, z in positions:
        entry = f"{x:.9g} {y:.9g} {z:.9g}"
        if values >= 7:
            entry = "1 0.8 0.8 0.8 " + entry
        if values == 9:
            entry = f"{(x - x0) / (x1 - x0):.6f} {(y - y0) / (y1 - y0):.6f} " + entry
        lines.append(entry)
    lines += [f"{i} {j} {k}" for i, j, k in cells]
    if values == 9:
        lines.append("bunny")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--values", type=int, choices=(3, 7, 9), default=7)
    parser.add_argument("--cache", help="folder that keeps the fetched package")
    parser.add_argument("output", nargs="?", help="the text mesh (default: standard output)")
    args = parser.parse_args()
    try:
        if args.cache:
            positions, cells = load(fetch(args.cache))
        else:
            with tempfile.TemporaryDirectory(prefix="bunny.") as folder:
                positions, cells = load(fetch(folder))
    except (OSError, ValueError, subprocess.SubprocessError) as error:
        sys.exit(f"bunny.py: cannot get {PACKAGE}: {error}")
    mesh = text(positions, cells, args.values)
    if args.output:
        with open(args.output, "w") as out:
            out.write(mesh)
    else:
        sys.stdout.write(mesh)


if __name__ == "__main__":
    main()
