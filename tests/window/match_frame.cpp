// Checks that a screenshot shows a frame of the animation exactly.
//
//   match_frame screenshot.ppm
//       Somewhere near the screenshot's top-left corner a 1024 x 800 area equals, pixel for
//       pixel, the frame that the renderer draws for one of the 360 steps of the turn.
//   match_frame --top-left screenshot.ppm
//       The screenshot is the window's client area, of any size: the part of the frame that
//       fits in it is shown 1:1 from its top-left corner, and all beyond the frame is black.
//
// Exits 0 and names the step and the area's position on a match, 1 otherwise.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

// How far from the window's corner the client area may start (frame and caption).
constexpr int max_offset = 64;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB
};

// Skips white space and '#' comments between the fields of a PPM header.
void skip_to_field(std::istream& in) {
    for (;;) {
        in >> std::ws;
        if (in.peek() != '#') {
            return;
        }
        std::string comment;
        std::getline(in, comment);
    }
}

bool read_ppm(const std::string& path, Image& image) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max_value = 0;
    in >> magic;
    skip_to_field(in);
    in >> image.width;
    skip_to_field(in);
    in >> image.height;
    skip_to_field(in);
    in >> max_value;
    in.get();
    if (!in || magic != "P6" || max_value != 255) {
        return false;
    }
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    for (std::uint32_t& pixel : image.pixels) {
        unsigned char rgb[3];
        in.read(reinterpret_cast<char*>(rgb), 3);
        pixel = (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
    }
    return static_cast<bool>(in);
}

// Compares the top-left `width` x `height` pixels of the frame with the image from (left, top).
bool frame_shown_at(const Image& image, int left, int top, int width, int height) {
    for (int row = 0; row < height; ++row) {
        const std::uint32_t* shown =
            &image.pixels[static_cast<std::size_t>(top + row) * image.width + left];
        const std::uint32_t* drawn = &frame_buffer.pixels[static_cast<std::size_t>(row) * 1024];
        for (int column = 0; column < width; ++column) {
            if (shown[column] != (drawn[column] & 0xFFFFFF)) {
                return false;
            }
        }
    }
    return true;
}

bool black_beyond_frame(const Image& image) {
    for (int row = 0; row < image.height; ++row) {
        for (int column = row < screen_height ? screen_width : 0; column < image.width; ++column) {
            if (image.pixels[static_cast<std::size_t>(row) * image.width + column] != 0) {
                return false;
            }
        }
    }
    return true;
}

void no_window() {}
bool window_stays_open() { return true; }

// Draws the frames of the whole turn and returns the first step that `shown` accepts, or 0.
template <typename Shown>
int matching_step(Shown shown) {
    start_up(Platform{elapsed_ticks, stdout, no_window, no_window, window_stays_open});
    for (int step = 1; step <= 360; ++step) {
        view_angles.angle_y = static_cast<float>(step);
        clear_frame();
        draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
        if (shown()) {
            return step;
        }
    }
    return 0;
}

int match_near_corner(const Image& image) {
    const int last_left = std::min(image.width - screen_width, max_offset);
    const int last_top = std::min(image.height - screen_height, max_offset);
    if (last_left < 0 || last_top < 0) {
        std::cerr << "screenshot of " << image.width << " x " << image.height
                  << " is smaller than a frame\n";
        return 1;
    }
    int left = 0;
    int top = 0;
    const int step = matching_step([&] {
        for (top = 0; top <= last_top; ++top) {
            for (left = 0; left <= last_left; ++left) {
                if (frame_shown_at(image, left, top, screen_width, screen_height)) {
                    return true;
                }
            }
        }
        return false;
    });
    if (step == 0) {
        std::cerr << "no frame of the turn matches the screenshot\n";
        return 1;
    }
    std::cout << "frame of angle_y " << step << " at (" << left << ", " << top << ")\n";
    return 0;
}

int match_at_top_left(const Image& image) {
    if (!black_beyond_frame(image)) {
        std::cerr << "the window is not black beyond the frame\n";
        return 1;
    }
    const int width = std::min(image.width, screen_width);
    const int height = std::min(image.height, screen_height);
    const int step = matching_step([&] { return frame_shown_at(image, 0, 0, width, height); });
    if (step == 0) {
        std::cerr << "no frame of the turn shows from the top-left corner\n";
        return 1;
    }
    std::cout << "frame of angle_y " << step << ", " << width << " x " << height
              << " of it in a window of " << image.width << " x " << image.height << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool top_left = argc == 3 && std::string(argv[1]) == "--top-left";
    Image image;
    if ((argc != 2 && !top_left) || !read_ppm(argv[argc - 1], image)) {
        std::cerr << "usage: match_frame [--top-left] screenshot.ppm (binary PPM, 8 bits)\n";
        return 2;
    }
    return top_left ? match_at_top_left(image) : match_near_corner(image);
}
