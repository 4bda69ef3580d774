#pragma once

// The working parts of the depth-tested draw, for the tests and the benchmarks: the kernels to
// choose from and how the work is shared with the worker thread.

#include <span>

#include "render/depth_draw.h"
#include "render/depth_worker.h"
#include "scene/scene.h"

// The ways of drawing and resolving a depth frame, from the plain loops to the widest vectors.
enum class DepthPath { scalar, avx2, avx512 };

// Whether this build and this processor can take `path`; scalar always can.
bool depth_path_supported(DepthPath path);

// The path that draw_points_depth and resolve_depth_frame take on this processor.
DepthPath best_depth_path();

// draw_points_depth and resolve_depth_frame through a chosen path and way of sharing, so that
// tests and benchmarks can compare every combination. `path` must be supported.
void draw_points_depth_through(DepthPath path, WorkerSharing sharing, DepthFrame& depth,
                               std::span<const Point> points, const DepthCamera& camera);
void resolve_depth_frame_through(DepthPath path, WorkerSharing sharing, DepthFrame& depth,
                                 std::uint32_t background, const EyeDome& eye_dome, Frame& frame);
