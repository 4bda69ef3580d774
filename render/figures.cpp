#include <cmath>

#include "render/point_paths.h"
#include "render/render.h"

namespace {

// Each step is the double nearest its decimal value.
constexpr double line_step = 0.1;
constexpr double degree_step = 0.1;
constexpr double half_circle_step = 0.001;

constexpr float line_offset = -1.0f;
constexpr float full_turn = 360.0f;
constexpr double circle_radius = 200.0;
constexpr float half_circle_start = -200.0f;
constexpr float half_circle_end = 200.0f;
constexpr float radius_squared = 40000.0f;

// From 2^21 up, adding 0.1 rounds back to the same float, so a line that long would never
// reach its end.
constexpr float unsteppable_half_extent = 2097152.0f;

// The working points of the figures; module-level, like the one of draw_vertices, so that the
// reference to them in the render state stays valid after the call.
Point line_point;
Point circle_point;

// The step variables stay floats: each advance is made in double precision and rounded back,
// and the point counts follow from that rounding.
float advance(float value, double step) {
    return static_cast<float>(static_cast<double>(value) + step);
}

void plot_white(const Point& point, const ViewRotation& rotation) {
    store_pixel(project_to_screen(rotate_view(point.x, point.y, point.z, rotation)), white);
}

}  // namespace

// As in the bulk routines, only the last point's working values stay visible in the render
// state, so each figure records them once, after its loops.
void draw_line(float half_extent) {
    // Written so that a NaN fails the test too.
    if (!(half_extent >= 0.0f && half_extent < unsteppable_half_extent)) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    line_point.z = 0.0f;
    for (float a = -half_extent; a <= half_extent; a = advance(a, line_step)) {
        line_point.x = a;
        line_point.y = line_offset - a;
        plot_white(line_point, rotation);
    }
    transform_and_record(line_point, trig, rotation);
}

void draw_circle() {
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    circle_point.z = 0.0f;

    // The whole circle by angle, a point every tenth of a degree (3,600 of them).
    for (float degrees = 0.0f; degrees <= full_turn; degrees = advance(degrees, degree_step)) {
        const double radians = static_cast<double>(degrees) * radians_per_degree;
        circle_point.x = static_cast<float>(circle_radius * std::cos(radians));
        circle_point.y = static_cast<float>(circle_radius * std::sin(radians));
        plot_white(circle_point, rotation);
    }

    // The upper half again, by x. The float rounding is monotone, so 40000 - x * x never goes
    // below 0 while x stays within -200..200.
    for (float x = half_circle_start; x <= half_circle_end; x = advance(x, half_circle_step)) {
        circle_point.x = x;
        circle_point.y = std::sqrt(radius_squared - x * x);
        plot_white(circle_point, rotation);
    }
    transform_and_record(circle_point, trig, rotation);
}
