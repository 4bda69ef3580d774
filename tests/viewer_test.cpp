#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"
#include "tests/test_support.h"
#include "viewer/options.h"
#include "viewer/shown_cloud.h"
#include "viewer/view.h"

namespace {

FrameBuffer shown_frame;
bool keep_shown_frame() {
    shown_frame = frame_buffer;
    return true;
}

std::optional<ViewerOptions> parsed(const std::vector<const char*>& arguments, int& status) {
    std::vector<std::string> all{"pointcloud-view"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return parse_viewer_options(all, status);
}

TEST(Viewer, DrawsTheDemosOwnFrameOfTheLatticeTakenAsItIs) {
    reset_renderer();
    Platform platform = headless_platform(stdout);
    platform.present_frame = keep_shown_frame;
    FrameRateCounter counter{0, 0, 0};
    std::FILE* console = std::tmpfile();
    platform.console = console;
    start_up(platform);
    for (int frame = 1; frame <= 37; ++frame) {
        run_frame(counter, platform);
    }
    std::fclose(console);

    int status = 0;
    const auto options = parsed({"--scene", "cube", "--no-fit", "--angles", "-20,37,0"}, status);
    ASSERT_TRUE(options);
    const ShownCloud cube = load_scene("cube", *options);
    clear_frame();
    draw_shown_cloud(cube, initial_view(options->angles, options->fit));
    EXPECT_TRUE(frames_match(frame_buffer, shown_frame, "viewer_cube_37"));
}

// Wherever a fitted cloud lies and however it is turned, all of it stays in front of the
// viewer, and on screen at the starting distance; the axis named up ends up vertical.
TEST(Viewer, FittedCloudStaysInFrontAndOnScreenAtEveryAngle) {
    std::vector<Point> points;
    for (int i = 0; i < 1000; ++i) {
        const float t = static_cast<float>(i);
        points.push_back(Point{665000.0f + 3.0f * std::sin(t), 5648000.0f + 1.0f * t,
                               10.0f * std::cos(7.0f * t), 0.0f});
    }
    points.push_back(Point{665000.0f, 5648000.0f, 900.0f, 0.0f});  // the highest, in z
    fit_points(points, UpAxis::z);
    for (const Point& p : points) {
        EXPECT_LE(p.y, points.back().y);
    }

    const View view = initial_view(ViewAngles{}, true);
    for (float tilt = -90.0f; tilt <= 90.0f; tilt += 30.0f) {
        for (float turn = 0.0f; turn < 360.0f; turn += 45.0f) {
            const ViewRotation rotation = view_rotation(view_trig(ViewAngles{tilt, turn, 0.0f}));
            for (const Point& p : points) {
                const Rotated near = rotate_view(view.zoom_max * p.x, view.zoom_max * p.y,
                                                 view.zoom_max * p.z, rotation);
                ASSERT_GT(near.tz + 2000.0f, 90.0f);  // in front, by 5 % of the way less rounding
                const ScreenPoint screen = project_to_screen(rotate_view(p.x, p.y, p.z, rotation));
                ASSERT_LE(std::fabs(screen.sx), 399.0f);
                ASSERT_LE(std::fabs(screen.sy), 399.0f);
            }
        }
    }
}

// A survey without colours is coloured by its height, z, whether it is fitted or drawn as it is;
// --up names another axis.
TEST(Viewer, ColoursByTheHeightOfTheUpAxisFittedOrNot) {
    constexpr float red = 0xFF0000;
    constexpr float blue = 0x0000FF;
    // The highest point in z is the lowest in y.
    const std::vector<Point> survey{{0, 10, 5, 0}, {1, 0, 9, 0}, {2, 5, 0, 0}};
    const auto colours = [&](std::vector<const char*> arguments) {
        int status = 0;
        arguments.insert(arguments.begin(), "survey.las");
        const auto options = parsed(arguments, status);
        const ShownCloud shown = shown_file(
            "survey.las",
            PointCloud{survey, {}, {}, {0, 0, 0}, false, false, 0, "LAS 1.2, point format 0"},
            *options);
        std::vector<float> result;
        for (const Point& point : shown.points) {
            result.push_back(point.color);
        }
        return result;
    };
    EXPECT_EQ(colours({}), colours({"--no-fit"}));
    EXPECT_EQ(colours({"--no-fit"})[1], red);
    EXPECT_EQ(colours({"--no-fit"})[2], blue);
    EXPECT_EQ(colours({"--no-fit", "--up", "y"})[0], red);
    EXPECT_EQ(colours({"--up", "y"})[1], blue);
}

TEST(Viewer, InputTurnsMovesAndResetsTheView) {
    View view = initial_view(ViewAngles{-20.0f, 0.0f, 0.0f}, true);
    const auto press = [&](Key key) {
        return apply_input(view, InputEvent{InputKind::key_down, key, Button::other, 0, 0, 0});
    };
    // A drag to the right and upwards turns the near side right and tilts it up; a move with
    // the button up does nothing.
    apply_input(view, InputEvent{InputKind::button_down, Key::other, Button::left, 100, 100, 0});
    apply_input(view, InputEvent{InputKind::pointer_moved, Key::other, Button::other, 150, 90, 0});
    apply_input(view, InputEvent{InputKind::button_up, Key::other, Button::left, 150, 90, 0});
    apply_input(view, InputEvent{InputKind::pointer_moved, Key::other, Button::other, 900, 0, 0});
    EXPECT_GT(view.angles.angle_y, 0.0f);
    EXPECT_GT(view.angles.angle_x, -20.0f);

    for (int step = 0; step < 100; ++step) {
        press(Key::plus);
    }
    EXPECT_EQ(view.zoom, view.zoom_max);
    apply_input(view, InputEvent{InputKind::wheel, Key::other, Button::other, 0, 0, -1000});
    EXPECT_EQ(view.zoom, view.zoom_min);

    press(Key::space);
    EXPECT_TRUE(view.paused);
    press(Key::r);
    EXPECT_EQ(view.angles.angle_x, -20.0f);
    EXPECT_EQ(view.angles.angle_y, 0.0f);
    EXPECT_EQ(view.zoom, 1.0f);
    EXPECT_EQ(press(Key::p), ViewerAction::save_picture);
    EXPECT_EQ(press(Key::escape), ViewerAction::quit);
    EXPECT_EQ(press(Key::q), ViewerAction::quit);

    // A whole turn comes back to 0 exactly, as the demo's turn does.
    view.angles.angle_y = 359.0f;
    advance_turn(view);
    EXPECT_EQ(view.angles.angle_y, 0.0f);
}

TEST(Viewer, OptionsAreCheckedBeforeAnythingIsRead) {
    int status = -1;
    auto options = parsed({"cloud.ply", "--angles=-30,12.5,0", "--output", "a.png"}, status);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->angles.angle_y, 12.5f);
    EXPECT_EQ(options->frames, 1);  // a picture is one frame unless told otherwise
    EXPECT_TRUE(options->fit);

    for (const std::vector<const char*>& wrong : {std::vector<const char*>{},
                                                  {"a.ply", "--scene", "cube"},
                                                  {"--scene", "teapot"},
                                                  {"a.ply", "--angles", "1,2"},
                                                  {"a.ply", "--angles", "1,2,x"},
                                                  {"a.ply", "--frames", "0"},
                                                  {"a.ply", "--up", "w"}}) {
        status = -1;
        EXPECT_FALSE(parsed(wrong, status));
        EXPECT_EQ(status, 2);
    }
}

}  // namespace
