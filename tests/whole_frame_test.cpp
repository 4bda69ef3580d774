#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"
#include "test_support.h"

namespace {

// The first frame of the animation computed straight from the maths, without the
// renderer's routines: the 100^3 lattice 1200 units apart from 60000 down to -58800, turned
// by angle_x -20 and angle_y 1, seen from 2000 units with 800 pixels of focal length. The
// products are grouped as the renderer groups them, since the grouping decides the pixel of
// a point that lies on a pixel boundary.
void compute_first_frame(FrameBuffer& frame) {
    const double radians = 0.017453292;
    const float cos_x = static_cast<float>(std::cos(-20 * radians));
    const float sin_x = static_cast<float>(std::sin(-20 * radians));
    const float cos_y = static_cast<float>(std::cos(1 * radians));
    const float sin_y = static_cast<float>(std::sin(1 * radians));
    const float cos_z = 1.0f;
    const float sin_z = 0.0f;
    const float a = cos_y * cos_z, b = -(cos_y * sin_z), c = -sin_y;
    const float d = cos_x * sin_z - sin_x * sin_y * cos_z;
    const float e = cos_x * cos_z + sin_x * sin_y * sin_z;
    const float f = -(sin_x * cos_y);
    const float g = sin_x * sin_z + cos_x * sin_y * cos_z;
    const float h = sin_x * cos_z - cos_x * sin_y * sin_z;
    const float k = cos_x * cos_y;

    for (int i = 0; i < 100; ++i) {
        for (int j = 0; j < 100; ++j) {
            for (int l = 0; l < 100; ++l) {
                const float x = 1200.0f * static_cast<float>(50 - i);
                const float y = 1200.0f * static_cast<float>(50 - j);
                const float z = 1200.0f * static_cast<float>(50 - l);
                const float tx = a * x + b * y + c * z;
                const float ty = d * x + e * y + f * z;
                const float tz = g * x + h * y + k * z;
                const float sx = 800.0f * tx / (tz + 2000.0f);
                const float sy = 800.0f * ty / (tz + 2000.0f);
                if (sx <= 511.0f && sx >= -511.0f && sy <= 399.0f && sy >= -399.0f) {
                    const int column = 511 + static_cast<int>(sx);
                    const int row = 399 - static_cast<int>(sy);
                    frame.pixels[row * 1024 + column] = 255;
                }
            }
        }
    }
}

TEST(WholeFrame, FirstFrameOfTheCubeMatchesTheMathsPixelForPixel) {
    reset_renderer();
    start_up(headless_platform(stdout));
    view_angles.angle_y = 1.0f;
    draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));

    const auto expected = std::make_unique<FrameBuffer>();
    compute_first_frame(*expected);

    EXPECT_TRUE(frames_match(frame_buffer, *expected, "first_frame"));
    // The lattice surrounds the viewer, so a good part of the screen is lit, in blue only.
    EXPECT_EQ(lit_pixel_count(frame_buffer), lit_pixel_count(*expected));
    EXPECT_EQ(lit_pixel_count(frame_buffer), 121'555u);
}

}  // namespace

namespace {

// FNV-1a over the bytes of a run of objects.
template <typename T>
std::uint64_t hash_of(const T* objects, std::size_t count, std::uint64_t hash) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(objects);
    for (std::size_t i = 0; i < count * sizeof(T); ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001B3u;
    }
    return hash;
}
constexpr std::uint64_t empty_hash = 0xCBF29CE484222325u;

std::uint64_t frame_hash() { return hash_of(frame_buffer.pixels, screen_pixel_count, empty_hash); }

// The same numbers on every target, compiler and build: these hashes were taken from the x86-64
// build, so a processor or compiler that computes one bit differently anywhere fails here.
TEST(Reproducibility, FramesFiguresAndPointSetsHashAsRecorded) {
    reset_renderer();
    start_up(headless_platform(stdout));
    std::uint64_t frames = empty_hash;
    for (const float angle_y : {1.0f, 90.0f, 181.0f, 300.0f}) {
        view_angles.angle_y = angle_y;
        clear_frame();
        draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
        frames = hash_of(&frames, 1, frame_hash());
    }
    EXPECT_EQ(frames, 12435760975607644441u);

    reset_renderer();
    view_angles = ViewAngles{-20.0f, 30.0f, 10.0f};
    draw_line(1000.0f);
    draw_circle();
    EXPECT_EQ(frame_hash(), 6433060145209417276u);

    // The embedded models are compiled from source that a test holds to its generator.
    const std::uint64_t sets = hash_of(plane_points.data(), plane_points.size(), empty_hash);
    EXPECT_EQ(hash_of(axis_points.data(), axis_points.size(), sets), 17219257338482683441u);
}

}  // namespace
