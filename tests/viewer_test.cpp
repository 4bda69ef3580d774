#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"
#include "tests/test_support.h"
#include "viewer/colors.h"
#include "viewer/fit.h"
#include "viewer/options.h"
#include "viewer/picture.h"
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
    EXPECT_EQ(options->point_size, 1);
    const ShownCloud cube = load_scene("cube", *options);
    const Picture picture = picture_of(cube, *options);
    std::copy(picture.frame.pixels.begin(), picture.frame.pixels.end(), frame_buffer.pixels);
    EXPECT_TRUE(frames_match(frame_buffer, shown_frame, "viewer_cube_37"));
}

// The bounds of the lit pixels of a picture: left, top, right, bottom.
std::array<int, 4> lit_bounds(const Frame& frame, std::uint32_t background) {
    std::array<int, 4> bounds{frame.width, frame.height, -1, -1};
    for (int row = 0; row < frame.height; ++row) {
        for (int column = 0; column < frame.width; ++column) {
            if (frame.pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(frame.width) +
                             static_cast<std::size_t>(column)] != background) {
                bounds = {std::min(bounds[0], column), std::min(bounds[1], row),
                          std::max(bounds[2], column), std::max(bounds[3], row)};
            }
        }
    }
    return bounds;
}

// A long thin cloud, a flat one and one with a far outlier each fill the window along the
// side that binds, and touch no edge.
TEST(Viewer, FittedViewFillsTheWindowAndTouchesNoEdge) {
    std::vector<Point> thin;
    std::vector<Point> flat;
    for (int i = 0; i < 20000; ++i) {
        const auto t = static_cast<float>(i);
        thin.push_back(Point{t, std::sin(t), std::cos(t), 0xFFFFFF});
        flat.push_back(
            Point{static_cast<float>(i % 200), 0.0f, static_cast<float>(i) / 200.0f, 0xFFFFFF});
    }
    std::vector<Point> stray = flat;
    stray.push_back(Point{1.0e7f, 1.0e7f, 1.0e7f, 0xFFFFFF});
    for (const auto& [name, points, size] :
         {std::tuple{"thin", thin, "--size=1024x800"}, std::tuple{"flat", flat, "--size=600x900"},
          std::tuple{"stray", stray, "--size=1024x800"}}) {
        int status = 0;
        const auto options = parsed({"cloud.xyz", size, "--angles=-20,30,0"}, status);
        ASSERT_TRUE(options);
        const ShownCloud shown = shown_file(
            "cloud.xyz", PointCloud{points, {}, {}, {0, 0, 0}, true, false, 0, "text"}, *options);
        const Picture picture = picture_of(shown, *options);
        const Frame& frame = picture.frame;
        const auto [left, top, right, bottom] = lit_bounds(frame, 0);
        SCOPED_TRACE(name);
        EXPECT_GT(left, 0);
        EXPECT_GT(top, 0);
        EXPECT_LT(right, frame.width - 1);
        EXPECT_LT(bottom, frame.height - 1);
        const double width_share = static_cast<double>(right - left) / frame.width;
        const double height_share = static_cast<double>(bottom - top) / frame.height;
        EXPECT_GT(std::max(width_share, height_share), 0.8);
    }
}

// The spacing of a scanned surface is measured, and points are drawn large enough to close it.
TEST(Viewer, PointsCloseASurfaceAtItsSpacing) {
    std::vector<Point> grid;
    for (int i = 0; i < 300; ++i) {
        for (int j = 0; j < 300; ++j) {
            grid.push_back(
                Point{2.0f * static_cast<float>(i), 2.0f * static_cast<float>(j), 0.0f, 0.0f});
        }
    }
    EXPECT_NEAR(surface_spacing(grid), 2.0f, 0.3f);
    // A spacing of 2.4 pixels at the centre needs squares of 3.
    EXPECT_EQ(closing_point_size(6.0f, 1.0f, 1024, 800), 3);
    EXPECT_EQ(closing_point_size(6.0f, 0.1f, 1024, 800), 1);
    EXPECT_EQ(closing_point_size(6.0f, 100.0f, 1024, 800), 16);
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
    View view = initial_view(ViewAngles{-20.0f, 0.0f, 0.0f}, Framing{2.0f, 0.0f, 0.0f}, 0, false);
    constexpr float pixels_per_unit = 0.5f;
    const auto input = [&](InputKind kind, Button button, int x, int y, bool shift = false) {
        return apply_input(view, InputEvent{kind, Key::other, button, x, y, 0, shift},
                           pixels_per_unit);
    };
    const auto press = [&](Key key) {
        return apply_input(view, InputEvent{InputKind::key_down, key, Button::other, 0, 0, 0},
                           pixels_per_unit);
    };
    // A drag to the right and upwards turns the near side right and tilts it up; a move with
    // the button up does nothing.
    input(InputKind::button_down, Button::left, 100, 100);
    EXPECT_EQ(input(InputKind::pointer_moved, Button::other, 150, 90), ViewerAction::redraw);
    input(InputKind::button_up, Button::left, 150, 90);
    EXPECT_EQ(input(InputKind::pointer_moved, Button::other, 900, 0), ViewerAction::none);
    EXPECT_GT(view.angles.angle_y, 0.0f);
    EXPECT_GT(view.angles.angle_x, -20.0f);
    const ViewAngles turned = view.angles;

    // The right button, or the left with Shift, moves the view as far as the pointer went.
    input(InputKind::button_down, Button::right, 100, 100);
    input(InputKind::pointer_moved, Button::other, 110, 95);
    input(InputKind::button_up, Button::right, 110, 95);
    input(InputKind::button_down, Button::left, 0, 0, true);
    input(InputKind::pointer_moved, Button::other, 10, 0, true);
    input(InputKind::button_up, Button::left, 10, 0, true);
    EXPECT_EQ(view.pan_x, 40.0f);
    EXPECT_EQ(view.pan_y, 10.0f);
    EXPECT_EQ(view.angles.angle_y, turned.angle_y);

    for (int step = 0; step < 100; ++step) {
        press(Key::plus);
    }
    EXPECT_EQ(view.zoom, view.zoom_max);
    apply_input(view, InputEvent{InputKind::wheel, Key::other, Button::other, 0, 0, -1000},
                pixels_per_unit);
    EXPECT_EQ(view.zoom, view.zoom_min);

    press(Key::space);
    EXPECT_TRUE(view.paused);
    press(Key::r);
    EXPECT_EQ(view.angles.angle_x, -20.0f);
    EXPECT_EQ(view.angles.angle_y, 0.0f);
    EXPECT_EQ(view.zoom, 2.0f);
    EXPECT_EQ(view.pan_x, 0.0f);
    EXPECT_EQ(press(Key::digit_1), ViewerAction::refit);
    EXPECT_EQ(view.angles.angle_x, -90.0f);
    EXPECT_EQ(press(Key::f), ViewerAction::refit);
    EXPECT_EQ(press(Key::e), ViewerAction::redraw);
    EXPECT_TRUE(view.eye_dome);
    EXPECT_EQ(press(Key::left_bracket), ViewerAction::smaller_points);
    EXPECT_EQ(press(Key::right_bracket), ViewerAction::larger_points);
    EXPECT_EQ(press(Key::p), ViewerAction::save_picture);
    EXPECT_EQ(press(Key::escape), ViewerAction::quit);
    EXPECT_EQ(press(Key::q), ViewerAction::quit);

    // A whole turn comes back to 0 exactly, as the demo's turn does.
    view.angles.angle_y = 359.0f;
    advance_turn(view, 1.0f);
    EXPECT_EQ(view.angles.angle_y, 0.0f);
}

TEST(Viewer, OptionsAreCheckedBeforeAnythingIsRead) {
    int status = -1;
    auto options = parsed({"cloud.ply", "--angles=-30,12.5,0", "--output", "a.png"}, status);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->angles.angle_y, 12.5f);
    EXPECT_EQ(options->frames, 1);  // a picture is one frame unless told otherwise
    EXPECT_TRUE(options->fit);
    EXPECT_EQ(options->point_size, 0);  // chosen from the cloud's spacing

    options = parsed({"a.ply", "--size=1920x1080", "--background=#FfA001", "--point-size=3",
                      "--color=intensity", "--edl=off", "--output=turn%03d.png", "--frames=9"},
                     status);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->width, 1920);
    EXPECT_EQ(options->height, 1080);
    EXPECT_EQ(options->background, 0xFFA001u);
    EXPECT_EQ(options->point_size, 3);
    EXPECT_EQ(options->color, ColorMode::intensity);
    EXPECT_EQ(options->eye_dome, EyeDomeMode::off);
    EXPECT_TRUE(numbers_frames(options->output));
    EXPECT_EQ(numbered_name(options->output, 7), "turn007.png");
    EXPECT_EQ(numbered_name("100%%-%d.png", 12), "100%-12.png");
    EXPECT_FALSE(numbers_frames("100%%.png"));
    EXPECT_EQ(parsed({"a.ply", "--background", "white"}, status)->background, 0xFFFFFFu);

    for (const std::vector<const char*>& wrong : {std::vector<const char*>{},
                                                  {"a.ply", "--scene", "cube"},
                                                  {"--scene", "teapot"},
                                                  {"a.ply", "--angles", "1,2"},
                                                  {"a.ply", "--angles", "1,2,x"},
                                                  {"a.ply", "--frames", "0"},
                                                  {"a.ply", "--up", "w"},
                                                  {"a.ply", "--size", "0x10"},
                                                  {"a.ply", "--size", "8193x10"},
                                                  {"a.ply", "--size", "10x"},
                                                  {"a.ply", "--point-size", "17"},
                                                  {"a.ply", "--point-size", "2.5"},
                                                  {"a.ply", "--background", "#12345"},
                                                  {"a.ply", "--background", "mauve-ish"},
                                                  {"a.ply", "--output", "a%s.png"},
                                                  {"a.ply", "--output", "a%d%d.png"},
                                                  {"a.ply", "--zoom", "0"}}) {
        status = -1;
        EXPECT_FALSE(parsed(wrong, status));
        EXPECT_EQ(status, 2);
    }
}

// Intensities are stretched to grey between their 1st and 99th percentiles; classes take the
// survey colours; a file whose colours are all one is coloured by height and says so.
TEST(Viewer, ColoursFromTheValuesAFileCarries) {
    std::vector<Point> points(200, Point{0, 0, 0, 0});
    std::vector<std::uint16_t> intensities(200);
    std::vector<std::uint8_t> classes(200);
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].y = static_cast<float>(i);
        intensities[i] = static_cast<std::uint16_t>(1000 + 10 * i);
        classes[i] = i % 2 == 0 ? 2 : 6;
    }
    intensities[0] = 65535;  // one stray bright return does not darken the rest
    const auto summary_and_colors = [&](const char* mode, bool one_value) {
        int status = 0;
        const auto options = parsed({"a.las", mode}, status);
        PointCloud cloud{points, intensities, classes, {0, 0, 0}, false, one_value, 0, "LAS 1.4"};
        const ShownCloud shown = shown_file("a.las", cloud, *options);
        std::vector<std::uint32_t> colors;
        for (const Point& point : shown.points) {
            colors.push_back(static_cast<std::uint32_t>(point.color));
        }
        return std::pair{shown.summary, colors};
    };
    const auto [by_intensity, greys] = summary_and_colors("--color=intensity", false);
    EXPECT_NE(by_intensity.find("colours by intensity"), std::string::npos) << by_intensity;
    EXPECT_EQ(greys[0], 0xFFFFFFu);
    EXPECT_EQ(greys[1], 0x000000u);
    EXPECT_EQ(greys[100] & 0xFF, greys[100] >> 16 & 0xFF);
    EXPECT_NEAR(static_cast<double>(greys[100] & 0xFF), 128.0, 4.0);

    const auto [by_class, class_colors] = summary_and_colors("--color=classification", false);
    EXPECT_NE(by_class.find("colours by classification"), std::string::npos) << by_class;
    EXPECT_EQ(class_colors[0], class_color(2));
    EXPECT_EQ(class_colors[1], class_color(6));
    EXPECT_NE(class_color(2), class_color(6));

    const auto [one_colour, _] = summary_and_colors("--color=auto", true);
    EXPECT_NE(one_colour.find("all one: colours by height"), std::string::npos) << one_colour;
}

}  // namespace
