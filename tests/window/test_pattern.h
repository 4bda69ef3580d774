#pragma once

#include <cstdint>

// The pixel at (x, y) of the window tests' pattern at `width` × `height`. Of pure colours only
// (each channel 0 or 255), which every display shows exactly, at any depth. A white border one
// pixel wide marks the edges, so that the pattern of another size cannot match a window;
// inside, red alternates by column, green by row and blue by blocks of 3 × 5, so that a shift
// or a wrong length of row cannot either.
inline std::uint32_t pattern_pixel(int x, int y, int width, int height) {
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        return 0xFFFFFF;
    }
    const std::uint32_t red = x % 2 == 1 ? 0xFF0000U : 0U;
    const std::uint32_t green = y % 2 == 1 ? 0x00FF00U : 0U;
    const std::uint32_t blue = (x / 3 + y / 5) % 2 == 1 ? 0x0000FFU : 0U;
    return red | green | blue;
}
