#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A frame is rows of 32-bit pixels, row-major, row 0 at the top, each row right after the one
// before. A pixel is 0x00RRGGBB; 0 is black. Stored little-endian, its bytes come blue, green,
// red, then 0 — the byte order of a 32-bit device bitmap — so a frame is handed to the window
// as it is, described once; the window converts it to the display's depth.
//
// The demo's screen is one such frame of 1024 columns by 800 rows.
inline constexpr int screen_width = 1024;
inline constexpr int screen_height = 800;
inline constexpr std::size_t screen_pixel_count =
    static_cast<std::size_t>(screen_width) * screen_height;

struct FrameBuffer {
    alignas(64) std::uint32_t pixels[screen_pixel_count];
};
static_assert(sizeof(FrameBuffer) == 3'276'800);

// The one frame that is drawn, shown and cleared; zero (black) at start.
extern FrameBuffer frame_buffer;

// A frame of any size, its pixels as the screen's above, `width` to a row with no gap.
struct Frame {
    int width;
    int height;
    std::vector<std::uint32_t> pixels;
};

// A frame of any size to be shown (present_pixels): `width` × `height` pixels laid out as above,
// in memory the caller owns.
struct FrameView {
    const std::uint32_t* pixels;
    int width;
    int height;
};
