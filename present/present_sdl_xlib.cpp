#include "present/present_sdl_xlib.h"

#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// At 8 bits a pixel SDL has no window surface and OpenGL no visual: Xlib then puts 8-bit
// pixels of a 6 x 6 x 6 colour cube. Black, white and the pure primaries are exact, any other
// colour goes to the nearest corner of the cube. The image, the size of the part of the frame
// that the window shows, and the graphics context live as long as the process, like the
// connection they belong to.
constexpr std::size_t cube_levels = 6;

Display* x_display = nullptr;
Window x_window = 0;
Visual* x_visual = nullptr;
GC x_context = nullptr;
XImage* x_image = nullptr;  // none while the part shown is empty
int image_width = 0;
int image_height = 0;
std::array<unsigned long, cube_levels * cube_levels * cube_levels> cube_pixels{};
std::vector<std::uint8_t> eight_bit_pixels;

// Xlib calls this when the connection to the X server fails, and ends the process itself if it
// returns; its own message depends on how the connection failed and may take several lines.
int report_lost_display(Display*) {
    std::fprintf(stderr, "pointcloud: lost the connection to the display; ending\n");
    std::exit(EXIT_FAILURE);
}

std::size_t nearest_level(std::uint32_t channel) {
    return (channel * (cube_levels - 1) + 127) / 255;
}

// A level of the cube in the bits of a channel's mask.
unsigned long level_in_mask(std::size_t level, unsigned long mask) {
    const int shift = std::countr_zero(mask);
    return ((level * (mask >> shift) + (cube_levels - 1) / 2) / (cube_levels - 1)) << shift;
}

// The colour-map cells that fill_cube has allocated, given back when the 8-bit way gives up.
Colormap allocated_from = 0;
std::size_t allocated_count = 0;

void free_allocated_colours() {
    if (allocated_count > 0) {
        XFreeColors(x_display, allocated_from, cube_pixels.data(),
                    static_cast<int>(allocated_count), 0);
        allocated_count = 0;
    }
}

// The pixel of each colour of the cube: from the channel masks where the visual has them (SDL
// gives a direct-colour visual linear ramps), otherwise allocated in the window's colour map.
// Gives false, having given back what it allocated, where the colour map runs out.
bool fill_cube(const XWindowAttributes& attributes) {
    const Visual& visual = *attributes.visual;
    const bool masked = visual.c_class == TrueColor || visual.c_class == DirectColor;
    for (std::size_t index = 0; index < cube_pixels.size(); ++index) {
        const std::size_t levels[3] = {index / (cube_levels * cube_levels),
                                       index / cube_levels % cube_levels, index % cube_levels};
        XColor colour{};
        colour.red = static_cast<unsigned short>(levels[0] * 65535 / (cube_levels - 1));
        colour.green = static_cast<unsigned short>(levels[1] * 65535 / (cube_levels - 1));
        colour.blue = static_cast<unsigned short>(levels[2] * 65535 / (cube_levels - 1));
        if (masked) {
            colour.pixel = level_in_mask(levels[0], visual.red_mask) |
                           level_in_mask(levels[1], visual.green_mask) |
                           level_in_mask(levels[2], visual.blue_mask);
        } else if (XAllocColor(x_display, attributes.colormap, &colour) != 0) {
            allocated_from = attributes.colormap;
            ++allocated_count;
        } else {
            free_allocated_colours();
            return false;
        }
        cube_pixels[index] = colour.pixel;
    }
    return true;
}

// The image at the size of the part shown, made anew when that changes. Gives false where
// memory runs out.
bool size_image(int width, int height) {
    if (width == image_width && height == image_height) {
        return true;
    }
    if (x_image != nullptr) {
        x_image->data = nullptr;  // the vector's
        XDestroyImage(x_image);
        x_image = nullptr;
    }
    image_width = width;
    image_height = height;
    if (width <= 0 || height <= 0) {
        return true;
    }
    eight_bit_pixels.resize(static_cast<std::size_t>(width) * height);
    x_image = XCreateImage(x_display, x_visual, 8, ZPixmap, 0,
                           reinterpret_cast<char*>(eight_bit_pixels.data()),
                           static_cast<unsigned>(width), static_cast<unsigned>(height), 8, width);
    return x_image != nullptr;
}

// Puts the image, black beyond it.
void put_image(SDL_Window* window) {
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    if (x_image != nullptr) {
        XPutImage(x_display, x_window, x_context, x_image, 0, 0, 0, 0,
                  static_cast<unsigned>(image_width), static_cast<unsigned>(image_height));
    }
    XSetForeground(x_display, x_context, cube_pixels[0]);
    XFillRectangle(x_display, x_window, x_context, image_width, 0,
                   static_cast<unsigned>(std::max(width - image_width, 0)),
                   static_cast<unsigned>(height));
    XFillRectangle(x_display, x_window, x_context, 0, image_height,
                   static_cast<unsigned>(image_width),
                   static_cast<unsigned>(std::max(height - image_height, 0)));
    XFlush(x_display);
}

}  // namespace

bool open_eight_bit(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    XWindowAttributes attributes;
    if (SDL_GetWindowWMInfo(window, &info) == SDL_FALSE || info.subsystem != SDL_SYSWM_X11 ||
        XGetWindowAttributes(info.info.x11.display, info.info.x11.window, &attributes) == 0 ||
        attributes.depth != 8) {
        return false;
    }
    x_display = info.info.x11.display;
    x_window = info.info.x11.window;
    x_visual = attributes.visual;
    if (!fill_cube(attributes)) {
        return false;
    }
    x_context = XCreateGC(x_display, x_window, 0, nullptr);
    return true;
}

bool show_eight_bit(SDL_Window* window, const FrameView& frame) {
    int window_width = 0;
    int window_height = 0;
    SDL_GetWindowSize(window, &window_width, &window_height);
    const int width = std::max(std::min(frame.width, window_width), 0);
    const int height = std::max(std::min(frame.height, window_height), 0);
    if (!size_image(width, height)) {
        return false;
    }
    for (int row = 0; row < height; ++row) {
        const std::uint32_t* from = frame.pixels + static_cast<std::size_t>(row) * frame.width;
        std::uint8_t* to = eight_bit_pixels.data() + static_cast<std::size_t>(row) * width;
        for (int column = 0; column < width; ++column) {
            const std::uint32_t pixel = from[column];
            const std::size_t index = (nearest_level((pixel >> 16) & 0xFF) * cube_levels +
                                       nearest_level((pixel >> 8) & 0xFF)) *
                                          cube_levels +
                                      nearest_level(pixel & 0xFF);
            to[column] = static_cast<std::uint8_t>(cube_pixels[index]);
        }
    }
    put_image(window);
    return true;
}

void show_eight_bit_again(SDL_Window* window) { put_image(window); }

void report_lost_display_in_one_line() { XSetIOErrorHandler(report_lost_display); }

void wait_for_x_events(SDL_Window* window, int timeout_ms) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window, &info) == SDL_FALSE || info.subsystem != SDL_SYSWM_X11) {
        return;
    }
    // Events Xlib has read already are not waited for.
    if (XPending(info.info.x11.display) > 0) {
        return;
    }
    pollfd connection{ConnectionNumber(info.info.x11.display), POLLIN, 0};
    poll(&connection, 1, timeout_ms);
}
