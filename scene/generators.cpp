#include <cstddef>
#include <span>

#include "scene/scene.h"

namespace {

constexpr float cube_spacing = 1200.0f;
constexpr float plane_spacing = 8.0f;

// A counter of a lattice axis runs over n, n - 1, ... while it stays above -n. Every
// innermost step writes a point or returns, so even a counter too large to step (n of 2^25
// or more) ends once the destination is full.
bool lattice_is_empty(float half_extent) { return !(half_extent > -half_extent); }

// Fills points from index `next` along one axis: the counter runs from `first` up by 1 while
// below `end`, and the other two coordinates are 0. Returns the index after the last point.
std::size_t build_axis(std::span<Point> points, std::size_t next, float first, float end,
                       float Point::*coordinate, float color) {
    for (float value = first; value < end && next < points.size(); value += 1.0f) {
        Point& point = points[next++];
        point = Point{0.0f, 0.0f, 0.0f, color};
        point.*coordinate = value;
    }
    return next;
}

}  // namespace

void build_cube(std::span<Point> points, float half_extent) {
    if (lattice_is_empty(half_extent)) {
        return;
    }
    const float n = half_extent;
    std::size_t next = 0;
    for (float s = n; s > -n; s -= 1.0f) {
        for (float t = n; t > -n; t -= 1.0f) {
            for (float u = n; u > -n; u -= 1.0f) {
                if (next == points.size()) {
                    return;
                }
                points[next++] = Point{cube_spacing * s, cube_spacing * t, cube_spacing * u, blue};
            }
        }
    }
}

void build_plane(std::span<Point> points, float half_extent) {
    if (lattice_is_empty(half_extent)) {
        return;
    }
    const float n = half_extent;
    std::size_t next = 0;
    for (float s = n; s > -n; s -= 1.0f) {
        for (float u = n; u > -n; u -= 1.0f) {
            if (next == points.size()) {
                return;
            }
            Point& point = points[next++];
            point.x = plane_spacing * s;
            point.z = plane_spacing * u;
            point.color = blue;
        }
    }
}

void build_axes(std::span<Point> points) {
    std::size_t next = build_axis(points, 0, -512.0f, 512.0f, &Point::x, blue);
    next = build_axis(points, next, -400.0f, 400.0f, &Point::y, green);
    build_axis(points, next, -400.0f, 400.0f, &Point::z, red);
}
