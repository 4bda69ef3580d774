#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "render/render.h"
#include "test_support.h"

namespace {

using Pixel = std::pair<int, int>;  // column, row

std::set<Pixel> lit_pixels() {
    std::set<Pixel> lit;
    for (int row = 0; row < screen_height; ++row) {
        for (int column = 0; column < screen_width; ++column) {
            if (pixel_at(column, row) != 0) {
                lit.insert({column, row});
            }
        }
    }
    return lit;
}

// The figures' stepping: a float step variable, each advance added in double and rounded.
float next_step(float value, double step) {
    return static_cast<float>(static_cast<double>(value) + step);
}

class Figures : public ::testing::Test {
protected:
    void SetUp() override { reset_renderer(); }
};

TEST_F(Figures, LineStepsDriftShortOfItsEnd) {
    struct Case {
        float half_extent;
        float last_x;
        long points;
    };
    for (const Case& c : {Case{0, -0.0f, 1}, Case{1, 0.90000015f, 20}, Case{5, 4.999995f, 101},
                          Case{10, 9.900003f, 200}, Case{100, 99.9981f, 2001}}) {
        render_state = RenderState{};
        draw_line(c.half_extent);
        ASSERT_NE(render_state.current_point, nullptr) << c.half_extent;
        const Point& last = *render_state.current_point;
        EXPECT_EQ(last.x, c.last_x) << c.half_extent;
        EXPECT_EQ(last.y, -1.0f - c.last_x) << c.half_extent;
        EXPECT_EQ(last.z, 0.0f) << c.half_extent;
        // Below 128 each step is 0.1 to within 1e-5, so the span from -w gives the count.
        const long points = std::lround((last.x + c.half_extent) / 0.1) + 1;
        EXPECT_EQ(points, c.points) << c.half_extent;
    }
}

TEST_F(Figures, LineEndsLandOnTheirPixels) {
    // At z = 0 a unit is 0.4 pixel. The first point (-5, 4) lands at (-2, 1.6); the last,
    // about (4.999995, -5.999995), at (1.999998, -2.399998), just short of column 513.
    draw_line(5);
    const std::set<Pixel> line{{509, 398}, {510, 398}, {510, 399}, {511, 399},
                               {511, 400}, {512, 400}, {512, 401}};
    EXPECT_EQ(lit_pixels(), line);
    EXPECT_EQ(pixel_at(509, 398), white);

    // A zero of either sign draws the single point (0, -1, 0).
    for (const float zero : {0.0f, -0.0f}) {
        frame_buffer = FrameBuffer{};
        draw_line(zero);
        EXPECT_EQ(lit_pixels(), (std::set<Pixel>{{511, 399}})) << zero;
        EXPECT_EQ(render_state.ty, -0.4f);
    }
}

TEST_F(Figures, FiguresTurnWithTheView) {
    // About z by 90 degrees (-5, 4) goes to (-4, -5) and (5, -6) to about (6, 5).
    view_angles = {0, 0, 90};
    draw_line(5);
    EXPECT_EQ(pixel_at(510, 401), white);
    EXPECT_EQ(pixel_at(513, 398), white);
    EXPECT_EQ(pixel_at(509, 398), 0u);
    // The line records the view it was drawn in.
    EXPECT_NEAR(render_state.cos_z, 0.0f, 1e-7f);
    EXPECT_NEAR(render_state.sin_z, 1.0f, 1e-7f);

    // About x by 90 degrees the plane z = 0 is seen edge on: the circle flattens onto the
    // centre row.
    frame_buffer = FrameBuffer{};
    view_angles = {90, 0, 0};
    draw_circle();
    for (const auto& [column, row] : lit_pixels()) {
        EXPECT_EQ(row, 399) << column;
    }
}

TEST_F(Figures, LineDrawsNothingForHalfExtentsItCannotStep) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const Point marker{1, 2, 3, 4};
    const RenderState before{1, 2, 3, 4, 5, 6, &marker, 7, 8, 9};
    for (const float half_extent : {-0.5f, -infinity, nan, -nan, 2097152.0f, 1e30f, infinity}) {
        render_state = before;
        draw_line(half_extent);
        EXPECT_TRUE(frame_is_black(frame_buffer)) << half_extent;
        EXPECT_EQ(render_state.current_point, &marker) << half_extent;
        EXPECT_EQ(render_state.cos_x, 1.0f) << half_extent;
        EXPECT_EQ(render_state.tz, 9.0f) << half_extent;
    }

    // The largest half-extent below 2^21 still comes to an end, on its own value.
    const float largest = std::nextafter(2097152.0f, 0.0f);
    draw_line(largest);
    ASSERT_NE(render_state.current_point, &marker);
    EXPECT_EQ(render_state.current_point->x, largest);
}

// The frame of the circle's two passes, computed from their definitions: the whole circle by
// tenths of a degree, then the upper half by thousandths along x.
struct CirclePoints {
    std::vector<float> whole;
    std::vector<float> upper_half;
};

CirclePoints circle_points() {
    CirclePoints points;
    for (float degrees = 0; degrees <= 360; degrees = next_step(degrees, 0.1)) {
        const double radians = degrees * 0.017453292;
        points.whole.insert(points.whole.end(), {static_cast<float>(200 * std::cos(radians)),
                                                 static_cast<float>(200 * std::sin(radians)), 0});
    }
    for (float x = -200; x <= 200; x = next_step(x, 0.001)) {
        points.upper_half.insert(points.upper_half.end(), {x, std::sqrt(40000 - x * x), 0});
    }
    return points;
}

// Lights the pixels of points of the plane z = 0 with the view unturned, straight from the
// projection's definition (800 pixels of focal length at 2000 units, the centre at column 511,
// row 399, offsets cut toward zero), so that the expected frame owes nothing to the renderer.
void light_unturned(const std::vector<float>& vertices) {
    for (std::size_t i = 0; i + 2 < vertices.size(); i += 3) {
        const float sx = 800.0f * vertices[i] / 2000.0f;
        const float sy = 800.0f * vertices[i + 1] / 2000.0f;
        if (std::abs(sx) <= 511.0f && std::abs(sy) <= 399.0f) {
            const int column = 511 + static_cast<int>(sx);
            const int row = 399 - static_cast<int>(sy);
            frame_buffer.pixels[static_cast<std::size_t>(row) * screen_width + column] = white;
        }
    }
}

TEST_F(Figures, HalfCircleStopsJustShortOfItsEnd) {
    const CirclePoints points = circle_points();
    ASSERT_EQ(points.whole.size(), 3 * 3'600u);
    ASSERT_EQ(points.upper_half.size(), 3 * 399'106u);

    // The half circle on its own: from (-200, 0) to (199.99991, 0.1875), reaching 80 columns
    // left of the centre but only 79 to the right, 80 rows up at its top.
    light_unturned(points.upper_half);
    const std::set<Pixel> half = lit_pixels();
    EXPECT_EQ(half.size(), 315u);
    EXPECT_EQ(half.begin()->first, 431);
    EXPECT_EQ(half.rbegin()->first, 590);
    EXPECT_TRUE(half.contains({431, 399}));
    EXPECT_TRUE(half.contains({590, 399}));
    int highest = 399;
    for (const auto& [column, row] : half) {
        highest = std::min(highest, row);
        EXPECT_LE(row, 399) << column;
    }
    EXPECT_EQ(highest, 319);

    // The whole circle's 3,600 points miss a few pixels that the dense half circle fills.
    light_unturned(points.whole);
    const auto expected = std::make_unique<FrameBuffer>(frame_buffer);
    frame_buffer = FrameBuffer{};
    draw_circle();
    EXPECT_TRUE(frames_match(frame_buffer, *expected, "circle"));

    ASSERT_NE(render_state.current_point, nullptr);
    EXPECT_EQ(render_state.current_point->x, 199.99991f);
    EXPECT_EQ(render_state.current_point->y, 0.1875f);
    EXPECT_EQ(render_state.tz, 0.0f);
}

}  // namespace
