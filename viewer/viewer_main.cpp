// pointcloud-view: shows a point cloud of the user's turning in a window, or draws it into a
// PNG with no display. See --help.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "formats/point_file.h"
#include "present/present.h"
#include "render/depth_draw.h"
#include "viewer/frame_picture.h"
#include "viewer/options.h"
#include "viewer/picture.h"
#include "viewer/shown_cloud.h"
#include "viewer/view.h"

namespace {

constexpr int status_unreadable = 2;
constexpr int status_no_output = 1;
// How long a paused, unchanged view sleeps at most between looks at the window.
constexpr int idle_wait_milliseconds = 500;

// Progress of a long load on standard error: nothing for the first second, then a line a
// second.
struct LoadProgress {
    std::string name;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_report;
};
LoadProgress load_progress;

void report_progress(std::uint64_t bytes_read, std::uint64_t bytes_total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - load_progress.start < std::chrono::seconds(1) ||
        now - load_progress.last_report < std::chrono::seconds(1) || bytes_total == 0) {
        return;
    }
    load_progress.last_report = now;
    std::fprintf(
        stderr, "%s: %d %% read\n", load_progress.name.c_str(),
        static_cast<int>(100 * static_cast<double>(bytes_read) / static_cast<double>(bytes_total)));
}

std::string file_name_of(const std::string& path) {
    const std::filesystem::path file(std::u8string(path.begin(), path.end()));
    const std::u8string name = file.filename().u8string();
    return name.empty() ? path : std::string(name.begin(), name.end());
}

std::optional<ShownCloud> load(const ViewerOptions& options) {
    if (!options.scene.empty()) {
        return load_scene(options.scene, options);
    }
    const std::string name = file_name_of(options.file);
    load_progress = LoadProgress{name, std::chrono::steady_clock::now(), {}};
    ReadOptions read_options = read_options_for(options);
    read_options.progress = report_progress;
    ReadResult read = read_point_file(options.file, read_options);
    if (!read.error.empty()) {
        std::fprintf(stderr, "pointcloud-view: %s: %s\n", options.file.c_str(), read.error.c_str());
        return std::nullopt;
    }
    if (read.cloud.points.empty()) {
        std::fprintf(stderr, "pointcloud-view: %s: no points to show\n", options.file.c_str());
        return std::nullopt;
    }
    return shown_file(name, std::move(read.cloud), options);
}

bool write_picture(const Frame& frame, const std::string& name) {
    if (!write_frame_png(frame, name)) {
        std::fprintf(stderr, "pointcloud-view: cannot write %s\n", name.c_str());
        return false;
    }
    return true;
}

// Draws the frames of the turn and writes the last one, or every one where the output's name
// holds a number.
int render_to_file(const ShownCloud& cloud, const ViewerOptions& options) {
    Picture picture = make_picture(options.width, options.height);
    const Frame& frame = picture.frame;
    View view = starting_view(cloud, options, options.width, options.height);
    const bool every_frame = numbers_frames(options.output);
    const auto start = std::chrono::steady_clock::now();
    auto last_report = start;
    for (long long number = 0; number < options.frames; ++number) {
        draw_picture(cloud, view, style_of(options), picture);
        if (every_frame && !write_picture(frame, numbered_name(options.output, number))) {
            return status_no_output;
        }
        advance_turn(view, options.turn_step);
        const auto now = std::chrono::steady_clock::now();
        if (now - start >= std::chrono::seconds(1) &&
            now - last_report >= std::chrono::seconds(1)) {
            last_report = now;
            std::fprintf(stderr, "%s: %lld of %lld frames drawn\n", cloud.name.c_str(), number + 1,
                         options.frames);
        }
    }
    if (every_frame) {
        std::printf("wrote %s to %s\n", numbered_name(options.output, 0).c_str(),
                    numbered_name(options.output, options.frames - 1).c_str());
        return EXIT_SUCCESS;
    }
    if (!write_picture(frame, options.output)) {
        return status_no_output;
    }
    std::printf("wrote %s\n", options.output.c_str());
    return EXIT_SUCCESS;
}

void save_picture(const ShownCloud& cloud, const Frame& frame) {
    const std::string stem = std::filesystem::path(cloud.name).stem().string();
    const std::string name = unused_picture_name(stem);
    if (write_picture(frame, name)) {
        std::printf("saved %s\n", name.c_str());
    }
    std::fflush(stdout);
}

// What the window loop keeps between frames.
struct WindowState {
    View view;
    Picture picture;
    bool redraw;
    bool quit;
};

// Takes the input gathered with the frame just shown.
void handle_input(WindowState& state, const ShownCloud& cloud, const ViewerOptions& options) {
    View& view = state.view;
    const Frame& frame = state.picture.frame;
    InputEvent event{};
    while (next_input_event(event)) {
        const int shown_size = shown_point_size(cloud, view, frame.width, frame.height);
        switch (apply_input(view, event, pixels_per_unit(frame.width, frame.height))) {
            case ViewerAction::redraw:
                state.redraw = true;
                break;
            case ViewerAction::refit:
                if (options.fit && cloud.figure == Figure::none) {
                    const Framing framing =
                        fitted_framing(cloud.box, view.angles, frame.width, frame.height);
                    view.zoom = framing.zoom;
                    view.pan_x = framing.pan_x;
                    view.pan_y = framing.pan_y;
                }
                state.redraw = true;
                break;
            case ViewerAction::smaller_points:
                view.point_size = std::max(1, shown_size - 1);
                state.redraw = true;
                break;
            case ViewerAction::larger_points:
                view.point_size = std::min(largest_point_size, shown_size + 1);
                state.redraw = true;
                break;
            case ViewerAction::save_picture:
                save_picture(cloud, frame);
                break;
            case ViewerAction::quit:
                state.quit = true;
                break;
            case ViewerAction::none:
                break;
        }
    }
}

// The turn by the clock, so that a small cloud does not spin faster on a faster machine. A
// long stall (the window moved, the machine busy) does not make the cloud jump.
float turn_since(std::chrono::steady_clock::time_point& last, float degrees_per_second) {
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<float> elapsed = now - last;
    last = now;
    constexpr float longest_step = 0.1f;
    return degrees_per_second * std::min(elapsed.count(), longest_step);
}

// Draws while the view changes, shows each frame, and takes the input; a paused, unchanged view
// draws nothing and waits for input.
int run_window(const ShownCloud& cloud, const ViewerOptions& options) {
    const std::string title = "pointcloud-view — " + cloud.name;
    init_window_sized("pointcloud-view", title.c_str(), options.width, options.height);
    if (!window_shown()) {
        std::fprintf(stderr,
                     "pointcloud-view: no window to show %s in; --output FILE.png draws "
                     "it without one\n",
                     cloud.name.c_str());
        return status_no_output;
    }
    WindowState state{starting_view(cloud, options, options.width, options.height),
                      make_picture(options.width, options.height), true, false};
    FrameRateCounter counter{0, 0, 0};
    auto last_turn = std::chrono::steady_clock::now();
    for (long long drawn = 0;;) {
        int width = state.picture.frame.width;
        int height = state.picture.frame.height;
        window_client_size(width, height);
        if (width != state.picture.frame.width || height != state.picture.frame.height) {
            state.picture = make_picture(width, height);
            state.redraw = true;
        }
        if (!state.view.paused) {
            advance_turn(state.view, turn_since(last_turn, options.turn_speed));
            state.redraw = true;
        }
        if (state.redraw) {
            draw_picture(cloud, state.view, style_of(options), state.picture);
            ++drawn;
            const std::int32_t shown_fps = counter.fps;
            count_frame(counter, elapsed_ticks);
            if (counter.fps != shown_fps) {
                set_window_title((title + " — " + std::to_string(counter.fps) + " FPS").c_str());
            }
        }
        const bool window_open =
            present_pixels(FrameView{state.picture.frame.pixels.data(), state.picture.frame.width,
                                     state.picture.frame.height});
        const bool was_paused = state.view.paused;
        state.redraw = false;
        handle_input(state, cloud, options);
        if (!window_open || state.quit || drawn == options.frames) {
            break;
        }
        if (!state.view.paused && was_paused) {
            last_turn = std::chrono::steady_clock::now();  // no jump for the time spent paused
        }
        if (state.view.paused && !state.redraw && !wait_for_input(idle_wait_milliseconds)) {
            break;  // closed while nothing moved
        }
    }
    stop_depth_draw_worker();
    return display_lost() ? EXIT_FAILURE : EXIT_SUCCESS;
}

int run_viewer(int argc, char** argv) {
    set_depth_draw_processors(usable_processor_count());
    int status = 0;
    const std::optional<ViewerOptions> options =
        parse_viewer_options(program_arguments(argc, argv), status);
    if (!options) {
        return status;
    }
    const std::optional<ShownCloud> cloud = load(*options);
    if (!cloud) {
        return status_unreadable;
    }
    std::printf("%s\n", cloud->summary.c_str());
    std::fflush(stdout);
    if (!options->output.empty()) {
        return render_to_file(*cloud, *options);
    }
    store_instance_handle();
    return run_window(*cloud, *options);
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_streams();
    try {
        return run_viewer(argc, argv);
    } catch (const std::exception& error) {
        // Memory running out while a scene is built or a picture is encoded, say.
        std::fprintf(stderr, "pointcloud-view: %s\n", error.what());
        return status_no_output;
    }
}
