#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/frame_buffer.h"
#include "render/depth_draw.h"
#include "render/depth_paths.h"
#include "render/render.h"
#include "scene/scene.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t empty = ~std::uint64_t{0};
constexpr std::uint32_t red_pixel = 0xFF0000;
constexpr std::uint32_t blue_pixel = 0x0000FF;
constexpr std::uint32_t grey_background = 0x202020;

struct Way {
    DepthPath path;
    WorkerSharing sharing;
};

std::string name_of(const Way& way) {
    const char* const paths[] = {"scalar", "avx2", "avx512"};
    const char* const sharings[] = {" alone", " with the worker", " worker first", " worker holds"};
    return std::string(paths[static_cast<int>(way.path)]) + sharings[static_cast<int>(way.sharing)];
}

// Every path that this processor can take, alone, with the worker taking the first block, and
// with a worker that holds its block until the calling thread has done every other; and the
// best path shared as it ships.
std::vector<Way> supported_ways() {
    std::vector<Way> ways;
    for (const DepthPath path : {DepthPath::scalar, DepthPath::avx2, DepthPath::avx512}) {
        if (depth_path_supported(path)) {
            for (const WorkerSharing sharing :
                 {WorkerSharing::alone, WorkerSharing::worker_first, WorkerSharing::worker_holds}) {
                ways.push_back({path, sharing});
            }
        }
    }
    ways.push_back({best_depth_path(), WorkerSharing::with_worker});
    return ways;
}

// The word that each pixel ends with, whichever thread wrote it.
std::vector<std::uint64_t> nearest_words(const DepthFrame& depth) {
    std::vector<std::uint64_t> words(depth.words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = std::min(depth.words[i], depth.worker_words[i]);
    }
    return words;
}

template <class T>
::testing::AssertionResult same_values(const std::vector<T>& actual,
                                       const std::vector<T>& expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << actual.size() << " values, not " << expected.size();
    }
    std::size_t first = actual.size();
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            first = std::min(first, i);
            ++mismatches;
        }
    }
    if (mismatches == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << mismatches << " differ, the first at " << first << ": " << std::hex << actual[first]
           << " against " << expected[first];
}

struct Outcome {
    std::vector<std::uint64_t> words;
    Frame plain;
    Frame shaded;
};

constexpr EyeDome test_eye_dome{4.0f, 2};

// Draws the points twice into one depth frame (so that the second frame shows that the resolve
// emptied the words), resolving each, first plainly and then with eye-dome lighting.
Outcome draw_and_resolve(const Way& way, std::span<const Point> points, const DepthCamera& camera,
                         int width, int height) {
    DepthFrame depth = make_depth_frame(width, height);
    Outcome outcome;
    draw_points_depth_through(way.path, way.sharing, depth, points, camera);
    outcome.words = nearest_words(depth);
    resolve_depth_frame_through(way.path, way.sharing, depth, grey_background, no_eye_dome,
                                outcome.plain);
    draw_points_depth_through(way.path, way.sharing, depth, points, camera);
    resolve_depth_frame_through(way.path, way.sharing, depth, grey_background, test_eye_dome,
                                outcome.shaded);
    EXPECT_TRUE(
        same_values(nearest_words(depth), std::vector<std::uint64_t>(depth.words.size(), empty)))
        << "the words are not empty after the resolve";
    return outcome;
}

// Draws and resolves `points` through the scalar reference alone and through every way, and
// expects the same words and pixels.
void expect_every_way_matches(std::span<const Point> points, const DepthCamera& camera, int width,
                              int height, const std::string& what) {
    const Outcome reference =
        draw_and_resolve({DepthPath::scalar, WorkerSharing::alone}, points, camera, width, height);
    for (const Way& way : supported_ways()) {
        const Outcome outcome = draw_and_resolve(way, points, camera, width, height);
        const std::string where = what + ", " + name_of(way) + ", " + std::to_string(width) +
                                  " x " + std::to_string(height);
        EXPECT_TRUE(same_values(outcome.words, reference.words)) << where << ": words";
        EXPECT_TRUE(same_values(outcome.plain.pixels, reference.plain.pixels)) << where;
        EXPECT_TRUE(same_values(outcome.shaded.pixels, reference.shaded.pixels))
            << where << ", eye-dome lighting";
    }
}

// Points strewn through a box about the origin, some behind the viewer, in colours of their
// own; every fifth one at the depth and the pixel of the one before, in another colour, so
// that ties between colours count; and a few that are out of the ordinary.
std::vector<Point> random_cloud(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> across(-1500.0f, 1500.0f);
    std::uniform_real_distribution<float> along(-2600.0f, 1500.0f);
    std::uniform_int_distribution<std::uint32_t> color(0, 0xFFFFFF);
    std::vector<Point> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        points[i] =
            i % 5 == 4 ? points[i - 1] : Point{across(random), across(random), along(random), 0.0f};
        points[i].color = static_cast<float>(color(random));
    }
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const Point unusual[] = {{0, 0, -2000, 5},    {100, 0, -2000, 6},   {nan, 0, 0, 7},
                             {0, 0, infinity, 8}, {0, 0, -infinity, 9}, {3, 3, 0, nan},
                             {-3, 3, 0, -1.0f},   {1e30f, 0, 0, 10}};
    for (std::size_t i = 0; i < std::size(unusual) && i < count; ++i) {
        points[i * count / std::size(unusual)] = unusual[i];
    }
    return points;
}

DepthCamera turned_camera(const ViewAngles& angles, float scale, float pan_x, float pan_y,
                          float near_distance, int point_size) {
    DepthCamera camera = depth_camera(angles, scale);
    camera.pan_x = pan_x;
    camera.pan_y = pan_y;
    camera.near_distance = near_distance;
    camera.point_size = point_size;
    return camera;
}

TEST(DepthDraw, EveryPathAndSharingMatchesTheReference) {
    // More points than the worker's share needs, and a count that fills no block or vector.
    const std::vector<Point> cloud = random_cloud(150'003, 7);
    const struct {
        int width, height;
    } sizes[] = {{1024, 800}, {333, 257}, {64, 48}, {3, 2}, {1, 1}};
    const DepthCamera cameras[] = {
        turned_camera({0, 0, 0}, 1.0f, 0.0f, 0.0f, no_near_distance, 1),
        turned_camera({-20, 37, 0}, 1.5f, 120.0f, -40.5f, 300.0f, 1),
        turned_camera({30, 50, 70}, 0.7f, 0.0f, 0.0f, no_near_distance, 3),
        turned_camera({-10, 200, 5}, 1.0f, -300.0f, 10.0f, 1.0f, 16),
    };
    for (const auto& size : sizes) {
        for (std::size_t c = 0; c < std::size(cameras); ++c) {
            // Large points cost their area each: fewer of them, still more than one block.
            const std::size_t count = cameras[c].point_size == 1 ? cloud.size() : 40'003;
            expect_every_way_matches(std::span(cloud).first(count), cameras[c], size.width,
                                     size.height, "camera " + std::to_string(c));
        }
    }
    // Many points crowded onto a few pixels, each in its own colour and at one of a few depths,
    // so that both threads write the same words over and over.
    std::vector<Point> crowded(200'000);
    for (std::size_t i = 0; i < crowded.size(); ++i) {
        const float spot = static_cast<float>(i % 7) * 3.0f;
        crowded[i] = Point{spot, -spot, static_cast<float>(i % 3), static_cast<float>(i)};
    }
    expect_every_way_matches(crowded, depth_camera({0, 0, 0}, 1.0f), 64, 48, "crowded");
}

// The lattice drawn as the demo draws it, from the demo's frame.
std::unique_ptr<FrameBuffer> demo_frame(const ViewAngles& angles) {
    frame_buffer = FrameBuffer{};
    view_angles = angles;
    draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
    auto frame = std::make_unique<FrameBuffer>();
    std::memcpy(frame.get(), &frame_buffer, sizeof(FrameBuffer));
    return frame;
}

std::unique_ptr<FrameBuffer> as_frame_buffer(const Frame& frame) {
    auto buffer = std::make_unique<FrameBuffer>();
    std::memcpy(buffer->pixels, frame.pixels.data(), sizeof buffer->pixels);
    return buffer;
}

// At 1024 × 800, with a scale of 1, no pan, no near distance and points of one pixel, the
// depth-tested draw lights exactly the demo's pixels, points behind the viewer included.
TEST(DepthDraw, TheLatticeComesOutAsTheDemoDrawsIt) {
    build_cube(cube_points, 50.0f);
    DepthFrame depth = make_depth_frame(screen_width, screen_height);
    Frame frame;
    for (const float angle_y : {1.0f, 37.0f, 90.0f, 181.0f, 300.0f}) {
        const ViewAngles angles{-20.0f, angle_y, 0.0f};
        draw_points_depth(depth, cube_points, depth_camera(angles, 1.0f));
        resolve_depth_frame(depth, 0, no_eye_dome, frame);
        EXPECT_TRUE(frames_match(*as_frame_buffer(frame), *demo_frame(angles), "depth_lattice"))
            << "angle_y " << angle_y;
    }
    reset_renderer();
}

// A red square 1000 units nearer than a blue plane behind it, both facing the viewer, on a
// frame of 200 × 160 (6.4 units a pixel at the square, 12.8 at the plane).
std::vector<Point> square_before_plane(bool square_first) {
    std::vector<Point> plane;
    for (float x = -1400.0f; x <= 1400.0f; x += 6.0f) {
        for (float y = -1100.0f; y <= 1100.0f; y += 6.0f) {
            plane.push_back(Point{x, y, 0.0f, blue});
        }
    }
    std::vector<Point> square;
    for (float x = -200.0f; x <= 200.0f; x += 3.0f) {
        for (float y = -200.0f; y <= 200.0f; y += 3.0f) {
            square.push_back(Point{x, y, -1000.0f, red});
        }
    }
    std::vector<Point> points = square_first ? square : plane;
    const std::vector<Point>& second = square_first ? plane : square;
    points.insert(points.end(), second.begin(), second.end());
    return points;
}

constexpr int planes_width = 200;
constexpr int planes_height = 160;

Frame drawn_planes(DepthPath path, bool square_first, const EyeDome& eye_dome) {
    DepthFrame depth = make_depth_frame(planes_width, planes_height);
    draw_points_depth_through(path, WorkerSharing::alone, depth, square_before_plane(square_first),
                              depth_camera({0, 0, 0}, 1.0f));
    Frame frame;
    resolve_depth_frame_through(path, WorkerSharing::alone, depth, grey_background, eye_dome,
                                frame);
    return frame;
}

std::uint32_t pixel_of(const Frame& frame, int column, int row) {
    return frame.pixels[static_cast<std::size_t>(row) * frame.width + column];
}

// Whether a pixel of the plane has a pixel of the square among its eight neighbours at `radius`.
bool beside_the_square(const Frame& plain, int column, int row, int radius) {
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const int x = column + dx * radius;
            const int y = row + dy * radius;
            if (x >= 0 && x < plain.width && y >= 0 && y < plain.height &&
                pixel_of(plain, x, y) == red_pixel) {
                return true;
            }
        }
    }
    return false;
}

// Truncated toward zero, the offsets reach the first and the last two columns and rows only
// when exactly on the limits, and the plane's points seldom are.
bool inside_the_edges(int column, int row) {
    return column >= 1 && column <= planes_width - 3 && row >= 1 && row <= planes_height - 3;
}

TEST(DepthDraw, TheNearSquareShowsInFrontOfThePlaneWhicheverComesFirst) {
    for (const DepthPath path : {DepthPath::scalar, best_depth_path()}) {
        for (const bool square_first : {true, false}) {
            const Frame frame = drawn_planes(path, square_first, no_eye_dome);
            std::size_t red_pixels = 0;
            for (int row = 0; row < planes_height; ++row) {
                for (int column = 0; column < planes_width; ++column) {
                    const std::uint32_t pixel = pixel_of(frame, column, row);
                    // 400 units at 6.4 a pixel: columns 68 to 130 and rows 48 to 110 hold it.
                    const bool in_square = column >= 69 && column <= 129 && row >= 49 && row <= 109;
                    const bool clear_of_square =
                        column < 67 || column > 131 || row < 47 || row > 111;
                    if (in_square) {
                        EXPECT_EQ(pixel, red_pixel) << column << ", " << row;
                    } else if (clear_of_square && inside_the_edges(column, row)) {
                        EXPECT_EQ(pixel, blue_pixel) << column << ", " << row;
                    }
                    red_pixels += pixel == red_pixel ? 1 : 0;
                }
            }
            EXPECT_GT(red_pixels, 61u * 61u);
            if (HasFailure()) {
                return;
            }
        }
    }
}

// Eye-dome lighting darkens the plane where the square lies among a pixel's neighbours, and
// only there: the square, and the plane away from its edge, keep their colours exactly.
TEST(DepthDraw, EyeDomeLightingDarkensThePlaneAlongTheSquaresEdgeOnly) {
    for (const DepthPath path : {DepthPath::scalar, best_depth_path()}) {
        for (const int radius : {1, 2, 5}) {
            const Frame plain = drawn_planes(path, true, no_eye_dome);
            const Frame shaded = drawn_planes(path, true, EyeDome{2.0f, radius});
            std::size_t darkened = 0;
            for (int row = 0; row < planes_height; ++row) {
                for (int column = 0; column < planes_width; ++column) {
                    const std::uint32_t before = pixel_of(plain, column, row);
                    const std::uint32_t after = pixel_of(shaded, column, row);
                    if (before == blue_pixel && beside_the_square(plain, column, row, radius)) {
                        EXPECT_LT(after, blue_pixel) << column << ", " << row;
                        EXPECT_GT(after, 0u) << column << ", " << row;
                        ++darkened;
                    } else {
                        EXPECT_EQ(after, before) << column << ", " << row;
                    }
                }
            }
            // Four sides of about 61 pixels, each with `radius` rows of the plane beside it.
            EXPECT_GE(darkened, 4u * 60u * static_cast<unsigned>(radius));
            if (HasFailure()) {
                return;
            }
        }
    }
}

// log2 of the depth of a word, as the header has it: depths of 0 and below count as the
// smallest positive float's.
double log2_depth_of(std::uint64_t word) {
    const auto key = static_cast<std::uint32_t>(word >> 32);
    const float depth = key >= 0x80000000 ? std::bit_cast<float>(key - 0x80000000) : 0.0f;
    return std::log2(std::max(depth, std::numeric_limits<float>::min()));
}

// Each byte of the lit pixel within 2 of the colour times
// 2^(-strength · Σ max(0, log2 d - log2 d_n) / 8), computed here in double precision from the
// words, over frames tall enough for several blocks of rows.
TEST(DepthDraw, EyeDomeLightingFollowsItsFormula) {
    const std::vector<Point> cloud = random_cloud(100'000, 5);
    for (const DepthPath path : {DepthPath::scalar, best_depth_path()}) {
        for (const int radius : {1, 3, 8}) {
            const EyeDome eye_dome{3.0f, radius};
            DepthFrame depth = make_depth_frame(301, 203);
            draw_points_depth_through(path, WorkerSharing::alone, depth, cloud,
                                      depth_camera({-20, 37, 0}, 1.0f));
            const std::vector<std::uint64_t> words = nearest_words(depth);
            Frame frame;
            resolve_depth_frame_through(path, WorkerSharing::alone, depth, grey_background,
                                        eye_dome, frame);
            std::size_t darkened = 0;
            for (int row = 0; row < frame.height; ++row) {
                for (int column = 0; column < frame.width; ++column) {
                    const std::size_t index = static_cast<std::size_t>(row) * frame.width + column;
                    if (words[index] == empty) {
                        EXPECT_EQ(frame.pixels[index], grey_background);
                        continue;
                    }
                    double nearer = 0.0;
                    for (const auto& [dx, dy] : {std::pair{-1, 0},
                                                 {1, 0},
                                                 {0, -1},
                                                 {0, 1},
                                                 {-1, -1},
                                                 {1, -1},
                                                 {-1, 1},
                                                 {1, 1}}) {
                        const int x = column + dx * radius;
                        const int y = row + dy * radius;
                        const std::uint64_t neighbour =
                            x >= 0 && x < frame.width && y >= 0 && y < frame.height
                                ? words[static_cast<std::size_t>(y) * frame.width + x]
                                : empty;
                        if (neighbour != empty) {
                            nearer += std::max(
                                0.0, log2_depth_of(words[index]) - log2_depth_of(neighbour));
                        }
                    }
                    const double shade = std::exp2(-eye_dome.strength * nearer / 8.0);
                    darkened += shade < 0.99 ? 1 : 0;
                    for (int shift = 0; shift < 32; shift += 8) {
                        const double expected =
                            static_cast<double>((words[index] >> shift) & 0xFF) * shade;
                        const double lit =
                            static_cast<double>((frame.pixels[index] >> shift) & 0xFF);
                        EXPECT_NEAR(lit, expected, 2.0)
                            << column << ", " << row << ", radius " << radius;
                    }
                }
            }
            EXPECT_GT(darkened, 1000u);
            if (HasFailure()) {
                return;
            }
        }
    }
}

std::size_t lit_words(const DepthFrame& depth) {
    const std::vector<std::uint64_t> words = nearest_words(depth);
    return static_cast<std::size_t>(std::count_if(
        words.begin(), words.end(), [](std::uint64_t word) { return word != empty; }));
}

// A point of size N lights the N × N square about its pixel, from N/2 - 1/2 before it to N/2
// after (rounded down), clipped to the frame; the sanitizers would see a write outside.
TEST(DepthDraw, APointOfSizeNLightsItsSquareClippedToTheFrame) {
    // On a 4 × 4 frame the centre is pixel (1, 1) and a point 640 units across lands one pixel
    // off it, exactly: (0, 0) and (2, 2) are the corners a point can reach.
    const struct {
        int width, height;
        Point point;
        int column, row;
    } cases[] = {
        {64, 48, {0, 0, 0, red}, 31, 23},
        {4, 4, {-640, 640, 0, red}, 0, 0},
        {4, 4, {640, -640, 0, red}, 2, 2},
        {3, 2, {0, 0, 0, red}, 0, 0},
    };
    for (const DepthPath path : {DepthPath::scalar, best_depth_path()}) {
        for (const auto& c : cases) {
            for (int size = 1; size <= largest_point_size; ++size) {
                DepthFrame depth = make_depth_frame(c.width, c.height);
                DepthCamera camera = depth_camera({0, 0, 0}, 1.0f);
                camera.point_size = size;
                draw_points_depth_through(path, WorkerSharing::alone, depth,
                                          std::span<const Point>(&c.point, 1), camera);
                const int left = std::max(c.column - (size - 1) / 2, 0);
                const int right = std::min(c.column + size / 2, c.width - 1);
                const int top = std::max(c.row - (size - 1) / 2, 0);
                const int bottom = std::min(c.row + size / 2, c.height - 1);
                EXPECT_EQ(lit_words(depth),
                          static_cast<std::size_t>((right - left + 1) * (bottom - top + 1)))
                    << c.width << " x " << c.height << ", size " << size;
                for (int row = top; row <= bottom; ++row) {
                    for (int column = left; column <= right; ++column) {
                        EXPECT_NE(depth.words[static_cast<std::size_t>(row) * c.width + column],
                                  empty)
                            << column << ", " << row << ", size " << size;
                    }
                }
            }
        }
    }
}

// With a near distance, a point behind the viewer or nearer than it is not drawn; without one,
// the point behind comes out mirrored through the centre, as in the demo.
TEST(DepthDraw, TheNearDistanceLeavesOutPointsBehindOrTooNear) {
    // At depths -1000, 5 and 10: 80 pixels right of the centre (511, 399), mirrored; 480 right;
    // 400 left.
    const std::vector<Point> points{{-100, 0, -3000, red}, {3, 0, -1995, blue}, {-5, 0, -1990, 7}};
    for (const DepthPath path : {DepthPath::scalar, best_depth_path()}) {
        for (const float near_distance : {no_near_distance, 10.0f}) {
            DepthFrame depth = make_depth_frame(screen_width, screen_height);
            DepthCamera camera = depth_camera({0, 0, 0}, 1.0f);
            camera.near_distance = near_distance;
            draw_points_depth_through(path, WorkerSharing::alone, depth, points, camera);
            Frame frame;
            resolve_depth_frame_through(path, WorkerSharing::alone, depth, 0, no_eye_dome, frame);
            const bool all = near_distance == no_near_distance;
            EXPECT_EQ(pixel_of(frame, 511 + 80, 399), all ? red_pixel : 0);
            EXPECT_EQ(pixel_of(frame, 511 + 480, 399), all ? blue_pixel : 0);
            EXPECT_EQ(pixel_of(frame, 511 - 400, 399), 7u);
            EXPECT_EQ(lit_pixel_count(*as_frame_buffer(frame)), all ? 3u : 1u);
        }
    }
}

// A caller may free its points the moment a draw returns, even one whose worker held its block
// until the calling thread had done every other: a worker still reading them would touch memory
// given back to the system (a report under the sanitizers), and one still writing its words
// would leave them unfinished for the resolve.
TEST(DepthDraw, TheWorkerIsDoneWhenTheDrawReturns) {
    const std::vector<Point> cloud = random_cloud(100'003, 11);
    DepthFrame reference = make_depth_frame(64, 48);
    const DepthCamera camera = depth_camera({-20, 37, 0}, 1.0f);
    draw_points_depth_through(DepthPath::scalar, WorkerSharing::alone, reference, cloud, camera);
    for (int draw = 0; draw < 20; ++draw) {
        auto points = std::make_unique<std::vector<Point>>(cloud);
        DepthFrame depth = make_depth_frame(64, 48);
        draw_points_depth_through(best_depth_path(), WorkerSharing::worker_holds, depth, *points,
                                  camera);
        points.reset();
        EXPECT_TRUE(depth.worker_drew);
        EXPECT_TRUE(same_values(nearest_words(depth), nearest_words(reference)));
    }
}

#ifdef __linux__
int threads_of_this_process() {
    std::ifstream status("/proc/self/status");
    std::string field;
    while (status >> field) {
        if (field == "Threads:") {
            int threads = 0;
            status >> threads;
            return threads;
        }
    }
    return 0;
}

// With one processor to run on, the worker could only take turns with the drawing thread, so
// none may start, and the draw and the resolve run alone.
TEST(DepthDraw, TheWorkerStartsOnlyWithTwoProcessorsToRunOn) {
    const std::vector<Point> cloud = random_cloud(200'000, 3);
    DepthFrame depth = make_depth_frame(screen_width, screen_height);
    Frame frame;
    const int threads_before = threads_of_this_process();
    set_depth_draw_processors(1);
    draw_points_depth(depth, cloud, depth_camera({0, 0, 0}, 1.0f));
    EXPECT_FALSE(depth.worker_drew);
    resolve_depth_frame(depth, 0, test_eye_dome, frame);
    EXPECT_EQ(threads_of_this_process(), threads_before);
    set_depth_draw_processors(2);
    draw_points_depth(depth, cloud, depth_camera({0, 0, 0}, 1.0f));
    // Run with the other tests in one process, an earlier test may have started it already.
    const int threads_after = threads_of_this_process();
    EXPECT_GE(threads_after, 2);
    EXPECT_LE(threads_after, threads_before + 1);
}
#endif

}  // namespace
