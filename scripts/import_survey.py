#!/usr/bin/python3
"""Imports every mesh file below the given folders with kvximport, one
process per file, and tells how many import, how many are refused and why,
and how the polygons of the OBJ, OFF and PLY files were split.

    PYTHONPATH=build/python /usr/bin/python3 scripts/import_survey.py \\
        [--build build] FOLDER...

A file is taken when kvximport reads its extension (its own formats, and
those the assimp worker lists). Refusals are grouped by their message with
file names and numbers taken out. The polygons are counted from the faces
as meshio reads them (an independent reader): of every face of more than
three corners, whether kvx's triangulation keeps the fan (convex), clips
ears (concave) or falls back to the fan. Nothing here is a test.
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

NATIVE = {".obj", ".ply", ".stl", ".off", ".cmsh"}


def extensions(build):
    # The worker's list, as the build generated it: "obj", "dae", ...
    table = Path(build) / "meshimport" / "generated" / "assimp_extensions.inc"
    listed = set(re.findall(r'"([^"]+)"', table.read_text())) if table.exists() else set()
    return NATIVE | {"." + e.lower() for e in listed}


def reason(line, path):
    text = line.replace(str(path), "FILE")
    text = re.sub(r"^kvximport: ", "", text)
    text = re.sub(r'"[^"]*"', '"..."', text)
    return re.sub(r"\d+(\.\d+)?", "N", text)[:120]


def faces_of(path):
    """(points, faces) of an OFF or OBJ file read plainly here, or of a PLY
    file as meshio reads it; None where they cannot be read."""
    import numpy as np
    suffix = path.suffix.lower()
    try:
        if suffix == ".ply":
            import meshio
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                mesh = meshio.read(path)
            faces = [list(row) for block in mesh.cells if block.type != "vertex"
                     for row in block.data]
            return np.asarray(mesh.points, dtype=np.float32)[:, :3], faces
        words = path.read_text(errors="replace").split("\n")
        points, faces = [], []
        if suffix == ".obj":
            for line in words:
                t = line.split()
                if t and t[0] == "v":
                    points.append([float(x) for x in t[1:4]])
                elif t and t[0] == "f":
                    idx = [int(c.split("/")[0]) for c in t[1:]]
                    faces.append([i - 1 if i > 0 else len(points) + i for i in idx])
        else:  # OFF: a header line, the counts, a vertex a line, a face a line
            lines = [line.split("#")[0].split() for line in words]
            lines = [line for line in lines if line]
            if lines[0][0].upper().endswith("OFF"):
                lines[0] = lines[0][1:]
                if not lines[0]:
                    lines = lines[1:]
            nv, nf = int(lines[0][0]), int(lines[0][1])
            points = [[float(x) for x in line[:3]] for line in lines[1:1 + nv]]
            faces = [[int(v) for v in f[1:1 + int(f[0])]] for f in lines[1 + nv:1 + nv + nf]]
        return np.asarray(points, dtype=np.float32), faces
    except (Exception, SystemExit):
        return None


def polygons(path):
    """(faces of more than 3 corners, kept fans, clipped, fallbacks), or None."""
    try:
        import numpy as np
        from kvx import _kvx
    except ImportError:
        return None
    read = faces_of(path)
    if read is None:
        return None
    points, faces = read
    if points.ndim != 2 or points.shape[1] != 3:
        return None
    points = np.ascontiguousarray(points)
    counts = [0, 0, 0, 0]
    for row in faces:
        corners = np.asarray(row, dtype=np.int64)
        if corners.size <= 3 or corners.min() < 0 or corners.max() >= len(points):
            continue
        counts[0] += 1
        triangles, fallback = _kvx.triangulate_polygons(points, corners, [0, corners.size])
        fan = [[int(corners[0]), int(corners[k]), int(corners[k + 1])]
               for k in range(1, corners.size - 1)]
        if fallback:
            counts[3] += 1
        elif triangles.tolist() == fan:
            counts[1] += 1
        else:
            counts[2] += 1
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="+")
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    program = Path(args.build) / "bin" / "kvximport"
    taken = extensions(args.build)
    files = sorted(p for f in args.folders for p in Path(f).rglob("*")
                   if p.is_file() and p.suffix.lower() in taken)
    outcomes = collections.Counter()
    refusals = collections.Counter()
    by_format = collections.defaultdict(collections.Counter)
    split = [0, 0, 0, 0]
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "out.kvx")
        for path in files:
            try:
                r = subprocess.run([program, "--split", path, out], capture_output=True,
                                   text=True, errors="replace", timeout=180)
                status = r.returncode
                lines = [line for line in r.stderr.splitlines() if line]
            except subprocess.TimeoutExpired:
                status, lines = "timeout", []
            kind = "imported" if status == 0 else f"refused ({status})"
            outcomes[kind] += 1
            by_format[path.suffix.lower()][kind] += 1
            if status != 0:
                refusals[reason(lines[-1], path) if lines else str(status)] += 1
            if path.suffix.lower() in {".obj", ".off", ".ply"}:
                counts = polygons(path)
                if counts:
                    split = [a + b for a, b in zip(split, counts)]
            for part in Path(scratch).iterdir():
                part.unlink()
    print(f"{len(files)} files: " + ", ".join(f"{n} {k}" for k, n in sorted(outcomes.items())))
    for suffix, counter in sorted(by_format.items()):
        print(f"  {suffix}: " + ", ".join(f"{n} {k}" for k, n in sorted(counter.items())))
    print("refusals:")
    for text, n in refusals.most_common():
        print(f"  {n} x {text}")
    print(f"polygons of more than 3 corners (OBJ, OFF, PLY as meshio reads them): {split[0]}; "
          f"convex, fanned: {split[1]}; concave, ear-clipped: {split[2]}; "
          f"fanned as a fallback: {split[3]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
