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
