# SPDX-License-Identifier: MIT
"""KVX files into Blender meshes: triangles as faces, a wireframe's edges as
edges, a point set's vertices as vertices; the colour words as a byte colour
attribute on the points, version 4's texture coordinates as a UV map, and
optionally the stored normals as custom split normals."""

import os

import bpy
import numpy as np

from . import backend
from .kvxfile import KvxFileError

COLOR_ATTRIBUTE = "Color"
UV_MAP = "UVMap"


def rgba_bytes(colors, order):
    """(N, 4) uint8 red, green, blue, alpha of the colour words: "argb"
    reads the high byte as alpha, "rgba" as red (--colour-order)."""
    words = np.asarray(colors, dtype=np.uint32)
    shifts = (16, 8, 0, 24) if order == "argb" else (24, 16, 8, 0)
    return np.stack([(words >> s) & 0xFF for s in shifts], axis=1).astype(np.uint8)


class Prepared:
    """Everything a file becomes, built before anything is made in Blender."""

    def __init__(self, path, data, order):
        self.path = path
        self.data = data
        self.name = data.name or os.path.splitext(os.path.basename(path))[0]
        n = data.vertex_count
        self.warnings = []
        groups = data.faces if data.faces is not None else data.edges
        self.faces = self.edges = None
        if groups is not None:
            groups = groups.astype(np.int64)
            what = "face" if data.faces is not None else "edge"
            bad = np.flatnonzero((groups >= n).any(axis=1))
            if len(bad):
                g = int(bad[0])
                index = int(groups[g][groups[g] >= n][0])
                raise KvxFileError(f"{path}: {what} {g} names vertex {index} of {n}")
            # Blender has no face or edge that names a vertex twice.
            repeated = (groups[:, :, None] == groups[:, None, :]).sum(axis=(1, 2)) > \
                groups.shape[1]
            if repeated.any():
                self.warnings.append(
                    f"{path}: {int(repeated.sum())} {what}s that name a vertex twice were "
                    "left out")
                groups = groups[~repeated]
            if data.faces is not None:
                self.faces = groups
            else:
                self.edges = groups
        self.rgba = rgba_bytes(data.colors, order)
        self.uv = None
        if data.stored_uv is not None and self.faces is not None:
            self.uv = data.uv[self.faces.reshape(-1)]  # per corner


def build(prepared, use_normals, matrix=None):
    """The Blender mesh of a prepared file."""
    me = bpy.data.meshes.new(prepared.name)
    try:
        _fill(me, prepared, use_normals, matrix)
    except BaseException:
        bpy.data.meshes.remove(me)
        raise
    return me


def _fill(me, prepared, use_normals, matrix):
    data = prepared.data
    me.vertices.add(data.vertex_count)
    me.vertices.foreach_set("co", data.positions.astype(np.float32).reshape(-1))
    if prepared.edges is not None and len(prepared.edges):
        me.edges.add(len(prepared.edges))
        me.edges.foreach_set("vertices", prepared.edges.astype(np.int32).reshape(-1))
    if prepared.faces is not None and len(prepared.faces):
        f = len(prepared.faces)
        me.loops.add(3 * f)
        me.loops.foreach_set("vertex_index", prepared.faces.astype(np.int32).reshape(-1))
        me.polygons.add(f)
        me.polygons.foreach_set("loop_start", np.arange(0, 3 * f, 3, dtype=np.int32))
        if bpy.app.version < (4, 0, 0):
            me.polygons.foreach_set("loop_total", np.full(f, 3, dtype=np.int32))
    # A wireframe keeps its own edges in their order; triangles get theirs.
    me.update(calc_edges=prepared.faces is not None)

    colour = me.attributes.new(COLOR_ATTRIBUTE, 'BYTE_COLOR', 'POINT')
    colour.data.foreach_set("color_srgb",
                            (prepared.rgba.astype(np.float32) / np.float32(255)).reshape(-1))
    try:
        me.attributes.active_color = colour
        me.color_attributes.render_color_index = me.color_attributes.active_color_index
    except AttributeError:
        pass
    if prepared.uv is not None:
        layer = me.uv_layers.new(name=UV_MAP)
        layer.data.foreach_set("uv", prepared.uv.astype(np.float32).reshape(-1))
    if matrix is not None:
        me.transform(matrix)
        if matrix.is_negative:
            me.flip_normals()
    if data.normals is not None and prepared.faces is not None and len(prepared.faces):
        me.polygons.foreach_set("use_smooth", np.ones(len(prepared.faces), dtype=bool))
        if use_normals:
            normals = data.normals.astype(np.float64)
            # Blender takes (0, 0, 0) as "its own"; so is a normal that is
            # not a number.
            normals[~np.isfinite(normals).all(axis=1)] = 0
            if matrix is not None:
                rotation = np.array(matrix.to_3x3().inverted_safe().transposed())
                normals = normals @ rotation.T
            if hasattr(me, "use_auto_smooth"):
                me.use_auto_smooth = True
            me.normals_split_custom_set_from_vertices(normals.tolist())
    me.update()


def load(operator, context, paths, color_order="argb", use_normals=False, matrix=None):
    """Imports every file, or none when one fails: all are read and checked
    before the first mesh is made."""
    try:
        prepared = [Prepared(path, backend.load(path), color_order) for path in paths]
    except KvxFileError as e:
        operator.report({'ERROR'}, str(e))
        return {'CANCELLED'}
    collection = context.collection if context.collection else context.scene.collection
    made = []
    try:
        for p in prepared:
            me = build(p, use_normals, matrix)
            made.append(me)
            made.append(bpy.data.objects.new(p.name, me))
    except (RuntimeError, ValueError, TypeError, MemoryError) as e:
        # Blender refused something: what was made goes again.
        for block in reversed(made):
            (bpy.data.objects if isinstance(block, bpy.types.Object) else
             bpy.data.meshes).remove(block)
        operator.report({'ERROR'}, f"{prepared[len(made) // 2].path}: {e}")
        return {'CANCELLED'}
    for ob in context.selected_objects:
        ob.select_set(False)
    for p, ob in zip(prepared, made[1::2]):
        for warning in p.warnings:
            operator.report({'WARNING'}, warning)
        collection.objects.link(ob)
        ob.select_set(True)
        context.view_layer.objects.active = ob
    return {'FINISHED'}
