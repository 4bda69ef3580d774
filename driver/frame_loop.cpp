#include "driver/frame_loop.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/frame_buffer.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

constexpr std::int32_t interval_ticks = 1000;
constexpr float full_turn = 360.0f;

// Taken while the program's statics are initialised, before main: the clock's zero.
const std::chrono::steady_clock::time_point process_start = std::chrono::steady_clock::now();

// A 32-bit difference that stays defined across the wrap of the tick count.
std::int32_t ticks_between(std::int32_t earlier, std::int32_t later) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(later) -
                                     static_cast<std::uint32_t>(earlier));
}

void wrap_angle(float& angle) {
    if (angle >= full_turn) {
        angle = 0.0f;
    }
}

}  // namespace

std::int32_t elapsed_ticks() {
    const auto elapsed = std::chrono::steady_clock::now() - process_start;
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
    return static_cast<std::int32_t>(milliseconds.count());
}

void start_up(const Platform& platform) {
    build_cube(cube_points, 50.0f);
    build_plane(plane_points, 150.0f);
    build_axes(axis_points);
    scale_points(rhino_points, 450.0f);
    scale_points(scenery_points, 5.0f);
    platform.store_instance_handle();
    view_angles.angle_x = -20.0f;
    platform.init_window();
}

void count_frame(FrameRateCounter& counter, TickClock read_clock) {
    const std::int32_t now_ticks = read_clock();
    ++counter.counted_frames;
    if (ticks_between(counter.interval_start, now_ticks) >= interval_ticks) {
        counter.fps = counter.counted_frames;
        counter.counted_frames = 0;
        // Read again: the time spent between the two readings belongs to no interval.
        counter.interval_start = read_clock();
    }
}

void clear_frame() { std::memset(frame_buffer.pixels, 0, sizeof frame_buffer.pixels); }

void wrap_angles() {
    wrap_angle(view_angles.angle_x);
    wrap_angle(view_angles.angle_y);
    wrap_angle(view_angles.angle_z);
}

bool run_frame(FrameRateCounter& counter, const Platform& platform) {
    view_angles.angle_y += 1.0f;
    draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
    count_frame(counter, platform.read_clock);
    std::fprintf(platform.console, "FPS = %d\n", counter.fps);
    // A reader on a pipe sees each frame's line at once.
    std::fflush(platform.console);
    const bool window_open = platform.present_frame();
    clear_frame();
    wrap_angles();
    return window_open;
}
