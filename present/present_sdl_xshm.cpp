#include "present/present_sdl_xshm.h"

#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "present/pixel_rows.h"

namespace {

// How many pixels the server copies back when asked whether it reads our segments.
constexpr int probe_width = 64;

constexpr int native_byte_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;

struct OwnImage {
    XShmSegmentInfo segment{};
    XImage* image = nullptr;
    std::vector<std::uint32_t> plain_pixels;  // a plain image's pixels, sent with each put
    bool has_segment = false;                 // made and not yet marked for removal
    bool attached = false;                    // by the server, which has said nothing against it
    bool being_read = false;  // put, and the server's word that it has read it not yet taken
};

Display* x_display = nullptr;
Window x_window = 0;
Visual* x_visual = nullptr;  // the window's visual, on this way's connection
int x_depth = 0;
GC x_context = nullptr;
int completion_type = 0;
bool shared_memory = false;
// Set in every pixel put: on a 32-bit visual the bits beyond the colours are its alpha, which a
// compositor reads, and the frame's 0 there would make the window transparent.
std::uint32_t opaque_bits = 0;
// The images are the size of the part of the frame that the window shows; none while that is
// empty. Shared ones are two, used in turn; a plain one is enough, since its put sends it.
std::array<OwnImage, 2> images;
int image_width = 0;
int image_height = 0;
std::size_t next_image = 0;
const OwnImage* last_shown = nullptr;
bool request_refused = false;
XErrorHandler previous_error_handler = nullptr;

// Errors on this way's connection mean that it cannot show the frame; all others go on to the
// handler that was there before.
int note_refused_request(Display* display, XErrorEvent* error) {
    if (display == x_display) {
        request_refused = true;
        return 0;
    }
    return previous_error_handler != nullptr ? previous_error_handler(display, error) : 0;
}

// A visual whose pixels are the frame's own bytes: 8 bits a channel at the frame's places. SDL
// gives a direct-colour visual linear ramps, so its pixels are the colours too.
bool has_frame_pixels(const XWindowAttributes& attributes) {
    const Visual& visual = *attributes.visual;
    return (attributes.depth == 24 || attributes.depth == 32) &&
           (visual.c_class == TrueColor || visual.c_class == DirectColor) &&
           visual.red_mask == 0xFF0000 && visual.green_mask == 0x00FF00 &&
           visual.blue_mask == 0x0000FF;
}

// The same visual on this way's own connection.
Visual* visual_on_own_connection(const XWindowAttributes& attributes) {
    XVisualInfo wanted{};
    wanted.visualid = XVisualIDFromVisual(attributes.visual);
    int count = 0;
    XVisualInfo* found = XGetVisualInfo(x_display, VisualIDMask, &wanted, &count);
    if (found == nullptr) {
        return nullptr;
    }
    Visual* visual = found->visual;
    XFree(found);
    return visual;
}

// Opens this way's own connection to the window's display, with its graphics context. Gives
// false, leaving it to close_x_images, where it cannot.
bool open_connection(const SDL_SysWMinfo& info, const XWindowAttributes& attributes) {
    x_display = XOpenDisplay(XDisplayString(info.info.x11.display));
    if (x_display == nullptr) {
        return false;
    }
    x_window = info.info.x11.window;
    x_depth = attributes.depth;
    previous_error_handler = XSetErrorHandler(note_refused_request);
    x_context = XCreateGC(x_display, x_window, 0, nullptr);
    XSetForeground(x_display, x_context, opaque_bits);  // black
    x_visual = visual_on_own_connection(attributes);
    return x_visual != nullptr;
}

// Whether the connection runs through a Unix-domain socket, which only a server on this machine
// listens on, whatever the display's name ("localhost:10", SSH's, goes over the network). A
// server elsewhere would look the segments' ids up among its own machine's.
bool connected_on_this_machine() {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(ConnectionNumber(x_display), reinterpret_cast<sockaddr*>(&address),
                       &length) == 0 &&
           address.ss_family == AF_UNIX;
}

// An image of `width` × `height` in a new segment of shared memory, its pixels laid out as the
// frame's (32 bits each, in this machine's byte order); attached by the server after the next
// round trip, unless it refuses.
bool make_shared_image(OwnImage& own, int width, int height) {
    own.image =
        XShmCreateImage(x_display, x_visual, static_cast<unsigned>(x_depth), ZPixmap, nullptr,
                        &own.segment, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (own.image == nullptr || own.image->bits_per_pixel != 32 ||
        own.image->byte_order != native_byte_order) {
        return false;
    }
    const auto bytes = static_cast<std::size_t>(own.image->bytes_per_line) * height;
    own.segment.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (own.segment.shmid < 0) {
        return false;
    }
    own.has_segment = true;
    void* address = shmat(own.segment.shmid, nullptr, 0);
    if (reinterpret_cast<std::intptr_t>(address) == -1) {  // shmat's failure
        return false;
    }
    own.segment.shmaddr = static_cast<char*>(address);
    own.image->data = own.segment.shmaddr;
    own.segment.readOnly = True;
    return XShmAttach(x_display, &own.segment) != 0;
}

// Waits for the server to attach the segments made since the last wait, then marks them for
// removal: both sides hold them now, and they go when both let go of them, or the process ends.
// Gives false where the server refused one.
bool await_attached(OwnImage* first, OwnImage* last) {
    XSync(x_display, False);
    for (OwnImage* own = first; own != last; ++own) {
        shmctl(own->segment.shmid, IPC_RMID, nullptr);
        own->has_segment = false;
        own->attached = !request_refused;
    }
    return !request_refused;
}

// An image whose pixels go to the server with each put, through the connection.
bool make_plain_image(OwnImage& own, int width, int height) {
    own.plain_pixels.resize(static_cast<std::size_t>(width) * height);
    own.image = XCreateImage(x_display, x_visual, static_cast<unsigned>(x_depth), ZPixmap, 0,
                             reinterpret_cast<char*>(own.plain_pixels.data()),
                             static_cast<unsigned>(width), static_cast<unsigned>(height), 32,
                             width * static_cast<int>(sizeof(std::uint32_t)));
    if (own.image == nullptr || own.image->bits_per_pixel != 32) {
        return false;
    }
    // Xlib turns the pixels into the server's byte order on their way.
    own.image->byte_order = native_byte_order;
    return true;
}

void release_image(OwnImage& own) {
    if (own.image != nullptr) {
        own.image->data = nullptr;  // the segment's or the vector's, let go of here
        XDestroyImage(own.image);
    }
    if (own.attached) {
        XShmDetach(x_display, &own.segment);
    }
    if (own.segment.shmaddr != nullptr) {
        shmdt(own.segment.shmaddr);
    }
    if (own.has_segment) {
        shmctl(own.segment.shmid, IPC_RMID, nullptr);
    }
    own = OwnImage{};
}

// A pixel of the probe that another segment is most unlikely to hold at the same place.
std::uint32_t probe_pixel(int column) {
    return (static_cast<std::uint32_t>(column) + 1U) * 0x9E3779B9U ^
           static_cast<std::uint32_t>(getpid());
}

// Whether the server puts what the probe's segment holds: it copies it into a pixmap, which is
// read back through the connection.
bool server_puts_probe(const OwnImage& probe) {
    auto* row = reinterpret_cast<std::uint32_t*>(probe.image->data);
    for (int column = 0; column < probe_width; ++column) {
        row[column] = probe_pixel(column);
    }
    const Pixmap pixmap =
        XCreatePixmap(x_display, x_window, probe_width, 1, static_cast<unsigned>(x_depth));
    XShmPutImage(x_display, pixmap, x_context, probe.image, 0, 0, 0, 0, probe_width, 1, False);
    XImage* copy = XGetImage(x_display, pixmap, 0, 0, probe_width, 1, AllPlanes, ZPixmap);
    XFreePixmap(x_display, pixmap);
    const std::uint32_t depth_bits = x_depth == 32 ? 0xFFFFFFFFU : (1U << x_depth) - 1U;
    bool same = copy != nullptr && !request_refused;
    for (int column = 0; same && column < probe_width; ++column) {
        same = (XGetPixel(copy, column, 0) & depth_bits) == (probe_pixel(column) & depth_bits);
    }
    if (copy != nullptr) {
        XDestroyImage(copy);
    }
    return same;
}

// Whether the server reads our own segments. In a container with an IPC namespace of its own
// the same id names another segment where the server runs, which the server would show without a
// word; a server that refuses to attach one says so.
bool server_reads_our_memory() {
    if (!connected_on_this_machine() || XShmQueryExtension(x_display) == 0) {
        return false;
    }
    OwnImage probe;
    const bool reads = make_shared_image(probe, probe_width, 1) &&
                       await_attached(&probe, &probe + 1) && server_puts_probe(probe);
    release_image(probe);
    // Whatever the server refused is behind us: the images are made anew.
    XSync(x_display, False);
    request_refused = false;
    return reads;
}

void release_images() {
    for (OwnImage& own : images) {
        release_image(own);
    }
    image_width = 0;
    image_height = 0;
    next_image = 0;
    last_shown = nullptr;
}

// The images at a new size. Gives false where the server refuses them or memory runs out.
bool make_images(int width, int height) {
    release_images();
    if (width <= 0 || height <= 0) {
        return true;
    }
    bool made = true;
    if (shared_memory) {
        for (OwnImage& own : images) {
            made = made && make_shared_image(own, width, height);
        }
        made = made && await_attached(images.data(), images.data() + images.size());
    } else {
        made = make_plain_image(images[0], width, height);
    }
    image_width = width;
    image_height = height;
    return made;
}

// Marks the images whose completion events have come as free again.
void take_completions() {
    XEvent event;
    while (XCheckTypedEvent(x_display, completion_type, &event) != 0) {
        const auto& completion = reinterpret_cast<const XShmCompletionEvent&>(event);
        for (OwnImage& own : images) {
            if (own.attached && own.segment.shmseg == completion.shmseg) {
                own.being_read = false;
            }
        }
    }
}

// Where the server has not yet said that it has read the image, waits until it has handled every
// request sent so far: its word has then come, unless it refused the request.
bool wait_until_read(const OwnImage& own) {
    take_completions();
    if (own.being_read) {
        XSync(x_display, False);
        take_completions();
    }
    return !own.being_read && !request_refused;
}

// Has the server put the image into the window: a shared one read without being waited for,
// with word when it has (`tell_when_read`).
void put_image(const OwnImage& own, bool tell_when_read) {
    if (shared_memory) {
        XShmPutImage(x_display, x_window, x_context, own.image, 0, 0, 0, 0,
                     static_cast<unsigned>(image_width), static_cast<unsigned>(image_height),
                     tell_when_read ? True : False);
    } else {
        XPutImage(x_display, x_window, x_context, own.image, 0, 0, 0, 0,
                  static_cast<unsigned>(image_width), static_cast<unsigned>(image_height));
    }
}

// The window's background is not drawn by the server: black beyond the images is filled here.
void fill_beyond_images(SDL_Window* window) {
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    if (width > image_width) {
        XFillRectangle(x_display, x_window, x_context, image_width, 0,
                       static_cast<unsigned>(width - image_width), static_cast<unsigned>(height));
    }
    if (height > image_height) {
        XFillRectangle(x_display, x_window, x_context, 0, image_height,
                       static_cast<unsigned>(std::min(width, image_width)),
                       static_cast<unsigned>(height - image_height));
    }
}

}  // namespace

bool open_x_images(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    XWindowAttributes attributes;
    if (SDL_GetWindowWMInfo(window, &info) == SDL_FALSE || info.subsystem != SDL_SYSWM_X11 ||
        XGetWindowAttributes(info.info.x11.display, info.info.x11.window, &attributes) == 0 ||
        !has_frame_pixels(attributes)) {
        return false;
    }
    opaque_bits = attributes.depth == 32 ? 0xFF000000U : 0U;
    if (!open_connection(info, attributes)) {
        close_x_images();
        return false;
    }
    shared_memory = server_reads_our_memory();
    if (shared_memory) {
        completion_type = XShmGetEventBase(x_display) + ShmCompletion;
    }
    return true;
}

bool x_images_shared() { return shared_memory; }

bool show_x_image(SDL_Window* window, const FrameView& frame) {
    int window_width = 0;
    int window_height = 0;
    SDL_GetWindowSize(window, &window_width, &window_height);
    const int width = std::max(std::min(frame.width, window_width), 0);
    const int height = std::max(std::min(frame.height, window_height), 0);
    if ((width != image_width || height != image_height) && !make_images(width, height)) {
        return false;
    }
    fill_beyond_images(window);
    if (width > 0 && height > 0) {
        OwnImage& own = images[next_image];
        if (!wait_until_read(own)) {
            return false;
        }
        copy_pixel_rows(frame, width, height, own.image->data,
                        static_cast<std::size_t>(own.image->bytes_per_line), opaque_bits);
        put_image(own, true);
        own.being_read = shared_memory;
        last_shown = &own;
        if (shared_memory) {
            next_image = (next_image + 1) % images.size();
        }
    }
    XFlush(x_display);
    return !request_refused;
}

void show_last_x_image_again(SDL_Window* window) {
    fill_beyond_images(window);
    if (last_shown != nullptr) {
        put_image(*last_shown, false);
    }
    XSync(x_display, False);
}

void close_x_images() {
    if (x_display == nullptr) {
        return;
    }
    release_images();
    // Closing the connection lets the server's side of the segments go.
    XCloseDisplay(x_display);
    x_display = nullptr;
    x_visual = nullptr;
    x_context = nullptr;
    request_refused = false;
    shared_memory = false;
    XSetErrorHandler(previous_error_handler);
}
