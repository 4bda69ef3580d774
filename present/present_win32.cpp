#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/frame_buffer.h"
#include "present/input_queue.h"
#include "present/present.h"

namespace {

// Titles come in UTF-8 and reach the window in UTF-16, through the wide routines: they read the
// same under any ANSI code page.
constexpr const char* window_title = "Notre première fenêtre";
constexpr const wchar_t* class_name = L"Classe 1";
constexpr DWORD window_style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;

// While the window is moved or resized, or its menu is open, Windows runs a loop of its own
// inside DispatchMessage. This timer wakes that loop to let the program draw a frame.
constexpr UINT_PTR frame_timer = 1;
constexpr UINT frame_timer_ms = 1;

const char* program_name = "pointcloud";
HINSTANCE instance_handle;
HWND window_handle;
HDC window_dc;
bool window_destroyed = false;
bool window_closed = false;
int wheel_remainder = 0;  // wheel travel short of a whole step, kept for the next message
// The last frame shown, which the window is painted with again where it has been covered.
FrameView last_frame{nullptr, 0, 0};
// The client area's size as the last `resized` event told it (or as it was made).
int told_width = 0;
int told_height = 0;

// The window's messages are handled on a fiber of their own. The frame loop switches to it to
// handle what is queued, and it switches back once the queue is empty, or, from inside the
// platform's own loop, on each tick of the frame timer: the frame loop then goes on from where
// it left off, in its own order, although the platform's loop has not returned.
LPVOID frame_loop_fiber;
LPVOID message_fiber;
bool on_message_fiber = false;

// A frame as it lies in memory, told to GDI: 32 bits a pixel, row 0 at the top (hence the
// negative height). GDI converts it to whatever depth the display has.
BITMAPINFO format_of(const FrameView& frame) {
    return BITMAPINFO{.bmiHeader = {.biSize = sizeof(BITMAPINFOHEADER),
                                    .biWidth = frame.width,
                                    .biHeight = -frame.height,
                                    .biPlanes = 1,
                                    .biBitCount = 32,
                                    .biCompression = BI_RGB,
                                    .biSizeImage = 0,
                                    .biXPelsPerMeter = 0,
                                    .biYPelsPerMeter = 0,
                                    .biClrUsed = 0,
                                    .biClrImportant = 0},
                      .bmiColors = {}};
}

std::wstring utf16_of(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    wide.pop_back();  // the terminator, which std::wstring keeps on its own
    return wide;
}

// Straight from the frame to the window: one copy, where a bitmap in between would take two
// (and a third longer under Wine). GDI leaves out what falls beyond the client area.
void copy_frame_to_window(HDC dc, const FrameView& frame) {
    if (frame.width > 0 && frame.height > 0) {
        const BITMAPINFO format = format_of(frame);
        SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(frame.width),
                          static_cast<DWORD>(frame.height), 0, 0, 0,
                          static_cast<UINT>(frame.height), frame.pixels, &format, DIB_RGB_COLORS);
    }
}

// Black beyond the frame when the window is larger than it: the class has no background
// brush, so nothing else would cover what was there.
void clear_beyond_frame(HDC dc, const FrameView& frame) {
    const int width = std::max(frame.width, 0);
    const int height = std::max(frame.height, 0);
    RECT client;
    GetClientRect(window_handle, &client);
    if (client.right > width) {
        PatBlt(dc, width, 0, client.right - width, client.bottom, BLACKNESS);
    }
    if (client.bottom > height) {
        PatBlt(dc, 0, height, std::min<LONG>(client.right, width), client.bottom - height,
               BLACKNESS);
    }
}

// Messages are handled only while the program waits in present_pixels, right after it has
// shown its frame, or in wait_for_input, before it draws the next one: the last frame's pixels
// are then as they were shown.
void repaint(HWND window) {
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    copy_frame_to_window(dc, last_frame);
    clear_beyond_frame(dc, last_frame);
    EndPaint(window, &paint);
}

// The per-monitor v2 awareness of the program's manifest, asked for again at run time where the
// manifest is not read; the first routine is in Windows 10 from 1703, the second since Vista.
void make_dpi_aware() {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) {
        return;
    }
    using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    using SetAware = BOOL(WINAPI*)();
    if (const auto set_context = reinterpret_cast<SetContext>(
            reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")))) {
        set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    } else if (const auto set_aware = reinterpret_cast<SetAware>(
                   reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDPIAware")))) {
        set_aware();
    }
}

// On a monitor of another scale the frame and borders change size: the client area keeps its
// size in device pixels, at the position the platform suggests.
void keep_client_size_at_dpi(HWND window, UINT dpi, const RECT& suggested) {
    using AdjustForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto adjust = reinterpret_cast<AdjustForDpi>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    RECT outer;
    GetClientRect(window, &outer);
    if (adjust == nullptr || adjust(&outer, WS_OVERLAPPEDWINDOW, FALSE, 0, dpi) == 0) {
        outer = {0, 0, suggested.right - suggested.left, suggested.bottom - suggested.top};
    }
    SetWindowPos(window, nullptr, suggested.left, suggested.top, outer.right - outer.left,
                 outer.bottom - outer.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The keys that type a character of their own on the user's layout, by that character.
Key key_of_character(UINT character) {
    switch (character) {
        case '[':
            return Key::left_bracket;
        case ']':
            return Key::right_bracket;
        default:
            return Key::other;
    }
}

Key key_of(WPARAM virtual_key) {
    switch (virtual_key) {
        case VK_SPACE:
            return Key::space;
        case VK_ESCAPE:
            return Key::escape;
        case 'Q':
            return Key::q;
        case 'R':
            return Key::r;
        case 'P':
            return Key::p;
        case 'E':
            return Key::e;
        case 'F':
            return Key::f;
        case VK_OEM_PLUS:  // the key that holds '+' on every layout
        case VK_ADD:
            return Key::plus;
        case VK_OEM_MINUS:
        case VK_SUBTRACT:
            return Key::minus;
        // The keys of the top row are the digits' on every layout (AZERTY's too).
        case '1':
        case VK_NUMPAD1:
            return Key::digit_1;
        case '2':
        case VK_NUMPAD2:
            return Key::digit_2;
        case '3':
        case VK_NUMPAD3:
            return Key::digit_3;
        case VK_LEFT:
            return Key::left;
        case VK_RIGHT:
            return Key::right;
        case VK_UP:
            return Key::up;
        case VK_DOWN:
            return Key::down;
        default:
            // The brackets sit on different keys from one layout to another. (The top bit
            // marks a dead key.)
            return key_of_character(
                MapVirtualKeyW(static_cast<UINT>(virtual_key), MAPVK_VK_TO_CHAR) & 0x7FFFFFFFU);
    }
}

// Shift as it was when the message was sent.
bool shift_held() { return GetKeyState(VK_SHIFT) < 0; }

void queue_key(WPARAM virtual_key) {
    queue_input_event(
        {InputKind::key_down, key_of(virtual_key), Button::other, 0, 0, 0, shift_held()});
}

// A drag that leaves the window still ends with its button's release: the pointer is captured
// while any button is held.
void queue_button(InputKind kind, Button button, WPARAM held, LPARAM position) {
    if (kind == InputKind::button_down) {
        SetCapture(window_handle);
    } else if ((held & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON | MK_XBUTTON1 | MK_XBUTTON2)) == 0) {
        ReleaseCapture();
    }
    queue_input_event({kind, Key::other, button, GET_X_LPARAM(position), GET_Y_LPARAM(position), 0,
                       (held & MK_SHIFT) != 0});
}

void queue_pointer(WPARAM held, LPARAM position) {
    queue_input_event({InputKind::pointer_moved, Key::other, Button::other, GET_X_LPARAM(position),
                       GET_Y_LPARAM(position), 0, (held & MK_SHIFT) != 0});
}

// Fine-grained wheels send parts of a step; they add up to whole ones.
void queue_wheel(WPARAM wparam) {
    wheel_remainder += GET_WHEEL_DELTA_WPARAM(wparam);
    const int steps = wheel_remainder / WHEEL_DELTA;
    if (steps != 0) {
        wheel_remainder -= steps * WHEEL_DELTA;
        queue_input_event({InputKind::wheel, Key::other, Button::other, 0, 0, steps,
                           (GET_KEYSTATE_WPARAM(wparam) & MK_SHIFT) != 0});
    }
}

// A new size of the client area; a minimised window keeps the size it had.
void queue_resize(WPARAM kind, LPARAM size) {
    const int width = LOWORD(size);
    const int height = HIWORD(size);
    if (kind != SIZE_MINIMIZED && (width != told_width || height != told_height)) {
        told_width = width;
        told_height = height;
        InputEvent resized{InputKind::resized, Key::other, Button::other, 0, 0, 0};
        resized.width = width;
        resized.height = height;
        queue_input_event(resized);
    }
}

// Gives the frame loop a turn from inside the platform's own loop; the frame loop switches
// back once it has shown its next frame.
void run_frame_loop_once() {
    if (on_message_fiber) {
        SwitchToFiber(frame_loop_fiber);
    }
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_PAINT:
            repaint(window);
            return 0;
        case WM_ENTERSIZEMOVE:
        case WM_ENTERMENULOOP:
            if (message_fiber != nullptr) {
                SetTimer(window, frame_timer, frame_timer_ms, nullptr);
            }
            return 0;
        case WM_EXITSIZEMOVE:
        case WM_EXITMENULOOP:
            KillTimer(window, frame_timer);
            return 0;
        case WM_TIMER:
            if (wparam == frame_timer) {
                run_frame_loop_once();
            }
            return 0;
        case WM_DPICHANGED: {
            // The message carries the suggested rectangle's address in its integer.
            const auto* suggested =
                reinterpret_cast<const RECT*>(lparam);  // NOLINT(performance-no-int-to-ptr)
            keep_client_size_at_dpi(window, HIWORD(wparam), *suggested);
            return 0;
        }
        case WM_KEYDOWN:
            queue_key(wparam);
            return 0;
        case WM_LBUTTONDOWN:
            queue_button(InputKind::button_down, Button::left, wparam, lparam);
            return 0;
        case WM_LBUTTONUP:
            queue_button(InputKind::button_up, Button::left, wparam, lparam);
            return 0;
        case WM_RBUTTONDOWN:
            queue_button(InputKind::button_down, Button::right, wparam, lparam);
            return 0;
        case WM_RBUTTONUP:
            queue_button(InputKind::button_up, Button::right, wparam, lparam);
            return 0;
        case WM_MBUTTONDOWN:
            queue_button(InputKind::button_down, Button::middle, wparam, lparam);
            return 0;
        case WM_MBUTTONUP:
            queue_button(InputKind::button_up, Button::middle, wparam, lparam);
            return 0;
        case WM_XBUTTONDOWN:
            queue_button(InputKind::button_down, Button::other, wparam, lparam);
            return TRUE;
        case WM_XBUTTONUP:
            queue_button(InputKind::button_up, Button::other, wparam, lparam);
            return TRUE;
        case WM_MOUSEMOVE:
            queue_pointer(wparam, lparam);
            return 0;
        case WM_SIZE:
            queue_resize(wparam, lparam);
            return 0;
        case WM_MOUSEWHEEL:
            queue_wheel(wparam);
            return 0;
        case WM_DESTROY:
            window_destroyed = true;
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

// Handles everything queued for the thread, without waiting for more.
void handle_queued_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void CALLBACK run_message_fiber(LPVOID) {
    for (;;) {
        handle_queued_messages();
        SwitchToFiber(frame_loop_fiber);
    }
}

// Without fibers the messages are handled on the frame loop's own stack, and the frames pause
// while the platform runs its own loop.
void start_message_fiber() {
    frame_loop_fiber = ConvertThreadToFiber(nullptr);
    if (frame_loop_fiber != nullptr) {
        message_fiber = CreateFiber(0, run_message_fiber, nullptr);
    }
    if (message_fiber == nullptr) {
        std::fprintf(stderr,
                     "%s: no fiber for the window's messages (error %lu); frames pause "
                     "while the window is moved\n",
                     program_name, GetLastError());
    }
}

void handle_messages() {
    if (message_fiber != nullptr) {
        on_message_fiber = true;
        SwitchToFiber(message_fiber);
        on_message_fiber = false;
    } else {
        handle_queued_messages();
    }
}

// The window is gone once it has been destroyed: later frames have nowhere to go.
bool window_ended() {
    if (!window_destroyed) {
        return false;
    }
    window_handle = nullptr;
    window_closed = true;
    if (message_fiber != nullptr) {
        DeleteFiber(message_fiber);
        message_fiber = nullptr;
    }
    return true;
}

}  // namespace

void store_instance_handle() { instance_handle = GetModuleHandleW(nullptr); }

void init_window() { init_window_titled("pointcloud", window_title); }

void init_window_titled(const char* program, const char* title) {
    init_window_sized(program, title, screen_width, screen_height);
}

void init_window_sized(const char* program, const char* title, int width, int height) {
    program_name = program;
    make_dpi_aware();

    WNDCLASSW window_class{};
    window_class.style = CS_VREDRAW | CS_HREDRAW;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance_handle;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);

    // The outer size that gives a client area of the size asked for.
    RECT outer{0, 0, width, height};
    AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
    told_width = width;
    told_height = height;
    window_handle =
        CreateWindowExW(0, class_name, utf16_of(title).c_str(), window_style, CW_USEDEFAULT,
                        CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                        nullptr, instance_handle, nullptr);
    if (window_handle == nullptr) {
        std::fprintf(stderr, "%s: no window (error %lu); rendering without one\n", program,
                     GetLastError());
        return;
    }
    window_dc = GetDC(window_handle);
    start_message_fiber();
}

bool window_shown() { return window_handle != nullptr; }

void set_window_title(const char* title) {
    if (window_handle != nullptr) {
        SetWindowTextW(window_handle, utf16_of(title).c_str());
    }
}

void window_client_size(int& width, int& height) {
    RECT client{0, 0, 0, 0};
    if (window_handle != nullptr) {
        GetClientRect(window_handle, &client);
    }
    width = client.right;
    height = client.bottom;
}

bool present_frame() {
    return present_pixels(FrameView{frame_buffer.pixels, screen_width, screen_height});
}

bool present_pixels(const FrameView& frame) {
    if (window_handle == nullptr) {
        return !window_closed;
    }
    last_frame = frame;
    copy_frame_to_window(window_dc, frame);
    clear_beyond_frame(window_dc, frame);
    handle_messages();
    return !window_ended();
}

bool wait_for_input(int timeout_ms) {
    if (window_handle == nullptr) {
        if (!window_closed) {
            Sleep(static_cast<DWORD>(std::max(timeout_ms, 0)));
        }
        return !window_closed;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeout_ms, 0));
    for (;;) {
        handle_messages();
        if (window_ended()) {
            return false;
        }
        const ULONGLONG now = GetTickCount64();
        if (input_event_waiting() || now >= deadline) {
            return true;
        }
        // Wakes for messages already seen but still queued too, not only for new ones.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

// Where the display goes away under Windows (or Wine's X client), the platform ends the
// process itself: the program never sees it.
bool display_lost() { return false; }
