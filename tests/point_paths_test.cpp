#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "render/point_paths.h"
#include "render/render.h"
#include "scene/scene.h"
#include "test_support.h"

// Every faster way of drawing points must leave exactly the frame and the render state that
// the plain reference loop leaves.

namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

struct Way {
    PointPath path;
    Sharing sharing;
};

std::string name_of(const Way& way) {
    const char* const paths[] = {"scalar", "avx2", "avx512"};
    const char* const sharings[] = {" alone", " with the helper", " helper first",
                                    " helper stalls"};
    return std::string(paths[static_cast<int>(way.path)]) + sharings[static_cast<int>(way.sharing)];
}

// Every path that this processor can take, the reference's own included, alone, with the
// helper logging blocks whatever the timing, and with a helper that stalls in the middle of a
// block until the draw is over; and the path of draw_points shared as it ships.
std::vector<Way> supported_ways() {
    std::vector<Way> ways;
    for (const PointPath path : {PointPath::scalar, PointPath::avx2, PointPath::avx512}) {
        if (point_path_supported(path)) {
            ways.push_back({path, Sharing::alone});
            ways.push_back({path, Sharing::helper_first});
            ways.push_back({path, Sharing::helper_stalls});
        }
    }
    ways.push_back({best_point_path(), Sharing::with_helper});
    return ways;
}

// Compared bit for bit, so that NaNs and signed zeros count too; field by field, since the
// record's padding holds nothing.
bool same_state(const RenderState& a, const RenderState& b) {
    const auto bits = [](const RenderState& s) {
        return std::array<std::uint32_t, 9>{
            std::bit_cast<std::uint32_t>(s.cos_x), std::bit_cast<std::uint32_t>(s.cos_y),
            std::bit_cast<std::uint32_t>(s.cos_z), std::bit_cast<std::uint32_t>(s.sin_x),
            std::bit_cast<std::uint32_t>(s.sin_y), std::bit_cast<std::uint32_t>(s.sin_z),
            std::bit_cast<std::uint32_t>(s.tx),    std::bit_cast<std::uint32_t>(s.ty),
            std::bit_cast<std::uint32_t>(s.tz)};
    };
    return bits(a) == bits(b) && a.current_point == b.current_point;
}

struct Outcome {
    std::unique_ptr<FrameBuffer> frame = std::make_unique<FrameBuffer>();
    RenderState state{};
};

// Draws on a frame that is not black, so that erasing to black shows as well.
template <class Draw>
void draw_into(Outcome& outcome, const Draw& draw) {
    frame_buffer = FrameBuffer{};
    for (std::size_t i = 0; i < screen_pixel_count; i += 97) {
        frame_buffer.pixels[i] = 0xABCDEF;
    }
    render_state = RenderState{};
    draw();
    std::memcpy(outcome.frame.get(), &frame_buffer, sizeof(FrameBuffer));
    outcome.state = render_state;
}

// Draws `points` through the reference and through every way, and expects the same outcome.
void expect_every_way_matches(const Point* points, std::int32_t count, const std::string& what) {
    Outcome reference;
    draw_into(reference, [&] { draw_points_scalar(points, count); });
    Outcome outcome;
    for (const Way& way : supported_ways()) {
        draw_into(outcome, [&] { draw_points_through(way.path, way.sharing, points, count); });
        EXPECT_TRUE(frames_match(*outcome.frame, *reference.frame, "paths"))
            << what << ", " << name_of(way) << ", count " << count;
        EXPECT_TRUE(same_state(outcome.state, reference.state))
            << what << ", " << name_of(way) << ", count " << count;
    }
}

// Points whose screen coordinate lies on, and a few floats either side of, each screen limit
// and each limit that a group may be dropped at, at several depths, in front of the viewer
// and behind; with angles 0 the point (x, y, z) gives sx = 800x / (z + 2000). At the depths
// -1705.86902 and 129206 some quotients just above 399 and 511 round down onto the limit, so
// a group dropped at fl(399·|d|) or fl(511·|d|) instead of 400 and 512 would lose a point.
std::vector<Point> points_around_the_limits() {
    std::vector<Point> points;
    float color = 1.0f;
    for (const float z :
         {0.0f, -1999.5f, -1705.86902f, -1000.0f, 333.3f, 5.0e4f, 129206.0f, -4000.0f, -1.0e6f}) {
        for (const float limit : {511.0f, 512.0f, 399.0f, 400.0f}) {
            for (const float sign : {1.0f, -1.0f}) {
                float across = sign * limit * (z + 2000.0f) / 800.0f;
                for (int step = 0; step < 6; ++step) {
                    across = std::nextafter(across, -infinity);
                }
                for (int step = 0; step < 13; ++step) {
                    const bool along_x = limit == 511.0f || limit == 512.0f;
                    points.push_back(along_x ? Point{across, 3.0f, z, color}
                                             : Point{-7.0f, across, z, color});
                    // Alone among far-off points, so that a kernel may drop its group whole.
                    points.insert(points.end(), 15, Point{1.0e5f, 0.0f, 0.0f, color});
                    across = std::nextafter(across, infinity);
                    color += 1.0f;
                }
            }
        }
    }
    return points;
}

// Everything else that is out of the ordinary, mixed between ordinary points.
std::vector<Point> unusual_points() {
    return {
        {0, 0, -2000, 5},         {100, 0, -2000, 6},
        {0, 100, -2000, 7},       {100, 0, -2000.5f, 8},
        {100, 0, -1999.5f, 9},    {1277.5f, 997.5f, 0, 10},
        {nan, 0, 0, 11},          {0, nan, 0, 12},
        {0, 0, nan, 13},          {infinity, 0, 0, 14},
        {0, -infinity, 0, 15},    {0, 0, infinity, 16},
        {0, 0, -infinity, 17},    {1e30f, 1e30f, 1e30f, 18},
        {1e-40f, -1e-40f, 0, 19}, {3, 3, 0, 0.0f},
        {3, 3, 0, 255.7f},        {3, 3, 0, nan},
        {-3, 3, 0, -1.0f},        {-3, 3, 0, 3e9f},
        {-3, 3, 0, 16777215.0f},  {40, -40, 0, 20},
        {40, -40, 0, 21},         {40.1f, -40.1f, 0, 0.0f},
        {-2, 2, 0, 22},           {2, -2, 0, 23},
        {5000, 200, -30000, 24},
    };
}

TEST(PointPaths, TheReferenceIsAlwaysSupported) {
    EXPECT_TRUE(point_path_supported(PointPath::scalar));
    EXPECT_TRUE(point_path_supported(best_point_path()));
}

TEST(PointPaths, UnusualPointsMatchTheReferenceAtEveryCountAndAngle) {
    std::vector<Point> points = points_around_the_limits();
    for (const Point& point : unusual_points()) {
        points.push_back(point);
    }
    const ViewAngles views[] = {{0, 0, 0}, {-20, 37, 0}, {-20, 45, 10}, {30, 50, 70}, {0, 0, 90}};
    for (const ViewAngles& view : views) {
        view_angles = view;
        expect_every_way_matches(points.data(), static_cast<std::int32_t>(points.size()), "all");
    }
    // Every count of the first points, so that each lane and each padding is the last.
    view_angles = ViewAngles{};
    const std::vector<Point> unusual = unusual_points();
    for (std::int32_t count = 1; count <= static_cast<std::int32_t>(unusual.size()); ++count) {
        expect_every_way_matches(unusual.data(), count, "unusual points");
    }
}

// Large sets, where the helper thread takes part: many points fall on a few pixels, each in
// a colour of its own, so the pixels show whether the last point in index order won.
std::vector<Point> crowded_points(std::size_t count, int visible_every) {
    std::vector<Point> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        const float spot = static_cast<float>(i % 7) * 3.0f;
        const bool visible = i % static_cast<std::size_t>(visible_every) == 0;
        // Off to the right, 40,000 pixels out, when not visible.
        points[i] = Point{visible ? spot : 1.0e5f, -spot, 0.0f, static_cast<float>(i)};
    }
    return points;
}

TEST(PointPaths, TheLastPointWinsWhenTheHelperShares) {
    view_angles = ViewAngles{};
    // Counts that do not fill the last block or the last vector.
    expect_every_way_matches(crowded_points(100'003, 3).data(), 100'003, "a third visible");
    // Every point visible, and more blocks than the helper's ring of logs holds, so the ring
    // goes round and the frame loop's thread plots the blocks after it.
    expect_every_way_matches(crowded_points(400'009, 1).data(), 400'009, "all visible");
}

// A caller may free its points the moment a draw returns, even one whose helper was held
// halfway through a block until the draw was over: a helper still reading them would touch
// memory given back to the system (a crash, or a report under the sanitizers).
TEST(PointPaths, TheHelperIsDoneWithThePointsWhenTheDrawReturns) {
    view_angles = ViewAngles{};
    for (int draw = 0; draw < 50; ++draw) {
        auto points = std::make_unique<std::vector<Point>>(crowded_points(100'003, 1));
        draw_points_through(best_point_path(), Sharing::helper_stalls, points->data(),
                            static_cast<std::int32_t>(points->size()));
        points.reset();
    }
}

// A helper that lost its processor in the middle of claiming a block may go on only after the
// draw has returned and the caller has freed the points: by then the block's slot holds the
// word of a block that the draw took on a later round of the ring, or the cleared word of the
// next draw. Either way it must give the block up unread, at every step of its claim where it
// can be held.
TEST(DrawingHelper, AHelperHeldInItsClaimGivesUpTheBlockOfADrawThatReturned) {
    view_angles = ViewAngles{};
    // 64 of the helper's blocks of 16,384 points.
    constexpr std::int32_t count = 64 * 16384;
    const std::vector<Point> next_points = crowded_points(count, 3);
    Outcome next_reference;
    draw_into(next_reference, [&] { draw_points_scalar(next_points.data(), count); });
    const PointPath path = best_point_path();
    for (const Sharing held :
         {Sharing::helper_held_before_reading_slot, Sharing::helper_held_after_reading_slot,
          Sharing::helper_held_before_saying_it_reads}) {
        for (const bool next_draw_lets_it_go : {false, true}) {
            auto points = std::make_unique<std::vector<Point>>(crowded_points(count, 1));
            Outcome reference;
            draw_into(reference, [&] { draw_points_scalar(points->data(), count); });
            Outcome outcome;
            draw_into(outcome, [&] { draw_points_through(path, held, points->data(), count); });
            points.reset();
            if (next_draw_lets_it_go) {
                // The next draw clears the ring and waits until the helper has logged its
                // first blocks, so the held helper has gone on before that draw's thread
                // takes any block.
                Outcome next;
                draw_into(next, [&] {
                    draw_points_through(path, Sharing::helper_first, next_points.data(), count);
                });
                EXPECT_TRUE(frames_match(*next.frame, *next_reference.frame, "held_next"));
            } else {
                release_held_helper();
            }
            EXPECT_TRUE(frames_match(*outcome.frame, *reference.frame, "held"))
                << "held at step " << static_cast<int>(held) << ", next draw lets it go "
                << next_draw_lets_it_go;
        }
    }
}

// Each draw with the helper has a number, which wraps round after 2^32 of them; the draws
// across the wrap must draw the same frames and return.
TEST(DrawingHelper, DrawsAcrossTheWrapOfTheirNumbersMatchTheReference) {
    view_angles = ViewAngles{};
    const std::vector<Point> points = crowded_points(100'003, 3);
    const auto count = static_cast<std::int32_t>(points.size());
    Outcome reference;
    draw_into(reference, [&] { draw_points_scalar(points.data(), count); });
    set_shared_draw_count(std::numeric_limits<std::uint32_t>::max() - 2);
    Outcome outcome;
    for (int draw = 0; draw < 6; ++draw) {
        const Sharing sharing = draw % 2 == 0 ? Sharing::helper_first : Sharing::helper_stalls;
        draw_into(outcome,
                  [&] { draw_points_through(best_point_path(), sharing, points.data(), count); });
        EXPECT_TRUE(frames_match(*outcome.frame, *reference.frame, "wrap")) << "draw " << draw;
    }
}

// The plain build compares every frame of the turn. The sanitizer builds look for memory
// faults rather than wrong pixels and an emulated build for the target's arithmetic; both run
// ten times slower or more, so every ninth frame will do.
#ifdef POINTCLOUD_SLOW_TESTS
constexpr int angle_step = 9;
#else
constexpr int angle_step = 1;
#endif

TEST(PointPaths, EveryFrameOfTheTurnMatchesTheReference) {
    reset_renderer();
    build_cube(cube_points, 50.0f);
    view_angles.angle_x = -20.0f;
    const auto count = static_cast<std::int32_t>(cube_points.size());
    for (int angle = 1; angle <= 360; angle += angle_step) {
        view_angles.angle_y = static_cast<float>(angle);
        expect_every_way_matches(cube_points.data(), count, "angle_y " + std::to_string(angle));
        if (HasFailure()) {
            return;
        }
    }
}

// With one processor to run on, a helper thread could only take turns with the drawing thread,
// so no draw may share its points; with two, a large one does. What draws have cost is
// forgotten before each: on a busy machine drawing alone may have paid lately.
TEST(DrawingHelper, SharesOnlyWithTwoProcessorsToRunOn) {
    build_cube(cube_points, 50.0f);
    const auto shares_with = [](int processors) {
        set_usable_processors(processors);
        forget_sharing_costs();
        draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
        return last_draw_shared();
    };
    EXPECT_FALSE(shares_with(1));
    EXPECT_TRUE(shares_with(2));
}

}  // namespace
