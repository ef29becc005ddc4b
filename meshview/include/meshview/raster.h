// meshview: a small software rasteriser for previews of a mesh.
//
// An orthographic camera looks at the mesh from one of seven fixed
// directions and frames the bounding box of its vertices. Triangles are
// filled with a depth buffer and Lambert shading under a light fixed to the
// camera, from the upper left and the front; they are lit from whichever
// side faces the camera, so both windings show. Versions 3 and 4 are shaded
// by their stored vertex normals (interpolated across the triangle), the
// others by each triangle's own normal. Lines are drawn one pixel wide and
// points as 2 x 2 pixel dots, unlit, in their vertex colours, with the
// depth buffer too. Vertices whose position is not finite are left out,
// with every triangle and line that uses them. The result depends only on
// the mesh and the options: the same input gives the same bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "meshview/mesh_view.h"

// Where the camera stands, seen from the mesh: front is +z (x to the right,
// y up), back -z, left -x, right +x, top +y (x to the right, -z up), bottom
// -y (x to the right, +z up), iso the diagonal (+1, +1, +1) with y up.
enum class ViewDirection { front, back, left, right, top, bottom, iso };

// "front", "back", "left", "right", "top", "bottom" or "iso"; false for
// anything else.
bool ParseViewDirection(std::string_view text, ViewDirection* view);

// Each side of a picture is 1 to kMaxImageSide pixels.
inline constexpr uint32_t kMaxImageSide = 8192;

struct RenderOptions {
    uint32_t width = 512;
    uint32_t height = 512;
    ViewDirection view = ViewDirection::iso;
    ColorOrder colorOrder = ColorOrder::argb;
};

// The plain background of every picture.
inline constexpr Rgba kBackground{0x20, 0x20, 0x28, 0xFF};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// An 8-bit RGB picture: rows from the top, pixels from the left, 3 bytes
// each.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::unique_ptr<unsigned char[], FreeDeleter> pixels;
};

// Draws `view` into a new picture of options.width x options.height (each
// 1..kMaxImageSide). An empty or degenerate mesh gives the background alone.
// Returns false, with `image` empty, when the picture or its depth buffer
// cannot be allocated.
bool RenderMesh(const MeshView& view, const RenderOptions& options, Image* image);
