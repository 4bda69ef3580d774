#include "viewer/shown_cloud.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>

#include "render/render.h"

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

// The file's axes in the order the view takes them (right, up, towards the back), with the
// axis named up turned to the vertical and the other two keeping a right-handed frame.
std::array<double, 3> reoriented(const Point& point, UpAxis up) {
    switch (up) {
        case UpAxis::x:
            return {point.y, point.x, -point.z};
        case UpAxis::z:
            return {point.x, point.z, -point.y};
        default:
            return {point.x, point.y, point.z};
    }
}

Point mixed(double t) {
    // Blue, cyan, green, yellow, red, at equal distances.
    static constexpr std::array<std::array<double, 3>, 5> stops{
        {{0, 0, 255}, {0, 255, 255}, {0, 255, 0}, {255, 255, 0}, {255, 0, 0}}};
    const double at = std::clamp(t, 0.0, 1.0) * (stops.size() - 1);
    const auto low = std::min(static_cast<std::size_t>(at), stops.size() - 2);
    const double f = at - static_cast<double>(low);
    std::uint32_t pixel = 0;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        const double value =
            stops[low][channel] + f * (stops[low + 1][channel] - stops[low][channel]);
        pixel = pixel << 8 | static_cast<std::uint32_t>(std::lround(value));
    }
    return Point{0.0f, 0.0f, 0.0f, static_cast<float>(pixel)};
}

}  // namespace

ShownCloud load_scene(const std::string& scene, const ViewerOptions& options) {
    if (scene == "line" || scene == "circle") {
        return ShownCloud{scene,
                          {},
                          scene == "line" ? Figure::line : Figure::circle,
                          scene + ": a figure of the demo's, drawn where it lies"};
    }
    std::vector<Point> points = scene_points(scene);
    if (options.fit) {
        fit_points(points, options.up == UpAxis::from_format ? UpAxis::y : options.up);
    }
    std::string summary = scene + ": " + with_commas(points.size()) + " points (the demo's own)";
    return ShownCloud{scene, std::move(points), Figure::none, std::move(summary)};
}

ShownCloud shown_file(const std::string& name, PointCloud cloud, const ViewerOptions& options) {
    std::string summary = name + ": " + with_commas(cloud.points.size()) + " points";
    if (cloud.skipped_points > 0) {
        summary += ", " + with_commas(cloud.skipped_points) +
                   " skipped for a coordinate that is not a number";
    }
    summary += " (" + cloud.format + ", " +
               (cloud.has_colors ? "colours from the file" : "colours by height");
    if (!options.fit && (cloud.shift[0] != 0.0 || cloud.shift[1] != 0.0 || cloud.shift[2] != 0.0)) {
        // Coordinates drawn as they are, but less the first point's: say so.
        char shift[96];
        std::snprintf(shift, sizeof shift, ", shifted by %.3f, %.3f, %.3f", -cloud.shift[0],
                      -cloud.shift[1], -cloud.shift[2]);
        summary += shift;
    }
    summary += ")";
    // Surveys (LAS) give heights in z; most other files in y.
    const bool survey = cloud.format.starts_with("LAS");
    const UpAxis up = options.up != UpAxis::from_format ? options.up
                      : survey                          ? UpAxis::z
                                                        : UpAxis::y;
    if (options.fit) {
        fit_points(cloud.points, up);
    }
    if (!cloud.has_colors) {
        // A fitted cloud has its up axis turned to y.
        color_by_height(cloud.points, options.fit ? UpAxis::y : up);
    }
    return ShownCloud{name, std::move(cloud.points), Figure::none, std::move(summary)};
}

void fit_points(std::vector<Point>& points, UpAxis up) {
    if (points.empty()) {
        return;
    }
    std::array<double, 3> low{};
    std::array<double, 3> high{};
    low.fill(std::numeric_limits<double>::infinity());
    high.fill(-std::numeric_limits<double>::infinity());
    for (const Point& point : points) {
        const std::array<double, 3> p = reoriented(point, up);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            low[axis] = std::min(low[axis], p[axis]);
            high[axis] = std::max(high[axis], p[axis]);
        }
    }
    double half_diagonal = 0.0;
    std::array<double, 3> centre{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        centre[axis] = 0.5 * (low[axis] + high[axis]);
        half_diagonal += 0.25 * (high[axis] - low[axis]) * (high[axis] - low[axis]);
    }
    half_diagonal = std::sqrt(half_diagonal);
    // A single point, or all of them at one place, is shown at the centre.
    const double scale = half_diagonal > 0.0 ? fitted_radius / half_diagonal : 1.0;
    for (Point& point : points) {
        const std::array<double, 3> p = reoriented(point, up);
        point.x = static_cast<float>((p[0] - centre[0]) * scale);
        point.y = static_cast<float>((p[1] - centre[1]) * scale);
        point.z = static_cast<float>((p[2] - centre[2]) * scale);
    }
}

void color_by_height(std::vector<Point>& points, UpAxis up) {
    if (points.empty()) {
        return;
    }
    const auto height = [up](const Point& point) {
        return up == UpAxis::x ? point.x : up == UpAxis::z ? point.z : point.y;
    };
    const auto [lowest, highest] =
        std::minmax_element(points.begin(), points.end(),
                            [&](const Point& a, const Point& b) { return height(a) < height(b); });
    const double low = height(*lowest);
    const double span = height(*highest) - low;
    for (Point& point : points) {
        point.color = mixed(span > 0.0 ? (height(point) - low) / span : 0.5).color;
    }
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
