#include "meshview/raster.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

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

class Rasteriser {
public:
    Rasteriser(const MeshView& view, const RenderOptions& options, Image& image, float* depth)
        : mesh_(view),
          options_(options),
          camera_(CameraFor(options.view)),
          width_(options.width),
          height_(options.height),
          pixels_(image.pixels.get()),
          depth_(depth) {}

    void draw() {
        fit();
        switch (mesh_.primitive) {
            case Primitive::triangles:
                for (uint32_t t = 0; t < mesh_.groupCount; ++t)
                    drawTriangle(mesh_.indices + size_t{t} * 3);
                break;
            case Primitive::lines:
                for (uint32_t l = 0; l < mesh_.groupCount; ++l)
                    drawLine(mesh_.indices + size_t{l} * 2);
                break;
            case Primitive::points:
                for (uint32_t i = 0; i < mesh_.vertexCount; ++i)
                    drawPoint(i);
                break;
        }
    }

private:
    // Position of vertex i in camera axes; false when it is not finite.
    bool cameraPoint(uint32_t i, Vec3* c) const {
        CVector p = ViewPosition(mesh_, i);
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
        Vec3 v{p.x, p.y, p.z};
        *c = {Dot(v, camera_.right), Dot(v, camera_.up), Dot(v, camera_.back)};
        return true;
    }

    ScreenPoint toScreen(const Vec3& c) const {
        return {width_ / 2.0 + (c.x - midX_) * scale_, height_ / 2.0 - (c.y - midY_) * scale_, c.z};
    }

    // Centres the vertices' bounding box as the camera sees it and scales it
    // to the picture less a margin on each side.
    void fit() {
        double lowX = std::numeric_limits<double>::infinity(), highX = -lowX;
        double lowY = lowX, highY = -lowX;
        for (uint32_t i = 0; i < mesh_.vertexCount; ++i) {
            Vec3 c;
            if (!cameraPoint(i, &c)) continue;
            lowX = std::min(lowX, c.x);
            highX = std::max(highX, c.x);
            lowY = std::min(lowY, c.y);
            highY = std::max(highY, c.y);
        }
        if (lowX > highX) return;  // nothing finite to draw
        midX_ = lowX + (highX - lowX) / 2.0;
        midY_ = lowY + (highY - lowY) / 2.0;
        double margin = std::min(width_, height_) / 16;
        double roomX = std::max(1.0, width_ - 2.0 * margin);
        double roomY = std::max(1.0, height_ - 2.0 * margin);
        double extentX = highX - lowX, extentY = highY - lowY;
        scale_ = 1.0;  // a single point: any scale puts it in the middle
        if (extentX > 0.0 && extentY > 0.0) {
            scale_ = std::min(roomX / extentX, roomY / extentY);
        } else if (extentX > 0.0) {
            scale_ = roomX / extentX;
        } else if (extentY > 0.0) {
            scale_ = roomY / extentY;
        }
    }

    Colour vertexColour(uint32_t i) const {
        Rgba c = DecodeColor(ViewColor(mesh_, i), options_.colorOrder);
        return {static_cast<double>(c.r), static_cast<double>(c.g), static_cast<double>(c.b)};
    }

    // Writes one pixel if it lies in the picture and nearer than what is there.
    void plot(int64_t x, int64_t y, double z, const Colour& c) {
        if (x < 0 || y < 0 || x >= int64_t{width_} || y >= int64_t{height_}) return;
        size_t at = static_cast<size_t>(y) * width_ + static_cast<size_t>(x);
        // Depths beyond the float range (a long mesh seen end-on) are clamped.
        constexpr double kFloatMax = std::numeric_limits<float>::max();
        auto depth = static_cast<float>(std::clamp(z, -kFloatMax, kFloatMax));
        if (!(depth > depth_[at])) return;
        depth_[at] = depth;
        unsigned char* p = pixels_ + at * 3;
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

    void drawTriangle(const uint16_t* corners) {
        Vec3 c[3];
        for (int k = 0; k < 3; ++k)
            if (!cameraPoint(corners[k], &c[k])) return;
        ScreenPoint s[3] = {toScreen(c[0]), toScreen(c[1]), toScreen(c[2])};
        auto edge = [](const ScreenPoint& a, const ScreenPoint& b, double px, double py) {
            return (b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x);
        };
        double area = edge(s[0], s[1], s[2].x, s[2].y);
        if (area == 0.0 || !std::isfinite(area)) return;  // seen edge-on, or degenerate

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

        // Pixels whose centres lie inside or on the triangle.
        double lowX = std::min({s[0].x, s[1].x, s[2].x}),
               highX = std::max({s[0].x, s[1].x, s[2].x});
        double lowY = std::min({s[0].y, s[1].y, s[2].y}),
               highY = std::max({s[0].y, s[1].y, s[2].y});
        auto first = [](double v, uint32_t size) {
            return static_cast<int64_t>(std::clamp(std::floor(v), 0.0, size - 1.0));
        };
        int64_t x0 = first(lowX, width_), x1 = first(highX, width_);
        int64_t y0 = first(lowY, height_), y1 = first(highY, height_);
        for (int64_t y = y0; y <= y1; ++y) {
            double py = static_cast<double>(y) + 0.5;
            for (int64_t x = x0; x <= x1; ++x) {
                double px = static_cast<double>(x) + 0.5;
                double w0 = edge(s[1], s[2], px, py) / area;
                double w1 = edge(s[2], s[0], px, py) / area;
                double w2 = edge(s[0], s[1], px, py) / area;
                if (w0 < 0.0 || w1 < 0.0 || w2 < 0.0) continue;
                Colour colour{w0 * shaded[0].r + w1 * shaded[1].r + w2 * shaded[2].r,
                              w0 * shaded[0].g + w1 * shaded[1].g + w2 * shaded[2].g,
                              w0 * shaded[0].b + w1 * shaded[1].b + w2 * shaded[2].b};
                plot(x, y, w0 * s[0].z + w1 * s[1].z + w2 * s[2].z, colour);
            }
        }
    }

    const MeshView& mesh_;
    const RenderOptions& options_;
    Camera camera_;
    uint32_t width_, height_;
    unsigned char* pixels_;
    float* depth_;
    double midX_ = 0.0, midY_ = 0.0, scale_ = 1.0;
};

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
    Rasteriser(view, options, result, depth.get()).draw();
    *image = std::move(result);
    return true;
}
