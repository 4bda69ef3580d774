#pragma once

#include <SDL.h>

// What the SDL backend does through Xlib, where the build has it and SDL's driver is x11.

// Prepares to show the frame on a window of an 8-bit X display, where SDL has neither a window
// surface nor an OpenGL visual. Gives false where the window is not on such a display or its
// colours cannot be had.
bool open_eight_bit(SDL_Window* window);

// Puts the frame into the window prepared by open_eight_bit, black beyond it.
void show_eight_bit(SDL_Window* window);

// From now on a failed connection to the X server ends the process with status 1 after one
// line on standard error, instead of Xlib's own message of several lines.
void report_lost_display_in_one_line();
