#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "render/depth_draw.h"
#include "render/depth_paths.h"
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

// The memory floor of the lattice: every byte of the 16 MB point array read once, folded so
// that no load can be left out.
std::uint64_t read_points(const Point* points, std::int32_t count) {
    std::uint32_t folded = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        folded ^= std::bit_cast<std::uint32_t>(points[i].x) ^
                  std::bit_cast<std::uint32_t>(points[i].y) ^
                  std::bit_cast<std::uint32_t>(points[i].z) ^
                  std::bit_cast<std::uint32_t>(points[i].color);
    }
    return folded;
}

// The same folded eight independent words at a time, which the compiler turns into vector
// loads, so that one thread reads as fast as the memory lets it: the floor of the big clouds.
std::uint64_t read_points_wide(const Point* points, std::int32_t count) {
    static_assert(sizeof(Point) == 2 * sizeof(std::uint64_t));
    constexpr int lanes = 8;
    const auto word_count = static_cast<std::size_t>(count) * 2;
    std::uint64_t folded[lanes] = {};
    std::size_t word = 0;
    for (; word + lanes <= word_count; word += lanes) {
        std::uint64_t words[lanes];
        std::memcpy(words, reinterpret_cast<const char*>(points) + word * 8, sizeof words);
        for (int lane = 0; lane < lanes; ++lane) {
            folded[lane] ^= words[lane];
        }
    }
    for (; word < word_count; ++word) {
        std::uint64_t last = 0;
        std::memcpy(&last, reinterpret_cast<const char*>(points) + word * 8, sizeof last);
        folded[0] ^= last;
    }
    std::uint64_t all = 0;
    for (const std::uint64_t lane : folded) {
        all ^= lane;
    }
    return all;
}

void read_point_array(benchmark::State& state) {
    draw_turn(state, [] { benchmark::DoNotOptimize(read_points(cube_begin(), cube_count)); });
}

// Reads `count` points each frame, the second half on a second thread, started once and woken
// for each frame the way draw_points wakes its helper: a counter under a mutex, and a condition
// variable to sleep on.
void read_on_two_threads(benchmark::State& state, const Point* points, std::int32_t count,
                         std::uint64_t (*read)(const Point*, std::int32_t)) {
    std::mutex stage_mutex;
    std::condition_variable stage_moved;
    int frames_started = 0;
    int frames_read = 0;
    const std::int32_t half = count / 2;
    std::thread reader([&] {
        for (int frame = 1;; ++frame) {
            {
                std::unique_lock lock(stage_mutex);
                stage_moved.wait(lock, [&] { return frames_started != frame - 1; });
                if (frames_started < 0) {
                    return;
                }
            }
            benchmark::DoNotOptimize(read(points + half, count - half));
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
        benchmark::DoNotOptimize(read(points, half));
        std::unique_lock lock(stage_mutex);
        stage_moved.wait(lock, [&] { return frames_read == frame; });
    });
    set_started(-1);
    reader.join();
}

void read_point_array_two_threads(benchmark::State& state) {
    read_on_two_threads(state, cube_begin(), cube_count, read_points);
}

// Clouds of users' size: points strewn at random through a cube 1600 units wide about the
// origin, wholly in front of the viewer, so that most of them land on the screen. One cloud of
// the largest size; a smaller one is its beginning.
constexpr std::int32_t millions_largest_cloud = 60;
constexpr std::int32_t millions_big_cloud = 20;
constexpr std::int32_t million = 1'000'000;

const std::vector<Point>& random_cloud() {
    static const std::vector<Point> cloud = [] {
        std::vector<Point> points(static_cast<std::size_t>(millions_largest_cloud) * million);
        std::mt19937 random(2026);
        std::uniform_real_distribution<float> coordinate(-800.0f, 800.0f);
        std::uniform_int_distribution<std::uint32_t> color(0, 0xFFFFFF);
        for (Point& point : points) {
            point = Point{coordinate(random), coordinate(random), coordinate(random),
                          static_cast<float>(color(random))};
        }
        return points;
    }();
    return cloud;
}

void read_cloud_two_threads(benchmark::State& state, std::int32_t millions) {
    const std::vector<Point>& cloud = random_cloud();
    read_on_two_threads(state, cloud.data(), millions * million, read_points_wide);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(millions) * million);
}

void draw_cloud(benchmark::State& state, std::int32_t millions) {
    const std::vector<Point>& cloud = random_cloud();
    draw_turn(state, [&] { draw_points(cloud.data(), millions * million); });
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(millions) * million);
}

std::string cloud_name(const char* what, std::int32_t millions) {
    return std::string(what) + "/" + std::to_string(millions) + "M";
}

// The clouds' sizes; a frame of the largest takes a tenth of a second or so.
constexpr std::int32_t cloud_millions[] = {1, 4, millions_big_cloud, millions_largest_cloud};

void register_clouds() {
    for (const std::int32_t millions : cloud_millions) {
        const int frames = std::max(5, 120 / millions);
        benchmark::RegisterBenchmark(cloud_name("read_cloud_two_threads", millions).c_str(),
                                     read_cloud_two_threads, millions)
            ->Iterations(frames)
            ->Repetitions(turns)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(cloud_name("draw_cloud", millions).c_str(), draw_cloud,
                                     millions)
            ->Iterations(frames)
            ->Repetitions(turns)
            ->Unit(benchmark::kMillisecond);
    }
}

// The viewer's depth-tested draw beside today's, a whole frame of each as the viewer would show
// or save it: today the clear, the draw and the copy of the frame buffer into the frame that is
// shown; depth-tested, the draw and the resolve, which writes that frame and empties the words.
// The shown frame stands for the window's image or the picture.
Frame shown_frame{screen_width, screen_height, std::vector<std::uint32_t>(screen_pixel_count)};

DepthFrame& screen_depth_frame() {
    static DepthFrame depth = make_depth_frame(screen_width, screen_height);
    return depth;
}

void draw_points_frame(Sharing sharing, const Point* points, std::int32_t count) {
    clear_frame();
    draw_points_through(best_point_path(), sharing, points, count);
    std::memcpy(shown_frame.pixels.data(), frame_buffer.pixels, sizeof frame_buffer.pixels);
}

void depth_frame(WorkerSharing sharing, std::span<const Point> points, int point_size) {
    DepthCamera camera = depth_camera(view_angles, 1.0f);
    camera.point_size = point_size;
    draw_points_depth_through(best_depth_path(), sharing, screen_depth_frame(), points, camera);
    resolve_depth_frame_through(best_depth_path(), sharing, screen_depth_frame(), 0, no_eye_dome,
                                shown_frame);
}

std::span<const Point> cube_span() { return {cube_begin(), cube_point_count}; }

// Two threads, as each ships, or one.
struct FrameSharing {
    const char* name;
    Sharing today;
    WorkerSharing depth;
};
constexpr FrameSharing frame_sharings[] = {
    {"two_threads", Sharing::with_helper, WorkerSharing::with_worker},
    {"one_thread", Sharing::alone, WorkerSharing::alone},
};
constexpr int bench_point_sizes[] = {1, 2, 3, 4};

std::string lattice_frame_name(const char* way, const FrameSharing& sharing, int point_size = 1) {
    return std::string("lattice_frame/") + way + "/" + sharing.name +
           (point_size == 1 ? "" : "/size_" + std::to_string(point_size));
}

std::string cloud_frame_name(const char* way, std::int32_t millions) {
    return cloud_name((std::string("cloud_frame/") + way).c_str(), millions);
}

// Eye-dome lighting on the lattice's words: each frame of the turn is drawn with the clock
// stopped, then resolved, plainly or lit.
void resolve_lattice(benchmark::State& state, const EyeDome& eye_dome) {
    prepare_scene();
    view_angles.angle_y = 0.0f;
    for (auto _ : state) {
        state.PauseTiming();
        view_angles.angle_y += 1.0f;
        draw_points_depth(screen_depth_frame(), cube_span(), depth_camera(view_angles, 1.0f));
        wrap_angles();
        state.ResumeTiming();
        resolve_depth_frame(screen_depth_frame(), 0, eye_dome, shown_frame);
        benchmark::ClobberMemory();
    }
}

void register_depth_frames() {
    for (const FrameSharing& sharing : frame_sharings) {
        benchmark::RegisterBenchmark(
            lattice_frame_name("draw_points", sharing).c_str(),
            [sharing](benchmark::State& state) {
                draw_turn(state,
                          [&] { draw_points_frame(sharing.today, cube_begin(), cube_count); });
            })
            ->Iterations(frames_per_turn)
            ->Repetitions(turns)
            ->Unit(benchmark::kMillisecond);
        for (const int point_size : bench_point_sizes) {
            benchmark::RegisterBenchmark(
                lattice_frame_name("depth", sharing, point_size).c_str(),
                [sharing, point_size](benchmark::State& state) {
                    draw_turn(state, [&] { depth_frame(sharing.depth, cube_span(), point_size); });
                })
                ->Iterations(frames_per_turn)
                ->Repetitions(turns)
                ->Unit(benchmark::kMillisecond);
        }
    }
    constexpr std::int32_t count = millions_big_cloud * million;
    constexpr int frames = 120 / millions_big_cloud;
    benchmark::RegisterBenchmark(
        cloud_frame_name("draw_points", millions_big_cloud).c_str(),
        [](benchmark::State& state) {
            const Point* points = random_cloud().data();
            draw_turn(state, [&] { draw_points_frame(Sharing::with_helper, points, count); });
        })
        ->Iterations(frames)
        ->Repetitions(turns)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(
        cloud_frame_name("depth", millions_big_cloud).c_str(),
        [](benchmark::State& state) {
            const std::span<const Point> points(random_cloud().data(),
                                                static_cast<std::size_t>(count));
            draw_turn(state, [&] { depth_frame(WorkerSharing::with_worker, points, 1); });
        })
        ->Iterations(frames)
        ->Repetitions(turns)
        ->Unit(benchmark::kMillisecond);
    for (const bool lit : {false, true}) {
        benchmark::RegisterBenchmark(
            lit ? "resolve_lattice/eye_dome" : "resolve_lattice/plain",
            [lit](benchmark::State& state) {
                resolve_lattice(state, lit ? EyeDome{1.0f, 1} : no_eye_dome);
            })
            ->Iterations(frames_per_turn)
            ->Repetitions(turns)
            ->Unit(benchmark::kMicrosecond);
    }
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
        for (const std::int32_t millions : cloud_millions) {
            const double draw = median_of(cloud_name("draw_cloud", millions));
            const double read = median_of(cloud_name("read_cloud_two_threads", millions));
            if (draw == 0.0 || read == 0.0) {
                continue;
            }
            // The medians are in milliseconds.
            std::printf("%-30s %5.2f x the 2-thread read, %5.2f G points/s\n",
                        cloud_name("draw_cloud", millions).c_str(), draw / read, millions / draw);
        }
        print_depth_ratios();
    }

private:
    // The depth-tested frames as multiples of today's with as many threads, and eye-dome
    // lighting's resolve against the plain one.
    void print_depth_ratios() const {
        std::printf("\nDepth-tested frames against draw_points' frames:\n");
        for (const FrameSharing& sharing : frame_sharings) {
            const double today = median_of(lattice_frame_name("draw_points", sharing));
            for (const int point_size : bench_point_sizes) {
                const std::string name = lattice_frame_name("depth", sharing, point_size);
                const double depth = median_of(name);
                if (today != 0.0 && depth != 0.0) {
                    std::printf("%-42s %5.2f x\n", name.c_str(), depth / today);
                }
            }
        }
        const double today = median_of(cloud_frame_name("draw_points", millions_big_cloud));
        const double depth = median_of(cloud_frame_name("depth", millions_big_cloud));
        if (today != 0.0 && depth != 0.0) {
            std::printf("%-42s %5.2f x\n", cloud_frame_name("depth", millions_big_cloud).c_str(),
                        depth / today);
        }
        const double plain = median_of("resolve_lattice/plain");
        const double lit = median_of("resolve_lattice/eye_dome");
        if (plain != 0.0 && lit != 0.0) {
            // The medians are in microseconds.
            std::printf("%-42s %5.3f ms, the plain resolve %5.3f ms\n", "resolve_lattice/eye_dome",
                        lit / 1000.0, plain / 1000.0);
        }
    }

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
    register_clouds();
    register_depth_frames();
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
