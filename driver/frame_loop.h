#pragma once

#include <cstdint>
#include <cstdio>

// Milliseconds of elapsed time, as a 32-bit signed tick count.
using TickClock = std::int32_t (*)();

// Milliseconds since the process started, from a monotonic clock. Wraps after 24.8 days;
// the frame-rate counter only ever takes differences, which survive the wrap.
std::int32_t elapsed_ticks();

// Frames are counted over intervals of at least 1000 ticks; `fps` is the count of the last
// completed interval, 0 until the first one closes.
struct FrameRateCounter {
    std::int32_t fps;
    std::int32_t counted_frames;
    std::int32_t interval_start;
};

// What the frame loop uses of the world outside: the clock, the console and the window. The
// program passes the real ones; tests pass their own.
struct Platform {
    TickClock read_clock;
    std::FILE* console;
    void (*store_instance_handle)();
    void (*init_window)();
    bool (*present_frame)();
};

// Builds the scene, scales the two embedded models once (by 450 and by 5), sets the
// starting view (angle_x -20, angle_y and angle_z 0) and opens the window.
void start_up(const Platform& platform);

// Counts one frame, closing the interval when 1000 ticks or more have passed since it began.
void count_frame(FrameRateCounter& counter, TickClock read_clock);

// Sets every pixel of the frame buffer to black.
void clear_frame();

// Sets each view angle that has reached 360 degrees back to 0.
void wrap_angles();

// One pass of the frame loop: turn the view by a degree, draw the cube lattice, count the
// frame and print the rate, present the frame, then clear it and wrap the angles. Gives false
// once the window has been closed.
bool run_frame(FrameRateCounter& counter, const Platform& platform);
