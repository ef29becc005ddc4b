# SPDX-License-Identifier: MIT

bl_info = {
    "name": "KVX format",
    "author": "The KVX developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Import/Export",
    "description": "Import-Export KVX triangle meshes, wireframes and point sets with vertex "
                   "colours and texture coordinates",
    "category": "Import-Export",
}

if "bpy" in locals():
    import importlib
    for module in ("kvxfile", "backend", "import_kvx", "export_kvx"):
        if module in locals():
            importlib.reload(locals()[module])

import bpy
from bpy.props import (
    BoolProperty,
    CollectionProperty,
    EnumProperty,
    StringProperty,
)
from bpy_extras.io_utils import (
    ExportHelper,
    ImportHelper,
    axis_conversion,
    orientation_helper,
)

COLOR_ORDERS = (
    ('argb', "ARGB",
     "The word's high byte is alpha, then red, green, blue (the programs' default)"),
    ('rgba', "RGBA", "The word's high byte is red, then green, blue, alpha"),
)


def _matrix(operator):
    """The axis conversion, or None where it changes nothing."""
    m = axis_conversion(from_forward=operator.axis_forward, from_up=operator.axis_up).to_4x4()
    return None if m == m.Identity(4) else m


@orientation_helper(axis_forward='Y', axis_up='Z')
class ImportKVX(bpy.types.Operator, ImportHelper):
    """Load a KVX mesh, wireframe or point set"""
    bl_idname = "import_mesh.kvx"
    bl_label = "Import KVX"
    bl_options = {'UNDO'}

    files: CollectionProperty(type=bpy.types.OperatorFileListElement,
                              options={'HIDDEN', 'SKIP_SAVE'})
    directory: StringProperty(subtype='DIR_PATH', options={'HIDDEN', 'SKIP_SAVE'})
    filename_ext = ".kvx"
    filter_glob: StringProperty(default="*.kvx", options={'HIDDEN'})

    color_order: EnumProperty(name="Colour Order", items=COLOR_ORDERS, default='argb',
                              description="How the colour words hold their bytes")
    use_normals: BoolProperty(name="Custom Normals", default=False,
                              description="Keep the stored vertex normals (versions 3 and 4) "
                                          "as custom split normals")

    def execute(self, context):
        import os
        from . import import_kvx
        paths = [os.path.join(self.directory, f.name) for f in self.files if f.name]
        if not paths:
            paths = [self.filepath]
        return import_kvx.load(self, context, paths, self.color_order, self.use_normals,
                               _matrix(self))


VERSIONS = (
        ('3', "3: Normals", "Triangles with colours and smooth vertex normals (kvxconv3)"),
        ('4', "4: UVs, Normals, Name", "Triangles with texture coordinates, colours, normals "
                                       "and the object's name (kvxconv4)"),
        ('1', "1: Positions", "Triangles with colours and positions (kvxconv1)"),
        ('2', "2: Colours", "Triangles with colours and positions (kvxconv2)"),
        ('-1', "Points", "The vertices alone, a point set (kvxpoints)"),
        ('-2', "Wireframe", "The mesh's edges (kvxwire's version)"),
)


def _oversize_items(self, context):
    from . import backend
    items = [
        ('REFUSE', "Refuse", "Refuse a mesh of more than 65,536 vertices"),
        ('SPLIT', "Split into Parts", "Write parts <name>-1.kvx, <name>-2.kvx, ... as "
                                      "kvximport --split does"),
    ]
    if backend.can_fit():
        items.append(('FIT', "Simplify to Fit", "Simplify the mesh to 65,536 vertices with "
                                                 "the optimiser"))
    # Blender keeps no reference to the strings of a dynamic list: this does.
    _oversize_items.items = items
    return items


COLOR_SOURCES = (
        ('ACTIVE', "Active", "The active colour attribute of each mesh"),
        ('RENDER', "Render", "The colour attribute used for rendering"),
        ('NAMED', "By Name", "The colour attribute named below"),
        ('NONE', "None", "No colour attribute: opaque white (version 1: opaque red)"),
)


@orientation_helper(axis_forward='Y', axis_up='Z')
class ExportKVX(bpy.types.Operator, ExportHelper):
    """Save the scene or the selection as one KVX mesh"""
    bl_idname = "export_mesh.kvx"
    bl_label = "Export KVX"

    filename_ext = ".kvx"
    filter_glob: StringProperty(default="*.kvx", options={'HIDDEN'})

    version: EnumProperty(name="Version", items=VERSIONS, default='3',
                          description="The KVX version to write")
    use_selection: BoolProperty(name="Selection Only", default=False,
                                description="Export the selected objects only")
    use_mesh_modifiers: BoolProperty(name="Apply Modifiers", default=True,
                                     description="Apply the modifiers to the exported mesh")
    color_source: EnumProperty(name="Colour", items=COLOR_SOURCES, default='ACTIVE',
                               description="The colour attribute written as the colour words")
    color_name: StringProperty(name="Attribute", default="",
                               description="The colour attribute's name, for By Name")
    color_order: EnumProperty(name="Colour Order", items=COLOR_ORDERS, default='argb',
                              description="How the colour words hold their bytes")
    oversize: EnumProperty(name="Over 65,536 Vertices", items=_oversize_items, default=0,
                           description="What to do with a mesh a KVX file cannot index")

    def execute(self, context):
        from . import export_kvx
        m = axis_conversion(to_forward=self.axis_forward, to_up=self.axis_up).to_4x4()
        return export_kvx.save(self, context, self.filepath, version=int(self.version),
                               use_selection=self.use_selection,
                               use_mesh_modifiers=self.use_mesh_modifiers,
                               color_source=self.color_source, color_name=self.color_name,
                               color_order=self.color_order, oversize=self.oversize, matrix=m)


def menu_func_import(self, context):
    self.layout.operator(ImportKVX.bl_idname, text="KVX (.kvx)")


def menu_func_export(self, context):
    self.layout.operator(ExportKVX.bl_idname, text="KVX (.kvx)")


classes = (ImportKVX, ExportKVX)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_import.append(menu_func_import)
    bpy.types.TOPBAR_MT_file_export.append(menu_func_export)


def unregister():
    bpy.types.TOPBAR_MT_file_import.remove(menu_func_import)
    bpy.types.TOPBAR_MT_file_export.remove(menu_func_export)
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)


if __name__ == "__main__":
    register()
