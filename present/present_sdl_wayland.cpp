#include "present/present_sdl_wayland.h"

#include <SDL_syswm.h>
#include <wayland-client-core.h>

bool wayland_connection_failed(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    return SDL_GetWindowWMInfo(window, &info) == SDL_TRUE && info.subsystem == SDL_SYSWM_WAYLAND &&
           wl_display_get_error(info.info.wl.display) != 0;
}
