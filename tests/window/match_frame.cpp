// Checks that a window on the X display shows a frame of the animation.
//
//   match_frame WINDOW_ID
//       Somewhere near the window's top-left corner a 1024 x 800 area shows the frame that the
//       renderer draws for one of the 360 steps of the turn.
//   match_frame --top-left WINDOW_ID
//       The window is the client area, of any size: the part of the frame that fits in it is
//       shown 1:1 from its top-left corner, and all beyond the frame is black.
//   match_frame --pattern WIDTH HEIGHT WINDOW_ID
//       The window is the client area, of any size: the tests' pattern of WIDTH × HEIGHT
//       (test_pattern.h) is shown 1:1 from its top-left corner, exactly at any depth, and all
//       beyond it is black.
//
// The pixels are read from the server and decoded with the window's visual: its channel masks,
// or its colour map. Where the visual holds at least 8 bits a channel, the frame must be shown
// exactly (deeper channels are cut to their top 8 bits); at fewer bits the colours are
// quantised, and exactly the frame's lit pixels must be lit. Where the visual has bits beyond its
// colours (32 bits: alpha, which a compositor reads), every pixel must have them all set.
//
// Exits 0 and names the step and the area's position on a match; 1 otherwise, after writing
// what the window showed to window_shot.ppm.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"
#include "tests/window/test_pattern.h"

namespace {

// How far from the window's corner the client area may start (frame and caption).
constexpr int max_offset = 64;

struct Image {
    int width = 0;
    int height = 0;
    bool exact = false;                 // at least 8 bits a channel
    long transparent = 0;               // pixels with any alpha bit clear
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB
};

// The top 8 bits of the channel that `mask` selects from `pixel`.
std::uint32_t channel(unsigned long pixel, unsigned long mask) {
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const auto value = static_cast<std::uint32_t>((pixel & mask) >> shift);
    return bits >= 8 ? value >> (bits - 8) : value * 255 / ((1U << bits) - 1);
}

// The colours of every cell of a colour map, as 0x00RRGGBB.
std::vector<std::uint32_t> colour_map_of(Display* display, const XWindowAttributes& attributes) {
    std::vector<XColor> cells(static_cast<std::size_t>(attributes.visual->map_entries));
    for (std::size_t i = 0; i < cells.size(); ++i) {
        cells[i].pixel = i;
    }
    XQueryColors(display, attributes.colormap, cells.data(), static_cast<int>(cells.size()));
    std::vector<std::uint32_t> colours;
    colours.reserve(cells.size());
    for (const XColor& cell : cells) {
        colours.push_back(((cell.red >> 8U) << 16U) | ((cell.green >> 8U) << 8U) |
                          (cell.blue >> 8U));
    }
    return colours;
}

bool read_window(const char* id, Image& image) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    const Window window = std::strtoul(id, nullptr, 0);
    XWindowAttributes attributes;
    XImage* shot = nullptr;
    if (XGetWindowAttributes(display, window, &attributes) != 0) {
        shot = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes,
                         ZPixmap);
    }
    if (shot == nullptr) {
        XCloseDisplay(display);
        return false;
    }
    const Visual& visual = *attributes.visual;
    const bool masked = visual.c_class == TrueColor || visual.c_class == DirectColor;
    const std::vector<std::uint32_t> colours =
        masked ? std::vector<std::uint32_t>{} : colour_map_of(display, attributes);
    image.width = shot->width;
    image.height = shot->height;
    image.exact = masked && std::popcount(visual.red_mask) >= 8 &&
                  std::popcount(visual.green_mask) >= 8 && std::popcount(visual.blue_mask) >= 8;
    const unsigned long depth_bits =
        attributes.depth >= 32 ? 0xFFFFFFFFUL : (1UL << attributes.depth) - 1;
    const unsigned long alpha_bits =
        masked ? depth_bits & ~(visual.red_mask | visual.green_mask | visual.blue_mask) : 0;
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    for (int row = 0; row < image.height; ++row) {
        for (int column = 0; column < image.width; ++column) {
            const unsigned long pixel = XGetPixel(shot, column, row);
            image.transparent += (pixel & alpha_bits) != alpha_bits ? 1 : 0;
            image.pixels[static_cast<std::size_t>(row) * image.width + column] =
                masked ? (channel(pixel, visual.red_mask) << 16U) |
                             (channel(pixel, visual.green_mask) << 8U) |
                             channel(pixel, visual.blue_mask)
                       : colours.at(pixel);
        }
    }
    XDestroyImage(shot);
    XCloseDisplay(display);
    return true;
}

void write_ppm(const Image& image, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << image.width << ' ' << image.height << "\n255\n";
    for (const std::uint32_t pixel : image.pixels) {
        const char rgb[3] = {static_cast<char>(pixel >> 16U), static_cast<char>(pixel >> 8U),
                             static_cast<char>(pixel)};
        out.write(rgb, 3);
    }
}

// Compares the top-left `width` x `height` pixels of the frame with the image from (left, top).
bool frame_shown_at(const Image& image, int left, int top, int width, int height) {
    for (int row = 0; row < height; ++row) {
        const std::uint32_t* shown =
            &image.pixels[static_cast<std::size_t>(top + row) * image.width + left];
        const std::uint32_t* drawn =
            &frame_buffer.pixels[static_cast<std::size_t>(row) * screen_width];
        for (int column = 0; column < width; ++column) {
            const std::uint32_t colour = drawn[column] & 0xFFFFFFU;
            if (image.exact ? shown[column] != colour : (shown[column] != 0) != (colour != 0)) {
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
        std::cerr << "window of " << image.width << " x " << image.height
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
        std::cerr << "no frame of the turn matches the window\n";
        return 1;
    }
    std::cout << "frame of angle_y " << step << " at (" << left << ", " << top << ")"
              << (image.exact ? ", exactly" : ", its lit pixels") << "\n";
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

int match_pattern(const Image& image, int width, int height) {
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t shown = image.pixels[static_cast<std::size_t>(y) * image.width + x];
            const std::uint32_t wanted =
                x < width && y < height ? pattern_pixel(x, y, width, height) : 0;
            if (shown != wanted) {
                std::cerr << "the window of " << image.width << " x " << image.height
                          << " does not show the pattern of " << width << " x " << height
                          << ": at (" << x << ", " << y << ") " << std::hex << shown << " for "
                          << wanted << "\n";
                return 1;
            }
        }
    }
    std::cout << "the pattern of " << width << " x " << height << " in a window of " << image.width
              << " x " << image.height << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (!(argc == 2 || (argc == 3 && mode == "--top-left") || (argc == 5 && mode == "--pattern"))) {
        std::cerr << "usage: match_frame [--top-left | --pattern WIDTH HEIGHT] WINDOW_ID\n";
        return 2;
    }
    Image image;
    if (!read_window(argv[argc - 1], image)) {
        std::cerr << "cannot read window " << argv[argc - 1] << "\n";
        return 1;
    }
    int status = mode == "--pattern" ? match_pattern(image, std::atoi(argv[2]), std::atoi(argv[3]))
                 : mode == "--top-left" ? match_at_top_left(image)
                                        : match_near_corner(image);
    if (image.transparent > 0) {
        std::cerr << image.transparent << " pixels of the window are not opaque\n";
        status = 1;
    }
    if (status != 0) {
        write_ppm(image, "window_shot.ppm");
        std::cerr << "what the window showed is in window_shot.ppm\n";
    }
    return status;
}
