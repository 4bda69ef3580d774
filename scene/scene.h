#pragma once

#include <array>
#include <cstddef>
#include <span>

// A point of the scene. `color` holds the pixel value (0x00RRGGBB) as a float number.
struct Point {
    float x;
    float y;
    float z;
    float color;
};
static_assert(sizeof(Point) == 16);

inline constexpr float blue = 255.0f;
inline constexpr float green = 65280.0f;
inline constexpr float red = 16711680.0f;

inline constexpr std::size_t cube_point_count = 1'000'000;
inline constexpr std::size_t plane_point_count = 90'000;
inline constexpr std::size_t axis_point_count = 2'624;
inline constexpr std::size_t rhino_point_count = 13'997;
inline constexpr std::size_t scenery_point_count = 87'840;

// The computed point sets, zero at start and filled once by the generators below.
extern std::array<Point, cube_point_count> cube_points;
extern std::array<Point, plane_point_count> plane_points;
extern std::array<Point, axis_point_count> axis_points;

// Each lattice axis is driven by a float counter that starts at the half-extent n and steps
// down by 1 while it stays above -n: ceil(2n) values, n included, -n excluded. Nothing is
// written unless n > -n. A generator fills `points` from index 0 and stops when it is full.

// A blue cubic lattice, 1200 units apart: ceil(2n)^3 points, x slowest and z fastest.
void build_cube(std::span<Point> points, float half_extent);

// A blue square lattice in the plane y = 0, 8 units apart: ceil(2n)^2 points, z fastest.
// It never writes `y`: the plane relies on the zero the points already hold.
void build_plane(std::span<Point> points, float half_extent);

// Three unit-spaced axes through the origin: x from -512 to 511 in blue, then y from -400
// to 399 in green, then z from -400 to 399 in red (2,624 points).
void build_axes(std::span<Point> points);

// The two embedded models, in units of their own until start-up scales them (by 450 and by 5):
// a white rhinoceros standing in profile along x, horn towards -x and back towards +y, and a
// blue landscape whose S-shaped path winds along z between trees, posts and rocks. Initialised
// data, written into scene/models_data.cpp by tools/make_models.cpp.
extern std::array<Point, rhino_point_count> rhino_points;
extern std::array<Point, scenery_point_count> scenery_points;

// Multiplies x, y and z of every point by `factor`, in place; `color` is left alone.
void scale_points(std::span<Point> points, float factor);
