#include "meshimport/triangulate.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace kvx {

namespace {

// A point of the polygon's shadow on a coordinate plane: two of its float
// coordinates, unchanged, so that the orientation tests below are exact.
struct Point {
    double x, y;
};

// Exact arithmetic on non-overlapping expansions (sums of doubles), enough
// for the sign of a 2 x 2 determinant of differences of floats. Doubles
// from floats neither overflow nor underflow here: products stay within
// 2^-300 .. 2^260.
struct Expansion {
    std::array<double, 16> terms{};
    size_t size = 0;

    // Adds `b` exactly (Shewchuk's Grow-Expansion, zeros dropped).
    void add(double b) {
        size_t out = 0;
        double q = b;
        for (size_t k = 0; k < size; ++k) {
            const double e = terms[k];
            const double sum = q + e;
            const double bv = sum - q;
            const double low = (q - (sum - bv)) + (e - bv);
            q = sum;
            if (low != 0.0) terms[out++] = low;
        }
        if (q != 0.0) terms[out++] = q;
        size = out;
    }
    // The sign of the sum: that of its largest term.
    int sign() const { return size == 0 ? 0 : (terms[size - 1] > 0.0 ? 1 : -1); }
};

// a - b as hi + lo, exactly.
void TwoDiff(double a, double b, double& hi, double& lo) {
    hi = a - b;
    const double bv = a - hi;
    lo = (a - (hi + bv)) + (bv - b);
}

// The sign of (b - a) x (c - a): 1 when a, b, c turn left, -1 right, 0 on a
// line. Exact: a quick test in double decides unless the result is within
// its rounding bound, and the expansions decide the rest.
int Orient(const Point& a, const Point& b, const Point& c) {
    const double left = (b.x - a.x) * (c.y - a.y);
    const double right = (b.y - a.y) * (c.x - a.x);
    const double det = left - right;
    // Shewchuk's first bound, generously rounded up.
    const double bound = 4e-16 * (std::fabs(left) + std::fabs(right));
    if (det > bound) return 1;
    if (-det > bound) return -1;
    double d[4][2];
    TwoDiff(b.x, a.x, d[0][0], d[0][1]);
    TwoDiff(c.y, a.y, d[1][0], d[1][1]);
    TwoDiff(b.y, a.y, d[2][0], d[2][1]);
    TwoDiff(c.x, a.x, d[3][0], d[3][1]);
    Expansion sum;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            const double p = d[0][i] * d[1][j];
            sum.add(std::fma(d[0][i], d[1][j], -p));
            sum.add(p);
            const double n = d[2][i] * d[3][j];
            sum.add(-std::fma(d[2][i], d[3][j], -n));
            sum.add(-n);
        }
    }
    return sum.sign();
}

// The sign of (b - a) . (c - b), for corners on a line: 1 when the path goes
// on, -1 when it turns back, 0 when an edge has no length.
int Onward(const Point& a, const Point& b, const Point& c) {
    const double dot = (b.x - a.x) * (c.x - b.x) + (b.y - a.y) * (c.y - b.y);
    return (dot > 0.0) - (dot < 0.0);
}

int SignOf(double v) {
    return (v > 0.0) - (v < 0.0);
}

void Fan(const uint32_t* corners, uint32_t count, std::vector<uint32_t>& triangles) {
    for (uint32_t k = 1; k + 1 < count; ++k)
        triangles.insert(triangles.end(), {corners[0], corners[k], corners[k + 1]});
}

// Convex and simple, once corners repeated in a row are taken as one:
// every turn to the left or straight on (a corner in the middle of a
// straight run, which CAD files often have), at least one to the left, and
// the edges' x and y directions each change sign at most twice (one turn
// around, not a star). Such a polygon keeps its fan, as it always had, even
// where a straight run makes one of its triangles flat. `p` is work space.
bool IsConvex(const Point* shadow, size_t count, Point* p) {
    size_t n = 0;
    for (size_t k = 0; k < count; ++k)
        if (n == 0 || !(shadow[k].x == p[n - 1].x && shadow[k].y == p[n - 1].y)) p[n++] = shadow[k];
    while (n > 1 && p[n - 1].x == p[0].x && p[n - 1].y == p[0].y)
        --n;
    if (n < 3) return false;
    int xChanges = 0, yChanges = 0, xSign = 0, ySign = 0, xFirst = 0, yFirst = 0;
    size_t left = 0;
    for (size_t i = 0; i < n; ++i) {
        const Point& a = p[i == 0 ? n - 1 : i - 1];
        const Point& b = p[i];
        const Point& c = p[i + 1 == n ? 0 : i + 1];
        const int turn = Orient(a, b, c);
        if (turn < 0 || (turn == 0 && Onward(a, b, c) <= 0)) return false;
        left += turn > 0;
        const int dx = SignOf(c.x - b.x), dy = SignOf(c.y - b.y);
        if (dx != 0) {
            if (xSign == 0) xFirst = dx;
            xChanges += xSign != 0 && dx != xSign;
            xSign = dx;
        }
        if (dy != 0) {
            if (ySign == 0) yFirst = dy;
            yChanges += ySign != 0 && dy != ySign;
            ySign = dy;
        }
    }
    // The change from the last edge back to the first.
    xChanges += xSign != xFirst;
    yChanges += ySign != yFirst;
    return left > 0 && xChanges <= 2 && yChanges <= 2;
}

// True when two edges that share no corner cross properly (each has the
// other's ends strictly on both sides).
bool Cross(const Point& a, const Point& b, const Point& c, const Point& d) {
    return Orient(a, b, c) * Orient(a, b, d) < 0 && Orient(c, d, a) * Orient(c, d, b) < 0;
}

bool Crosses(const std::vector<Point>& p) {
    const size_t n = p.size();
    for (size_t i = 0; i < n; ++i) {
        const Point& a = p[i];
        const Point& b = p[(i + 1) % n];
        for (size_t j = i + 2; j < n; ++j) {
            if (i == 0 && j == n - 1) continue;  // neighbours through corner 0
            if (Cross(a, b, p[j], p[(j + 1) % n])) return true;
        }
    }
    return false;
}

bool Same(const Point& a, const Point& b) {
    return a.x == b.x && a.y == b.y;
}

// Ear clipping of a counter-clockwise shadow; false when no ear is left
// before the end.
bool ClipEars(const std::vector<Point>& p, const uint32_t* corners,
              std::vector<uint32_t>& triangles) {
    const auto n = static_cast<uint32_t>(p.size());
    std::vector<uint32_t> prev(n), next(n);
    std::vector<int> turn(n);
    for (uint32_t i = 0; i < n; ++i) {
        prev[i] = i == 0 ? n - 1 : i - 1;
        next[i] = i + 1 == n ? 0 : i + 1;
    }
    auto turnAt = [&](uint32_t i) { return Orient(p[prev[i]], p[i], p[next[i]]); };
    for (uint32_t i = 0; i < n; ++i)
        turn[i] = turnAt(i);
    // An ear: a strict left turn whose triangle holds no other corner that
    // does not turn strictly left (inside or on its sides); corners at the
    // triangle's own positions (a bridge's two sides) do not count.
    auto isEar = [&](uint32_t i) {
        if (turn[i] <= 0) return false;
        const Point &a = p[prev[i]], &b = p[i], &c = p[next[i]];
        for (uint32_t k = next[next[i]]; k != prev[i]; k = next[k]) {
            if (turn[k] > 0) continue;
            const Point& q = p[k];
            if (Same(q, a) || Same(q, b) || Same(q, c)) continue;
            if (Orient(a, b, q) >= 0 && Orient(b, c, q) >= 0 && Orient(c, a, q) >= 0) return false;
        }
        return true;
    };
    const size_t start = triangles.size();
    uint32_t left = n, i = 0, tried = 0;
    while (left > 3) {
        if (isEar(i)) {
            const uint32_t a = prev[i], c = next[i];
            triangles.insert(triangles.end(), {corners[a], corners[i], corners[c]});
            next[a] = c;
            prev[c] = a;
            --left;
            turn[a] = turnAt(a);
            turn[c] = turnAt(c);
            i = c;
            tried = 0;
        } else {
            i = next[i];
            if (++tried > left) {
                triangles.resize(start);
                return false;
            }
        }
    }
    if (turnAt(i) <= 0) {
        triangles.resize(start);
        return false;
    }
    triangles.insert(triangles.end(), {corners[prev[i]], corners[i], corners[next[i]]});
    return true;
}

// Concave polygons of more corners are fanned: clipping takes time in the
// square of the corners.
constexpr uint32_t kMostClipped = 2048;

}  // namespace

PolygonSplit TriangulatePolygon(const float* positions, const uint32_t* corners, uint32_t count,
                                std::vector<uint32_t>& triangles) {
    if (count <= 3) {
        Fan(corners, count, triangles);
        return PolygonSplit::fan;
    }
    auto at = [&](uint32_t k) { return positions + size_t{corners[k]} * 3; };
    // Newell's normal, in double, always summed in the same order.
    double normal[3] = {0.0, 0.0, 0.0};
    for (uint32_t k = 0; k < count; ++k) {
        const float* a = at(k);
        const float* b = at(k + 1 == count ? 0 : k + 1);
        for (int d = 0; d < 3; ++d) {
            const int e = (d + 1) % 3, f = (d + 2) % 3;
            normal[d] += (double{a[e]} - b[e]) * (double{a[f]} + b[f]);
        }
    }
    // The shadow along the normal's largest component (the first of equal
    // ones), turned so that the polygon goes counter-clockwise.
    int axis = 0;
    for (int d = 1; d < 3; ++d)
        if (std::fabs(normal[d]) > std::fabs(normal[axis])) axis = d;
    if (!(std::fabs(normal[axis]) > 0.0) || !std::isfinite(normal[axis])) {
        Fan(corners, count, triangles);
        return PolygonSplit::fallback;
    }
    int u = (axis + 1) % 3, v = (axis + 2) % 3;
    if (normal[axis] < 0.0) std::swap(u, v);
    // Small polygons, the common case, need no allocation for the test.
    constexpr uint32_t kSmall = 32;
    std::array<Point, 2 * kSmall> small;
    std::vector<Point> large(count <= kSmall ? 0 : 2 * size_t{count});
    Point* shadow = count <= kSmall ? small.data() : large.data();
    for (uint32_t k = 0; k < count; ++k)
        shadow[k] = {at(k)[u], at(k)[v]};
    if (IsConvex(shadow, count, shadow + count)) {
        Fan(corners, count, triangles);
        return PolygonSplit::fan;
    }
    // A corner where the path turns back on a line makes no area.
    bool spike = false;
    for (uint32_t k = 0; k < count && !spike; ++k) {
        const Point& a = shadow[k == 0 ? count - 1 : k - 1];
        const Point& c = shadow[k + 1 == count ? 0 : k + 1];
        spike = Orient(a, shadow[k], c) == 0 && Onward(a, shadow[k], c) < 0;
    }
    const std::vector<Point> points(shadow, shadow + count);
    if (count > kMostClipped || spike || Crosses(points) || !ClipEars(points, corners, triangles)) {
        Fan(corners, count, triangles);
        return PolygonSplit::fallback;
    }
    return PolygonSplit::clipped;
}

}  // namespace kvx
