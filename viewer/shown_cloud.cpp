#include "viewer/shown_cloud.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>

#include "render/render.h"
#include "viewer/colors.h"
#include "viewer/fit.h"

namespace {

// The line's half-extent when it is shown on its own: it then crosses most of the window.
constexpr float line_half_extent = 900.0f;

std::vector<Point> copy_of(std::span<const Point> points) { return {points.begin(), points.end()}; }

// The points of a demo scene, built and scaled as the demo builds and scales them.
std::vector<Point> scene_points(const std::string& scene) {
    if (scene == "cube") {
        build_cube(cube_points, 50.0f);
        return copy_of(cube_points);
    }
    if (scene == "plane") {
        build_plane(plane_points, 150.0f);
        return copy_of(plane_points);
    }
    if (scene == "axes") {
        build_axes(axis_points);
        return copy_of(axis_points);
    }
    std::vector<Point> points = copy_of(scene == "rhino" ? std::span<const Point>(rhino_points)
                                                         : std::span<const Point>(scenery_points));
    scale_points(points, scene == "rhino" ? 450.0f : 5.0f);
    return points;
}

// Fits the points if the options say so, and measures what the view needs of them.
void fit_shown_points(std::vector<Point>& points, UpAxis up, const ViewerOptions& options,
                      ShownCloud& shown) {
    if (options.fit) {
        shown.box = fit_points(points, up);
        shown.spacing = surface_spacing(points);
    }
}

// Colours the points as the options ask, where the file's own colours are not used; says how
// they are coloured.
std::string apply_colors(PointCloud& cloud, const ViewerOptions& options, UpAxis height_axis) {
    const bool wants_intensity = options.color == ColorMode::intensity;
    const bool wants_classes = options.color == ColorMode::classification;
    if (wants_intensity && cloud.intensities.size() == cloud.points.size()) {
        color_by_intensity(cloud.points, cloud.intensities);
        return "colours by intensity";
    }
    if (wants_classes && cloud.classes.size() == cloud.points.size()) {
        color_by_class(cloud.points, cloud.classes);
        return "colours by classification";
    }
    const bool own = cloud.has_colors &&
                     (options.color == ColorMode::automatic || options.color == ColorMode::rgb);
    if (own) {
        return "colours from the file";
    }
    color_by_height(cloud.points, height_axis);
    if (wants_intensity || wants_classes || options.color == ColorMode::rgb) {
        const char* const missing = wants_intensity ? "no intensities"
                                    : wants_classes ? "no classes"
                                                    : "no colours";
        return std::string(missing) + " in the file: colours by height";
    }
    if (cloud.colors_all_one_value) {
        return "its colours are all one: colours by height";
    }
    return "colours by height";
}

}  // namespace

ShownCloud load_scene(const std::string& scene, const ViewerOptions& options) {
    if (scene == "line" || scene == "circle") {
        return ShownCloud{scene,
                          {},
                          scene == "line" ? Figure::line : Figure::circle,
                          scene + ": a figure of the demo's, drawn where it lies",
                          false,
                          BoxHalves{},
                          0.0f,
                          true};
    }
    ShownCloud shown{scene,       scene_points(scene), Figure::none, "",
                     options.fit, BoxHalves{},         0.0f,         true};
    fit_shown_points(shown.points, options.up == UpAxis::from_format ? UpAxis::y : options.up,
                     options, shown);
    if (options.color == ColorMode::height) {
        color_by_height(shown.points, options.fit ? UpAxis::y : options.up);
        shown.own_colors = false;
    }
    shown.summary = scene + ": " + with_commas(shown.points.size()) + " points (the demo's own)";
    return shown;
}

ReadOptions read_options_for(const ViewerOptions& options) {
    // Unfitted coordinates are drawn as they are, but georeferenced ones still come near the
    // origin, or a float would keep only half a unit of their detail.
    ReadOptions read{options.fit ? Shift::always : Shift::when_far, nullptr};
    read.keep_intensity = options.color == ColorMode::intensity;
    read.keep_classification = options.color == ColorMode::classification;
    return read;
}

ShownCloud shown_file(const std::string& name, PointCloud cloud, const ViewerOptions& options) {
    // Surveys (LAS) give heights in z; most other files in y.
    const bool survey = cloud.format.starts_with("LAS");
    const UpAxis up = options.up != UpAxis::from_format ? options.up
                      : survey                          ? UpAxis::z
                                                        : UpAxis::y;
    ShownCloud shown{name, {}, Figure::none, "", options.fit, BoxHalves{}, 0.0f, false};
    std::string summary = name + ": " + with_commas(cloud.points.size()) + " points";
    if (cloud.skipped_points > 0) {
        summary += ", " + with_commas(cloud.skipped_points) +
                   " skipped for a coordinate that is not a number";
    }
    if (!options.fit && (cloud.shift[0] != 0.0 || cloud.shift[1] != 0.0 || cloud.shift[2] != 0.0)) {
        // Coordinates drawn as they are, but less the first point's: say so.
        char shift[96];
        std::snprintf(shift, sizeof shift, ", shifted by %.3f, %.3f, %.3f", -cloud.shift[0],
                      -cloud.shift[1], -cloud.shift[2]);
        summary += shift;
    }
    fit_shown_points(cloud.points, up, options, shown);
    // A fitted cloud has its up axis turned to y.
    const std::string colors = apply_colors(cloud, options, options.fit ? UpAxis::y : up);
    shown.own_colors = colors == "colours from the file";
    shown.points = std::move(cloud.points);
    shown.summary = summary + " (" + cloud.format + ", " + colors + ")";
    return shown;
}

void draw_shown_cloud(const ShownCloud& cloud, const View& view) {
    view_angles = view.angles;
    switch (cloud.figure) {
        case Figure::line:
            draw_line(line_half_extent);
            return;
        case Figure::circle:
            draw_circle();
            return;
        case Figure::none:
            break;
    }
    // One draw after another keeps the order of the points, so a later one still wins.
    constexpr std::size_t largest_draw = std::numeric_limits<std::int32_t>::max();
    for (std::size_t first = 0; first < cloud.points.size(); first += largest_draw) {
        const std::size_t count = std::min(largest_draw, cloud.points.size() - first);
        draw_points_scaled(cloud.points.data() + first, static_cast<std::int32_t>(count),
                           view.zoom);
    }
}
