#include <benchmark/benchmark.h>

#include <cstdio>

#include "driver/frame_loop.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

constexpr int frames_per_turn = 360;

void no_window() {}

std::FILE* open_null_console() {
#ifdef _WIN32
    return std::fopen("NUL", "w");
#else
    return std::fopen("/dev/null", "w");
#endif
}

// The real clock and the null device as the console, with no window: nothing is printed.
const Platform bench_platform{elapsed_ticks, open_null_console(), no_window, no_window, no_window};

void prepare_scene() {
    static const bool ready = [] {
        start_up(bench_platform);
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

// The whole frame pass without a window.
void whole_frame_pass(benchmark::State& state) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    FrameRateCounter counter{0, 0, 0};
    for (auto _ : state) {
        run_frame(counter, bench_platform);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_points.size()));
}
BENCHMARK(whole_frame_pass)
    ->Iterations(frames_per_turn)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
