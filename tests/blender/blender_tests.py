"""The add-on in Blender (run by run_blender.py as blender -b --python):
imports of every version against kvx.load, exports of Blender's own meshes
read back by kvxdump, the export against Blender's OBJ through kvximport,
and the refusals. KVX_BLENDER_PURE_PYTHON=1 runs it on the pure-Python
reader and writer, else on the kvx module."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import bpy
import bmesh
import numpy as np

ROOT = Path(os.environ["KVX_SOURCE_DIR"])
sys.path.insert(0, os.environ.get("KVX_ADDON_PARENT", str(ROOT / "blender")))
import io_mesh_kvx  # noqa: E402
from io_mesh_kvx import backend  # noqa: E402

import kvx  # noqa: E402

PURE = os.environ.get("KVX_BLENDER_PURE_PYTHON") == "1"
PROGRAMS = {1: "kvxconv1", 2: "kvxconv2", 3: "kvxconv3", 4: "kvxconv4", -1: "kvxpoints",
            -2: "kvxwire"}
EXAMPLES = ROOT / "examples"
TEST_DATA = ROOT / "tests/data"


def program(name):
    return os.environ[name.upper()]


def run(name, *args, check=True):
    r = subprocess.run([program(name), *map(str, args)], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def fresh_scene():
    """An empty scene: no objects, no meshes."""
    for ob in list(bpy.data.objects):
        bpy.data.objects.remove(ob)
    for me in list(bpy.data.meshes):
        bpy.data.meshes.remove(me)


def get(collection, attribute, count, width, dtype):
    out = np.empty(count * width, dtype=dtype)
    collection.foreach_get(attribute, out)
    return out.reshape(count, width) if width > 1 else out


def dump(path):
    """kvxdump's lines of a file: (header dict, vertex rows, group rows, name)."""
    r = run("kvxdump", path)
    lines = r.stdout.splitlines()
    header = {k.strip(): int(v) for k, v in (line.split("=") for line in lines[:3])}
    n, groups = header["vertexCount"], header["faceCount"]
    vertices = [line.split() for line in lines[3:3 + n]]
    rows = lines[3 + n:3 + n + (groups if header["version"] != -1 else 0)]
    rest = lines[3 + n + len(rows):]
    return header, vertices, [tuple(map(int, row.split())) for row in rows], rest


def kept(faces):
    """The triangles that name three vertices."""
    f = np.asarray(faces)
    return f[(f[:, 0] != f[:, 1]) & (f[:, 1] != f[:, 2]) & (f[:, 2] != f[:, 0])]


class Base(unittest.TestCase):
    def setUp(self):
        fresh_scene()
        self.folder = Path(tempfile.mkdtemp(prefix="kvx-blender-"))

    def tearDown(self):
        shutil.rmtree(self.folder)

    def counts(self):
        return len(bpy.data.objects), len(bpy.data.meshes)


class TestBackend(Base):
    def test_the_chosen_code_runs(self):
        self.assertEqual(backend.module() is None, PURE)
        self.assertEqual(backend.name() == "pure Python", PURE)


class TestImport(Base):
    def program_file(self, version, source):
        out = self.folder / f"{source.stem}_{version}.kvx"
        run(PROGRAMS[version], source, out)
        return out

    def sources(self, version):
        if version == 1:
            return [EXAMPLES / "cube3.cmsh"]
        if version == 4:
            return [EXAMPLES / "cube9.cmsh", TEST_DATA / "irregular9.cmsh"]
        return [EXAMPLES / "cube7.cmsh", TEST_DATA / "irregular7.cmsh"]

    def test_every_version_imports_as_kvx_loads_it(self):
        for version in PROGRAMS:
            for source in self.sources(version):
                path = self.program_file(version, source)
                mesh = kvx.load(path)
                for order in ("argb", "rgba"):
                    fresh_scene()
                    result = bpy.ops.import_mesh.kvx(filepath=str(path), color_order=order)
                    self.assertEqual(result, {'FINISHED'})
                    ob = bpy.context.active_object
                    me = ob.data
                    name = mesh.name or path.stem
                    self.assertEqual((ob.name, me.name), (name, name))
                    self.check_mesh(me, mesh, order)

    def check_mesh(self, me, mesh, order):
        n = mesh.vertex_count
        self.assertEqual(len(me.vertices), n)
        self.assertEqual(get(me.vertices, "co", n, 3, np.float32).tobytes(),
                         np.ascontiguousarray(mesh.positions).tobytes())
        colour = me.attributes["Color"]
        self.assertEqual((colour.data_type, colour.domain), ('BYTE_COLOR', 'POINT'))
        srgb = get(colour.data, "color_srgb", n, 4, np.float32)
        self.assertEqual(np.rint(srgb * 255).astype(np.uint8).tobytes(),
                         mesh.rgba(order).tobytes())
        if mesh.faces is not None:
            # Blender has no triangle that names a vertex twice: those are left out.
            faces = kept(mesh.faces)
            self.assertEqual(len(me.polygons), len(faces))
            corners = get(me.loops, "vertex_index", len(me.loops), 1, np.int32)
            self.assertEqual(corners.tolist(), faces.reshape(-1).tolist())
            self.assertEqual(len(me.edges), len({frozenset(e) for f in faces.tolist()
                                                  for e in ((f[0], f[1]), (f[1], f[2]),
                                                            (f[2], f[0]))}))
        else:
            self.assertEqual(len(me.polygons), 0)
        if mesh.edges is not None:
            edges = get(me.edges, "vertices", len(me.edges), 2, np.int32)
            self.assertEqual(edges.tolist(),
                             mesh.edges[mesh.edges[:, 0] != mesh.edges[:, 1]].tolist())
        elif mesh.faces is None:
            self.assertEqual(len(me.edges), 0)
        if mesh.uv is not None:
            uv = get(me.uv_layers["UVMap"].data, "uv", len(me.loops), 2, np.float32)
            self.assertEqual(uv.tobytes(), mesh.uv[faces.reshape(-1)].tobytes())
        else:
            self.assertEqual(len(me.uv_layers), 0)

    def test_a_file_imported_and_exported_is_the_programs_again(self):
        for version in PROGRAMS:
            for order in ("argb", "rgba"):
                fresh_scene()
                path = self.program_file(version, self.sources(version)[0])
                bpy.ops.import_mesh.kvx(filepath=str(path), color_order=order)
                out = self.folder / "again.kvx"
                result = bpy.ops.export_mesh.kvx(filepath=str(out), version=str(version),
                                                 color_order=order)
                self.assertEqual(result, {'FINISHED'})
                self.assertEqual(out.read_bytes(), path.read_bytes(), (version, order))

    def test_the_read_only_version_imports_as_points(self):
        # Version -3: V3 records and six index values per counted record,
        # which no program writes.
        records = b"".join(struct.pack("<I6f", 0xFF102030 + k, 0, 0, 1, k, 2 * k, 3 * k)
                           for k in range(3))
        path = self.folder / "records.kvx"
        path.write_bytes(b"KVX" + struct.pack("<IIi", 3, 2, -3) + records + bytes(24))
        mesh = kvx.load(path)
        self.assertEqual(bpy.ops.import_mesh.kvx(filepath=str(path)), {'FINISHED'})
        me = bpy.context.active_object.data
        self.assertEqual((len(me.polygons), len(me.edges)), (0, 0))
        self.check_mesh(me, mesh, "argb")

    def test_a_refusal_by_blender_leaves_nothing(self):
        # The second file's colours do not fit its mesh: Blender refuses them
        # while the mesh is made, after the first file's mesh and object.
        from io_mesh_kvx import import_kvx
        path = self.program_file(3, EXAMPLES / "cube7.cmsh")
        real = import_kvx.rgba_bytes
        calls = []

        def short(colors, order):
            calls.append(order)
            return real(colors, order)[:len(calls) == 2 and -1 or None]

        import_kvx.rgba_bytes = short
        before = self.counts()
        try:
            with self.assertRaises(RuntimeError) as caught:
                bpy.ops.import_mesh.kvx(directory=str(self.folder),
                                        files=[{"name": path.name}, {"name": path.name}])
        finally:
            import_kvx.rgba_bytes = real
        self.assertEqual(len(calls), 2)
        message = str(caught.exception).strip()
        self.assertTrue(message.startswith(f"Error: {path}: "), message)
        self.assertEqual(message.count("\n"), 0)
        self.assertEqual(self.counts(), before)

    def test_stored_normals_as_custom_normals(self):
        path = self.program_file(3, TEST_DATA / "irregular7.cmsh")
        mesh = kvx.load(path)
        for use in (False, True):
            fresh_scene()
            bpy.ops.import_mesh.kvx(filepath=str(path), use_normals=use)
            me = bpy.context.active_object.data
            self.assertEqual(me.has_custom_normals, use)
            me.calc_normals_split()
            loops = get(me.loops, "normal", len(me.loops), 3, np.float32)
            expected = mesh.normals[kept(mesh.faces).reshape(-1)]
            # Blender keeps custom normals in its own coarse encoding, and
            # its own for a zero normal.
            unit = np.linalg.norm(expected, axis=1) > 0.5
            error = np.median(np.abs(loops - expected)[unit])
            if use:
                self.assertLess(error, 1e-4)
            else:
                self.assertGreater(error, 1e-3)  # Blender's own, angle-weighted

    def test_the_axis_conversion_turns_the_mesh(self):
        path = self.program_file(3, EXAMPLES / "cube7.cmsh")
        mesh = kvx.load(path)
        bpy.ops.import_mesh.kvx(filepath=str(path), axis_forward='-Z', axis_up='Y')
        co = get(bpy.context.active_object.data.vertices, "co", mesh.vertex_count, 3, np.float32)
        # Y up in the file is Z up in Blender; the file's Z points back (-Y).
        expected = np.stack([mesh.positions[:, 0], -mesh.positions[:, 2],
                             mesh.positions[:, 1]], axis=1)
        self.assertTrue(np.allclose(co, expected))

    def test_bad_files_report_one_line_and_import_nothing(self):
        good = self.program_file(4, EXAMPLES / "cube9.cmsh")
        content = good.read_bytes()
        bad = {
            "truncated": content[:-20],
            "header": content[:9],
            "version": content[:11] + struct.pack("<i", 7) + content[15:],
            "not_kvx": b"PLY" + content[3:11] + struct.pack("<i", 9) + content[15:],
            "long_name": content + b"x" * 300,
        }
        out_of_range = self.folder / "range.kvx"
        kvx.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], version=1).save(out_of_range)
        data = bytearray(out_of_range.read_bytes())
        data[-2:] = struct.pack("<H", 3)
        bad["range"] = bytes(data)
        before = self.counts()
        for label, data in bad.items():
            path = self.folder / f"{label}.kvx"
            path.write_bytes(data)
            try:
                kvx.load(path)
                expected = f"{path}: face 0 names vertex 3 of 3"
            except kvx.KvxError as e:
                expected = str(e)
            with self.assertRaises(RuntimeError) as caught:
                bpy.ops.import_mesh.kvx(filepath=str(path))
            self.assertEqual(str(caught.exception).strip(), f"Error: {expected}", label)
            self.assertEqual(self.counts(), before, label)
        # A bad file among good ones: none of them.
        with self.assertRaises(RuntimeError):
            bpy.ops.import_mesh.kvx(directory=str(self.folder), files=[
                {"name": good.name}, {"name": "truncated.kvx"}])
        self.assertEqual(self.counts(), before)
        bpy.ops.import_mesh.kvx(directory=str(self.folder), files=[
            {"name": good.name}, {"name": good.name}])
        self.assertEqual(self.counts()[0], before[0] + 2)


def set_corner_colours(me, seed=1):
    """A byte colour attribute on the corners, one colour per polygon."""
    attribute = me.color_attributes.new("Paint", 'BYTE_COLOR', 'CORNER')
    rng = np.random.default_rng(seed)
    per_polygon = rng.integers(0, 256, (len(me.polygons), 4))
    loop_polygon = np.repeat(np.arange(len(me.polygons)),
                             get(me.polygons, "loop_total", len(me.polygons), 1, np.int32))
    values = per_polygon[loop_polygon].astype(np.float32) / 255
    attribute.data.foreach_set("color_srgb", values.reshape(-1))
    me.color_attributes.active_color = attribute
    return attribute


def evaluated_triangles(ob):
    """Blender's evaluated mesh of ob: per triangle corner its position,
    its uv and its sRGB colour bytes (the active ones)."""
    depsgraph = bpy.context.evaluated_depsgraph_get()
    ob_eval = ob.evaluated_get(depsgraph)
    me = ob_eval.to_mesh()
    me.transform(ob.matrix_world)
    me.calc_loop_triangles()
    t = len(me.loop_triangles)
    loops = get(me.loop_triangles, "loops", t, 3, np.int32).reshape(-1)
    loop_vertex = get(me.loops, "vertex_index", len(me.loops), 1, np.int32)
    co = get(me.vertices, "co", len(me.vertices), 3, np.float32)
    result = {"positions": co[loop_vertex[loops]], "count": t, "vertices": len(me.vertices),
              "edges": get(me.edges, "vertices", len(me.edges), 2, np.int32)}
    if me.uv_layers.active:
        result["uv"] = get(me.uv_layers.active.data, "uv", len(me.loops), 2, np.float32)[loops]
    colours = me.color_attributes
    if len(colours):
        a = colours[colours.active_color_index]
        n = len(me.loops) if a.domain == 'CORNER' else len(me.vertices)
        srgb = get(a.data, "color_srgb", n, 4, np.float32)
        index = loops if a.domain == 'CORNER' else loop_vertex[loops]
        result["rgba"] = np.rint(srgb[index] * 255).astype(np.uint32)
    ob_eval.to_mesh_clear()
    return result


class TestExport(Base):
    def make(self, kind):
        if kind == "cube":
            bpy.ops.mesh.primitive_cube_add(location=(1, 2, 3))
            bpy.context.active_object.rotation_euler = (0.3, 0.2, 0.1)
        elif kind == "sphere":
            bpy.ops.mesh.primitive_uv_sphere_add(segments=24, ring_count=12)
            bpy.ops.object.modifier_add(type='SUBSURF')  # applied on export
        elif kind == "painted":
            bpy.ops.mesh.primitive_grid_add(x_subdivisions=6, y_subdivisions=5)
            me = bpy.context.active_object.data
            # A seam: one polygon's corners moved in the UV map.
            uv = me.uv_layers.active.data
            for k in range(me.polygons[3].loop_start, me.polygons[3].loop_start + 4):
                uv[k].uv = (uv[k].uv[0] + 0.5, uv[k].uv[1])
            set_corner_colours(me)
        return bpy.context.active_object

    def export(self, path, **options):
        result = bpy.ops.export_mesh.kvx(filepath=str(path), **options)
        self.assertEqual(result, {'FINISHED'})
        return path

    def test_blenders_meshes_read_back_by_kvxdump(self):
        for kind in ("cube", "sphere", "painted"):
            for version in (3, 4, 1, 2, -1, -2):
                fresh_scene()
                ob = self.make(kind)
                bpy.ops.mesh.primitive_monkey_add(location=(5, 0, 0))  # not selected below
                ob.select_set(True)
                bpy.context.view_layer.objects.active = ob
                bpy.context.active_object.select_set(True)
                for other in bpy.context.scene.objects:
                    other.select_set(other == ob)
                path = self.export(self.folder / f"{kind}{version}.kvx", version=str(version),
                                   use_selection=True)
                self.check_dump(path, ob, version, kind)

    def check_dump(self, path, ob, version, kind):
        header, vertices, groups, rest = dump(path)
        expected = evaluated_triangles(ob)
        self.assertEqual(header["version"], version)
        columns = {4: 9, 3: 7}.get(version, 4)
        self.assertTrue(all(len(v) == columns for v in vertices))
        positions = [tuple(v[-3:]) for v in vertices]
        if version == -1:
            self.assertEqual(header["vertexCount"], expected["vertices"])
            return
        if version == -2:
            self.assertEqual(groups, [tuple(e) for e in expected["edges"].tolist()])
            return
        self.assertEqual(header["faceCount"], expected["count"])
        got = [positions[i] for face in groups for i in face]
        want = [tuple("%f" % float(c) for c in p) for p in expected["positions"]]
        self.assertEqual(got, want, (kind, version))
        if version == 4:
            uv = ["%f %f" % (float(u), float(np.float32(1) - v)) for u, v in expected["uv"]]
            self.assertEqual([" ".join(vertices[i][:2]) for face in groups for i in face], uv)
            self.assertEqual(rest, [ob.name])
        if "rgba" in expected:
            r, g, b, a = expected["rgba"].T
            words = ["0x%X" % w for w in (a << 24) | (r << 16) | (g << 8) | b]
            colour = {4: 5, 3: 3}.get(version, 0)  # kvxdump's columns
            self.assertEqual([vertices[i][colour] for face in groups for i in face], words)
        if kind == "cube":
            # Split by the uv seams only where the version keeps uvs.
            self.assertEqual(header["vertexCount"], 14 if version == 4 else 8)
        if kind == "painted":
            # One vertex per distinct corner colour and uv (with the seam).
            self.assertGreater(header["vertexCount"], len(ob.data.vertices))

    def test_the_colour_order_and_attribute(self):
        ob = self.make("painted")
        painted = evaluated_triangles(ob)["rgba"]
        for order in ("argb", "rgba"):
            path = self.export(self.folder / f"{order}.kvx", version='3', color_order=order)
            mesh = kvx.load(path)
            corners = mesh.rgba(order)[mesh.faces.reshape(-1)]
            self.assertEqual(corners.tolist(), painted.tolist())
        self.export(self.folder / "none.kvx", color_source='NONE')
        self.assertTrue((kvx.load(self.folder / "none.kvx").colors == 0xFFFFFFFF).all())
        self.export(self.folder / "v1.kvx", version='1', color_source='NONE')
        self.assertTrue((kvx.load(self.folder / "v1.kvx").colors == 0xFFFF0000).all())
        self.export(self.folder / "named.kvx", color_source='NAMED', color_name="Paint")
        self.assertEqual(kvx.load(self.folder / "named.kvx").colors.tolist(),
                         kvx.load(self.folder / "argb.kvx").colors.tolist())

    def test_modifiers_and_selection(self):
        ob = self.make("sphere")
        bpy.ops.mesh.primitive_cube_add(location=(4, 0, 0))
        cube = bpy.context.active_object
        plain = sum(p.loop_total - 2 for p in ob.data.polygons)
        self.export(self.folder / "raw.kvx", use_mesh_modifiers=False)
        self.assertEqual(kvx.load(self.folder / "raw.kvx").face_count, plain + 12)
        self.export(self.folder / "mod.kvx")
        self.assertGreater(kvx.load(self.folder / "mod.kvx").face_count, 4 * plain)
        for other in bpy.context.scene.objects:
            other.select_set(other == cube)
        self.export(self.folder / "sel.kvx", use_selection=True, version='4')
        mesh = kvx.load(self.folder / "sel.kvx")
        self.assertEqual((mesh.face_count, mesh.name), (12, cube.name))
        middle = (mesh.positions.min(axis=0) + mesh.positions.max(axis=0)) / 2
        self.assertTrue(np.allclose(middle, (4, 0, 0)))

    def test_faces_point_out_under_a_mirroring_transform(self):
        for scale in ((1, 1, 1), (-1, 1, 1), (-2, -1, -1)):
            fresh_scene()
            bpy.ops.mesh.primitive_ico_sphere_add(location=(3, 1, 0))
            bpy.context.active_object.scale = scale
            path = self.export(self.folder / "mirrored.kvx", color_source='NONE')
            mesh = kvx.load(path)
            p = mesh.positions[mesh.faces.astype(np.int64)]
            normals = np.cross(p[:, 2] - p[:, 1], p[:, 0] - p[:, 1])
            outward = np.einsum("ij,ij->i", normals, p.mean(axis=1) - (3, 1, 0))
            self.assertTrue((outward > 0).all(), scale)

    def test_the_export_equals_kvximport_of_blenders_obj(self):
        bpy.ops.mesh.primitive_uv_sphere_add(segments=16, ring_count=8, location=(0.5, 0, 0))
        ob = bpy.context.active_object
        me = ob.data
        # Positions and uvs on a grid of 1/64, which OBJ's six decimals hold.
        co = get(me.vertices, "co", len(me.vertices), 3, np.float32)
        me.vertices.foreach_set("co", (np.round(co * 64) / 64).reshape(-1))
        uv = get(me.uv_layers.active.data, "uv", len(me.loops), 2, np.float32)
        me.uv_layers.active.data.foreach_set("uv", (np.round(uv * 64) / 64).reshape(-1))
        bm = bmesh.new()
        bm.from_mesh(me)
        bmesh.ops.triangulate(bm, faces=bm.faces[:])
        bm.to_mesh(me)
        bm.free()
        obj = self.folder / "sphere.obj"
        bpy.ops.wm.obj_export(filepath=str(obj), export_selected_objects=True,
                              export_triangulated_mesh=True, forward_axis='Y', up_axis='Z',
                              export_normals=False, export_materials=False,
                              apply_modifiers=False)
        run("kvximport", "--layout", "4", obj, self.folder / "via_obj.kvx")
        self.export(self.folder / "direct.kvx", version='4', color_source='NONE')
        a, b = kvx.load(self.folder / "via_obj.kvx"), kvx.load(self.folder / "direct.kvx")
        self.assertEqual(a.vertex_count, b.vertex_count)

        def corners(mesh):
            rows = np.concatenate([mesh.positions, mesh.stored_uv, mesh.normals], axis=1)
            return sorted(tuple(rows[i].view(np.uint32).tolist() for i in face)
                          for face in mesh.faces.tolist())

        self.assertEqual(corners(a), corners(b))

    def grid(self, columns, rows, seed=0):
        """A triangulated grid of columns x rows vertices at whole positions."""
        bpy.ops.mesh.primitive_grid_add(x_subdivisions=columns - 1, y_subdivisions=rows - 1)
        ob = bpy.context.active_object
        me = ob.data
        co = get(me.vertices, "co", len(me.vertices), 3, np.float32)
        x = np.round((co[:, 0] - co[:, 0].min()) / (co[:, 0].max() - co[:, 0].min()) * 299)
        y = np.round((co[:, 1] - co[:, 1].min()) / (co[:, 1].max() - co[:, 1].min()) * 229)
        co = np.stack([x, y, (x * y) % 7], axis=1).astype(np.float32)
        me.vertices.foreach_set("co", co.reshape(-1))
        bm = bmesh.new()
        bm.from_mesh(me)
        bmesh.ops.triangulate(bm, faces=bm.faces[:])
        bm.to_mesh(me)
        bm.free()
        return ob

    def test_too_many_vertices_refused_or_split(self):
        ob = self.grid(300, 230)
        n = len(ob.data.vertices)
        self.assertGreater(n, 65536)
        target = self.folder / "big.kvx"
        target.write_bytes(b"old")
        with self.assertRaises(RuntimeError) as caught:
            bpy.ops.export_mesh.kvx(filepath=str(target), color_source='NONE')
        choices = "Split into parts" + (", or Simplify to fit" if backend.can_fit() else "")
        self.assertEqual(str(caught.exception).strip(),
                         f"Error: {target}: {n} vertices; a KVX file holds at most 65536 "
                         f"(choose {choices})")
        with self.assertRaises(RuntimeError) as caught:
            bpy.ops.export_mesh.kvx(filepath=str(target), version='-2')
        self.assertIn("vertices of lines", str(caught.exception))
        self.assertEqual(target.read_bytes(), b"old")
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["big.kvx"])
        # A point set has no indices and no limit.
        self.export(self.folder / "points.kvx", version='-1')
        self.assertEqual(kvx.load(self.folder / "points.kvx").vertex_count, n)
        # Split: kvximport --split's parts of Blender's OBJ of the mesh.
        self.export(target, oversize='SPLIT', color_source='NONE')
        self.assertEqual(target.read_bytes(), b"old")
        obj = self.folder / "big.obj"
        bpy.ops.wm.obj_export(filepath=str(obj), export_triangulated_mesh=True,
                              forward_axis='Y', up_axis='Z', export_normals=False,
                              export_uv=False, export_materials=False)
        os.mkdir(self.folder / "via")
        run("kvximport", "--split", obj, self.folder / "via" / "big.kvx")
        parts = sorted(p.name for p in (self.folder / "via").iterdir())
        self.assertGreater(len(parts), 1)
        for name in parts:
            a, b = kvx.load(self.folder / "via" / name), kvx.load(self.folder / name)

            def triangles(mesh):
                rows = np.concatenate([mesh.positions, mesh.normals], axis=1)
                return sorted(tuple(rows[i].tobytes() for i in face)
                              for face in mesh.faces.tolist())

            self.assertEqual(triangles(a), triangles(b), name)

    def test_too_many_vertices_simplified_to_fit(self):
        if not backend.can_fit():
            self.skipTest("the kvx module with the optimiser is not in use")
        ob = self.grid(300, 230)
        co = get(ob.data.vertices, "co", len(ob.data.vertices), 3, np.float32)
        target = self.folder / "fit.kvx"
        self.export(target, oversize='FIT', color_source='NONE')
        mesh = kvx.load(target)
        self.assertLessEqual(mesh.vertex_count, 65536)
        self.assertGreater(mesh.vertex_count, 60000)
        # Every vertex kept is one of Blender's, unmoved; none is unused and
        # no triangle names one twice.
        kept = {tuple(p) for p in co.tolist()}
        self.assertTrue(all(tuple(p) in kept for p in mesh.positions.tolist()))
        self.assertEqual(len(np.unique(mesh.faces)), mesh.vertex_count)
        f = mesh.faces
        self.assertFalse(np.any((f[:, 0] == f[:, 1]) | (f[:, 1] == f[:, 2]) | (f[:, 0] == f[:, 2])))

    def test_a_folder_that_is_not_there(self):
        bpy.ops.mesh.primitive_cube_add()
        path = self.folder / "missing" / "cube.kvx"
        with self.assertRaises(RuntimeError) as caught:
            bpy.ops.export_mesh.kvx(filepath=str(path))
        self.assertEqual(str(caught.exception).strip(),
                         f"Error: {path}: No such file or directory")
        with self.assertRaises(RuntimeError) as caught:
            bpy.ops.export_mesh.kvx(filepath=str(path), oversize='SPLIT')
        self.assertEqual(str(caught.exception).strip(),
                         f"Error: {path}: No such file or directory")

    def test_nothing_to_write(self):
        with self.assertRaises(RuntimeError) as caught:
            bpy.ops.export_mesh.kvx(filepath=str(self.folder / "empty.kvx"))
        self.assertIn("no triangles (version 3 is made of triangles", str(caught.exception))
        self.assertFalse((self.folder / "empty.kvx").exists())
        # A point set or a wireframe of nothing is a file, as kvxpoints writes it.
        for version in ('-1', '-2'):
            path = self.export(self.folder / "empty.kvx", version=version)
            self.assertEqual(path.read_bytes(),
                             b"KVX" + struct.pack("<IIi", 0, 0, int(version)))


def main():
    io_mesh_kvx.register()
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    sys.stdout.flush()
    if not result.wasSuccessful():
        raise SystemExit(1)


main()
