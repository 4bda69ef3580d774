#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "common/frame_buffer.h"
#include "present/present.h"

namespace {

// In the ANSI code page, Windows-1252: 0xE8 is è and 0xEA is ê.
constexpr const char* window_title = "Notre premi\xE8re fen\xEAtre";
constexpr const char* class_name = "Classe 1";
constexpr DWORD window_style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;

WNDCLASSA window_class;
HINSTANCE instance_handle;
HWND window_handle;
HDC window_dc;
PAINTSTRUCT paint_info;

// The frame buffer as it lies in memory, told to GDI once: 32 bits a pixel, row 0 at the top
// (hence the negative height). GDI converts it to whatever depth the display has.
const BITMAPINFO frame_format{.bmiHeader = {.biSize = sizeof(BITMAPINFOHEADER),
                                            .biWidth = screen_width,
                                            .biHeight = -screen_height,
                                            .biPlanes = 1,
                                            .biBitCount = 32,
                                            .biCompression = BI_RGB,
                                            .biSizeImage = 0,
                                            .biXPelsPerMeter = 0,
                                            .biYPelsPerMeter = 0,
                                            .biClrUsed = 0,
                                            .biClrImportant = 0},
                              .bmiColors = {}};

// Painting is the frame loop's job: WM_PAINT is answered without painting or validating.
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_PAINT:
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wparam, lparam);
    }
}

// Straight from the frame buffer to the window: one copy, where a bitmap in between would take
// two (and a third longer under Wine).
void copy_frame_to_window() {
    SetDIBitsToDevice(window_dc, 0, 0, screen_width, screen_height, 0, 0, 0, screen_height,
                      frame_buffer.pixels, &frame_format, DIB_RGB_COLORS);
}

// Black beyond the frame when the window has been made larger than it: the class has no
// background brush and WM_PAINT paints nothing, so nothing else would cover what was there.
void clear_beyond_frame() {
    RECT client;
    GetClientRect(window_handle, &client);
    if (client.right > screen_width) {
        PatBlt(window_dc, screen_width, 0, client.right - screen_width, client.bottom, BLACKNESS);
    }
    if (client.bottom > screen_height) {
        PatBlt(window_dc, 0, screen_height, std::min<LONG>(client.right, screen_width),
               client.bottom - screen_height, BLACKNESS);
    }
}

// Handles what is queued for the window without waiting, and tells whether the quit message
// that WM_DESTROY posts was among it. window_proc leaves a WM_PAINT unvalidated, so the
// platform would hand it out again at once: the drain stops at the first one, and the next
// frame's BeginPaint validates the window.
bool quit_requested() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            return true;
        }
        DispatchMessageA(&message);
        if (message.message == WM_PAINT) {
            return false;
        }
    }
    return false;
}

}  // namespace

void store_instance_handle() { instance_handle = GetModuleHandleA(nullptr); }

void init_window() {
    window_class.style = CS_VREDRAW | CS_HREDRAW;
    window_class.lpfnWndProc = window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance_handle;
    window_class.hIcon = nullptr;
    window_class.hCursor = nullptr;
    window_class.hbrBackground = nullptr;
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = class_name;
    RegisterClassA(&window_class);

    // The outer size that gives a client area of the whole frame.
    RECT outer{0, 0, screen_width, screen_height};
    AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
    window_handle =
        CreateWindowExA(0, class_name, window_title, window_style, CW_USEDEFAULT, CW_USEDEFAULT,
                        outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                        instance_handle, nullptr);
    if (window_handle == nullptr) {
        std::fprintf(stderr, "pointcloud: no window (error %lu); rendering without one\n",
                     GetLastError());
        return;
    }
    window_dc = GetDC(window_handle);
}

bool present_frame() {
    if (window_handle == nullptr) {
        return true;
    }
    BeginPaint(window_handle, &paint_info);
    copy_frame_to_window();
    clear_beyond_frame();
    EndPaint(window_handle, &paint_info);
    if (quit_requested()) {
        // The window is destroyed already; later frames have nowhere to go.
        window_handle = nullptr;
        return false;
    }
    return true;
}

// Where the display goes away under Windows (or Wine's X client), the platform ends the
// process itself: the program never sees it.
bool display_lost() { return false; }
