#include <SDL.h>

#ifdef POINTCLOUD_HAVE_X11
#include "present/present_sdl_xlib.h"
#endif
#ifdef POINTCLOUD_HAVE_XSHM
#include "present/present_sdl_xshm.h"
#endif
#ifdef POINTCLOUD_HAVE_WAYLAND
#include "present/present_sdl_wayland.h"
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common/frame_buffer.h"
#include "present/input_queue.h"
#include "present/present.h"

namespace {

constexpr const char* demo_title = "Notre première fenêtre";
constexpr int frame_pitch = screen_width * static_cast<int>(sizeof(std::uint32_t));

// How the frame reaches the window, chosen when the window is made, fastest first; a way that
// fails while showing a frame gives way to the ones after it.
enum class Path {
    x_images,        // X images of our own: shared and put without waiting where the server
                     // reads our memory, sent through the connection otherwise (24 or 32 bits)
    window_surface,  // the window's own pixels, converted by SDL and put with a wait
    eight_bit,       // 8-bit pixels of a colour cube, put with Xlib
    renderer,        // a streaming texture drawn by a renderer (deep colour, Wayland)
    none,            // nothing can show the frame: the loop renders on regardless
};

// The program's name in the lines on standard error.
const char* program_name = "pointcloud";
SDL_Window* window = nullptr;
bool lost_display = false;
Path path = Path::none;
SDL_Renderer* renderer = nullptr;
SDL_Texture* texture = nullptr;

void report_no_window(const char* reason) {
    std::fprintf(stderr, "%s: no window (%s); rendering without one\n", program_name, reason);
}

bool is_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Whether an X or Wayland client could reach a display here. Asked before SDL probes, because
// its Wayland client library complains on standard error where it finds no runtime directory.
// Where the user names a driver, or a default Wayland socket exists, SDL decides.
bool display_may_exist() {
#ifdef __linux__
    if (is_set("SDL_VIDEODRIVER") || is_set("DISPLAY") || is_set("WAYLAND_DISPLAY") ||
        is_set("WAYLAND_SOCKET")) {
        return true;
    }
    std::error_code error;
    return is_set("XDG_RUNTIME_DIR") &&
           std::filesystem::exists(
               std::filesystem::path(std::getenv("XDG_RUNTIME_DIR")) / "wayland-0", error);
#else
    return true;
#endif
}

// Black beyond the frame when the window has been made larger than it; opaque black where the
// surface has alpha (a 32-bit visual), which a compositor reads.
bool clear_beyond_frame(SDL_Surface* surface) {
    const Uint32 black = SDL_MapRGB(surface->format, 0, 0, 0);
    if (surface->w > screen_width) {
        const SDL_Rect right{screen_width, 0, surface->w - screen_width, surface->h};
        if (SDL_FillRect(surface, &right, black) != 0) {
            return false;
        }
    }
    if (surface->h > screen_height) {
        const SDL_Rect below{0, screen_height, std::min(surface->w, screen_width),
                             surface->h - screen_height};
        return SDL_FillRect(surface, &below, black) == 0;
    }
    return true;
}

// On X11 at 15, 16 and 24 bits the window surface is shared memory with the server; at 24
// bits its pixels are the frame's own and the conversion is a copy row by row. Gives false,
// with SDL's reason, where a step fails.
bool show_on_surface() {
    SDL_Surface* surface = SDL_GetWindowSurface(window);
    if (surface == nullptr || SDL_LockSurface(surface) != 0) {
        return false;
    }
    const bool converted =
        SDL_ConvertPixels(std::min(surface->w, screen_width), std::min(surface->h, screen_height),
                          SDL_PIXELFORMAT_XRGB8888, frame_buffer.pixels, frame_pitch,
                          surface->format->format, surface->pixels, surface->pitch) == 0;
    SDL_UnlockSurface(surface);
    return converted && clear_beyond_frame(surface) && SDL_UpdateWindowSurface(window) == 0;
}

bool open_renderer() {
    renderer = SDL_CreateRenderer(window, -1, 0);
    if (renderer == nullptr) {
        return false;
    }
    texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_XRGB8888, SDL_TEXTUREACCESS_STREAMING,
                                screen_width, screen_height);
    return texture != nullptr;
}

// The renderer's viewport follows the window's size, so the texture lands 1:1 at the top-left
// and the clear leaves black beyond it. Gives false, with SDL's reason, where a step fails
// (SDL_RenderPresent tells nothing).
bool show_with_renderer() {
    const SDL_Rect frame{0, 0, screen_width, screen_height};
    if (SDL_UpdateTexture(texture, nullptr, frame_buffer.pixels, frame_pitch) != 0 ||
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, SDL_ALPHA_OPAQUE) != 0 ||
        SDL_RenderClear(renderer) != 0 || SDL_RenderCopy(renderer, texture, nullptr, &frame) != 0) {
        return false;
    }
    SDL_RenderPresent(renderer);
    return true;
}

// The fastest way that works on this display, from `first` on (those before it have failed);
// the order matters, since a renderer that fails may already have re-created the window for
// OpenGL.
Path choose_path(Path first = Path::x_images) {
#ifdef POINTCLOUD_HAVE_XSHM
    if (first <= Path::x_images && open_x_images(window)) {
        return Path::x_images;
    }
#endif
    if (first <= Path::window_surface && SDL_GetWindowSurface(window) != nullptr) {
        return Path::window_surface;
    }
#ifdef POINTCLOUD_HAVE_X11
    if (open_eight_bit(window)) {
        return Path::eight_bit;
    }
#endif
    if (open_renderer()) {
        return Path::renderer;
    }
    std::fprintf(stderr, "%s: the window cannot show the frame (%s); rendering on\n", program_name,
                 SDL_GetError());
    return Path::none;
}

Key key_of(SDL_Keycode code) {
    switch (code) {
        case SDLK_SPACE:
            return Key::space;
        case SDLK_ESCAPE:
            return Key::escape;
        case SDLK_q:
            return Key::q;
        case SDLK_r:
            return Key::r;
        case SDLK_p:
            return Key::p;
        case SDLK_PLUS:
        case SDLK_EQUALS:  // + without Shift on most layouts
        case SDLK_KP_PLUS:
            return Key::plus;
        case SDLK_MINUS:
        case SDLK_KP_MINUS:
            return Key::minus;
        case SDLK_LEFT:
            return Key::left;
        case SDLK_RIGHT:
            return Key::right;
        case SDLK_UP:
            return Key::up;
        case SDLK_DOWN:
            return Key::down;
        default:
            return Key::other;
    }
}

Button button_of(Uint8 button) { return button == SDL_BUTTON_LEFT ? Button::left : Button::other; }

void queue_input(const SDL_Event& event) {
    InputEvent input{};
    switch (event.type) {
        case SDL_KEYDOWN:
            input = {InputKind::key_down, key_of(event.key.keysym.sym), Button::other, 0, 0, 0};
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            input = {
                event.type == SDL_MOUSEBUTTONDOWN ? InputKind::button_down : InputKind::button_up,
                Key::other,
                button_of(event.button.button),
                event.button.x,
                event.button.y,
                0};
            break;
        case SDL_MOUSEMOTION:
            input = {InputKind::pointer_moved, Key::other,     Button::other,
                     event.motion.x,           event.motion.y, 0};
            break;
        case SDL_MOUSEWHEEL:
            input = {
                InputKind::wheel,
                Key::other,
                Button::other,
                0,
                0,
                event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -event.wheel.y : event.wheel.y};
            break;
        default:
            return;
    }
    queue_input_event(input);
}

// Where the way chosen fails while showing a frame, the next way takes over: it is said once,
// since a way that failed is not tried again. (The 8-bit way's Xlib calls tell nothing at once:
// their errors reach Xlib's handlers.)
void fall_back_from_failed_path() {
    if (path == Path::x_images) {
#ifdef POINTCLOUD_HAVE_XSHM
        std::fprintf(stderr, "%s: the X server refused the %s; showing the frame another way\n",
                     program_name, x_images_shared() ? "shared images" : "images");
        close_x_images();
#endif
        path = choose_path(Path::window_surface);
    } else if (path == Path::window_surface) {
        std::fprintf(stderr, "%s: the window surface failed (%s); showing the frame another way\n",
                     program_name, SDL_GetError());
        path = choose_path(Path::eight_bit);
    } else {
        std::fprintf(stderr, "%s: the window failed to show the frame (%s); rendering on\n",
                     program_name, SDL_GetError());
        path = Path::none;
    }
}

// Whether a close request was among the events that came since the last frame; the input
// among them is queued. The display is read once a frame: reading it again after a Wayland
// connection has failed with events still queued spins for good inside the decoration library.
bool close_requested() {
    SDL_PumpEvents();
    bool requested = false;
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0) {
        requested = requested || event.type == SDL_QUIT;
        queue_input(event);
    }
    return requested;
}

// Whether the connection to the display has failed under the window. Only Wayland's is looked at
// here; a lost X server is reported by Xlib's own callback.
bool connection_failed() {
#ifdef POINTCLOUD_HAVE_WAYLAND
    return wayland_connection_failed(window);
#else
    return false;
#endif
}

void close_window() {
#ifdef POINTCLOUD_HAVE_XSHM
    close_x_images();
#endif
    if (renderer != nullptr) {
        SDL_DestroyRenderer(renderer);  // its textures with it
    }
    SDL_DestroyWindow(window);
    window = nullptr;
    SDL_Quit();
}

}  // namespace

// SDL keeps no module handle of the program's.
void store_instance_handle() {}

void init_window() { init_window_titled("pointcloud", demo_title); }

void init_window_titled(const char* program, const char* title) {
    program_name = program;
    if (!display_may_exist()) {
        report_no_window("no display");
        return;
    }
    // The window surface is then shared memory with the X server rather than an OpenGL
    // texture: about a millisecond a frame instead of seven to eleven.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        report_no_window(SDL_GetError());
        return;
    }
    // Where no display answers, SDL falls back to a driver that shows nothing.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) {
        report_no_window("no display");
        SDL_Quit();
        return;
    }
    window = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, screen_width,
                              screen_height, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (window == nullptr) {
        report_no_window(SDL_GetError());
        SDL_Quit();
        return;
    }
    path = choose_path();
#ifdef POINTCLOUD_HAVE_X11
    // After SDL's set-up, so that no handler of SDL's replaces it.
    if (std::strcmp(driver, "x11") == 0) {
        report_lost_display_in_one_line();
    }
#endif
}

bool present_frame() {
    if (window == nullptr) {
        return true;
    }
    bool shown = true;
    switch (path) {
        case Path::x_images:
#ifdef POINTCLOUD_HAVE_XSHM
            shown = show_x_image(window);
#endif
            break;
        case Path::window_surface:
            shown = show_on_surface();
            break;
        case Path::renderer:
            shown = show_with_renderer();
            break;
        case Path::eight_bit:
#ifdef POINTCLOUD_HAVE_X11
            show_eight_bit(window);
#endif
            break;
        case Path::none:
            break;
    }
    if (!shown) {
        fall_back_from_failed_path();
    }
    // A connection that failed while the frame was shown must not be read from again.
    if (connection_failed() || close_requested()) {
        if (connection_failed()) {
            std::fprintf(stderr, "%s: lost the connection to the display; ending\n", program_name);
            lost_display = true;
        }
        close_window();
        return false;
    }
    return true;
}

bool window_shown() { return window != nullptr && path != Path::none; }

void set_window_title(const char* title) {
    if (window != nullptr) {
        SDL_SetWindowTitle(window, title);
    }
}

bool display_lost() { return lost_display; }
