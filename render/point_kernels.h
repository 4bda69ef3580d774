#pragma once

// Inside the renderer only: the interchangeable routines that draw a run of points, one set
// per instruction set, and what draw_points shares between them.

#include <cstdint>

#include "common/frame_buffer.h"
#include "render/render.h"
#include "scene/scene.h"

inline constexpr float focal_length = 800.0f;

// The visible rectangle is symmetric about the centre pixel, so the leftmost column (-512)
// and the bottom row (-400) are never reached.
inline constexpr float screen_limit_x = 511.0f;
inline constexpr float screen_limit_y = 399.0f;
inline constexpr int centre_column = screen_width / 2 - 1;
inline constexpr int centre_row = screen_height / 2 - 1;
inline constexpr int centre_index = centre_row * screen_width + centre_column;

// Pixels held back so that they can be written later in index order: entry i is the colour
// colors[i] for the pixel at indices[i].
struct PixelLog {
    std::uint32_t* indices;
    std::uint32_t* colors;
};

// How far past its last entry a kernel may scribble in a log: room for one vector's stores.
inline constexpr std::int32_t log_slack = 16;

// Plots `count` points (1 or more) in index order into the frame, each in its own colour,
// without recording them in the render state.
using DrawSpan = void (*)(const Point* points, std::int32_t count, const ViewRotation& rotation);

// Writes to `log`, in index order from entry 0, the pixel that each of `count` points (1 or
// more) would write; returns how many entries that is, at most `count`, and may scribble on
// log_slack entries more. Leaves the frame alone.
using LogSpan = std::int32_t (*)(const Point* points, std::int32_t count,
                                 const ViewRotation& rotation, PixelLog log);

struct SpanKernels {
    DrawSpan draw;
    LogSpan log;
};

// Built from rotate_view, project_to_screen and pixel_index: the reference.
SpanKernels scalar_kernels();

#ifdef POINTCLOUD_X86_KERNELS
// Eight points at a time; needs AVX2.
SpanKernels avx2_kernels();
// Sixteen points at a time; needs AVX-512F.
SpanKernels avx512_kernels();
#endif
