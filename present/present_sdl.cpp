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
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/frame_buffer.h"
#include "present/input_queue.h"
#include "present/present.h"

namespace {

constexpr const char* demo_title = "Notre première fenêtre";
constexpr int bytes_per_pixel = static_cast<int>(sizeof(std::uint32_t));

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
bool window_closed = false;
bool lost_display = false;
Path path = Path::none;
SDL_Renderer* renderer = nullptr;
// The size of the part of the frame that the window shows; none while that is empty.
SDL_Texture* texture = nullptr;
int texture_width = 0;
int texture_height = 0;
// The client area's size as the last `resized` event told it (or as it was made).
int told_width = 0;
int told_height = 0;
// Shift, as the last key event left it; button and pointer events carry no keys of their own.
bool shift_held = false;

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

// The part of a frame that an area of `width` × `height` shows from its top-left corner.
int shown_extent(int frame_extent, int area_extent) {
    return std::max(std::min(frame_extent, area_extent), 0);
}

// Black beyond the part of the frame shown (`width` × `height`) when the window is larger than
// it; opaque black where the surface has alpha (a 32-bit visual), which a compositor reads.
bool clear_beyond_frame(SDL_Surface* surface, int width, int height) {
    const Uint32 black = SDL_MapRGB(surface->format, 0, 0, 0);
    if (surface->w > width) {
        const SDL_Rect right{width, 0, surface->w - width, surface->h};
        if (SDL_FillRect(surface, &right, black) != 0) {
            return false;
        }
    }
    if (surface->h > height) {
        const SDL_Rect below{0, height, width, surface->h - height};
        return SDL_FillRect(surface, &below, black) == 0;
    }
    return true;
}

// On X11 at 15, 16 and 24 bits the window surface is shared memory with the server; at 24
// bits its pixels are the frame's own and the conversion is a copy row by row. The surface
// follows the window's size. Gives false, with SDL's reason, where a step fails.
bool show_on_surface(const FrameView& frame) {
    SDL_Surface* surface = SDL_GetWindowSurface(window);
    if (surface == nullptr || SDL_LockSurface(surface) != 0) {
        return false;
    }
    const int width = shown_extent(frame.width, surface->w);
    const int height = shown_extent(frame.height, surface->h);
    const bool converted = width == 0 || height == 0 ||
                           SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_XRGB8888, frame.pixels,
                                             frame.width * bytes_per_pixel, surface->format->format,
                                             surface->pixels, surface->pitch) == 0;
    SDL_UnlockSurface(surface);
    return converted && clear_beyond_frame(surface, width, height) &&
           SDL_UpdateWindowSurface(window) == 0;
}

// The texture at the size of the part of the frame shown, made anew when that changes.
bool size_texture(int width, int height) {
    if (width == texture_width && height == texture_height) {
        return true;
    }
    if (texture != nullptr) {
        SDL_DestroyTexture(texture);
        texture = nullptr;
    }
    texture_width = width;
    texture_height = height;
    if (width == 0 || height == 0) {
        return true;
    }
    texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_XRGB8888, SDL_TEXTUREACCESS_STREAMING,
                                width, height);
    return texture != nullptr;
}

// A renderer, with a texture of the window's size to show that it can make one.
bool open_renderer() {
    renderer = SDL_CreateRenderer(window, -1, 0);
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    return renderer != nullptr && size_texture(width, height);
}

// The renderer's viewport follows the window's size, so the texture lands 1:1 at the top-left
// and the clear leaves black beyond it. Gives false, with SDL's reason, where a step fails
// (SDL_RenderPresent tells nothing).
bool render_texture() {
    const SDL_Rect part{0, 0, texture_width, texture_height};
    if (SDL_SetRenderDrawColor(renderer, 0, 0, 0, SDL_ALPHA_OPAQUE) != 0 ||
        SDL_RenderClear(renderer) != 0 ||
        (texture != nullptr && SDL_RenderCopy(renderer, texture, nullptr, &part) != 0)) {
        return false;
    }
    SDL_RenderPresent(renderer);
    return true;
}

bool show_with_renderer(const FrameView& frame) {
    int window_width = 0;
    int window_height = 0;
    SDL_GetWindowSize(window, &window_width, &window_height);
    if (!size_texture(shown_extent(frame.width, window_width),
                      shown_extent(frame.height, window_height))) {
        return false;
    }
    // The texture's rows are taken from the frame's, a whole frame's row apart.
    return (texture == nullptr || SDL_UpdateTexture(texture, nullptr, frame.pixels,
                                                    frame.width * bytes_per_pixel) == 0) &&
           render_texture();
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
        case SDLK_e:
            return Key::e;
        case SDLK_f:
            return Key::f;
        case SDLK_PLUS:
        case SDLK_EQUALS:  // + without Shift on most layouts
        case SDLK_KP_PLUS:
            return Key::plus;
        case SDLK_MINUS:
        case SDLK_KP_MINUS:
            return Key::minus;
        case SDLK_LEFTBRACKET:
            return Key::left_bracket;
        case SDLK_RIGHTBRACKET:
            return Key::right_bracket;
        // SDL gives the keys of the top row their digits on every layout (AZERTY's too).
        case SDLK_1:
        case SDLK_KP_1:
            return Key::digit_1;
        case SDLK_2:
        case SDLK_KP_2:
            return Key::digit_2;
        case SDLK_3:
        case SDLK_KP_3:
            return Key::digit_3;
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

Button button_of(Uint8 button) {
    switch (button) {
        case SDL_BUTTON_LEFT:
            return Button::left;
        case SDL_BUTTON_RIGHT:
            return Button::right;
        case SDL_BUTTON_MIDDLE:
            return Button::middle;
        default:
            return Button::other;
    }
}

// Shows the last frame again, for a window that has been uncovered: what each way holds of it.
// Failures are left to the next frame to find.
void show_last_frame_again() {
    switch (path) {
        case Path::x_images:
#ifdef POINTCLOUD_HAVE_XSHM
            show_last_x_image_again(window);
#endif
            break;
        case Path::window_surface:
            // The surface holds it, unless the window's size has changed since; a `resized`
            // event then asks for a new frame.
            SDL_UpdateWindowSurface(window);
            break;
        case Path::eight_bit:
#ifdef POINTCLOUD_HAVE_X11
            show_eight_bit_again(window);
#endif
            break;
        case Path::renderer:
            render_texture();
            break;
        case Path::none:
            break;
    }
}

void handle_window_event(const SDL_WindowEvent& event) {
    if (event.event == SDL_WINDOWEVENT_EXPOSED) {
        show_last_frame_again();
    } else if (event.event == SDL_WINDOWEVENT_SIZE_CHANGED &&
               (event.data1 != told_width || event.data2 != told_height)) {
        told_width = event.data1;
        told_height = event.data2;
        InputEvent resized{InputKind::resized, Key::other, Button::other, 0, 0, 0};
        resized.width = told_width;
        resized.height = told_height;
        queue_input_event(resized);
    }
}

// Handles one of the window's events: input and changes of size are queued, an uncovered
// window is shown its last frame again. Gives true for a request to close.
bool handle_event(const SDL_Event& event) {
    InputEvent input{};
    switch (event.type) {
        case SDL_QUIT:
            return true;
        case SDL_WINDOWEVENT:
            handle_window_event(event.window);
            return false;
        case SDL_KEYDOWN:
            shift_held = (event.key.keysym.mod & KMOD_SHIFT) != 0;
            input = {InputKind::key_down, key_of(event.key.keysym.sym), Button::other, 0, 0, 0,
                     shift_held};
            break;
        case SDL_KEYUP:
            shift_held = (event.key.keysym.mod & KMOD_SHIFT) != 0;
            return false;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            input = {
                event.type == SDL_MOUSEBUTTONDOWN ? InputKind::button_down : InputKind::button_up,
                Key::other,
                button_of(event.button.button),
                event.button.x,
                event.button.y,
                0,
                shift_held};
            break;
        case SDL_MOUSEMOTION:
            input = {InputKind::pointer_moved, Key::other, Button::other, event.motion.x,
                     event.motion.y,           0,          shift_held};
            break;
        case SDL_MOUSEWHEEL:
            input = {
                InputKind::wheel,
                Key::other,
                Button::other,
                0,
                0,
                event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -event.wheel.y : event.wheel.y,
                shift_held};
            break;
        default:
            return false;
    }
    queue_input_event(input);
    return false;
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

// Whether a close request was among the events that came since the last frame; the others
// are handled. The display is read once a frame: reading it again after a Wayland connection
// has failed with events still queued spins for good inside the decoration library.
bool close_requested() {
    SDL_PumpEvents();
    bool requested = false;
    SDL_Event event;
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0) {
        requested = handle_event(event) || requested;
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
        renderer = nullptr;
        texture = nullptr;
    }
    SDL_DestroyWindow(window);
    window = nullptr;
    window_closed = true;
    SDL_Quit();
}

// Closes the window that has been asked to close or has lost its display, saying which.
void end_window() {
    if (connection_failed()) {
        std::fprintf(stderr, "%s: lost the connection to the display; ending\n", program_name);
        lost_display = true;
    }
    close_window();
}

// Waits until the display has events, or `timeout_ms` milliseconds have passed; what comes is
// left for close_requested.
void wait_for_events(int timeout_ms) {
#ifdef POINTCLOUD_HAVE_X11
    if (std::strcmp(SDL_GetCurrentVideoDriver(), "x11") == 0) {
        wait_for_x_events(window, timeout_ms);
        return;
    }
#endif
    SDL_WaitEventTimeout(nullptr, timeout_ms);
}

// Shows the frame the way chosen. Gives false, with the reason, where that way failed.
bool show_frame(const FrameView& frame) {
    switch (path) {
        case Path::x_images:
#ifdef POINTCLOUD_HAVE_XSHM
            return show_x_image(window, frame);
#else
            return true;
#endif
        case Path::window_surface:
            return show_on_surface(frame);
        case Path::renderer:
            return show_with_renderer(frame);
        case Path::eight_bit:
#ifdef POINTCLOUD_HAVE_X11
            if (!show_eight_bit(window, frame)) {
                SDL_SetError("no memory for the 8-bit image");
                return false;
            }
#endif
            return true;
        case Path::none:
            return true;
    }
    return true;
}

}  // namespace

// SDL keeps no module handle of the program's.
void store_instance_handle() {}

void init_window() { init_window_titled("pointcloud", demo_title); }

void init_window_titled(const char* program, const char* title) {
    init_window_sized(program, title, screen_width, screen_height);
}

void init_window_sized(const char* program, const char* title, int width, int height) {
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
    window = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width,
                              height, SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (window == nullptr) {
        report_no_window(SDL_GetError());
        SDL_Quit();
        return;
    }
    SDL_GetWindowSize(window, &told_width, &told_height);
    shift_held = (SDL_GetModState() & KMOD_SHIFT) != 0;
    path = choose_path();
#ifdef POINTCLOUD_HAVE_X11
    // After SDL's set-up, so that no handler of SDL's replaces it.
    if (std::strcmp(driver, "x11") == 0) {
        report_lost_display_in_one_line();
    }
#endif
}

bool present_frame() {
    return present_pixels(FrameView{frame_buffer.pixels, screen_width, screen_height});
}

bool present_pixels(const FrameView& frame) {
    if (window == nullptr) {
        return !window_closed;
    }
    if (!show_frame(frame)) {
        fall_back_from_failed_path();
    }
    // A connection that failed while the frame was shown must not be read from again.
    if (connection_failed() || close_requested()) {
        end_window();
        return false;
    }
    return true;
}

bool wait_for_input(int timeout_ms) {
    if (window == nullptr) {
        if (!window_closed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeout_ms, 0)));
        }
        return !window_closed;
    }
    const Uint64 deadline = SDL_GetTicks64() + static_cast<Uint64>(std::max(timeout_ms, 0));
    for (;;) {
        // As in present_pixels: a failed connection is not read from again.
        if (connection_failed() || close_requested()) {
            end_window();
            return false;
        }
        const Uint64 now = SDL_GetTicks64();
        if (input_event_waiting() || now >= deadline) {
            return true;
        }
        wait_for_events(static_cast<int>(deadline - now));
    }
}

bool window_shown() { return window != nullptr && path != Path::none; }

void window_client_size(int& width, int& height) {
    width = 0;
    height = 0;
    if (window != nullptr) {
        SDL_GetWindowSize(window, &width, &height);
    }
}

void set_window_title(const char* title) {
    if (window != nullptr) {
        SDL_SetWindowTitle(window, title);
    }
}

bool display_lost() { return lost_display; }
