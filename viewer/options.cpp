#include "viewer/options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/version.h"

namespace {

// "X,Y,Z" in degrees, each a finite number.
bool parse_angles(std::string_view text, ViewAngles& angles) {
    float* const fields[] = {&angles.angle_x, &angles.angle_y, &angles.angle_z};
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (int i = 0; i < 3; ++i) {
        const auto [next, error] = std::from_chars(at, end, *fields[i]);
        if (error != std::errc() || !std::isfinite(*fields[i])) {
            return false;
        }
        at = next;
        if (i < 2) {
            if (at == end || *at != ',') {
                return false;
            }
            ++at;
        }
    }
    return at == end;
}

}  // namespace

std::optional<ViewerOptions> parse_viewer_options(const std::vector<std::string>& arguments,
                                                  int& status) {
    ViewerOptions options{"", "", ViewAngles{-20.0f, 0.0f, 0.0f}, true, UpAxis::from_format, 0, ""};
    std::string angles = "-20,0,0";
    bool no_fit = false;
    CLI::App app{
        "Shows a point cloud (PLY, LAS, PCD or text: x y z [r g b]) turning in a window, or "
        "draws it into a 1024 x 800 PNG with no display.\n"
        "In the window: Space pauses and resumes the turn, a drag with the left button turns "
        "the view, the wheel or + and - move the viewer closer and farther, the arrow keys turn "
        "by steps, R resets the view, P saves the frame as a PNG, Escape or Q ends.",
        "pointcloud-view"};
    // File names such as /tmp/cloud.ply are never options, on Windows either.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("pointcloud-view ") + pointcloud_version,
                         "print the name and the version and end");
    app.add_option("FILE", options.file, "the point-cloud file to show");
    const auto* scene_option =
        app.add_option("--scene", options.scene, "one of the demo's own point sets or figures")
            ->check(CLI::IsMember({"cube", "plane", "axes", "rhino", "scenery", "line", "circle"}));
    app.add_option("--angles", angles, "view angles X,Y,Z in degrees to start from")
        ->default_str("-20,0,0");
    app.add_flag("--no-fit", no_fit,
                 "draw the coordinates as they are, the viewer 2000 units in front of the "
                 "origin, and in the file's order; only a georeferenced file (coordinates beyond "
                 "65536) is still shifted by its first point, to keep its detail. By default the "
                 "cloud is centred on its bounding box and scaled so that all of it lies in front "
                 "of the viewer and inside the window at any angle");
    std::string up;
    app.add_option("--up", up,
                   "which of the file's axes, x, y or z, points up when the cloud is fitted, "
                   "and colours by height (default: z for LAS, y otherwise)")
        ->check(CLI::IsMember({"x", "y", "z"}));
    app.add_option("--frames", options.frames,
                   "draw N frames of the turn, one degree further about the vertical axis each, "
                   "then end")
        ->check(CLI::Range(1LL, 1'000'000'000LL));
    app.add_option("--output", options.output,
                   "no window: draw (the last of the N frames) and write the frame as a PNG");
    try {
        // CLI11 takes the arguments last first, without the program's name.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        reversed.pop_back();
        app.parse(reversed);
    } catch (const CLI::Success& help_or_version) {
        status = app.exit(help_or_version);
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "pointcloud-view: %s\nRun with --help for more information.\n",
                     error.what());
        status = 2;
        return std::nullopt;
    }
    const char* problem = nullptr;
    if (options.file.empty() == (scene_option->count() == 0)) {
        problem = "give one FILE or one --scene";
    } else if (!parse_angles(angles, options.angles)) {
        problem = "--angles takes three numbers of degrees, X,Y,Z";
    }
    if (problem != nullptr) {
        std::fprintf(stderr, "pointcloud-view: %s\nRun with --help for more information.\n",
                     problem);
        status = 2;
        return std::nullopt;
    }
    options.fit = !no_fit;
    options.up = up == "x"   ? UpAxis::x
                 : up == "y" ? UpAxis::y
                 : up == "z" ? UpAxis::z
                             : UpAxis::from_format;
    if (options.frames == 0 && !options.output.empty()) {
        options.frames = 1;
    }
    status = 0;
    return options;
}
