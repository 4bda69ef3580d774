#pragma once

#include <SDL.h>

// The fastest way to show the frame on a local X display of 24 or 32 bits whose pixels are the
// frame's own (0x00RRGGBB): two images in memory shared with the X server, used in turn. The
// frame is copied into the image the server has finished reading and the server is asked to
// put it into the window without being waited for, so that it copies the image while the next
// frame is drawn. The images go through a connection of their own, whose events SDL never takes.

// Prepares the two images for the window. Gives false, leaving nothing open, where the window is
// not on such a display, the display cannot share memory (a remote one) or a step fails.
bool open_shared_images(SDL_Window* window);

// Copies the frame into the image the server is done with and has the server put it into the
// window, black beyond it. Gives false once the server has refused a request of this way.
bool show_shared_image(SDL_Window* window);

// Lets go of the images and their connection.
void close_shared_images();
