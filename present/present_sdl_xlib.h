#pragma once

#include <SDL.h>

#include "common/frame_buffer.h"

// What the SDL backend does through Xlib, where the build has it and SDL's driver is x11.

// Prepares to show the frame on a window of an 8-bit X display, where SDL has neither a window
// surface nor an OpenGL visual. Gives false where the window is not on such a display or its
// colours cannot be had.
bool open_eight_bit(SDL_Window* window);

// Puts the part of the frame that the window shows into the window prepared by open_eight_bit,
// black beyond it. Gives false where memory for it runs out.
bool show_eight_bit(SDL_Window* window, const FrameView& frame);

// Puts the last frame shown into the window again, black beyond it: for a window that has been
// uncovered.
void show_eight_bit_again(SDL_Window* window);

// From now on a failed connection to the X server ends the process with status 1 after one
// line on standard error, instead of Xlib's own message of several lines.
void report_lost_display_in_one_line();

// Waits until the X connection of the window has events to read, or `timeout_ms` milliseconds
// have passed. SDL_WaitEventTimeout is not for X11: it wakes itself by sending its window a
// message on a second connection, which the server may read only after the window has been
// destroyed on the first, and Xlib then ends the process with an error.
void wait_for_x_events(SDL_Window* window, int timeout_ms);
