#pragma once

#include <string>
#include <vector>

// The window that shows the frame buffer: one per platform backend behind these routines. Its
// client area is 1024 by 800 pixels, titled "Notre première fenêtre", and the frame buffer is
// copied into it 1:1 from the top-left corner, whatever size the window is given later; any part of
// the window beyond the frame is black.
//
// The frame is shown right at any colour depth of the display. Where no window can be made
// (no display), or the window cannot show the frame, init_window says so in one line on
// standard error and present_frame shows nothing, so the program renders on in memory. Where
// the connection to the display can fail later (X11), the process then ends with status 1
// after one line on standard error.

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

// Creates the window once, with a title of the caller's (UTF-8); `program` names the program in
// the lines it writes on standard error.
void init_window_titled(const char* program, const char* title);

// Whether a window was made and shows the frame.
bool window_shown();

// Sets the window's title (UTF-8), where there is a window.
void set_window_title(const char* title);

// Copies the frame buffer to the window, then handles the window's pending messages without
// waiting for any. Gives false once the window has been closed, true otherwise (also when
// there is no window at all).
bool present_frame();

// What the user did in the window. present_frame gathers these while it handles the window's
// messages, keeping the latest 256 that nobody has taken; a program that takes no input (the
// demo) never asks for them and loses nothing by it.
enum class InputKind { key_down, button_down, button_up, pointer_moved, wheel };
enum class Key { other, space, escape, q, r, p, plus, minus, left, right, up, down };
enum class Button { left, other };
struct InputEvent {
    InputKind kind;
    Key key;        // key_down
    Button button;  // button_down, button_up
    // The pointer in client-area pixels from the top-left corner: button_*, pointer_moved.
    int x;
    int y;
    // wheel: steps away from the user (zoom in) positive, towards the user negative.
    int wheel_steps;
};

// Takes the oldest event gathered and not yet taken; false when there is none.
bool next_input_event(InputEvent& event);

// Whether the window ended because its display went away rather than by a close request; the
// program then ends with status 1. (Where Xlib notices a lost X display, it ends the process
// itself, after the same one line.)
bool display_lost();
