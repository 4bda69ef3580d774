// pointcloud-view: shows a point cloud of the user's turning in a window, or draws it into a
// PNG with no display. See --help.

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
#include "render/render.h"
#include "viewer/frame_picture.h"
#include "viewer/options.h"
#include "viewer/shown_cloud.h"
#include "viewer/view.h"

namespace {

constexpr int status_unreadable = 2;
constexpr int status_no_output = 1;

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
    // Unfitted coordinates are drawn as they are, but georeferenced ones still come near the
    // origin, or a float would keep only half a unit of their detail.
    const Shift shift = options.fit ? Shift::always : Shift::when_far;
    ReadResult read = read_point_file(options.file, ReadOptions{shift, report_progress});
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

// Draws the frames of the turn and writes the last one.
int render_to_file(const ShownCloud& cloud, const ViewerOptions& options) {
    View view = initial_view(options.angles, options.fit);
    for (long long frame = 1; frame <= options.frames; ++frame) {
        clear_frame();
        draw_shown_cloud(cloud, view);
        advance_turn(view);
    }
    if (!write_frame_png(frame_buffer, options.output)) {
        std::fprintf(stderr, "pointcloud-view: cannot write %s\n", options.output.c_str());
        return status_no_output;
    }
    std::printf("wrote %s\n", options.output.c_str());
    return EXIT_SUCCESS;
}

void save_picture(const ShownCloud& cloud) {
    const std::string stem = std::filesystem::path(cloud.name).stem().string();
    const std::string name = unused_picture_name(stem);
    if (write_frame_png(frame_buffer, name)) {
        std::printf("saved %s\n", name.c_str());
    } else {
        std::fprintf(stderr, "pointcloud-view: cannot write %s\n", name.c_str());
    }
    std::fflush(stdout);
}

// Takes the input gathered with the frame just shown; false once the user asks to end.
bool handle_input(View& view, const ShownCloud& cloud) {
    InputEvent event{};
    bool going_on = true;
    while (next_input_event(event)) {
        switch (apply_input(view, event)) {
            case ViewerAction::save_picture:
                save_picture(cloud);
                break;
            case ViewerAction::quit:
                going_on = false;
                break;
            case ViewerAction::none:
                break;
        }
    }
    return going_on;
}

// The demo's frame pass with the user at the controls: draw, count, show, take the input,
// clear, turn.
int run_window(const ShownCloud& cloud, const ViewerOptions& options) {
    const std::string title = "pointcloud-view — " + cloud.name;
    init_window_titled("pointcloud-view", title.c_str());
    if (!window_shown()) {
        std::fprintf(stderr,
                     "pointcloud-view: no window to show %s in; --output FILE.png draws "
                     "it without one\n",
                     cloud.name.c_str());
        return status_no_output;
    }
    View view = initial_view(options.angles, options.fit);
    FrameRateCounter counter{0, 0, 0};
    for (long long frame = 1;; ++frame) {
        draw_shown_cloud(cloud, view);
        const std::int32_t shown_fps = counter.fps;
        count_frame(counter, elapsed_ticks);
        if (counter.fps != shown_fps) {
            set_window_title((title + " — " + std::to_string(counter.fps) + " FPS").c_str());
        }
        const bool window_open = present_frame();
        const bool going_on = handle_input(view, cloud);
        clear_frame();
        if (!window_open || !going_on || frame == options.frames) {
            break;
        }
        if (!view.paused) {
            advance_turn(view);
        }
    }
    stop_drawing_helper();
    return display_lost() ? EXIT_FAILURE : EXIT_SUCCESS;
}

int run_viewer(int argc, char** argv) {
    set_usable_processors(usable_processor_count());
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
