#pragma once

#include <SDL.h>

// Whether the window's connection to its Wayland compositor has failed. SDL reports a lost
// connection as a quit request, the same event as a close; only the connection itself tells
// the two apart. False for a window of any other video driver.
bool wayland_connection_failed(SDL_Window* window);
