#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "render/render.h"

// Puts the renderer back in its state at program start: black frame, zero angles, zero
// working record.
inline void reset_renderer() {
    frame_buffer = FrameBuffer{};
    view_angles = ViewAngles{};
    render_state = RenderState{};
}

inline void no_window() {}
inline bool window_stays_open() { return true; }

// A platform without a window, whose clock stands at 0 and whose console is the given file.
inline Platform headless_platform(std::FILE* console) {
    return Platform{[] { return std::int32_t{0}; }, console, no_window, no_window,
                    window_stays_open};
}

inline std::uint32_t pixel_at(int column, int row) {
    return frame_buffer.pixels[static_cast<std::size_t>(row) * screen_width + column];
}

inline std::size_t lit_pixel_count(const FrameBuffer& frame) {
    std::size_t lit = 0;
    for (const std::uint32_t pixel : frame.pixels) {
        lit += pixel != 0 ? 1 : 0;
    }
    return lit;
}

inline bool frame_is_black(const FrameBuffer& frame) { return lit_pixel_count(frame) == 0; }

// Whether two frames are equal pixel for pixel. On any difference three pictures are written
// for a person to look at, and the failure message names them: `name`_actual.ppm,
// `name`_expected.ppm and `name`_difference.ppm, in which a pixel lit only in the actual frame
// is red, one lit only in the expected frame green, one lit in both but in other colours
// yellow, and the pixels that agree are grey where lit.
::testing::AssertionResult frames_match(const FrameBuffer& actual, const FrameBuffer& expected,
                                        const std::string& name);
