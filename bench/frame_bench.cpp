#include <benchmark/benchmark.h>

#include <cstdio>

#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

constexpr int frames_per_turn = 360;

void prepare_scene() {
    static const bool ready = [] {
        start_up();
        return true;
    }();
    (void)ready;
}

// One iteration draws one frame; a repetition is one whole turn of angle_y.
void draw_cube_lattice(benchmark::State& state) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    for (auto _ : state) {
        view_angles.angle_y += 1.0f;
        draw_points(cube_points.data(), static_cast<std::int32_t>(cube_points.size()));
        wrap_angles();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_points.size()));
}
BENCHMARK(draw_cube_lattice)
    ->Iterations(frames_per_turn)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

void clear_whole_frame(benchmark::State& state) {
    for (auto _ : state) {
        clear_frame();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof frame_buffer));
}
BENCHMARK(clear_whole_frame)->Repetitions(5)->Unit(benchmark::kMicrosecond);

// The whole frame pass; its console is the null device, so nothing is printed.
void whole_frame_pass(benchmark::State& state) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
#ifdef _WIN32
    std::FILE* null_console = std::fopen("NUL", "w");
#else
    std::FILE* null_console = std::fopen("/dev/null", "w");
#endif
    FrameLoop loop{FrameRateCounter{0, 0, 0}, elapsed_ticks, null_console};
    for (auto _ : state) {
        run_frame(loop);
    }
    std::fclose(null_console);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_points.size()));
}
BENCHMARK(whole_frame_pass)
    ->Iterations(frames_per_turn)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
