#!/usr/bin/python3
"""Writes the meshes that import_peers times, from triangle meshes in OBJ or
OFF: each as OBJ (positions as the source's own tokens, faces "f a b c"),
binary PLY (float x, y, z; uchar count, int indices), binary STL and OFF.

    import_meshes.py OUT_FOLDER MESH.off|MESH.obj...

The real meshes: CGAL's armadillo.off (26,002 vertices) and
refined_elephant.off (44,460), from Debian's libcgal-demo
(data.tar.gz, data/meshes/), and kvxcorpus's 64,002-vertex blob exported
to OBJ (see bench/README.md)."""
import os
import struct
import sys


def read(path):
    vertices, faces = [], []
    with open(path) as f:
        if path.endswith(".off"):
            words = [line.split("#")[0].split() for line in f]
            words = [w for w in words if w]
            header = words[0]
            counts = header[1:] if len(header) > 1 else words[1]
            start = 1 if len(header) > 1 else 2
            nv, nf = int(counts[0]), int(counts[1])
            vertices = [w[:3] for w in words[start:start + nv]]
            for w in words[start + nv:start + nv + nf]:
                n = int(w[0])
                c = [int(x) for x in w[1:1 + n]]
                faces += [(c[0], c[k], c[k + 1]) for k in range(1, n - 1)]
        else:
            for line in f:
                w = line.split()
                if not w:
                    continue
                if w[0] == "v":
                    vertices.append(w[1:4])
                elif w[0] == "f":
                    c = [int(x.split("/")[0]) - 1 for x in w[1:]]
                    faces += [(c[0], c[k], c[k + 1]) for k in range(1, len(c) - 1)]
    return vertices, faces


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for path in sys.argv[2:]:
        name = os.path.splitext(os.path.basename(path))[0]
        v, f = read(path)
        base = os.path.join(out, name)
        with open(base + ".obj", "w") as o:
            o.writelines("v %s %s %s\n" % tuple(p) for p in v)
            o.writelines("f %d %d %d\n" % (a + 1, b + 1, c + 1) for a, b, c in f)
        with open(base + ".off", "w") as o:
            o.write("OFF\n%d %d 0\n" % (len(v), len(f)))
            o.writelines("%s %s %s\n" % tuple(p) for p in v)
            o.writelines("3 %d %d %d\n" % t for t in f)
        xyz = [tuple(float(x) for x in p) for p in v]
        with open(base + ".ply", "wb") as o:
            o.write(("ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
                     "property float x\nproperty float y\nproperty float z\n"
                     "element face %d\nproperty list uchar int vertex_indices\n"
                     "end_header\n" % (len(v), len(f))).encode())
            o.write(b"".join(struct.pack("<3f", *p) for p in xyz))
            o.write(b"".join(struct.pack("<B3i", 3, *t) for t in f))
        with open(base + ".stl", "wb") as o:
            o.write(b"\0" * 80 + struct.pack("<I", len(f)))
            o.write(b"".join(struct.pack("<12fH", 0, 0, 0, *xyz[a], *xyz[b], *xyz[c], 0)
                             for a, b, c in f))


main()
