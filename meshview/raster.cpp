#include "meshview/raster.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <thread>
#include <unordered_set>
#include <vector>

#include "meshcore/parallel.h"

namespace {

// Camera arithmetic runs in double: positions are floats, so differences and
// sums of any two of them, even near the float range's ends, stay finite.
struct Vec3 {
    double x, y, z;
};

double Dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The unit vector along v, or (0, 0, 0) when v has no length or is not finite.
Vec3 Unit(const Vec3& v) {
    double length = std::sqrt(Dot(v, v));
    if (!(length > 0.0) || !std::isfinite(length)) return {0.0, 0.0, 0.0};
    return {v.x / length, v.y / length, v.z / length};
}

// The camera's axes in mesh coordinates: `right` and `up` span the picture,
// `back` points from the mesh toward the viewer (right x up = back).
struct Camera {
    Vec3 right, up, back;
};

Camera CameraFor(ViewDirection view) {
    switch (view) {
        case ViewDirection::front:
            return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        case ViewDirection::back:
            return {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}};
        case ViewDirection::left:
            return {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}};
        case ViewDirection::right:
            return {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}};
        case ViewDirection::top:
            return {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};
        case ViewDirection::bottom:
            return {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
        case ViewDirection::iso:
            break;
    }
    return {Unit({1, 0, -1}), Unit({-1, 2, -1}), Unit({1, 1, 1})};
}

// Lambert shading: a little light everywhere, the rest from a direction
// fixed to the camera (camera axes: right, up, toward the viewer).
constexpr double kAmbient = 0.3;
constexpr double kDiffuse = 0.7;
const Vec3 kLight = Unit({-0.3, 0.4, 1.0});

// Brightness of a surface whose normal, in camera axes, is n (any length;
// zero gives the ambient light alone).
double Brightness(const Vec3& n) {
    double facing = Dot(Unit(n), kLight);
    return kAmbient + kDiffuse * std::max(0.0, facing);
}

// A vertex on the picture: x to the right and y down in pixels, z toward the
// viewer (larger is nearer).
struct ScreenPoint {
    double x, y, z;
};

struct Colour {
    double r, g, b;
};

uint8_t ToByte(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return static_cast<uint8_t>(std::floor(v + 0.5));
}

// The picture is drawn in tiles of kTile x kTile pixels. A tile remembers
// the farthest depth it holds, so that a large triangle wholly behind what a
// tile already shows is passed over without a test per pixel.
constexpr int64_t kTile = 16;

// What the bands of one picture share: the pixels, the depth buffer and the
// tiles. Each tile lies in one band.
struct Frame {
    unsigned char* pixels;
    float* depth;
    int64_t width, height;
    int64_t tilesX;
    std::vector<float> farthest;       // per tile; -inf while a pixel is empty
    std::vector<unsigned char> stale;  // per tile: drawn into since `farthest`
};

// Where the camera puts the mesh: the middle of its bounding box as seen,
// and pixels per unit.
struct Framing {
    double midX = 0.0, midY = 0.0, scale = 1.0;
};

// A triangle on the picture: its corners, and each corner's weight at a
// point, an edge function over twice the triangle's area.
struct ScreenTriangle {
    ScreenPoint s[3];
    double area;     // twice the signed area
    double sign;     // of the area
    double inverse;  // 1 / |area|

    ScreenTriangle(const ScreenPoint& a, const ScreenPoint& b, const ScreenPoint& c)
        : s{a, b, c},
          area(Edge(a, b, c.x, c.y)),
          sign(area < 0.0 ? -1.0 : 1.0),
          inverse(1.0 / std::fabs(area)) {}

    static double Edge(const ScreenPoint& a, const ScreenPoint& b, double px, double py) {
        return (b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x);
    }
    // The weights of the corners at (px, py); false, with no weights, when
    // the point lies outside (a point on an edge lies inside).
    bool weights(double px, double py, double w[3]) const {
        const double e0 = sign * Edge(s[1], s[2], px, py);
        const double e1 = sign * Edge(s[2], s[0], px, py);
        const double e2 = sign * Edge(s[0], s[1], px, py);
        if (e0 < 0.0 || e1 < 0.0 || e2 < 0.0) return false;
        w[0] = e0 * inverse;
        w[1] = e1 * inverse;
        w[2] = e2 * inverse;
        return true;
    }
    // The depth at a point of weights w, inside the triangle or not.
    double depthAt(double px, double py) const {
        return (sign * (Edge(s[1], s[2], px, py) * s[0].z + Edge(s[2], s[0], px, py) * s[1].z +
                        Edge(s[0], s[1], px, py) * s[2].z)) *
               inverse;
    }
    double depth(const double w[3]) const { return w[0] * s[0].z + w[1] * s[1].z + w[2] * s[2].z; }
};

class Rasteriser {
public:
    // Draws the rows of tile row t where t % bands == band, passing over the
    // triangles marked in `repeats`.
    Rasteriser(const MeshView& view, const RenderOptions& options, Frame& frame,
               const Framing& framing, const std::vector<bool>& repeats, int64_t band,
               int64_t bands)
        : mesh_(view),
          repeats_(repeats),
          options_(options),
          camera_(CameraFor(options.view)),
          frame_(frame),
          framing_(framing),
          band_(band),
          bands_(bands) {}

    // Draws every primitive into this band's rows: bands may be drawn at
    // once, and every pixel sees the primitives in the mesh's order, so the
    // picture is the same however it is banded.
    void draw() {
        switch (mesh_.primitive) {
            case Primitive::triangles:
                for (uint32_t t = 0; t < mesh_.groupCount; ++t)
                    if (!repeats_[t]) drawTriangle(mesh_.indices + size_t{t} * 3);
                break;
            case Primitive::lines:
                for (uint32_t l = 0; l < mesh_.groupCount; ++l)
                    drawLine(mesh_.indices + size_t{l} * 2);
                break;
            case Primitive::points:
                for (uint32_t i = 0; i < mesh_.vertexCount; ++i)
                    drawPoint(i);
                break;
            case Primitive::records:  // MakeMeshView makes no view of them
                break;
        }
    }

    // Centres the vertices' bounding box as the camera sees it and scales it
    // to the picture less a margin on each side.
    static Framing Fit(const MeshView& mesh, const RenderOptions& options) {
        const Camera camera = CameraFor(options.view);
        Framing f;
        double lowX = std::numeric_limits<double>::infinity(), highX = -lowX;
        double lowY = lowX, highY = -lowX;
        for (uint32_t i = 0; i < mesh.vertexCount; ++i) {
            Vec3 c;
            if (!CameraPoint(mesh, camera, i, &c)) continue;
            lowX = std::min(lowX, c.x);
            highX = std::max(highX, c.x);
            lowY = std::min(lowY, c.y);
            highY = std::max(highY, c.y);
        }
        if (lowX > highX) return f;  // nothing finite to draw
        f.midX = lowX + (highX - lowX) / 2.0;
        f.midY = lowY + (highY - lowY) / 2.0;
        const double width = options.width, height = options.height;
        double margin = std::min(options.width, options.height) / 16;
        double roomX = std::max(1.0, width - 2.0 * margin);
        double roomY = std::max(1.0, height - 2.0 * margin);
        double extentX = highX - lowX, extentY = highY - lowY;
        // A single point: any scale puts it in the middle.
        if (extentX > 0.0 && extentY > 0.0) {
            f.scale = std::min(roomX / extentX, roomY / extentY);
        } else if (extentX > 0.0) {
            f.scale = roomX / extentX;
        } else if (extentY > 0.0) {
            f.scale = roomY / extentY;
        }
        return f;
    }

private:
    // Position of vertex i in camera axes; false when it is not finite.
    static bool CameraPoint(const MeshView& mesh, const Camera& camera, uint32_t i, Vec3* c) {
        CVector p = ViewPosition(mesh, i);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
        Vec3 v{p.x, p.y, p.z};
        *c = {Dot(v, camera.right), Dot(v, camera.up), Dot(v, camera.back)};
        return true;
    }
    bool cameraPoint(uint32_t i, Vec3* c) const { return CameraPoint(mesh_, camera_, i, c); }

    ScreenPoint toScreen(const Vec3& c) const {
        return {static_cast<double>(frame_.width) / 2.0 + (c.x - framing_.midX) * framing_.scale,
                static_cast<double>(frame_.height) / 2.0 - (c.y - framing_.midY) * framing_.scale,
                c.z};
    }

    Colour vertexColour(uint32_t i) const {
        Rgba c = DecodeColor(ViewColor(mesh_, i), options_.colorOrder);
        return {static_cast<double>(c.r), static_cast<double>(c.g), static_cast<double>(c.b)};
    }

    bool owns(int64_t y) const { return y / kTile % bands_ == band_; }

    size_t tileOf(int64_t x, int64_t y) const {
        return static_cast<size_t>((y / kTile) * frame_.tilesX + x / kTile);
    }

    // The depth buffer's value for depth z: depths beyond the float range
    // (a long mesh seen end-on) are clamped.
    static float Stored(double z) {
        constexpr double kFloatMax = std::numeric_limits<float>::max();
        return static_cast<float>(std::clamp(z, -kFloatMax, kFloatMax));
    }

    // Whether depth z is nearer than what pixel (x, y), in the picture, holds.
    bool nearer(int64_t x, int64_t y, double z) const {
        return Stored(z) > frame_.depth[y * frame_.width + x];
    }

    // Writes one pixel if it lies in this band's rows of the picture and
    // nearer than what is there.
    void plot(int64_t x, int64_t y, double z, const Colour& c) {
        if (x < 0 || y < 0 || x >= frame_.width || y >= frame_.height || !owns(y)) return;
        size_t at = static_cast<size_t>(y * frame_.width + x);
        const float depth = Stored(z);
        if (!(depth > frame_.depth[at])) return;
        frame_.depth[at] = depth;
        frame_.stale[tileOf(x, y)] = 1;
        unsigned char* p = frame_.pixels + at * 3;
        p[0] = ToByte(c.r);
        p[1] = ToByte(c.g);
        p[2] = ToByte(c.b);
    }

    void drawPoint(uint32_t i) {
        Vec3 c;
        if (!cameraPoint(i, &c)) return;
        ScreenPoint s = toScreen(c);
        Colour colour = vertexColour(i);
        // The 2 x 2 pixels whose centres lie nearest the point.
        auto x0 = static_cast<int64_t>(std::floor(s.x - 0.5));
        auto y0 = static_cast<int64_t>(std::floor(s.y - 0.5));
        for (int64_t dy = 0; dy < 2; ++dy)
            for (int64_t dx = 0; dx < 2; ++dx)
                plot(x0 + dx, y0 + dy, s.z, colour);
    }

    // One pixel per step along the longer axis, colour and depth
    // interpolated between the ends.
    void drawLine(const uint16_t* ends) {
        Vec3 ca, cb;
        if (!cameraPoint(ends[0], &ca) || !cameraPoint(ends[1], &cb)) return;
        ScreenPoint a = toScreen(ca), b = toScreen(cb);
        Colour colourA = vertexColour(ends[0]), colourB = vertexColour(ends[1]);
        double dx = b.x - a.x, dy = b.y - a.y;
        // Both ends lie in the picture, so the steps are bounded by its size.
        double longer =
            std::min(std::ceil(std::max(std::fabs(dx), std::fabs(dy))), 4.0 * kMaxImageSide);
        auto steps = static_cast<int64_t>(longer);
        for (int64_t k = 0; k <= steps; ++k) {
            double t = steps == 0 ? 0.0 : static_cast<double>(k) / static_cast<double>(steps);
            Colour c{colourA.r + (colourB.r - colourA.r) * t,
                     colourA.g + (colourB.g - colourA.g) * t,
                     colourA.b + (colourB.b - colourA.b) * t};
            plot(static_cast<int64_t>(std::floor(a.x + dx * t)),
                 static_cast<int64_t>(std::floor(a.y + dy * t)), a.z + (b.z - a.z) * t, c);
        }
    }

    // The farthest depth tile `tile` holds, brought up to date.
    float farthest(size_t tile) {
        if (frame_.stale[tile]) {
            const int64_t x0 = static_cast<int64_t>(tile) % frame_.tilesX * kTile;
            const int64_t y0 = static_cast<int64_t>(tile) / frame_.tilesX * kTile;
            float low = std::numeric_limits<float>::infinity();
            for (int64_t y = y0; y < std::min(y0 + kTile, frame_.height); ++y)
                for (int64_t x = x0; x < std::min(x0 + kTile, frame_.width); ++x)
                    low = std::min(low, frame_.depth[y * frame_.width + x]);
            frame_.farthest[tile] = low;
            frame_.stale[tile] = 0;
        }
        return frame_.farthest[tile];
    }

    // Whether no pixel of the rectangle [x0, x1] x [y0, y1] can take the
    // triangle: the plane of its depth, at its highest over the rectangle's
    // corners, is no nearer than the farthest depth the tile holds. A pixel
    // already drawn at the same depth keeps what it shows.
    bool hidden(const ScreenTriangle& tri, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                size_t tile) {
        float held = farthest(tile);
        if (held == -std::numeric_limits<float>::infinity()) return false;
        double highest = -std::numeric_limits<double>::infinity();
        for (int64_t y : {y0, y1}) {
            for (int64_t x : {x0, x1}) {
                highest = std::max(highest, tri.depthAt(static_cast<double>(x) + 0.5,
                                                        static_cast<double>(y) + 0.5));
            }
        }
        // Rounded up first, by far more than the rounding errors of any
        // pixel's depth: no pixel's depth rounds above the bound.
        double margin = std::fabs(highest) * 1e-9 + 1e-300;
        if (!(highest + margin <= std::numeric_limits<float>::max())) return false;
        auto bound = static_cast<float>(highest + margin);
        return bound <= held;
    }

    // The pixels of rows [y0, y1] and columns [x0, x1] whose centres lie
    // inside or on the triangle. Each row tests only the run of pixels its
    // edges leave (and one more each side, for rounding); the test itself
    // is the same for every pixel.
    void fill(const ScreenTriangle& tri, const Colour (&shaded)[3], int64_t x0, int64_t y0,
              int64_t x1, int64_t y1) {
        const double sign = tri.sign;
        for (int64_t y = y0; y <= y1; ++y) {
            if (!owns(y)) continue;
            const double py = static_cast<double>(y) + 0.5;
            double low = static_cast<double>(x0), high = static_cast<double>(x1);
            for (int k = 0; k < 3; ++k) {
                const ScreenPoint& a = tri.s[(k + 1) % 3];
                const ScreenPoint& b = tri.s[(k + 2) % 3];
                // sign * Edge(a, b, px, py) >= 0, as p - q * px >= 0.
                double q = sign * (b.y - a.y),
                       p = sign * ((b.x - a.x) * (py - a.y) + (b.y - a.y) * a.x);
                if (q > 0.0) {
                    high = std::min(high, std::floor(p / q - 0.5) + 1.0);
                } else if (q < 0.0) {
                    low = std::max(low, std::ceil(p / q - 0.5) - 1.0);
                } else if (p < 0.0) {
                    low = high + 1.0;  // the whole row lies outside
                }
            }
            if (!(low <= high)) continue;
            for (auto x = static_cast<int64_t>(low); x <= static_cast<int64_t>(high); ++x) {
                double w[3];
                if (!tri.weights(static_cast<double>(x) + 0.5, py, w)) continue;
                // The depth test first: a hidden pixel needs no colour.
                const double z = tri.depth(w);
                if (!nearer(x, y, z)) continue;
                Colour colour{w[0] * shaded[0].r + w[1] * shaded[1].r + w[2] * shaded[2].r,
                              w[0] * shaded[0].g + w[1] * shaded[1].g + w[2] * shaded[2].g,
                              w[0] * shaded[0].b + w[1] * shaded[1].b + w[2] * shaded[2].b};
                plot(x, y, z, colour);
            }
        }
    }

    void drawTriangle(const uint16_t* corners) {
        Vec3 c[3];
        for (int k = 0; k < 3; ++k)
            if (!cameraPoint(corners[k], &c[k])) return;
        const ScreenTriangle tri(toScreen(c[0]), toScreen(c[1]), toScreen(c[2]));
        if (tri.area == 0.0 || !std::isfinite(tri.area)) return;  // edge-on, or degenerate

        // Pixels whose centres may lie inside: the bounding box, in this band.
        auto first = [](double v, int64_t size) {
            return static_cast<int64_t>(
                std::clamp(std::floor(v), 0.0, static_cast<double>(size - 1)));
        };
        int64_t x0 = first(std::min({tri.s[0].x, tri.s[1].x, tri.s[2].x}), frame_.width);
        int64_t x1 = first(std::max({tri.s[0].x, tri.s[1].x, tri.s[2].x}), frame_.width);
        int64_t y0 = (first(std::min({tri.s[0].y, tri.s[1].y, tri.s[2].y}), frame_.height));
        int64_t y1 = (first(std::max({tri.s[0].y, tri.s[1].y, tri.s[2].y}), frame_.height));
        if (y0 > y1) return;

        // The normal of the triangle in camera axes; turned toward the viewer
        // when it faces away, so that either winding is lit from the front.
        Vec3 faceNormal = Cross({c[1].x - c[0].x, c[1].y - c[0].y, c[1].z - c[0].z},
                                {c[2].x - c[0].x, c[2].y - c[0].y, c[2].z - c[0].z});
        double side = faceNormal.z < 0.0 ? -1.0 : 1.0;
        Colour shaded[3];
        for (int k = 0; k < 3; ++k) {
            Vec3 n = faceNormal;
            if (mesh_.hasNormals) {
                CVector stored = ViewNormal(mesh_, corners[k]);
                Vec3 v{stored.x, stored.y, stored.z};
                n = {Dot(v, camera_.right), Dot(v, camera_.up), Dot(v, camera_.back)};
            }
            double light = Brightness({side * n.x, side * n.y, side * n.z});
            Colour base = vertexColour(corners[k]);
            shaded[k] = {base.r * light, base.g * light, base.b * light};
        }

        // Small triangles, the usual ones, are filled at once; large ones
        // tile by tile, passing over the tiles they would not show in.
        if (x1 - x0 < 2 * kTile && y1 - y0 < 2 * kTile) {
            fill(tri, shaded, x0, y0, x1, y1);
            return;
        }
        for (int64_t ty = y0 / kTile * kTile; ty <= y1; ty += kTile) {
            if (!owns(ty)) continue;
            for (int64_t tx = x0 / kTile * kTile; tx <= x1; tx += kTile) {
                int64_t ax = std::max(tx, x0), bx = std::min(tx + kTile - 1, x1);
                int64_t ay = std::max(ty, y0), by = std::min(ty + kTile - 1, y1);
                if (hidden(tri, ax, ay, bx, by, tileOf(tx, ty))) continue;
                fill(tri, shaded, ax, ay, bx, by);
            }
        }
    }

    const MeshView& mesh_;
    const std::vector<bool>& repeats_;
    const RenderOptions& options_;
    Camera camera_;
    Frame& frame_;
    const Framing& framing_;
    int64_t band_, bands_;
};

// The triangles that repeat an earlier one corner for corner: drawn again,
// each would give every pixel it covers the same depth and colour, which a
// tie does not replace, so they are passed over.
std::vector<bool> Repeats(const MeshView& view) {
    std::vector<bool> repeats(view.primitive == Primitive::triangles ? view.groupCount : 0);
    std::unordered_set<uint64_t> seen;
    for (uint32_t t = 0; t < repeats.size(); ++t) {
        const uint16_t* c = view.indices + size_t{t} * 3;
        repeats[t] = !seen.insert(uint64_t{c[0]} << 32 | uint64_t{c[1]} << 16 | c[2]).second;
    }
    return repeats;
}

}  // namespace

bool ParseViewDirection(std::string_view text, ViewDirection* view) {
    static constexpr struct {
        std::string_view name;
        ViewDirection view;
    } kViews[] = {{"front", ViewDirection::front}, {"back", ViewDirection::back},
                  {"left", ViewDirection::left},   {"right", ViewDirection::right},
                  {"top", ViewDirection::top},     {"bottom", ViewDirection::bottom},
                  {"iso", ViewDirection::iso}};
    for (const auto& entry : kViews) {
        if (entry.name == text) {
            *view = entry.view;
            return true;
        }
    }
    return false;
}

bool RenderMesh(const MeshView& view, const RenderOptions& options, Image* image) {
    *image = Image{};
    size_t pixelCount = size_t{options.width} * options.height;
    Image result;
    result.width = options.width;
    result.height = options.height;
    result.pixels.reset(static_cast<unsigned char*>(std::malloc(pixelCount * 3)));
    std::unique_ptr<float[], FreeDeleter> depth(
        static_cast<float*>(std::malloc(pixelCount * sizeof(float))));
    if (!result.pixels || !depth) return false;

    for (size_t i = 0; i < pixelCount; ++i) {
        result.pixels[i * 3] = kBackground.r;
        result.pixels[i * 3 + 1] = kBackground.g;
        result.pixels[i * 3 + 2] = kBackground.b;
        depth[i] = -std::numeric_limits<float>::infinity();
    }
    const int64_t width = options.width, height = options.height;
    const int64_t tilesX = (width + kTile - 1) / kTile, tilesY = (height + kTile - 1) / kTile;
    Frame frame{result.pixels.get(),
                depth.get(),
                width,
                height,
                tilesX,
                std::vector<float>(static_cast<size_t>(tilesX * tilesY),
                                   -std::numeric_limits<float>::infinity()),
                std::vector<unsigned char>(static_cast<size_t>(tilesX * tilesY), 0)};
    const Framing framing = Rasteriser::Fit(view, options);
    const std::vector<bool> repeats = Repeats(view);
    // Tile rows taken in turn by two cores, where the picture is tall enough
    // to share; by one where no second thread can be started.
    std::thread second;
    bool shared = height > kTile && kvx::TryStartThread(second, [&] {
                      Rasteriser(view, options, frame, framing, repeats, 1, 2).draw();
                  });
    Rasteriser(view, options, frame, framing, repeats, 0, shared ? 2 : 1).draw();
    if (shared) second.join();
    *image = std::move(result);
    return true;
}
