#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "scene/scene.h"

namespace {

constexpr Point untouched{-7.0f, -7.0f, -7.0f, -7.0f};

void expect_point(const Point& actual, const Point& expected) {
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
    EXPECT_EQ(actual.color, expected.color);
}

// Index of the first point that still holds the `untouched` marker.
std::size_t written_count(const std::vector<Point>& points) {
    std::size_t count = 0;
    while (count < points.size() && points[count].color != untouched.color) {
        ++count;
    }
    return count;
}

TEST(CubeLattice, StartUpLatticeHasItsCornersAndExactCount) {
    // One spare point past the end shows that nothing is written beyond the million.
    std::vector<Point> points(cube_point_count + 1, untouched);
    build_cube(std::span(points).first(cube_point_count), 50.0f);
    EXPECT_EQ(written_count(points), cube_point_count);
    expect_point(points[0], {60000, 60000, 60000, blue});
    expect_point(points[1], {60000, 60000, 58800, blue});
    expect_point(points[100], {60000, 58800, 60000, blue});
    expect_point(points[10'000], {58800, 60000, 60000, blue});
    expect_point(points[999'999], {-58800, -58800, -58800, blue});
    expect_point(points[cube_point_count], untouched);
}

TEST(CubeLattice, FractionalHalfExtentGivesCeilingOfTwiceItPerAxis) {
    std::vector<Point> points(200, untouched);
    build_cube(points, 2.5f);
    ASSERT_EQ(written_count(points), 125u);
    expect_point(points[0], {3000, 3000, 3000, blue});
    expect_point(points[124], {-1800, -1800, -1800, blue});
}

TEST(CubeLattice, EmptyHalfExtentsWriteNothing) {
    for (const float n : {0.0f, -0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::infinity()}) {
        std::vector<Point> points(10, untouched);
        build_cube(points, n);
        build_plane(points, n);
        EXPECT_EQ(written_count(points), 0u) << "half-extent " << n;
    }
}

TEST(CubeLattice, StopsAtTheEndOfASmallDestination) {
    std::vector<Point> points(11, untouched);
    build_cube(std::span(points).first(10), 50.0f);
    EXPECT_EQ(written_count(points), 10u);
    expect_point(points[9], {60000, 60000, 60000 - 9 * 1200, blue});
}

TEST(CubeLattice, CounterTooLargeToStepStillEnds) {
    // From 2^25 on, subtracting 1 leaves the float counter where it was.
    for (const float n : {33554432.0f, 1e30f, std::numeric_limits<float>::infinity()}) {
        std::vector<Point> points(6, untouched);
        build_cube(std::span(points).first(5), n);
        build_plane(std::span(points).first(5), n);
        EXPECT_EQ(written_count(points), 5u) << "half-extent " << n;
    }
}

TEST(PlaneLattice, StartUpPlaneHasItsCornersAndExactCount) {
    std::vector<Point> points(plane_point_count + 1, Point{});
    points.back() = untouched;
    build_plane(std::span(points).first(plane_point_count), 150.0f);
    expect_point(points[0], {1200, 0, 1200, blue});
    expect_point(points[1], {1200, 0, 1192, blue});
    expect_point(points[300], {1192, 0, 1200, blue});
    expect_point(points[89'999], {-1192, 0, -1192, blue});
    expect_point(points[plane_point_count], untouched);
}

TEST(PlaneLattice, LeavesYAsItFoundIt) {
    std::vector<Point> points(4, Point{0, 5.0f, 0, 0});
    build_plane(points, 1.0f);
    for (const Point& point : points) {
        EXPECT_EQ(point.y, 5.0f);
        EXPECT_EQ(point.color, blue);
    }
    expect_point(points[0], {8.0f, 5.0f, 8.0f, blue});
    expect_point(points[3], {0.0f, 5.0f, 0.0f, blue});
}

TEST(Axes, ThreeColouredRunsThroughTheOrigin) {
    std::vector<Point> points(axis_point_count + 1, untouched);
    build_axes(std::span(points).first(axis_point_count));
    expect_point(points[0], {-512, 0, 0, blue});
    expect_point(points[1023], {511, 0, 0, blue});
    expect_point(points[1024], {0, -400, 0, green});
    expect_point(points[1823], {0, 399, 0, green});
    expect_point(points[1824], {0, 0, -400, red});
    expect_point(points[2623], {0, 0, 399, red});
    expect_point(points[512], {0, 0, 0, blue});
    expect_point(points[1424], {0, 0, 0, green});
    expect_point(points[2224], {0, 0, 0, red});
    expect_point(points[axis_point_count], untouched);
}

TEST(Axes, StopAtTheEndOfASmallDestination) {
    std::vector<Point> points(1101, untouched);
    build_axes(std::span(points).first(1100));
    EXPECT_EQ(written_count(points), 1100u);
    expect_point(points[1099], {0, -400 + 75, 0, green});
}

}  // namespace
