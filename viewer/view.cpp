#include "viewer/view.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float viewer_distance = 2000.0f;
constexpr float full_turn = 360.0f;
constexpr float zoom_per_step = 1.1f;

// Angles stay within a turn either way, so that a long drag never costs a float its degrees.
// A whole turn gives exactly 0, as the demo's own wrap does.
float wrapped(float degrees) {
    return std::fabs(degrees) >= full_turn ? std::fmod(degrees, full_turn) : degrees;
}

}  // namespace

View initial_view(const ViewAngles& start, bool fitted) {
    const float zoom_max = fitted ? 0.95f * viewer_distance / fitted_radius : 64.0f;
    return View{start, start, 1.0f, 1.0f / 64.0f, zoom_max, false, false, 0, 0};
}

void advance_turn(View& view) { view.angles.angle_y = wrapped(view.angles.angle_y + 1.0f); }

void turn_view(View& view, float tilt, float turn) {
    view.angles.angle_x = wrapped(view.angles.angle_x + tilt);
    view.angles.angle_y = wrapped(view.angles.angle_y + turn);
}

void move_viewer(View& view, int steps) {
    const float factor = std::pow(zoom_per_step, static_cast<float>(steps));
    view.zoom = std::clamp(view.zoom * factor, view.zoom_min, view.zoom_max);
}

void reset_view(View& view) {
    view.angles = view.start;
    view.zoom = 1.0f;
}
