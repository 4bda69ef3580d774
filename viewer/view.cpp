#include "viewer/view.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float full_turn = 360.0f;
constexpr float zoom_per_step = 1.1f;
constexpr float zoom_range = 64.0f;

// Angles stay within a turn either way, so that a long drag never costs a float its degrees.
// A whole turn gives exactly 0, as the demo's own wrap does.
float wrapped(float degrees) {
    return std::fabs(degrees) >= full_turn ? std::fmod(degrees, full_turn) : degrees;
}

}  // namespace

View initial_view(const ViewAngles& start, const Framing& framing, int point_size, bool eye_dome) {
    return View{start,
                framing,
                start,
                framing.zoom,
                framing.zoom / zoom_range,
                framing.zoom * zoom_range,
                framing.pan_x,
                framing.pan_y,
                point_size,
                eye_dome,
                false,
                Drag::none,
                0,
                0};
}

void advance_turn(View& view, float degrees) {
    view.angles.angle_y = wrapped(view.angles.angle_y + degrees);
}

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
    view.zoom = view.start_framing.zoom;
    view.pan_x = view.start_framing.pan_x;
    view.pan_y = view.start_framing.pan_y;
}
