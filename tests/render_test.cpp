#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "render/render.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t test_color = 0x123456;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

class Renderer : public ::testing::Test {
protected:
    void SetUp() override { reset_renderer(); }
};

// Plots one point and expects exactly that pixel lit.
void expect_plotted_at(const Point& point, int column, int row) {
    frame_buffer = FrameBuffer{};
    plot_point(point, test_color);
    EXPECT_EQ(pixel_at(column, row), test_color)
        << "point (" << point.x << ", " << point.y << ", " << point.z << ")";
    EXPECT_EQ(lit_pixel_count(frame_buffer), 1u);
}

void expect_skipped(const Point& point) {
    frame_buffer = FrameBuffer{};
    plot_point(point, test_color);
    EXPECT_TRUE(frame_is_black(frame_buffer))
        << "point (" << point.x << ", " << point.y << ", " << point.z << ")";
}

TEST_F(Renderer, OriginAndPlainPointsLandOnTheirPixels) {
    plot_point(Point{0, 0, 0, 0}, test_color);
    EXPECT_EQ(frame_buffer.pixels[409087], test_color);

    expect_plotted_at({100, 50, 0, 0}, 551, 379);
    EXPECT_EQ(render_state.tx, 40.0f);
    EXPECT_EQ(render_state.ty, 20.0f);
    EXPECT_EQ(render_state.tz, 0.0f);
}

TEST_F(Renderer, ScreenLimitsIncludeBothEndsAndNothingBeyond) {
    // At the plane z = 0 a unit is 0.4 pixel: 1277.5 units reach exactly 511 pixels.
    expect_plotted_at({1277.5f, 0, 0, 0}, 1022, 399);
    expect_plotted_at({-1277.5f, 0, 0, 0}, 0, 399);
    expect_plotted_at({0, 997.5f, 0, 0}, 511, 0);
    expect_plotted_at({0, -997.5f, 0, 0}, 511, 798);
    // 1278 gives 511.2, which would truncate to 511 but lies outside the rectangle.
    expect_skipped({1278.0f, 0, 0, 0});
    expect_skipped({std::nextafter(1277.5f, 2000.0f), 0, 0, 0});
    expect_skipped({std::nextafter(-1277.5f, -2000.0f), 0, 0, 0});
    expect_skipped({0, std::nextafter(997.5f, 2000.0f), 0, 0});
    expect_skipped({0, std::nextafter(-997.5f, -2000.0f), 0, 0});
}

TEST_F(Renderer, TruncationTowardZeroWidensTheCentreLines) {
    // sx and sy of -0.8 and 0.8 both fall in the centre column and row.
    expect_plotted_at({-2, 2, 0, 0}, 511, 399);
    expect_plotted_at({2, -2, 0, 0}, 511, 399);
    // -1.2 pixels truncates to -1, one column left of the centre.
    expect_plotted_at({-3, 0, 0, 0}, 510, 399);
}

TEST_F(Renderer, PointBehindTheViewerIsMirroredThroughTheCentre) {
    expect_plotted_at({100, 0, -4000, 0}, 471, 399);
    EXPECT_EQ(render_state.tx, -40.0f);
}

TEST_F(Renderer, PointsAtTheViewersDepthAreSkippedButRecorded) {
    expect_skipped({0, 0, -2000, 0});
    EXPECT_EQ(render_state.tz, -2000.0f);
    EXPECT_TRUE(std::isnan(render_state.tx));
    expect_skipped({100, 0, -2000, 0});
    EXPECT_EQ(render_state.tz, -2000.0f);
    EXPECT_TRUE(std::isinf(render_state.tx));
}

TEST_F(Renderer, NonFiniteCoordinatesAreSkipped) {
    expect_skipped({nan, 0, 0, 0});
    expect_skipped({0, infinity, 0, 0});
    expect_skipped({0, 0, -infinity, 0});
}

TEST_F(Renderer, EachAngleTurnsTheWayItShould) {
    view_angles = {0, 90, 0};  // +z turns toward -x
    expect_plotted_at({0, 0, 100, 0}, 471, 399);
    view_angles = {90, 0, 0};  // +y turns toward +z, so +z turns toward -y
    expect_plotted_at({0, 0, 100, 0}, 511, 439);
    view_angles = {0, 0, 90};  // +x turns toward +y
    expect_plotted_at({100, 0, 0, 0}, 511, 359);
    view_angles = {-20, 0, 0};
    expect_plotted_at({0, 0, 1000, 0}, 511, 306);
    EXPECT_NEAR(render_state.tz, 939.69f, 0.01f);
    expect_skipped({0, 1000, 0, 0});
}

TEST_F(Renderer, TurnsApplyAboutZThenYThenX) {
    // About z first, +x goes to +y, which the turn about y leaves alone.
    view_angles = {0, 90, 90};
    expect_plotted_at({100, 0, 0, 0}, 511, 359);

    // Against the three turns done one after the other in double precision.
    view_angles = {30, 50, 70};
    const double rad = 0.017453292;
    const double cx = std::cos(30 * rad), sx = std::sin(30 * rad);
    const double cy = std::cos(50 * rad), sy = std::sin(50 * rad);
    const double cz = std::cos(70 * rad), sz = std::sin(70 * rad);
    const double x = 300, y = -200, z = 500;
    const double x1 = cz * x - sz * y, y1 = sz * x + cz * y;
    const double x2 = cy * x1 - sy * z, z2 = sy * x1 + cy * z;
    const double ty = cx * y1 - sx * z2, tz = sx * y1 + cx * z2;

    const Rotated rotated = rotate_view(300, -200, 500, view_rotation(view_trig(view_angles)));
    EXPECT_NEAR(rotated.tx, x2, 1e-3);
    EXPECT_NEAR(rotated.ty, ty, 1e-3);
    EXPECT_NEAR(rotated.tz, tz, 1e-3);
}

TEST_F(Renderer, NinetyDegreesLeavesATinyResidue) {
    // The cosine of 90 degrees by this radian factor is about 4.7e-8, not 0.
    view_angles = {0, 90, 0};
    const Rotated rotated = rotate_view(100, 0, 0, view_rotation(view_trig(view_angles)));
    EXPECT_NE(rotated.tx, 0.0f);
    EXPECT_NEAR(rotated.tx, 4.7e-6f, 1e-6f);
}

TEST(PixelFromColor, TruncatesTowardZeroAndGivesOneValueOutsideTheRange) {
    EXPECT_EQ(pixel_from_color(255.0f), 255u);
    EXPECT_EQ(pixel_from_color(255.7f), 255u);
    EXPECT_EQ(pixel_from_color(16777215.0f), 0xFFFFFFu);
    EXPECT_EQ(pixel_from_color(-0.5f), 0u);
    EXPECT_EQ(pixel_from_color(-1.0f), 0xFFFFFFFFu);
    EXPECT_EQ(pixel_from_color(2147483520.0f), 0x7FFFFF80u);
    for (const float color : {nan, infinity, -infinity, 2147483648.0f, -2147483904.0f, 1e30f}) {
        EXPECT_EQ(pixel_from_color(color), 0x80000000u) << color;
    }
}

TEST_F(Renderer, DrawPointsUsesEachPointsColourInIndexOrder) {
    const std::array<Point, 4> points{{
        {100, 50, 0, 255.7f},    // truncated to 255
        {0, 0, 0, 65280.0f},     // centre, overwritten by the next point
        {1, 1, 0, 16711680.0f},  // the same pixel: the later point stays
        {-100, -50, 0, 0.0f},    // black: writes 0 over whatever is there
    }};
    const std::size_t erased = 419 * screen_width + 471;  // where (-100, -50, 0) lands
    frame_buffer.pixels[erased] = 0xABCDEF;

    draw_points(points.data(), 4);
    EXPECT_EQ(pixel_at(551, 379), 255u);
    EXPECT_EQ(pixel_at(511, 399), 16711680u);
    EXPECT_EQ(frame_buffer.pixels[erased], 0u);
    EXPECT_EQ(lit_pixel_count(frame_buffer), 2u);
}

// The expected values come from the definitions, not from the renderer's routines: the sines
// and cosines of the angles, and (100, 0, -2000) turned 10 degrees about z, 45 about y (+x
// toward +z) and -20 about x, in double precision, then seen from 2000 units with 800 pixels of
// focal length.
TEST_F(Renderer, DrawPointsRecordsTheLastPoint) {
    view_angles = {-20, 45, 10};
    const std::array<Point, 3> points{{{0, 0, 0, 0}, {10, 20, 30, 0}, {100, 0, -2000, 0}}};
    draw_points(points.data(), 3);

    constexpr double radians_per_degree = 3.14159265358979323846 / 180;
    EXPECT_NEAR(render_state.cos_x, std::cos(-20 * radians_per_degree), 1e-6);
    EXPECT_NEAR(render_state.sin_x, std::sin(-20 * radians_per_degree), 1e-6);
    EXPECT_NEAR(render_state.cos_y, std::cos(45 * radians_per_degree), 1e-6);
    EXPECT_NEAR(render_state.sin_y, std::sin(45 * radians_per_degree), 1e-6);
    EXPECT_NEAR(render_state.cos_z, std::cos(10 * radians_per_degree), 1e-6);
    EXPECT_NEAR(render_state.sin_z, std::sin(10 * radians_per_degree), 1e-6);
    EXPECT_EQ(render_state.current_point, &points[2]);
    EXPECT_NEAR(render_state.tz, -1269.4283, 0.01);
    EXPECT_NEAR(render_state.tx, 1624.8645, 0.01);  // 800 * 1483.8500 / (2000 - 1269.4283)
    EXPECT_NEAR(render_state.ty, -485.7072, 0.01);  // 800 * -443.5549 / (2000 - 1269.4283)
}

TEST_F(Renderer, EmptyAndNegativeCountsDrawAndRecordNothing) {
    const std::array<Point, 1> points{{{0, 0, 0, 255}}};
    const std::array<float, 3> vertices{0, 0, 0};
    draw_points(points.data(), 0);
    draw_points(points.data(), -1);
    draw_points(points.data(), std::numeric_limits<std::int32_t>::min());
    draw_vertices(vertices.data(), 0);
    draw_vertices(vertices.data(), 2);
    draw_vertices(vertices.data(), -3);
    EXPECT_TRUE(frame_is_black(frame_buffer));
    EXPECT_EQ(render_state.current_point, nullptr);
    EXPECT_EQ(render_state.cos_x, 0.0f);
}

TEST_F(Renderer, DrawVerticesPlotsWholeTriplesInWhite) {
    const std::array<float, 7> vertices{100, 50, 0, -100, -50, 0, 5000};
    draw_vertices(vertices.data(), 7);  // the seventh float is not a whole vertex
    EXPECT_EQ(pixel_at(551, 379), white);
    EXPECT_EQ(pixel_at(471, 419), white);
    EXPECT_EQ(lit_pixel_count(frame_buffer), 2u);
    ASSERT_NE(render_state.current_point, nullptr);
    EXPECT_EQ(render_state.current_point->x, -100.0f);
    EXPECT_EQ(render_state.tx, -40.0f);
}

TEST_F(Renderer, PlotPointReadsTheAnglesAtEachCall) {
    const Point point{0, 0, 100, 0};
    plot_point(point, test_color);
    view_angles.angle_y = 90;
    plot_point(point, white);
    EXPECT_EQ(pixel_at(511, 399), test_color);
    EXPECT_EQ(pixel_at(471, 399), white);
    EXPECT_EQ(render_state.current_point, &point);
}

}  // namespace
