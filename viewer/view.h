#pragma once

// Where the viewer looks from: the view angles, how near the viewer stands, whether the turn
// goes on by itself, and how the user's input moves all of that.

#include "present/present.h"
#include "render/render.h"

struct View {
    ViewAngles start;  // what R goes back to
    ViewAngles angles;
    // Multiplies the coordinates on their way into the rotation, which is the same as the viewer
    // standing at 2000 / zoom; kept between zoom_min and zoom_max.
    float zoom;
    float zoom_min;
    float zoom_max;
    bool paused;
    bool dragging;
    int drag_x;
    int drag_y;
};

// A fitted cloud lies within this distance of the origin: far enough inside the 2000 units to
// the viewer that at the largest zoom all of it stays in front of the viewer.
inline constexpr float fitted_radius = 880.0f;

// The view at start. A fitted cloud may be brought up to where its farthest point would come
// within 5 % of the viewer; coordinates taken as they are may come 64 times nearer or farther.
View initial_view(const ViewAngles& start, bool fitted);

// One degree further about the vertical axis: the turn of every frame, and of --frames.
void advance_turn(View& view);

// Turns by `tilt` degrees about the horizontal axis and `turn` about the vertical one.
void turn_view(View& view, float tilt, float turn);

// Moves the viewer `steps` wheel steps closer (positive) or farther (negative).
void move_viewer(View& view, int steps);

// Back to the starting angles and distance; paused or not, as it was.
void reset_view(View& view);

enum class ViewerAction { none, save_picture, quit };

// What one input event does to the view, and what the program must do about it.
ViewerAction apply_input(View& view, const InputEvent& event);
