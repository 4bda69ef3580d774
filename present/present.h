#pragma once

#include <string>
#include <vector>

#include "common/frame_buffer.h"

// The window that shows frames: one per platform backend behind these routines. The demo's
// window has a client area of 1024 by 800 pixels and is titled "Notre première fenêtre"; a
// program may make its own of another size and title. The user may resize and maximise any of
// them. A frame is copied into the window 1:1 from the top-left corner, whatever the sizes of
// both: the part of the frame beyond the client area is not shown, and any part of the window
// beyond the frame is black.
//
// A frame is shown right at any colour depth of the display. Where no window can be made
// (no display), or the window cannot show frames, the routine that makes it says so in one line
// on standard error and nothing is shown, so the program renders on in memory. Where the
// connection to the display can fail later (X11), the process then ends with status 1 after
// one line on standard error.

// Makes sure that standard input, output and error are open, opening each one that is not on
// the null device, so that nothing opened later takes its place: a closed standard output would
// otherwise send the frame-rate lines into whatever came next (on X11, the connection to the
// display). The first thing the program does, before it opens anything.
void open_standard_streams();

// The program's arguments in UTF-8, the program's name first. On Windows they come from the
// wide-character command line, since `argv` there holds only what the ANSI code page can spell;
// elsewhere they are `argv` as it is.
std::vector<std::string> program_arguments(int argc, char** argv);

// How many processors the process may run on: those its affinity allows (taskset, start /affinity),
// not the machine's count; at least 1.
int usable_processor_count();

// Remembers the program's own module for the window class, where the platform has one.
void store_instance_handle();

// Creates the window once, at start-up, titled "Notre première fenêtre".
void init_window();

// Creates the window once, 1024 by 800, with a title of the caller's (UTF-8); `program` names the
// program in the lines it writes on standard error.
void init_window_titled(const char* program, const char* title);

// Creates the window once, its client area `width` by `height` pixels to start with.
void init_window_sized(const char* program, const char* title, int width, int height);

// Whether a window was made and shows frames.
bool window_shown();

// Sets the window's title (UTF-8), where there is a window.
void set_window_title(const char* title);

// The client area's size in pixels now, which the next frame may be drawn at: it changes as the
// user resizes or maximises the window (each change also comes as a `resized` input event), and
// may be 0 by 0 while the window is minimised, or where there is no window.
void window_client_size(int& width, int& height);

// Copies the frame buffer to the window, then handles the window's pending messages without
// waiting for any. Gives false once the window has been closed, true otherwise (also when
// there is no window at all).
bool present_frame();

// The same for a frame of any size. Where the window is uncovered while wait_for_input waits,
// it is painted again from the pixels of the last frame shown: keep them as they are until the
// next frame is shown.
bool present_pixels(const FrameView& frame);

// Waits until an input event is waiting to be taken (a change of the window's size among
// them), or the window has been closed, or `timeout_ms` milliseconds have passed, using no
// processor meanwhile; a window uncovered in the meantime is painted again with the last frame.
// Gives false once the window has been closed, true otherwise (also when there is no window at
// all, after the timeout).
bool wait_for_input(int timeout_ms);

// What the user did in the window. present_frame, present_pixels and wait_for_input gather these
// while they handle the window's messages, keeping the latest 256 that nobody has taken; a
// program that takes no input (the demo) never asks for them and loses nothing by it.
enum class InputKind { key_down, button_down, button_up, pointer_moved, wheel, resized };
// The keys by what they type without Shift on the user's layout (the digits also on the keypad).
enum class Key {
    other,
    space,
    escape,
    q,
    r,
    p,
    e,
    f,
    plus,
    minus,
    left_bracket,
    right_bracket,
    digit_1,
    digit_2,
    digit_3,
    left,
    right,
    up,
    down
};
enum class Button { left, right, middle, other };
struct InputEvent {
    InputKind kind;
    Key key;        // key_down
    Button button;  // button_down, button_up
    // The pointer in client-area pixels from the top-left corner: button_*, pointer_moved.
    int x;
    int y;
    // wheel: steps away from the user (zoom in) positive, towards the user negative.
    int wheel_steps;
    // Whether Shift was held: key_down, button_*, pointer_moved, wheel.
    bool shift = false;
    // resized: the client area's new size in pixels.
    int width = 0;
    int height = 0;
};

// Takes the oldest event gathered and not yet taken; false when there is none.
bool next_input_event(InputEvent& event);

// Whether the window ended because its display went away rather than by a close request; the
// program then ends with status 1. (Where Xlib notices a lost X display, it ends the process
// itself, after the same one line.)
bool display_lost();
