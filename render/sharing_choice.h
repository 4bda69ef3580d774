#pragma once

// Inside the renderer only: whether draw_points shares a draw with its helper thread.

#include <cstdint>

#include "render/point_kernels.h"
#include "render/point_paths.h"
#include "render/render.h"
#include "scene/scene.h"

// Plots `count` points (1 or more) into the frame with `kernels`, sharing them with the helper
// thread as `sharing` says, and leaves exactly the frame that kernels.draw alone would leave.
// Draws them all on the calling thread when sharing does not pay or no helper can be had.
// Does not record the render state.
void draw_span_shared(const SpanKernels& kernels, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, Sharing sharing);
