#pragma once

// The working parts of draw_points, for the tests, the benchmarks and the fuzz target: the
// steps that the kernels share, the kernels to choose from, and a way to pick one and decide
// how it shares the points with the helper thread.

#include <cstdint>

#include "render/render.h"
#include "scene/scene.h"

// Runs one point through rotation and projection and records its working values in the render
// state, with `current_point` designating `point`. Gives the screen coordinates.
ScreenPoint transform_and_record(const Point& point, const ViewTrig& trig,
                                 const ViewRotation& rotation);

// The index in the frame of the pixel that a point at `screen` lands on, or -1 if it lies
// outside -511..511 by -399..399 (NaN always does). Truncates toward zero; column 1023 and
// row 799 are never reached.
std::int32_t pixel_index(const ScreenPoint& screen);

// The ways of drawing a run of points, from the plain loop to the widest vectors.
enum class PointPath { scalar, avx2, avx512 };

// Whether this build and this processor can take `path`; scalar always can.
bool point_path_supported(PointPath path);

// The path that draw_points takes on this processor.
PointPath best_point_path();

// How a draw shares its points with the helper thread.
enum class Sharing {
    // The calling thread draws every point.
    alone,
    // As draw_points does: for large counts and with more than one processor to run on, the
    // helper logs blocks a little ahead of the calling thread, which copies them into the frame
    // when it gets there and logs and copies every other block itself; unless draws with the
    // helper have lately taken longer than draws alone.
    with_helper,
    // For tests: whatever the count and the number of processors, the helper logs blocks from
    // the first until its ring of logs is full or none are left, and only then does the calling
    // thread start, so the logging path is taken every time. Falls back to `alone` only if no
    // thread can be started, or after stop_drawing_helper.
    helper_first,
    // For tests: as helper_first, but the helper stops halfway through the last block it takes
    // and goes on only once the calling thread has finished the draw, as a helper would that
    // lost its processor; the calling thread takes that block back and plots it.
    helper_stalls,
    // For tests: the helper stops in its claim of the first block, at the step that the name
    // says, as a helper would that lost its processor there: before it reads the block's slot
    // in the ring, after it has read it, and before it says that it reads the draw's points.
    // The calling thread waits until the helper is there, draws every point itself and
    // returns; the helper stays there until release_held_helper, or until the calling thread
    // starts its next draw with the helper or calls stop_drawing_helper. Falls back to `alone` as
    // helper_first does.
    helper_held_before_reading_slot,
    helper_held_after_reading_slot,
    helper_held_before_saying_it_reads,
};

// draw_points through a chosen path and way of sharing, so that tests and benchmarks can
// compare every combination. `path` must be supported.
void draw_points_through(PointPath path, Sharing sharing, const Point* points, std::int32_t count);

// For tests: lets the helper that the last draw left held go on, and returns once the helper
// has left that draw. Does nothing when the last draw left none held.
void release_held_helper();

// For tests: numbers the next draw with the helper as if `count` of them had gone before it.
// The numbers wrap round after 2^32 draws.
void set_shared_draw_count(std::uint32_t count);

// For tests: forgets what draws with and without the helper have cost, so that the next draw
// with Sharing::with_helper that may share its points does.
void forget_sharing_costs();

// For tests: whether the last draw shared its points with the helper thread.
bool last_draw_shared();
