#include <benchmark/benchmark.h>

#include <cstdlib>

#include "present/present.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

// The cost of showing one frame in the window, the copy to the screen and the message
// handling included. It needs a display (Xvfb will do) and runs the window's own settings;
// on X11, SDL_FRAMEBUFFER_ACCELERATION=1 in the environment measures the OpenGL path instead.
void present_whole_frame(benchmark::State& state) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        state.SkipWithError("no display");
        return;
    }
    static const bool opened = [] {
        store_instance_handle();
        init_window();
        build_cube(cube_points, 50.0f);
        view_angles = ViewAngles{-20.0f, 1.0f, 0.0f};
        draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
        return true;
    }();
    (void)opened;
    for (auto _ : state) {
        present_frame();
    }
}
BENCHMARK(present_whole_frame)->Repetitions(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
