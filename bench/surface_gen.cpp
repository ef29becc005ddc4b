#include "surface_gen.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "gen_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// sin x by its Taylor series on [-pi/2, pi/2] (error below 1e-13), after
// an exact reduction: the same bits on every machine, unlike libm's.
double Sine(double x) {
    double r = x - std::floor(x / (2 * kPi) + 0.5) * (2 * kPi);
    if (r > kPi / 2) {
        r = kPi - r;
    } else if (r < -kPi / 2) {
        r = -kPi - r;
    }
    const double r2 = r * r;
    double sum = 1.0 / 355687428096000.0;  // 1 / 17!
    const double denominators[] = {1307674368000.0, 6227020800.0, 39916800.0, 362880.0,
                                   5040.0,          120.0,        6.0,        1.0};
    double sign = -1.0;
    for (double d : denominators) {
        sum = sign / d + r2 * sum;
        sign = -sign;
    }
    return r * sum;
}

double Cosine(double x) {
    return Sine(x + kPi / 2);
}

struct Vec {
    double x, y, z;
};

Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(double s, Vec a) {
    return {s * a.x, s * a.y, s * a.z};
}
double Dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec Cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec Normalized(Vec a) {
    return (1.0 / std::sqrt(Dot(a, a))) * a;
}

// Smooth noise in -1..1: four plane waves of rising frequency and falling
// amplitude, in directions and phases drawn from the seed.
class Noise {
public:
    Noise(uint64_t seed, double frequency) {
        uint64_t state = seed;
        double f = frequency;
        for (Wave& w : waves_) {
            Vec d{Unit(state) - 0.5, Unit(state) - 0.5, Unit(state) - 0.5};
            w.direction = f * Normalized(d + Vec{1e-3, 0.0, 0.0});
            w.phase = 2 * kPi * Unit(state);
            w.amplitude = 1.0 / f;
            total_ += w.amplitude;
            f *= 1.7;
        }
    }

    double operator()(Vec p) const {
        double sum = 0.0;
        for (const Wave& w : waves_)
            sum += w.amplitude * Sine(Dot(w.direction, p) + w.phase);
        return sum / total_;
    }

private:
    struct Wave {
        Vec direction;
        double phase, amplitude;
    };
    Wave waves_[4];
    double total_ = 0.0;
};

uint8_t Byte(double v) {
    if (v < 0.0) v = 0.0;
    if (v > 1.0) v = 1.0;
    return static_cast<uint8_t>(v * 255.0 + 0.5);
}

// A colour that drifts smoothly over the surface around a base colour.
void AddColour(Surface& s, const Noise& noise, Vec p, const double base[3]) {
    const double shade = 0.8 + 0.2 * noise(p);
    const double tint = 0.1 * noise(Vec{p.z, p.x, p.y});
    s.colours.push_back(Byte(base[0] * shade + tint));
    s.colours.push_back(Byte(base[1] * shade));
    s.colours.push_back(Byte(base[2] * shade - tint));
}

void AddPosition(Surface& s, Vec p) {
    s.positions.insert(s.positions.end(), {p.x, p.y, p.z});
}

Vec PositionOf(const Surface& s, uint32_t i) {
    return {s.positions[3 * size_t{i}], s.positions[3 * size_t{i} + 1],
            s.positions[3 * size_t{i} + 2]};
}

// Turns every triangle to face outward if the enclosed volume is negative.
void OrientOutward(Surface& s) {
    double volume = 0.0;
    for (size_t k = 0; k < s.triangles.size(); k += 3) {
        Vec a = PositionOf(s, s.triangles[k]), b = PositionOf(s, s.triangles[k + 1]),
            c = PositionOf(s, s.triangles[k + 2]);
        volume += Dot(a, Cross(b, c));
    }
    if (volume < 0.0) {
        for (size_t k = 0; k < s.triangles.size(); k += 3)
            std::swap(s.triangles[k + 1], s.triangles[k + 2]);
    }
}

void BaseColour(uint64_t& state, double base[3]) {
    static const double kPalette[][3] = {
        {0.80, 0.80, 0.80}, {0.65, 0.70, 0.78}, {0.85, 0.55, 0.30},
        {0.45, 0.70, 0.40}, {0.90, 0.80, 0.55}, {0.70, 0.35, 0.35},
    };
    const auto& c = kPalette[SplitMix64(state) % 6];
    for (int k = 0; k < 3; ++k)
        base[k] = c[k];
}

}  // namespace

Surface TorusKnot(uint32_t along, uint32_t around, uint64_t seed) {
    uint64_t state = seed;
    const double p = 2.0, q = SplitMix64(state) % 2 == 0 ? 3.0 : 5.0;
    const double tube = q == 3.0 ? 0.35 : 0.22;
    const Noise noise(SplitMix64(state), 1.2);
    double base[3];
    BaseColour(state, base);

    Surface s;
    s.name = q == 3.0 ? "trefoil" : "cinquefoil";
    const size_t vertices = size_t{along} * around;
    s.positions.reserve(3 * vertices);
    s.texture.reserve(2 * vertices);
    s.colours.reserve(3 * vertices);
    for (uint32_t i = 0; i < along; ++i) {
        // The curve ((2 + cos q t) cos p t, (2 + cos q t) sin p t, -sin q t),
        // its unit tangent, and a frame across it from the core circle.
        const double t = 2 * kPi * i / along;
        const double cp = Cosine(p * t), sp = Sine(p * t), cq = Cosine(q * t), sq = Sine(q * t);
        const double r = 2.0 + cq;
        const Vec centre{r * cp, r * sp, -sq};
        const Vec tangent =
            Normalized(Vec{-q * sq * cp - r * p * sp, -q * sq * sp + r * p * cp, -q * cq});
        const Vec out{cq * cp, cq * sp, -sq};
        const Vec normal = Normalized(out - Dot(out, tangent) * tangent);
        const Vec binormal = Cross(tangent, normal);
        for (uint32_t j = 0; j < around; ++j) {
            const double a = 2 * kPi * j / around;
            const Vec direction = Cosine(a) * normal + Sine(a) * binormal;
            const Vec surface = centre + tube * direction;
            const Vec position = centre + (tube * (1.0 + 0.3 * noise(surface))) * direction;
            AddPosition(s, position);
            s.texture.insert(s.texture.end(),
                             {static_cast<double>(i) / along, static_cast<double>(j) / around});
            AddColour(s, noise, position, base);
        }
    }

    // Tiles of 8 x 8 cells; within a tile, row by row, alternating.
    auto v = [&](uint32_t i, uint32_t j) { return (i % along) * around + j % around; };
    s.triangles.reserve(6 * vertices);
    constexpr uint32_t kTile = 8;
    for (uint32_t ti = 0; ti < along; ti += kTile) {
        for (uint32_t tj = 0; tj < around; tj += kTile) {
            const uint32_t iEnd = std::min(ti + kTile, along), jEnd = std::min(tj + kTile, around);
            for (uint32_t i = ti; i < iEnd; ++i) {
                const bool reverse = (i - ti) % 2 == 1;
                for (uint32_t n = tj; n < jEnd; ++n) {
                    const uint32_t j = reverse ? jEnd - 1 - (n - tj) : n;
                    s.triangles.insert(s.triangles.end(), {v(i, j), v(i + 1, j), v(i + 1, j + 1),
                                                           v(i, j), v(i + 1, j + 1), v(i, j + 1)});
                }
            }
        }
    }
    OrientOutward(s);
    return s;
}

Surface Blob(uint32_t frequency, uint64_t seed) {
    uint64_t state = seed;
    const Noise noise(SplitMix64(state), 1.5);
    double base[3];
    BaseColour(state, base);

    const double g = 1.6180339887498949;
    const Vec corners[12] = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                             {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                             {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
    const uint32_t faces[20][3] = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                   {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                   {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                   {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
    const uint32_t f = frequency;

    Surface s;
    s.name = "blob";
    // A grid point (i, j) of a face is the corner, edge point or inner point
    // it stands for; each gets its index the first time a triangle names it.
    std::unordered_map<uint64_t, uint32_t> index;
    auto vertex = [&](uint32_t face, uint32_t i, uint32_t j) -> uint32_t {
        const uint32_t a = faces[face][0], b = faces[face][1], c = faces[face][2];
        uint64_t key;
        auto edge = [](uint32_t from, uint32_t to, uint32_t step, uint32_t steps) {
            if (from > to) {
                std::swap(from, to);
                step = steps - step;
            }
            return (uint64_t{1} << 40) | (uint64_t{from * 12 + to} << 20) | step;
        };
        if (i == 0 && j == 0) {
            key = a;
        } else if (i == f) {
            key = b;
        } else if (j == f) {
            key = c;
        } else if (j == 0) {
            key = edge(a, b, i, f);
        } else if (i == 0) {
            key = edge(a, c, j, f);
        } else if (i + j == f) {
            key = edge(b, c, j, f);
        } else {
            key = (uint64_t{2} << 40) | (uint64_t{face} << 20) | (uint64_t{i} << 10) | j;
        }
        auto [it, added] = index.try_emplace(key, static_cast<uint32_t>(s.VertexCount()));
        if (added) {
            const Vec flat = (1.0 / f) * (double(f - i - j) * corners[a] + double(i) * corners[b] +
                                          double(j) * corners[c]);
            const Vec d = Normalized(flat);
            const Vec position = (1.0 + 0.15 * noise(d)) * d;
            AddPosition(s, position);
            s.texture.insert(s.texture.end(), {0.5 + 0.5 * d.x, 0.5 + 0.5 * d.y});
            AddColour(s, noise, position, base);
        }
        return it->second;
    };

    for (uint32_t face = 0; face < 20; ++face) {
        for (uint32_t j = 0; j < f; ++j) {
            // Row j: the upward triangles i = 0 .. f-1-j and the downward ones
            // between them, as one strip, every other row from the far end.
            const uint32_t count = 2 * (f - j) - 1;
            for (uint32_t n = 0; n < count; ++n) {
                const uint32_t m = j % 2 == 1 ? count - 1 - n : n, i = m / 2;
                if (m % 2 == 0) {
                    s.triangles.insert(
                        s.triangles.end(),
                        {vertex(face, i, j), vertex(face, i + 1, j), vertex(face, i, j + 1)});
                } else {
                    s.triangles.insert(s.triangles.end(),
                                       {vertex(face, i + 1, j), vertex(face, i + 1, j + 1),
                                        vertex(face, i, j + 1)});
                }
            }
        }
    }
    OrientOutward(s);
    return s;
}

Surface SurfaceOfSize(Shape shape, uint32_t vertices, uint64_t seed) {
    if (shape == Shape::blob) {
        auto f =
            static_cast<uint32_t>(std::sqrt((vertices < 12 ? 10.0 : vertices - 2.0) / 10.0) + 0.5);
        // A KVX file addresses 65,536 vertices.
        if (10 * f * f + 2 > 65536) --f;
        return Blob(f, seed);
    }
    // Rings about 16 times as many as the vertices of one ring: cells about
    // square on the knot. The ring size nearest that which divides the count.
    const double ideal = std::sqrt(vertices / 16.0);
    const auto low = static_cast<uint32_t>(std::ceil(std::sqrt(vertices / 32.0)));
    const auto high = static_cast<uint32_t>(std::sqrt(vertices / 8.0));
    uint32_t around = 0;
    for (uint32_t m = std::max(low, 3u); m <= std::max(high, 3u); ++m) {
        if (vertices % m == 0 && (around == 0 || std::fabs(m - ideal) < std::fabs(around - ideal)))
            around = m;
    }
    if (around == 0) around = std::max(3u, static_cast<uint32_t>(ideal + 0.5));
    uint32_t along = std::max(3u, (vertices + around / 2) / around);
    if (along * around > 65536) along = 65536 / around;
    return TorusKnot(along, around, seed);
}

std::string SurfaceText(const Surface& surface, const TextStyle& style) {
    std::string out;
    const size_t vertices = surface.VertexCount();
    out.reserve(vertices * (12 * style.valuesPerVertex + 40));
    char text[64];
    auto number = [&](double value) {
        int n = style.notation == 'f'
                    ? std::snprintf(text, sizeof text, "%.*f", style.precision, value)
                    : std::snprintf(text, sizeof text, "%.*g", style.precision, value);
        out.append(text, static_cast<size_t>(n));
    };
    auto integer = [&](size_t value) {
        auto [end, ec] = std::to_chars(text, text + sizeof text, value);
        out.append(text, end);
    };

    integer(vertices);
    out += ' ';
    integer(surface.TriangleCount());
    out += '\n';
    for (size_t i = 0; i < vertices; ++i) {
        if (style.valuesPerVertex == 9) {
            number(surface.texture[2 * i]);
            out += ' ';
            number(surface.texture[2 * i + 1]);
            out += ' ';
        }
        if (style.valuesPerVertex >= 7) {
            if (style.vertexColours) {
                out += "1";
                for (int k = 0; k < 3; ++k) {
                    int n = std::snprintf(text, sizeof text, " %.4g",
                                          surface.colours[3 * i + size_t(k)] / 255.0);
                    out.append(text, static_cast<size_t>(n));
                }
                out += ' ';
            } else {
                out += "1 0.8 0.8 0.8 ";
            }
        }
        for (int k = 0; k < 3; ++k) {
            number(style.scale * surface.positions[3 * i + size_t(k)]);
            out += k == 2 ? '\n' : ' ';
        }
    }
    for (size_t k = 0; k < surface.triangles.size(); ++k) {
        integer(surface.triangles[k]);
        out += k % 3 == 2 ? '\n' : ' ';
    }
    if (style.valuesPerVertex == 9) {
        out += surface.name;
        out += '\n';
    }
    return out;
}
