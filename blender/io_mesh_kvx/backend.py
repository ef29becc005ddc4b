# SPDX-License-Identifier: MIT
"""Which code reads and writes: the kvx module where it imports (the tool
chain's own loader and saves: the programs' checks, messages and bytes),
else the add-on's pure-Python reader and writer (kvxfile), which does the
same work. KVX_BLENDER_PURE_PYTHON=1 in the environment chooses the latter
even where the module imports (the add-on's tests use it)."""

import os

import numpy as np

from . import kvxfile
from .kvxfile import KvxData, KvxFileError


def module():
    """The kvx module, or None where it is missing or not to be used."""
    if os.environ.get("KVX_BLENDER_PURE_PYTHON") == "1":
        return None
    try:
        import kvx
    except ImportError:
        return None
    return kvx if hasattr(kvx, "Mesh") and hasattr(kvx, "load") else None


def name():
    """What runs, for the reports: "kvx <version>" or "pure Python"."""
    kvx = module()
    return f"kvx {getattr(kvx, '__version__', '')}".strip() if kvx else "pure Python"


def can_fit():
    """Whether the optimiser can simplify a mesh to fit 65,536 vertices."""
    kvx = module()
    return kvx is not None and hasattr(kvx, "simplify")


def load(path):
    """The KvxData of a KVX file; KvxFileError with the programs' line."""
    kvx = module()
    if kvx is None:
        return kvxfile.read(path)
    try:
        mesh = kvx.load(path)
    except kvx.KvxError as e:
        raise KvxFileError(str(e)) from None

    def copy(a):
        return None if a is None else np.array(a)

    return KvxData(mesh.version, copy(mesh.positions), copy(mesh.colors), faces=copy(mesh.faces),
                   edges=copy(mesh.edges), normals=copy(mesh.normals),
                   stored_uv=copy(mesh.stored_uv), name=mesh.name, face_count=mesh.face_count)


def _module_mesh(kvx, data):
    faces = data.faces if data.version in (1, 2, 3, 4) else None
    edges = data.edges if data.version == -2 else None
    try:
        return kvx.Mesh(data.positions, faces, data.colors, name=data.name or None,
                        version=data.version, edges=edges,
                        stored_uv=data.stored_uv if data.version == 4 else None)
    except kvx.KvxError as e:
        raise KvxFileError(str(e)) from None


def simplify(data, most=kvxfile.MOST_VERTICES):
    """The mesh simplified by the optimiser to at most `most` vertices, as
    kvxopt --fit simplifies it: no bound on the error, the kept vertices
    unmoved with their colours and texture coordinates."""
    kvx = module()
    try:
        faces, order, _ = kvx.simplify(data.positions, data.faces, 1.0, error=1.0,
                                       max_vertices=most)
    except kvx.KvxError as e:
        raise KvxFileError(str(e)) from None

    def kept(a):
        return None if a is None else np.ascontiguousarray(a[order])

    return KvxData(data.version, kept(data.positions), kept(data.colors),
                   faces=np.ascontiguousarray(faces, dtype=np.uint32),
                   stored_uv=kept(data.stored_uv), name=data.name)


def save_all(files):
    """Writes every (path, KvxData) or none, each whole or not at all."""
    kvx = module()
    if kvx is None:
        kvxfile.write_all(files)
        return
    meshes = [(path, _module_mesh(kvx, data)) for path, data in files]
    if len(meshes) == 1:
        path, mesh = meshes[0]
        try:
            mesh.save(path)
        except kvx.KvxError as e:
            raise KvxFileError(str(e)) from None
        return
    # Parts: each saved beside its target under a temporary name, then all
    # renamed into place.

    def save(path, mesh, temporary):
        try:
            mesh.save(temporary)
        except kvx.KvxError as e:
            raise KvxFileError(str(e).replace(temporary, path)) from None

    kvxfile.replace_all(meshes, save)
