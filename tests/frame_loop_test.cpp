#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "driver/frame_loop.h"
#include "scene/scene.h"
#include "test_support.h"

namespace {

// A clock that the test scripts: each reading takes the next value.
std::vector<std::int32_t> clock_readings;
std::size_t next_reading = 0;

std::int32_t scripted_clock() { return clock_readings.at(next_reading++); }

void script_clock(std::vector<std::int32_t> readings) {
    clock_readings = std::move(readings);
    next_reading = 0;
}

std::int32_t stopped_clock() { return 0; }

float trig_of(double degrees, double (*function)(double)) {
    return static_cast<float>(function(degrees * 0.017453292));
}

// Everything the console received, read back from a temporary file.
std::string console_text(std::FILE* console) {
    std::rewind(console);
    std::string text;
    for (int c = std::fgetc(console); c != EOF; c = std::fgetc(console)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

// A window that notes what the program has done by the time each of its routines runs.
struct WindowLog {
    std::vector<std::string> calls;
    float angle_x_at_call = 0;
    float cube_x_at_call = 0;
    std::size_t lit_pixels_when_presented = 0;
    std::string console_when_presented;
    std::FILE* console = nullptr;
    bool closed = false;  // what the window answers: closed by its user
};
WindowLog window_log;

void log_store_instance_handle() {
    window_log.calls.push_back("store_instance_handle");
    window_log.angle_x_at_call = view_angles.angle_x;
    window_log.cube_x_at_call = cube_points[0].x;
}
void log_init_window() {
    window_log.calls.push_back("init_window");
    window_log.angle_x_at_call = view_angles.angle_x;
}
bool log_present_frame() {
    window_log.calls.push_back("present_frame");
    window_log.lit_pixels_when_presented = lit_pixel_count(frame_buffer);
    window_log.console_when_presented = console_text(window_log.console);
    return !window_log.closed;
}

class FrameLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_renderer();
        window_log = WindowLog{};
        console_ = std::tmpfile();
        ASSERT_NE(console_, nullptr);
        window_log.console = console_;
        platform_ = Platform{stopped_clock, console_, log_store_instance_handle, log_init_window,
                             log_present_frame};
        start_up(platform_);
    }
    void TearDown() override { std::fclose(console_); }

    std::FILE* console_ = nullptr;
    Platform platform_{};
    FrameRateCounter counter_{0, 0, 0};
};

TEST_F(FrameLoopTest, StartUpBuildsTheSceneThenTiltsTheViewThenOpensTheWindow) {
    EXPECT_EQ(window_log.calls, (std::vector<std::string>{"store_instance_handle", "init_window"}));
    EXPECT_EQ(window_log.cube_x_at_call, 60000.0f);  // lattices built before the window side
    EXPECT_EQ(window_log.angle_x_at_call, -20.0f);   // tilted before the window opens
    EXPECT_EQ(view_angles.angle_x, -20.0f);
    EXPECT_EQ(view_angles.angle_y, 0.0f);
    EXPECT_EQ(view_angles.angle_z, 0.0f);
    EXPECT_EQ(cube_points[999'999].x, -58800.0f);
    EXPECT_EQ(plane_points[89'999].z, -1192.0f);
    EXPECT_EQ(axis_points[2623].color, red);
}

TEST_F(FrameLoopTest, FirstFrameIsDrawnAtOneDegreeAndLeavesABlackFrame) {
    frame_buffer.pixels[12345] = 0xFFFFFF;  // a leftover that the clear must remove
    run_frame(counter_, platform_);

    EXPECT_EQ(render_state.cos_x, trig_of(-20, std::cos));
    EXPECT_EQ(render_state.sin_x, trig_of(-20, std::sin));
    EXPECT_EQ(render_state.cos_y, trig_of(1, std::cos));
    EXPECT_EQ(render_state.sin_y, trig_of(1, std::sin));
    EXPECT_EQ(render_state.sin_z, 0.0f);
    EXPECT_EQ(render_state.current_point, &cube_points[999'999]);
    EXPECT_TRUE(frame_is_black(frame_buffer));
    EXPECT_EQ(console_text(console_), "FPS = 0\n");
}

TEST_F(FrameLoopTest, FrameIsPresentedWholeAfterItsLineIsPrintedAndAClosedWindowEndsTheLoop) {
    EXPECT_TRUE(run_frame(counter_, platform_));
    window_log.closed = true;
    EXPECT_FALSE(run_frame(counter_, platform_));
    EXPECT_EQ(window_log.calls.size(), 4u);
    EXPECT_EQ(window_log.calls.back(), "present_frame");
    EXPECT_EQ(window_log.console_when_presented, "FPS = 0\nFPS = 0\n");
    // The second frame, drawn at two degrees, lights about as many pixels as the first.
    EXPECT_GT(window_log.lit_pixels_when_presented, 100'000u);
    // The closing frame still finishes: cleared, its angle kept for the wrap.
    EXPECT_TRUE(frame_is_black(frame_buffer));
    EXPECT_EQ(view_angles.angle_y, 2.0f);
}

TEST_F(FrameLoopTest, FrameAfterThreeSixtyDegreesStartsTheTurnAgain) {
    view_angles.angle_y = 359.0f;
    run_frame(counter_, platform_);
    EXPECT_EQ(render_state.sin_y, trig_of(360, std::sin));
    EXPECT_EQ(view_angles.angle_y, 0.0f);
    run_frame(counter_, platform_);
    EXPECT_EQ(render_state.sin_y, trig_of(1, std::sin));
    EXPECT_EQ(view_angles.angle_y, 1.0f);
    EXPECT_EQ(view_angles.angle_x, -20.0f);
}

TEST(WrapAngles, SetsAnglesOfAFullTurnOrMoreToZero) {
    view_angles = {-20.0f, 360.0f, 725.0f};
    wrap_angles();
    EXPECT_EQ(view_angles.angle_x, -20.0f);  // below zero: left alone
    EXPECT_EQ(view_angles.angle_y, 0.0f);
    EXPECT_EQ(view_angles.angle_z, 0.0f);  // set to zero, not reduced by 360

    view_angles = {360.0f, 359.5f, -400.0f};
    wrap_angles();
    EXPECT_EQ(view_angles.angle_x, 0.0f);
    EXPECT_EQ(view_angles.angle_y, 359.5f);
    EXPECT_EQ(view_angles.angle_z, -400.0f);
}

TEST(ClearFrame, BlacksOutEveryPixel) {
    for (std::uint32_t& pixel : frame_buffer.pixels) {
        pixel = 0xFFFFFFFF;
    }
    clear_frame();
    EXPECT_TRUE(frame_is_black(frame_buffer));
}

TEST(FrameRateCounter, CountsFramesOfTheLastCompletedInterval) {
    FrameRateCounter counter{0, 0, 0};
    std::vector<std::int32_t> shown;
    // The closing frame at 1000 reads the clock twice: the new interval starts at 1003.
    script_clock({10, 500, 999, 1000, 1003, 1500, 2002, 2003, 2010});
    for (int frame = 0; frame < 7; ++frame) {
        count_frame(counter, scripted_clock);
        shown.push_back(counter.fps);
    }
    EXPECT_EQ(shown, (std::vector<std::int32_t>{0, 0, 0, 4, 4, 4, 3}));
    EXPECT_EQ(counter.counted_frames, 0);
    EXPECT_EQ(counter.interval_start, 2010);
}

TEST(FrameRateCounter, SlowStartUpClosesTheFirstIntervalOnTheFirstFrame) {
    FrameRateCounter counter{0, 0, 0};
    script_clock({1200, 1201});
    count_frame(counter, scripted_clock);
    EXPECT_EQ(counter.fps, 1);
    EXPECT_EQ(counter.interval_start, 1201);
}

TEST(FrameRateCounter, SurvivesTheWrapOfTheTickCount) {
    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t min = std::numeric_limits<std::int32_t>::min();
    FrameRateCounter counter{7, 2, max - 100};
    script_clock({min + 898, min + 899, min + 900});
    count_frame(counter, scripted_clock);  // 999 ticks: still open
    EXPECT_EQ(counter.fps, 7);
    count_frame(counter, scripted_clock);  // 1000 ticks: closes
    EXPECT_EQ(counter.fps, 4);
    EXPECT_EQ(counter.interval_start, min + 900);
}

// A clock that stood still, or counted in other units than milliseconds, would leave every FPS
// line at 0 or far off. A sleep lasts at least what it is asked for, by the same steady clock;
// the upper bound only catches a clock a thousand times too fast.
TEST(ElapsedTicks, CountsMillisecondsForwardFromStartUp) {
    const std::int32_t first = elapsed_ticks();
    EXPECT_GE(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::int32_t elapsed = elapsed_ticks() - first;
    EXPECT_GE(elapsed, 49);  // both readings are cut to whole milliseconds
    EXPECT_LT(elapsed, 20'000);
}

}  // namespace
