"""Polygons to triangles: kvx._kvx.triangulate_polygons (kvximport's
triangulation) and the meshio plugin's quad and polygon cells."""

import types
import warnings

import numpy as np
import pytest

import kvx
from kvx import _kvx

meshio = pytest.importorskip("meshio")

SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [2, 0, 0], [2, 1, 0]], np.float32)
# An L of area 3 in z = 0, its first corner next to the reflex one (1, 1):
# the fan from there would cover the square (1, 1)-(2, 2), outside the L.
L_SHAPE = np.array([[2, 1, 0], [1, 1, 0], [1, 2, 0], [0, 2, 0], [0, 0, 0], [2, 0, 0]], np.float32)


def test_convex_polygons_get_their_fan():
    # A quad, a pentagon and a triangle, each from its first corner, in order.
    corners = [0, 1, 2, 3, 1, 4, 5, 2, 3, 5, 2, 3]
    triangles, fallbacks = _kvx.triangulate_polygons(SQUARE, corners, [0, 4, 9, 12])
    assert triangles.dtype == np.uint32 and fallbacks == 0
    assert triangles.tolist() == [[0, 1, 2], [0, 2, 3],
                                  [1, 4, 5], [1, 5, 2], [1, 2, 3],
                                  [5, 2, 3]]
    none, fallbacks = _kvx.triangulate_polygons(SQUARE, np.zeros(0, np.int64), [0])
    assert none.shape == (0, 3) and fallbacks == 0


@pytest.mark.parametrize("corners, offsets, message", [
    ([0, 1, 2, 3], [0, 2, 4], "polygon 0 has 2 corners; a polygon has at least 3"),
    ([0, 1, 2, 0], [0, 3, 4], "polygon 1 has 1 corner; a polygon has at least 3"),
    ([0, 1, 2, 6], [0, 4], "polygon 0 names vertex 6 of 6"),
    ([0, 1, 2, 3, -1, 2], [0, 3, 6], "polygon 1 names vertex -1 of 6"),
    ([0, 1, 2], [1, 3], "offsets must run from 0 to the number of corners, 3"),
    ([0, 1, 2], [0, 4], "offsets must run from 0 to the number of corners, 3"),
    ([0, 1, 2], [], "offsets must run from 0 to the number of corners, 3"),
    # Rising past the corners and back: refused before a corner is read there.
    ([0, 1, 2, 3, 4, 5], [0, 7, 6], "offsets must rise to the number of corners, 6"),
    ([0.5, 1, 2], [0, 3], "corners must be a 1-D array of vertex indices; got float64"),
])
def test_what_cannot_be_triangulated(corners, offsets, message):
    with pytest.raises(kvx.KvxInputError) as caught:
        _kvx.triangulate_polygons(SQUARE, corners, offsets)
    assert str(caught.value) == message


def shoelace(points):
    x, y = points[:, 0].astype(float), points[:, 1].astype(float)
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


def inside(point, polygon):
    """Ray casting, for a point not on an edge."""
    x, y = point
    crossings = 0
    for (x0, y0), (x1, y1) in zip(polygon, np.roll(polygon, -1, axis=0)):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            crossings += 1
    return crossings % 2 == 1


@pytest.mark.xfail(strict=False, reason="needs the ear clipping of meshimport")
def test_a_concave_polygon_is_covered_from_inside():
    triangles, fallbacks = _kvx.triangulate_polygons(L_SHAPE, np.arange(6), [0, 6])
    assert fallbacks == 0 and len(triangles) == 4
    assert sorted(set(triangles.ravel().tolist())) == list(range(6))
    outline = L_SHAPE[:, :2]
    area = shoelace(outline)
    assert area == pytest.approx(3.0)  # counter-clockwise as listed
    for t in triangles:
        corners = outline[t]
        # Wound as the polygon, inside it, and together exactly its area.
        assert np.sign(shoelace(corners)) == np.sign(area), t
        assert inside(corners.mean(axis=0), outline), t
    assert sum(abs(shoelace(outline[t])) for t in triangles) == pytest.approx(3.0)


def test_quad_and_polygon_cells_are_written_as_triangles(tmp_path):
    points = SQUARE.astype(np.float64)
    mesh = meshio.Mesh(points, [("quad", [[0, 1, 2, 3], [1, 4, 5, 2]]),
                                ("triangle", [[3, 2, 5]]),
                                ("polygon", [[0, 1, 4, 5, 2]])])
    meshio.write(tmp_path / "mixed.kvx", mesh)
    expected = [[0, 1, 2], [0, 2, 3], [1, 4, 5], [1, 5, 2], [3, 2, 5],
                [0, 1, 4], [0, 4, 5], [0, 5, 2]]
    kvx.Mesh(points, expected).save(tmp_path / "direct.kvx")
    assert (tmp_path / "mixed.kvx").read_bytes() == (tmp_path / "direct.kvx").read_bytes()

    # meshio's earlier names, "polygon5" and the like, are polygons too; so
    # is a block of polygons of different sizes.
    legacy = types.SimpleNamespace(
        points=points, point_data={}, info={},
        cells=[types.SimpleNamespace(type="polygon5", data=np.array([[0, 1, 4, 5, 2]])),
               types.SimpleNamespace(type="polygon", data=[[0, 1, 2], [1, 4, 5, 2]])])
    assert kvx._meshio.from_meshio(legacy).faces.tolist() == [
        [0, 1, 4], [0, 4, 5], [0, 5, 2], [0, 1, 2], [1, 4, 5], [1, 5, 2]]


@pytest.mark.parametrize("cells, message", [
    ([("quad", [[0, 1, 2, 6]])], "kvx: cell block 0 (quad): polygon 0 names vertex 6 of 6"),
    ([("triangle", [[0, 1, 2]]), ("polygon", [[0, 1, 2, 3], [0, 1, 2, 7]])],
     "kvx: cell block 1 (polygon): polygon 1 names vertex 7 of 6"),
    ([("quad", [[0, 1, 2, 3]]), ("line", [[0, 1]])],
     "kvx: a KVX file holds one kind of cell; this mesh has quad and line"),
    ([("hexahedron", [list(range(6)) + [0, 1]])],
     "kvx: cells of type hexahedron cannot be written: a KVX file holds triangles (versions 1 "
     "to 4; quad and polygon cells become triangles), lines (-2) or vertices (-1)"),
    ([("quad8", [list(range(6)) + [0, 1]])], "kvx: cells of type quad8 cannot be written"),
])
def test_polygons_that_cannot_be_written(tmp_path, cells, message):
    with pytest.raises(meshio.WriteError) as caught:
        meshio.write(tmp_path / "x.kvx", meshio.Mesh(SQUARE, cells))
    assert str(caught.value).startswith(message)
    assert list(tmp_path.iterdir()) == []


def test_no_warning_for_convex_polygons(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        meshio.write(tmp_path / "q.kvx", meshio.Mesh(SQUARE, [("quad", [[0, 1, 2, 3]])]))
    assert kvx.load(tmp_path / "q.kvx").faces.tolist() == [[0, 1, 2], [0, 2, 3]]
