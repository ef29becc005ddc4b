"""The built io_mesh_kvx.zip installed as a user would (run by
run_blender.py --zip, with BLENDER_USER_SCRIPTS a fresh folder): Blender
installs and enables it, it holds the add-on's files as they are, and its
operators import and export."""

import os
import sys
import tempfile
from pathlib import Path

import addon_utils
import bpy

ROOT = Path(os.environ["KVX_SOURCE_DIR"])
zip_path = os.environ["KVX_BLENDER_ZIP"]
bpy.ops.preferences.addon_install(filepath=zip_path)
bpy.ops.preferences.addon_enable(module="io_mesh_kvx")
installed = Path(bpy.utils.user_resource('SCRIPTS', path="addons")) / "io_mesh_kvx"
assert str(installed).startswith(os.environ["BLENDER_USER_SCRIPTS"]), installed
source = ROOT / "blender" / "io_mesh_kvx"
names = sorted(p.name for p in source.iterdir() if p.suffix in (".py", ".toml"))
assert sorted(p.name for p in installed.iterdir() if p.is_file()) == names, names
for name in names:
    assert (installed / name).read_bytes() == (source / name).read_bytes(), name
module = sys.modules["io_mesh_kvx"]
assert Path(module.__file__).parent == installed, module.__file__
assert addon_utils.check("io_mesh_kvx") == (True, True)
assert module.bl_info["blender"] <= bpy.app.version

folder = Path(tempfile.mkdtemp())
for ob in list(bpy.data.objects):
    bpy.data.objects.remove(ob)
bpy.ops.mesh.primitive_cube_add()
assert bpy.ops.export_mesh.kvx(filepath=str(folder / "cube.kvx"), version='4') == {'FINISHED'}
for ob in list(bpy.data.objects):
    bpy.data.objects.remove(ob)
assert bpy.ops.import_mesh.kvx(filepath=str(folder / "cube.kvx")) == {'FINISHED'}
ob = bpy.context.active_object
assert (ob.name, len(ob.data.polygons), len(ob.data.vertices)) == ("Cube", 12, 14), ob
import shutil
shutil.rmtree(folder)

# The menu entries come and go with the add-on.
def entries():
    return [[getattr(f, "__module__", "") for f in menu._dyn_ui_initialize()].count("io_mesh_kvx")
            for menu in (bpy.types.TOPBAR_MT_file_import, bpy.types.TOPBAR_MT_file_export)]


assert entries() == [1, 1], entries()
bpy.ops.preferences.addon_disable(module="io_mesh_kvx")
assert entries() == [0, 0], entries()
assert not hasattr(bpy.types, "IMPORT_MESH_OT_kvx")
bpy.ops.preferences.addon_enable(module="io_mesh_kvx")
assert entries() == [1, 1], entries()
print("the zip installs and works")
