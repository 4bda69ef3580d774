#include <benchmark/benchmark.h>

#include <bit>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/frame_loop.h"
#include "render/point_paths.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

constexpr int frames_per_turn = 360;
constexpr int turns = 5;

void no_window() {}
bool window_stays_open() { return true; }

std::FILE* open_null_console() {
#ifdef _WIN32
    return std::fopen("NUL", "w");
#else
    return std::fopen("/dev/null", "w");
#endif
}

// The real clock and the null device as the console, with no window: nothing is printed.
const Platform bench_platform{elapsed_ticks, open_null_console(), no_window, no_window,
                              window_stays_open};

void prepare_scene() {
    static const bool ready = [] {
        start_up(bench_platform);
        return true;
    }();
    (void)ready;
}

const Point* cube_begin() { return cube_points.data(); }
constexpr auto cube_count = static_cast<std::int32_t>(cube_point_count);

// One iteration draws one frame; a repetition is one whole turn of angle_y.
template <class Draw>
void draw_turn(benchmark::State& state, const Draw& draw) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    for (auto _ : state) {
        view_angles.angle_y += 1.0f;
        draw();
        wrap_angles();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_point_count));
}

void register_turn(const std::string& name, void (*run)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name.c_str(), run)
        ->Iterations(frames_per_turn)
        ->Repetitions(turns)
        ->Unit(benchmark::kMillisecond);
}

// The memory floor: every byte of the 16 MB point array read once, folded so that no load
// can be left out.
std::uint32_t read_points(const Point* points, std::int32_t count) {
    std::uint32_t folded = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        folded ^= std::bit_cast<std::uint32_t>(points[i].x) ^
                  std::bit_cast<std::uint32_t>(points[i].y) ^
                  std::bit_cast<std::uint32_t>(points[i].z) ^
                  std::bit_cast<std::uint32_t>(points[i].color);
    }
    return folded;
}

void read_point_array(benchmark::State& state) {
    draw_turn(state, [] { benchmark::DoNotOptimize(read_points(cube_begin(), cube_count)); });
}

// The same with the second half read by a second thread, started once and woken for each
// frame the way draw_points wakes its helper: a counter under a mutex, and a condition
// variable to sleep on.
void read_point_array_two_threads(benchmark::State& state) {
    std::mutex stage_mutex;
    std::condition_variable stage_moved;
    int frames_started = 0;
    int frames_read = 0;
    const std::int32_t half = cube_count / 2;
    std::thread reader([&] {
        for (int frame = 1;; ++frame) {
            {
                std::unique_lock lock(stage_mutex);
                stage_moved.wait(lock, [&] { return frames_started != frame - 1; });
                if (frames_started < 0) {
                    return;
                }
            }
            benchmark::DoNotOptimize(read_points(cube_begin() + half, cube_count - half));
            {
                const std::lock_guard lock(stage_mutex);
                frames_read = frame;
            }
            stage_moved.notify_all();
        }
    });
    const auto set_started = [&](int frame) {
        {
            const std::lock_guard lock(stage_mutex);
            frames_started = frame;
        }
        stage_moved.notify_all();
    };
    int frame = 0;
    draw_turn(state, [&] {
        set_started(++frame);
        benchmark::DoNotOptimize(read_points(cube_begin(), half));
        std::unique_lock lock(stage_mutex);
        stage_moved.wait(lock, [&] { return frames_read == frame; });
    });
    set_started(-1);
    reader.join();
}

// The reference loop that every faster path must match pixel for pixel.
void scalar_reference(benchmark::State& state) {
    draw_turn(state, [] { draw_points_scalar(cube_begin(), cube_count); });
}

template <PointPath path>
void one_thread(benchmark::State& state) {
    if (!point_path_supported(path)) {
        state.SkipWithError("this processor lacks the instructions");
        return;
    }
    draw_turn(state, [] { draw_points_through(path, Sharing::alone, cube_begin(), cube_count); });
}

// What the frame loop runs: the best path, shared with the helper thread.
void shipped_draw_points(benchmark::State& state) {
    draw_turn(state, [] { draw_points(cube_begin(), cube_count); });
}

void clear_whole_frame(benchmark::State& state) {
    for (auto _ : state) {
        clear_frame();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof frame_buffer));
}

// The whole frame pass without a window: what the program does each frame when headless.
void whole_frame_pass(benchmark::State& state) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    FrameRateCounter counter{0, 0, 0};
    for (auto _ : state) {
        run_frame(counter, bench_platform);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_point_count));
}

// The same frame pass written plainly, step for step, with the reference loop as its drawing
// step: what the whole program's speed is held against.
void plain_frame_pass(benchmark::State& state) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    FrameRateCounter counter{0, 0, 0};
    for (auto _ : state) {
        view_angles.angle_y += 1.0f;
        draw_points_scalar(cube_begin(), cube_count);
        count_frame(counter, bench_platform.read_clock);
        std::fprintf(bench_platform.console, "FPS = %d\n", counter.fps);
        std::fflush(bench_platform.console);
        bench_platform.present_frame();
        clear_frame();
        wrap_angles();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cube_point_count));
}

// The drawing benchmarks, each with the number of threads of the read that it is held against.
struct DrawingPath {
    std::string name;
    int threads;
};
const DrawingPath drawing_paths[] = {
    {"scalar_reference", 1},
    {"one_thread<PointPath::avx2>", 1},
    {"one_thread<PointPath::avx512>", 1},
    {"shipped_draw_points", 2},
};

// Prints, after the usual table, each drawing median as a multiple of the memory floor with
// as many threads, the reference's median as a multiple of each path's, and the plain frame
// pass's median as a multiple of the whole frame pass's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const double floor_one = median_of("read_point_array");
        const double floor_two = median_of("read_point_array_two_threads");
        const double reference = median_of("scalar_reference");
        std::printf("\nMedians as ratios:\n");
        for (const auto& [name, threads] : drawing_paths) {
            const double median = median_of(name);
            const double floor = threads == 1 ? floor_one : floor_two;
            if (median == 0.0 || floor == 0.0) {
                continue;
            }
            std::printf("%-30s %5.2f x the %d-thread read", name.c_str(), median / floor, threads);
            if (reference != 0.0) {
                std::printf(", %5.2f x as fast as the reference", reference / median);
            }
            std::printf("\n");
        }
        const double whole = median_of("whole_frame_pass");
        const double plain = median_of("plain_frame_pass");
        if (whole != 0.0 && plain != 0.0) {
            std::printf("%-30s %5.2f x as fast as plain_frame_pass\n", "whole_frame_pass",
                        plain / whole);
        }
    }

private:
    double median_of(const std::string& name) const {
        const auto found = medians_.find(name);
        return found == medians_.end() ? 0.0 : found->second;
    }

    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    register_turn("read_point_array", read_point_array);
    register_turn("read_point_array_two_threads", read_point_array_two_threads);
    register_turn("scalar_reference", scalar_reference);
    register_turn("one_thread<PointPath::avx2>", one_thread<PointPath::avx2>);
    register_turn("one_thread<PointPath::avx512>", one_thread<PointPath::avx512>);
    register_turn("shipped_draw_points", shipped_draw_points);
    register_turn("whole_frame_pass", whole_frame_pass);
    register_turn("plain_frame_pass", plain_frame_pass);
    benchmark::RegisterBenchmark("clear_whole_frame", clear_whole_frame)
        ->Repetitions(turns)
        ->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
