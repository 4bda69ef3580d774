#pragma once

// Inside the renderer only: the helper thread that draw_points shares its points with, and the
// way the two threads share one draw.

#include <cstdint>

#include "render/point_kernels.h"
#include "render/render.h"
#include "scene/scene.h"

// The two threads share a draw in blocks of this many points.
inline constexpr std::int32_t shared_block_points = 16384;

// How the helper goes through a draw.
enum class HelperMode {
    // A few blocks ahead of the frame loop's thread, to the end.
    ahead,
    // From the first block until the ring is full, before the frame loop's thread starts.
    first,
    // As `first`, but it stops halfway through the last block it can take and goes on only
    // once the frame loop's thread has finished the draw.
    stalls,
    // As `first`, but it stops in its claim of the first block at the step that the name says,
    // and stays there, after the draw has returned, until release_held_helper or the next job.
    held_before_reading_slot,
    held_after_reading_slot,
    held_before_saying_it_reads,
};

// Starts the helper thread on the first call; whether it runs. False for good once the thread
// could not be started or has been stopped.
bool drawing_helper_running();

// Plots `count` points (1 or more) into the frame, sharing them with the helper thread, which
// must be running, and leaves exactly the frame that plotting them in index order would leave.
// `log_span` logs a run of them. Returns once the helper is out of the points.
void draw_with_helper(LogSpan log_span, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, HelperMode mode);
