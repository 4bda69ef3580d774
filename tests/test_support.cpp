#include "test_support.h"

#include <fstream>

void write_frame_image(const FrameBuffer& frame, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << screen_width << ' ' << screen_height << "\n255\n";
    for (const std::uint32_t pixel : frame.pixels) {
        const char rgb[3] = {static_cast<char>(pixel >> 16), static_cast<char>(pixel >> 8),
                             static_cast<char>(pixel)};
        out.write(rgb, 3);
    }
}

std::size_t mismatched_pixels(const FrameBuffer& actual, const FrameBuffer& expected,
                              const std::string& name) {
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < screen_pixel_count; ++i) {
        mismatches += actual.pixels[i] != expected.pixels[i] ? 1 : 0;
    }
    if (mismatches != 0) {
        write_frame_image(actual, name + "_actual.ppm");
        write_frame_image(expected, name + "_expected.ppm");
    }
    return mismatches;
}
