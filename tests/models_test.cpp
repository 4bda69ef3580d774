#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "driver/frame_loop.h"
#include "scene/scene.h"
#include "test_support.h"

namespace {

constexpr float white_color = 16777215.0f;

// The models as compiled, copied before main runs: other tests call start_up, which scales the
// arrays in place.
const std::vector<Point> stored_rhino(rhino_points.begin(), rhino_points.end());
const std::vector<Point> stored_scenery(scenery_points.begin(), scenery_points.end());

struct Extent {
    Point low;
    Point high;
};

Extent extent_of(const std::vector<Point>& points) {
    Extent extent{points[0], points[0]};
    for (const Point& p : points) {
        extent.low = {std::min(extent.low.x, p.x), std::min(extent.low.y, p.y),
                      std::min(extent.low.z, p.z), 0.0f};
        extent.high = {std::max(extent.high.x, p.x), std::max(extent.high.y, p.y),
                       std::max(extent.high.z, p.z), 0.0f};
    }
    return extent;
}

bool position_before(const Point& a, const Point& b) {
    if (a.x != b.x) {
        return a.x < b.x;
    }
    if (a.y != b.y) {
        return a.y < b.y;
    }
    return a.z < b.z;
}

bool same_position(const Point& a, const Point& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

std::size_t distinct_positions(std::vector<Point> points) {
    std::sort(points.begin(), points.end(), position_before);
    return static_cast<std::size_t>(std::unique(points.begin(), points.end(), same_position) -
                                    points.begin());
}

std::size_t count_with_color(const std::vector<Point>& points, float color) {
    return static_cast<std::size_t>(std::count_if(
        points.begin(), points.end(), [color](const Point& p) { return p.color == color; }));
}

// The single point holding the least (or greatest) x; fails the test if it is shared.
Point only_point_at_x(const std::vector<Point>& points, float x) {
    std::vector<Point> found;
    std::copy_if(points.begin(), points.end(), std::back_inserter(found),
                 [x](const Point& p) { return p.x == x; });
    EXPECT_EQ(found.size(), 1u) << "points at x " << x;
    return found.front();
}

// Groups points that lie within `reach` of each other in the ground plane (x, z).
std::vector<std::vector<Point>> ground_clusters(const std::vector<Point>& points, float reach) {
    std::vector<std::vector<Point>> clusters;
    std::vector<bool> taken(points.size(), false);
    for (std::size_t seed = 0; seed < points.size(); ++seed) {
        if (taken[seed]) {
            continue;
        }
        taken[seed] = true;
        std::vector<Point> cluster{points[seed]};
        for (std::size_t grown = 0; grown < cluster.size(); ++grown) {
            for (std::size_t i = 0; i < points.size(); ++i) {
                if (!taken[i] && std::hypot(points[i].x - cluster[grown].x,
                                            points[i].z - cluster[grown].z) <= reach) {
                    taken[i] = true;
                    cluster.push_back(points[i]);
                }
            }
        }
        clusters.push_back(std::move(cluster));
    }
    return clusters;
}

Point centre_of(const std::vector<Point>& points) {
    Point sum{0.0f, 0.0f, 0.0f, 0.0f};
    for (const Point& p : points) {
        sum.x += p.x;
        sum.z += p.z;
    }
    const auto count = static_cast<float>(points.size());
    return {sum.x / count, 0.0f, sum.z / count, 0.0f};
}

TEST(EmbeddedModels, EveryEntryOfEachTableIsAPointOfItsColour) {
    // A table shorter than its array would leave zero points, black, at the end.
    EXPECT_EQ(count_with_color(stored_rhino, white_color), rhino_point_count);
    EXPECT_EQ(count_with_color(stored_scenery, blue), scenery_point_count);
}

void expect_extent(const std::vector<Point>& points, const Point& low, const Point& high) {
    const Extent extent = extent_of(points);
    EXPECT_EQ(extent.low.x, low.x);
    EXPECT_EQ(extent.high.x, high.x);
    EXPECT_EQ(extent.low.y, low.y);
    EXPECT_EQ(extent.high.y, high.y);
    EXPECT_EQ(extent.low.z, low.z);
    EXPECT_EQ(extent.high.z, high.z);
}

TEST(EmbeddedModels, StoredRangesAreExact) {
    expect_extent(stored_rhino, {-0.98339796f, -0.42795599f, -0.27197993f, 0.0f},
                  {0.98339796f, 0.44155097f, 0.27033198f, 0.0f});
    expect_extent(stored_scenery, {-216.628f, -19.4565f, -120.131f, 0.0f},
                  {294.894f, 184.146f, 581.594f, 0.0f});
}

TEST(EmbeddedModels, RhinocerosPointsNeverCoincideAndLandscapeCornersRepeat) {
    EXPECT_EQ(distinct_positions(stored_rhino), rhino_point_count);
    EXPECT_EQ(distinct_positions(stored_scenery), 82'014u);
}

TEST(Rhinoceros, HornTipIsTheLeastXHighOnTheHeadAndTailTipTheGreatest) {
    const Extent extent = extent_of(stored_rhino);
    const float middle_height = 0.5f * (extent.low.y + extent.high.y);
    const Point horn_tip = only_point_at_x(stored_rhino, extent.low.x);
    const Point tail_tip = only_point_at_x(stored_rhino, extent.high.x);
    // Both tips lie on the animal's middle plane.
    EXPECT_NEAR(horn_tip.z, 0.0f, 0.01f);
    EXPECT_NEAR(tail_tip.z, 0.0f, 0.01f);
    // The horn rises above the middle of the animal's height; the tail hangs lower, clear of
    // the ground.
    EXPECT_GT(horn_tip.y, middle_height);
    EXPECT_LT(tail_tip.y, horn_tip.y);
    EXPECT_GT(tail_tip.y, extent.low.y + 0.2f);
}

TEST(Rhinoceros, StandsOnFourSeparateFeetUnderItsBack) {
    const Extent extent = extent_of(stored_rhino);
    std::vector<Point> lowest;
    std::copy_if(stored_rhino.begin(), stored_rhino.end(), std::back_inserter(lowest),
                 [&](const Point& p) { return p.y <= extent.low.y + 0.01f; });
    std::vector<std::vector<Point>> feet = ground_clusters(lowest, 0.05f);
    ASSERT_EQ(feet.size(), 4u);
    std::vector<Point> centres;
    centres.reserve(feet.size());
    for (const std::vector<Point>& foot : feet) {
        centres.push_back(centre_of(foot));
    }
    // Two feet in front and two behind, one on each side.
    std::sort(centres.begin(), centres.end(), position_before);
    EXPECT_LT(centres[1].x, 0.0f);
    EXPECT_GT(centres[2].x, 0.0f);
    EXPECT_LT(std::min(centres[0].z, centres[1].z), 0.0f);
    EXPECT_GT(std::max(centres[0].z, centres[1].z), 0.0f);
    EXPECT_LT(std::min(centres[2].z, centres[3].z), 0.0f);
    EXPECT_GT(std::max(centres[2].z, centres[3].z), 0.0f);
    // The top of the back lies between the front and the hind legs.
    const auto top = std::max_element(stored_rhino.begin(), stored_rhino.end(),
                                      [](const Point& a, const Point& b) { return a.y < b.y; });
    EXPECT_GT(top->x, centres[0].x);
    EXPECT_LT(top->x, centres[3].x);
}

TEST(Landscape, LiesMostlyOnLowGroundWithTallObjectsStanding) {
    std::size_t on_ground = 0;
    std::size_t high_up = 0;
    for (const Point& p : stored_scenery) {
        on_ground += p.y >= -1.0f && p.y <= 5.0f ? 1 : 0;
        high_up += p.y > 100.0f ? 1 : 0;
    }
    EXPECT_GT(on_ground, scenery_point_count / 2);
    EXPECT_GT(high_up, 1000u);
}

// The model with every coordinate multiplied by `factor`, as single-precision products.
std::vector<Point> multiplied(const std::vector<Point>& points, float factor) {
    std::vector<Point> result;
    result.reserve(points.size());
    for (const Point& p : points) {
        result.push_back({p.x * factor, p.y * factor, p.z * factor, p.color});
    }
    return result;
}

// How many points differ from `expected` in any field.
std::size_t differing_points(std::span<const Point> actual, const std::vector<Point>& expected) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        differing +=
            same_position(actual[i], expected[i]) && actual[i].color == expected[i].color ? 0 : 1;
    }
    return differing;
}

TEST(ScalePoints, MultipliesEveryCoordinateAndKeepsColour) {
    std::vector<Point> rhino = stored_rhino;
    scale_points(rhino, 450.0f);
    EXPECT_EQ(differing_points(rhino, multiplied(stored_rhino, 450.0f)), 0u);
    EXPECT_EQ(extent_of(rhino).high.x, 442.52908f);
    EXPECT_EQ(count_with_color(rhino, white_color), rhino_point_count);
    std::vector<Point> scenery = stored_scenery;
    scale_points(scenery, 5.0f);
    EXPECT_EQ(extent_of(scenery).high.z, 2907.97f);
    EXPECT_EQ(count_with_color(scenery, blue), scenery_point_count);
}

TEST(ScalePoints, TouchesOnlyTheFirstCountPoints) {
    const std::vector<Point> original{
        {1.0f, -2.0f, 3.0f, 9.0f}, {0.5f, 0.25f, -4.0f, 9.0f}, {7.0f, 8.0f, 9.0f, 9.0f}};
    std::vector<Point> points = original;
    scale_points(std::span(points).first(0), 3.0f);
    EXPECT_EQ(differing_points(points, original), 0u);
    scale_points(std::span(points).first(2), -2.0f);
    const std::vector<Point> expected{
        {-2.0f, 4.0f, -6.0f, 9.0f}, {-1.0f, -0.5f, 8.0f, 9.0f}, {7.0f, 8.0f, 9.0f, 9.0f}};
    EXPECT_EQ(differing_points(points, expected), 0u);
}

TEST(StartUp, ScalesEachModelExactlyOnce) {
    std::copy(stored_rhino.begin(), stored_rhino.end(), rhino_points.begin());
    std::copy(stored_scenery.begin(), stored_scenery.end(), scenery_points.begin());
    start_up(headless_platform(stdout));
    EXPECT_EQ(differing_points(rhino_points, multiplied(stored_rhino, 450.0f)), 0u);
    EXPECT_EQ(differing_points(scenery_points, multiplied(stored_scenery, 5.0f)), 0u);
}

}  // namespace
