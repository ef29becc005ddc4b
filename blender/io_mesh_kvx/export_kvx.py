# SPDX-License-Identifier: MIT
"""Blender meshes into a KVX file: the objects joined into one mesh, faces
triangulated, a vertex split where its corners' texture coordinates or
colours differ, the normals computed as the converters compute them."""

import os

import numpy as np

from . import backend, kvxfile
from .kvxfile import KvxData, KvxFileError

TRIANGLES = (1, 2, 3, 4)


def pack_colors(rgba, order):
    """Colour words of (N, 4) uint8 red, green, blue, alpha, in the order
    "argb" (alpha in the high byte) or "rgba"."""
    c = np.asarray(rgba, dtype=np.uint32)
    r, g, b, a = c[:, 0], c[:, 1], c[:, 2], c[:, 3]
    if order == "argb":
        return (a << 24) | (r << 16) | (g << 8) | b
    return (r << 24) | (g << 16) | (b << 8) | a


def _attribute_bytes(attribute, count):
    """(count, 4) uint8 sRGB bytes of a colour attribute (byte or float)."""
    values = np.empty(4 * count, dtype=np.float32)
    attribute.data.foreach_get("color_srgb", values)
    return np.clip(np.floor(values * np.float32(255) + np.float32(0.5)), 0, 255).astype(
        np.uint8).reshape(count, 4)


def _color_attribute(me, source, name):
    if source == 'NONE':
        return None
    if source == 'NAMED':
        attribute = me.color_attributes.get(name) if hasattr(me, "color_attributes") else \
            me.attributes.get(name)
        if attribute is None or attribute.data_type not in ('BYTE_COLOR', 'FLOAT_COLOR'):
            return None
        return attribute
    colors = getattr(me, "color_attributes", None)
    if colors is None or not len(colors):
        return None
    index = colors.active_color_index if source == 'ACTIVE' else colors.render_color_index
    return colors[index] if 0 <= index < len(colors) else colors[0]


class Gathered:
    """The joined mesh before it becomes a KVX file: per vertex positions,
    per corner of each triangle its vertex, colour word and uv."""

    def __init__(self):
        self.positions = []
        self.vertex_colors = []     # (N,) words or None per object
        self.triangles = []         # (T, 3) vertex indices
        self.corner_colors = []     # (T * 3,) words
        self.corner_uv = []         # (T * 3, 2) float32
        self.edges = []
        self.names = []
        self.count = 0


def gather(objects, depsgraph, version, matrix, apply_modifiers, color_source, color_name,
           order, use_uv):
    g = Gathered()
    default = 0xFFFF0000 if version == 1 else 0xFFFFFFFF
    for ob in objects:
        ob_eval = ob.evaluated_get(depsgraph) if apply_modifiers else ob
        try:
            me = ob_eval.to_mesh()
        except RuntimeError:
            continue
        if me is None:
            continue
        try:
            m = matrix @ ob.matrix_world
            if m != m.Identity(4):
                me.transform(m)
                if m.is_negative:
                    me.flip_normals()
            n = len(me.vertices)
            co = np.empty(3 * n, dtype=np.float32)
            me.vertices.foreach_get("co", co)
            me.calc_loop_triangles()
            t = len(me.loop_triangles)
            loops = np.empty(3 * t, dtype=np.int32)
            me.loop_triangles.foreach_get("loops", loops)
            loop_vertex = np.empty(len(me.loops), dtype=np.int32)
            me.loops.foreach_get("vertex_index", loop_vertex)
            vertex_words = np.full(n, default, dtype=np.uint32)
            corner_words = vertex_words[loop_vertex[loops]]
            attribute = _color_attribute(me, color_source, color_name)
            if attribute is not None and attribute.domain in ('POINT', 'CORNER'):
                count = n if attribute.domain == 'POINT' else len(me.loops)
                words = pack_colors(_attribute_bytes(attribute, count), order)
                if attribute.domain == 'POINT':
                    vertex_words = words
                    corner_words = words[loop_vertex[loops]]
                else:
                    corner_words = words[loops]
                    # A vertex alone (a point set, a wireframe) takes the
                    # colour of its first corner.
                    first = np.full(n, -1, dtype=np.int64)
                    first[loop_vertex[::-1]] = np.arange(len(loop_vertex))[::-1]
                    has = first >= 0
                    vertex_words = vertex_words.copy()
                    vertex_words[has] = words[first[has]]
            uv = np.zeros((3 * t, 2), dtype=np.float32)
            if use_uv and me.uv_layers.active is not None:
                per_loop = np.empty(2 * len(me.loops), dtype=np.float32)
                me.uv_layers.active.data.foreach_get("uv", per_loop)
                uv = per_loop.reshape(-1, 2)[loops]
            edges = np.empty(2 * len(me.edges), dtype=np.int32)
            me.edges.foreach_get("vertices", edges)
        finally:
            ob_eval.to_mesh_clear()
        g.positions.append(co.reshape(n, 3))
        g.vertex_colors.append(vertex_words)
        g.triangles.append(loop_vertex[loops].reshape(t, 3).astype(np.int64) + g.count)
        g.corner_colors.append(corner_words)
        g.corner_uv.append(uv)
        g.edges.append(edges.reshape(-1, 2).astype(np.int64) + g.count)
        g.names.append(ob.name)
        g.count += n
    return g


def _join(parts, shape, dtype):
    return np.concatenate(parts) if parts else np.zeros(shape, dtype=dtype)


def to_kvx(g, version, name):
    """The KvxData of the gathered mesh (vertex count unchecked)."""
    positions = _join(g.positions, (0, 3), np.float32)
    words = _join(g.vertex_colors, (0,), np.uint32)
    if version == -1:
        return KvxData(-1, positions, words)
    if version == -2:
        return KvxData(-2, positions, words, edges=_join(g.edges, (0, 2), np.int64))
    triangles = _join(g.triangles, (0, 3), np.int64)
    corner_vertex = triangles.reshape(-1)
    corner_words = _join(g.corner_colors, (0,), np.uint32)
    corner_uv = _join(g.corner_uv, (0, 2), np.float32)
    if version != 4:
        corner_uv = np.zeros((len(corner_vertex), 2), dtype=np.float32)
    # One vertex per distinct (vertex, colour, uv) of the corners: the first
    # of each vertex keeps its place, the others follow the vertices in the
    # order they first appear.
    keys = np.empty((len(corner_vertex), 4), dtype=np.int64)
    keys[:, 0] = corner_vertex
    keys[:, 1] = corner_words
    keys[:, 2:] = corner_uv.view(np.uint32)
    unique, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(first, kind="stable")
    rank = np.empty(len(unique), dtype=np.int64)
    rank[order] = np.arange(len(unique))
    # The unique rows in order of appearance; the first row of each vertex
    # takes the vertex's own slot.
    appearance = unique[order]
    vertex_of = appearance[:, 0]
    _, first_of_vertex = np.unique(vertex_of, return_index=True)
    is_first = np.zeros(len(appearance), dtype=bool)
    is_first[first_of_vertex] = True
    slot = np.empty(len(appearance), dtype=np.int64)
    slot[is_first] = vertex_of[is_first]
    extra = np.flatnonzero(~is_first)
    slot[extra] = len(positions) + np.arange(len(extra))
    total = len(positions) + len(extra)
    out_positions = np.empty((total, 3), dtype=np.float32)
    out_positions[:len(positions)] = positions
    out_positions[slot] = positions[vertex_of]
    out_words = np.empty(total, dtype=np.uint32)
    out_words[:len(positions)] = words
    out_words[slot] = appearance[:, 1].astype(np.uint32)
    out_uv = np.zeros((total, 2), dtype=np.float32)
    out_uv[slot] = appearance[:, 2:].astype(np.uint32).view(np.float32)
    faces = slot[rank[inverse]].reshape(-1, 3)
    stored_uv = None
    if version == 4:
        stored_uv = out_uv.copy()
        stored_uv[:, 1] = np.float32(1.0) - out_uv[:, 1]
    return KvxData(version, out_positions, out_words, faces=faces, stored_uv=stored_uv,
                   name=name if version == 4 else "")


def too_many_message(label, count):
    choices = "Split into parts" + (", or Simplify to fit" if backend.can_fit() else "")
    return (f"{label}: {count} vertices; a KVX file holds at most {kvxfile.MOST_VERTICES} "
            f"(choose {choices})")


def plan(path, data, oversize):
    """The (path, KvxData) files to write: the mesh, or its parts."""
    n = data.vertex_count
    if data.version == -1 or n <= kvxfile.MOST_VERTICES:
        return [(path, data)]
    if data.version == -2:
        raise KvxFileError(f"{kvxfile.display_name(path)}: {n} vertices of lines; a KVX file "
                           "holds at most 65536 and Split divides triangles only")
    if oversize == 'FIT' and backend.can_fit():
        return [(path, backend.simplify(data))]
    if oversize != 'SPLIT':
        raise KvxFileError(too_many_message(kvxfile.display_name(path), n))
    cells = kvxfile.split(data.positions, data.faces)
    paths = kvxfile.part_paths(path, len(cells))
    files = []
    for part_path, cell in zip(paths, cells):
        members, local = kvxfile.part_of(cell, data.faces)
        files.append((part_path, KvxData(
            data.version, data.positions[members], data.colors[members], faces=local,
            stored_uv=None if data.stored_uv is None else data.stored_uv[members],
            name=data.name)))
    return files


def save(operator, context, filepath, version=3, use_selection=False, use_mesh_modifiers=True,
         color_source='ACTIVE', color_name="", color_order="argb", oversize='REFUSE',
         matrix=None):
    from mathutils import Matrix
    matrix = Matrix.Identity(4) if matrix is None else matrix
    version = int(version)
    objects = context.selected_objects if use_selection else context.scene.objects
    objects = [ob for ob in objects if ob.type in ('MESH', 'CURVE', 'SURFACE', 'FONT', 'META')]
    depsgraph = context.evaluated_depsgraph_get()
    g = gather(objects, depsgraph, version, matrix, use_mesh_modifiers, color_source, color_name,
               color_order, version == 4)
    name = g.names[0] if len(g.names) == 1 else os.path.splitext(os.path.basename(filepath))[0]
    name = kvxfile.fit_name(name)
    try:
        data = to_kvx(g, version, name)
        if version in TRIANGLES and data.face_count == 0:
            raise KvxFileError(f"{kvxfile.display_name(filepath)}: no triangles (version "
                               f"{version} is made of triangles; version -1 takes vertices "
                               "alone)")
        files = plan(filepath, data, oversize)
        backend.save_all(files)
    except KvxFileError as e:
        operator.report({'ERROR'}, str(e))
        return {'CANCELLED'}
    if backend.module() is None and version in (3, 4) and \
            not np.isfinite(data.positions).all():
        operator.report({'WARNING'}, kvxfile.NAN_NORMALS_WARNING)
    if len(files) > 1:
        operator.report({'INFO'}, f"{data.vertex_count} vertices in {len(files)} parts: "
                        + ", ".join(os.path.basename(p) for p, _ in files))
    return {'FINISHED'}
