#pragma once

// Where the viewer looks from: the view angles, how near the viewer stands, how far the view is
// moved sideways, how large the points are drawn, whether the turn goes on by itself, and how
// the user's input changes all of that.

#include "present/present.h"
#include "render/render.h"

enum class Drag { none, turn, pan };

// How near the viewer stands and how far the view is moved sideways: the start of a view, or
// what fitting a cloud to the window gives.
struct Framing {
    // Multiplies the coordinates on their way into the rotation, which is the same as the viewer
    // standing at 2000 / zoom.
    float zoom;
    // Added to the turned coordinates before they are projected: the view moved sideways.
    float pan_x;
    float pan_y;
};

struct View {
    ViewAngles start;  // what R goes back to
    Framing start_framing;
    ViewAngles angles;
    // Multiplies the coordinates on their way into the rotation, which is the same as the viewer
    // standing at 2000 / zoom; kept between zoom_min and zoom_max.
    float zoom;
    float zoom_min;
    float zoom_max;
    // Added to the turned coordinates before they are projected: the view moved sideways.
    float pan_x;
    float pan_y;
    // Pixels a side of a point; 0 lets the viewer choose from the cloud's spacing.
    int point_size;
    bool eye_dome;
    bool paused;
    Drag drag;
    int drag_x;
    int drag_y;
};

// The view at start. The viewer may come 64 times nearer or farther than it starts.
View initial_view(const ViewAngles& start, const Framing& framing, int point_size, bool eye_dome);

// Turns by `degrees` about the vertical axis: the turn of the window's clock, and of --frames.
void advance_turn(View& view, float degrees);

// Turns by `tilt` degrees about the horizontal axis and `turn` about the vertical one.
void turn_view(View& view, float tilt, float turn);

// Moves the viewer `steps` wheel steps closer (positive) or farther (negative).
void move_viewer(View& view, int steps);

// Back to the starting angles, distance and place; paused or not, as it was.
void reset_view(View& view);

enum class ViewerAction {
    none,
    // The view changed: the next frame must be drawn.
    redraw,
    // The view changed so that the cloud should be fitted to the window again at the angles it
    // now has (F, or a view along an axis).
    refit,
    // [ and ]: the point size is to go one pixel down or up from what is drawn now.
    smaller_points,
    larger_points,
    save_picture,
    quit,
};

// What one input event does to the view, and what the program must do about it. `pixels_per_unit`
// is how many pixels a unit of the turned coordinates covers at the cloud's centre, so that a
// drag moves the view sideways as far as the pointer went.
ViewerAction apply_input(View& view, const InputEvent& event, float pixels_per_unit);
