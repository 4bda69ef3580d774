#include <SDL.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/frame_buffer.h"
#include "present/present.h"

namespace {

constexpr const char* window_title = "Notre première fenêtre";

SDL_Window* window = nullptr;

bool is_headless_driver(const char* driver) {
    return driver != nullptr &&
           (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0);
}

void report_no_window(const char* reason) {
    std::fprintf(stderr, "pointcloud: no window (%s); rendering without one\n", reason);
}

// Black beyond the frame when the window has been made larger than it.
void clear_beyond_frame(SDL_Surface* surface) {
    if (surface->w > screen_width) {
        const SDL_Rect right{screen_width, 0, surface->w - screen_width, surface->h};
        SDL_FillRect(surface, &right, 0);
    }
    if (surface->h > screen_height) {
        const SDL_Rect below{0, screen_height, std::min(surface->w, screen_width),
                             surface->h - screen_height};
        SDL_FillRect(surface, &below, 0);
    }
}

// The frame buffer's pixels are XRGB8888, which is what the window surface holds on X11;
// the conversion is then a copy row by row, honouring the surface's pitch and size.
void copy_frame_to(SDL_Surface* surface) {
    const int width = std::min(surface->w, screen_width);
    const int height = std::min(surface->h, screen_height);
    SDL_LockSurface(surface);
    SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_XRGB8888, frame_buffer.pixels,
                      screen_width * static_cast<int>(sizeof(std::uint32_t)),
                      surface->format->format, surface->pixels, surface->pitch);
    SDL_UnlockSurface(surface);
}

// Xlib calls this when the connection to the X server fails, and ends the process itself if it
// returns; its own message depends on how the connection failed and may take several lines.
int report_lost_display(Display*) {
    std::fprintf(stderr, "pointcloud: lost the connection to the display; ending\n");
    std::exit(EXIT_FAILURE);
}

// Whether a close request was among the pending events.
bool close_requested() {
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) {
            return true;
        }
    }
    return false;
}

}  // namespace

// SDL keeps no module handle of the program's.
void store_instance_handle() {}

void init_window() {
    // The window surface is then shared memory with the X server rather than an OpenGL
    // texture: about a millisecond a frame instead of seven to eleven.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        report_no_window(SDL_GetError());
        return;
    }
    // Without a display SDL falls back to a driver that shows nothing.
    if (is_headless_driver(SDL_GetCurrentVideoDriver())) {
        report_no_window("no display");
        SDL_Quit();
        return;
    }
    window = SDL_CreateWindow(window_title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                              screen_width, screen_height, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (window == nullptr) {
        report_no_window(SDL_GetError());
        SDL_Quit();
        return;
    }
    // After SDL's set-up, so that no handler of SDL's replaces it.
    XSetIOErrorHandler(report_lost_display);
}

bool present_frame() {
    if (window == nullptr) {
        return true;
    }
    SDL_Surface* surface = SDL_GetWindowSurface(window);
    if (surface != nullptr) {
        copy_frame_to(surface);
        clear_beyond_frame(surface);
        SDL_UpdateWindowSurface(window);
    }
    if (close_requested()) {
        SDL_DestroyWindow(window);
        window = nullptr;
        SDL_Quit();
        return false;
    }
    return true;
}
