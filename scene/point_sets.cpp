#include "scene/scene.h"

// Aligned to a cache line so that the renderer's wide loads never straddle one.
alignas(64) std::array<Point, cube_point_count> cube_points;
alignas(64) std::array<Point, plane_point_count> plane_points;
alignas(64) std::array<Point, axis_point_count> axis_points;
