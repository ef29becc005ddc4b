#!/usr/bin/env python3
"""Exact model of how kvxconv3 and kvxconv4 compute and write normals.

Writes the expected .kvx files in this folder from their .cmsh inputs
independently of the C++ code: every value is an exact rational, rounded
explicitly to 24 bits (single), 53 bits (double) or 64 bits (x87 extended)
where the programs round, with IEEE signed zeros tracked by hand.

    python3 normals_model.py ../../examples/cube7.cmsh 3 cube-v3.kvx
    python3 normals_model.py irregular9.cmsh 4 irregular-v4.kvx
"""
import math
import struct
import sys
from fractions import Fraction as F


def round_sig(x, bits):
    """x rounded to `bits` significant bits, ties to even (no exponent limit)."""
    x = F(x)
    if x == 0:
        return F(0)
    sign = -1 if x < 0 else 1
    a = abs(x)
    e = math.floor(math.log2(a))
    while F(2) ** e > a:
        e -= 1
    while F(2) ** (e + 1) <= a:
        e += 1
    ulp = F(2) ** (e - bits + 1)
    q = a / ulp
    n = math.floor(q)
    r = q - n
    if r > F(1, 2) or (r == F(1, 2) and n % 2 == 1):
        n += 1
    return sign * n * ulp


def single(fr, negative_zero=False):
    if fr == 0:
        return -0.0 if negative_zero else 0.0
    return float(round_sig(fr, 24))


def is_negative_zero(v):
    return v == 0 and math.copysign(1, v) < 0


def sub(a, b):  # single-precision a - b
    exact = F(a) - F(b)
    return single(exact, exact == 0 and is_negative_zero(a) and b == 0 and not is_negative_zero(b))


def add(a, b):  # single-precision a + b
    exact = F(a) + F(b)
    return single(exact, exact == 0 and is_negative_zero(a) and is_negative_zero(b))


def product(a, b):  # exact product, and whether it is a negative zero
    exact = F(a) * F(b)
    return exact, exact == 0 and math.copysign(1, a) * math.copysign(1, b) < 0


def extended_difference(p, q):  # p - q rounded to 64 bits, then to single
    exact = p[0] - q[0]
    negative_zero = exact == 0 and p[1] and q[0] == 0 and not q[1]
    return single(round_sig(exact, 64), negative_zero)


def cross(a, b):
    return (extended_difference(product(a[1], b[2]), product(a[2], b[1])),
            extended_difference(product(a[2], b[0]), product(a[0], b[2])),
            extended_difference(product(a[0], b[1]), product(a[1], b[0])))


def divide(a, length):
    exact = F(a) / F(length)
    return single(exact, exact == 0 and is_negative_zero(a))


def normalize(v):
    x, y, z = v
    if any(math.isnan(t) or math.isinf(t) for t in v):
        raise ValueError("the model covers finite values only")
    s = round_sig(round_sig(F(x) ** 2 + F(y) ** 2, 64) + F(z) ** 2, 64)
    length = single(F(math.sqrt(float(s))))  # float(s) is s rounded to double
    if length == 0:
        return (0.0, 0.0, 0.0)
    return (divide(x, length), divide(y, length), divide(z, length))


def face_normal(p0, p1, p2):
    e1 = tuple(sub(p2[i], p1[i]) for i in range(3))
    e2 = tuple(sub(p0[i], p1[i]) for i in range(3))
    return normalize(cross(e1, e2))


def vertex_normals(positions, faces):
    sums = [[0.0, 0.0, 0.0] for _ in positions]
    for a, b, c in faces:
        n = face_normal(positions[a], positions[b], positions[c])
        for i in (a, b, c):
            for k in range(3):
                sums[i][k] = add(sums[i][k], n[k])
    return [normalize(tuple(s)) for s in sums]


def pack_color(values):
    word = 0
    for shift, v in zip((24, 16, 8, 0), values):
        word |= (int(F(v) * 255) & 0xFFFFFFFF) << shift  # int() truncates toward zero
    return word & 0xFFFFFFFF


def convert(text, version):
    tokens = text.split()
    vertex_count, face_count = int(tokens[0]), int(tokens[1])
    per_vertex = 7 if version == 3 else 9
    p = 2
    vertices = []
    for _ in range(vertex_count):
        vertices.append([single(F(t)) for t in tokens[p:p + per_vertex]])
        p += per_vertex
    faces = []
    for _ in range(face_count):
        faces.append(tuple(int(t) for t in tokens[p:p + 3]))
        p += 3
    name = tokens[p].encode() if version == 4 and p < len(tokens) else b""
    normals = vertex_normals([tuple(v[-3:]) for v in vertices], faces)
    out = b"KVX" + struct.pack("<IIi", vertex_count, face_count, version)
    for v, n in zip(vertices, normals):
        if version == 3:
            out += struct.pack("<I6f", pack_color(v[0:4]), *n, *v[4:7])
        else:
            flipped = single(F(1) - F(v[1]))
            out += struct.pack("<2fI6f", v[0], flipped, pack_color(v[2:6]), *n, *v[6:9])
    for f in faces:
        out += struct.pack("<3H", *f)
    return out + name


if __name__ == "__main__":
    source, version, target = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(source) as f:
        data = convert(f.read(), version)
    with open(target, "wb") as f:
        f.write(data)
