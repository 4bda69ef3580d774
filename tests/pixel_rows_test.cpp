#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "present/pixel_rows.h"

namespace {

constexpr std::uint32_t untouched = 0xDEADBEEF;

// Copies the top-left `width` × `height` of a 37 × 5 frame into rows `pitch_pixels` apart that
// start `offset` pixels into a buffer (so at every alignment to 16 bytes), and checks every
// pixel of the buffer: the copied ones with `set_bits` set, all others as they were.
void expect_copy(int width, int height, std::size_t pitch_pixels, std::size_t offset,
                 std::uint32_t set_bits) {
    constexpr int frame_width = 37;
    constexpr int frame_height = 5;
    std::vector<std::uint32_t> frame(static_cast<std::size_t>(frame_width) * frame_height);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint32_t>(i) * 0x010203U & 0xFFFFFFU;
    }
    alignas(16) std::uint32_t buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), untouched);
    copy_pixel_rows(FrameView{frame.data(), frame_width, frame_height}, width, height,
                    reinterpret_cast<char*>(buffer + offset), pitch_pixels * sizeof(std::uint32_t),
                    set_bits);
    for (std::size_t i = 0; i < std::size(buffer); ++i) {
        const std::size_t row = (i - offset) / pitch_pixels;
        const std::size_t column = (i - offset) % pitch_pixels;
        const bool copied = i >= offset && row < static_cast<std::size_t>(height) &&
                            column < static_cast<std::size_t>(width);
        const std::uint32_t wanted =
            copied ? frame[row * frame_width + column] | set_bits : untouched;
        ASSERT_EQ(buffer[i], wanted) << width << " x " << height << ", pitch " << pitch_pixels
                                     << ", offset " << offset << ", pixel " << i;
    }
}

TEST(PixelRows, CopiesThePartOfTheFrameAtEveryWidthAndAlignmentWithTheBitsSet) {
    for (const std::uint32_t set_bits : {0U, 0xFF000000U}) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            for (int width = 0; width <= 37; ++width) {
                expect_copy(width, 5, 41, offset, set_bits);
            }
            // Rows packed with no gap, and a part of the frame's rows.
            expect_copy(13, 3, 13, offset, set_bits);
        }
    }
}

}  // namespace
