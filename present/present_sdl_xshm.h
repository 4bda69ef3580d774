#pragma once

#include <SDL.h>

#include "common/frame_buffer.h"

// The fastest way to show frames on an X display of 24 or 32 bits whose pixels are the frame's
// own (0x00RRGGBB): images of our own, through a connection of our own whose events SDL never
// takes. Where the server runs on this machine and reads our memory, two images in memory
// shared with it, used in turn: the frame is copied into the image the server has finished
// reading and the server is asked to put it into the window without being waited for, so that
// it copies the image while the next frame is drawn. Elsewhere (a remote display, a container
// with IPC of its own, a server without shared memory) one image whose pixels go through the
// connection with each put: an id of shared memory may name another segment where the server
// runs, which it would show without a word. The images are the size of the part of the frame
// that the window shows, and are made anew when that changes.

// Prepares to show frames in the window. Gives false, leaving nothing open, where the window is
// not on such a display or a step fails.
bool open_x_images(SDL_Window* window);

// Whether the images are shared with the server.
bool x_images_shared();

// Copies the part of the frame that the window shows into an image the server is done with and
// has the server put it into the window, black beyond it. Gives false once the server has
// refused a request of this way, or images of a new size cannot be had.
bool show_x_image(SDL_Window* window, const FrameView& frame);

// Puts the last image shown into the window again, black beyond it, and waits until the server
// has: for a window that has been uncovered.
void show_last_x_image_again(SDL_Window* window);

// Lets go of the images and their connection.
void close_x_images();
