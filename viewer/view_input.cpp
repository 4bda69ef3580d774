// How the mouse and the keys move the view. A positive angle_y brings the near side of the
// cloud to the right, a positive angle_x brings it up.

#include "viewer/view.h"

namespace {

// A drag across the whole window turns the view by about half a turn.
constexpr float degrees_per_pixel = 0.2f;
constexpr float degrees_per_arrow = 5.0f;

// The views along the axes: from above, from the front, from the right-hand side.
constexpr ViewAngles view_from_above{-90.0f, 0.0f, 0.0f};
constexpr ViewAngles view_from_front{0.0f, 0.0f, 0.0f};
constexpr ViewAngles view_from_side{0.0f, -90.0f, 0.0f};

ViewerAction look_along_axis(View& view, const ViewAngles& angles) {
    view.angles = angles;
    view.pan_x = 0.0f;
    view.pan_y = 0.0f;
    view.paused = true;
    return ViewerAction::refit;
}

ViewerAction apply_key(View& view, Key key) {
    switch (key) {
        case Key::space:
            view.paused = !view.paused;
            return ViewerAction::redraw;
        case Key::escape:
        case Key::q:
            return ViewerAction::quit;
        case Key::r:
            reset_view(view);
            return ViewerAction::redraw;
        case Key::p:
            return ViewerAction::save_picture;
        case Key::plus:
            move_viewer(view, 1);
            return ViewerAction::redraw;
        case Key::minus:
            move_viewer(view, -1);
            return ViewerAction::redraw;
        case Key::left:
            turn_view(view, 0.0f, -degrees_per_arrow);
            return ViewerAction::redraw;
        case Key::right:
            turn_view(view, 0.0f, degrees_per_arrow);
            return ViewerAction::redraw;
        case Key::up:
            turn_view(view, degrees_per_arrow, 0.0f);
            return ViewerAction::redraw;
        case Key::down:
            turn_view(view, -degrees_per_arrow, 0.0f);
            return ViewerAction::redraw;
        case Key::digit_1:
            return look_along_axis(view, view_from_above);
        case Key::digit_2:
            return look_along_axis(view, view_from_front);
        case Key::digit_3:
            return look_along_axis(view, view_from_side);
        case Key::f:
            view.pan_x = 0.0f;
            view.pan_y = 0.0f;
            return ViewerAction::refit;
        case Key::e:
            view.eye_dome = !view.eye_dome;
            return ViewerAction::redraw;
        case Key::left_bracket:
            return ViewerAction::smaller_points;
        case Key::right_bracket:
            return ViewerAction::larger_points;
        case Key::other:
            break;
    }
    return ViewerAction::none;
}

}  // namespace

ViewerAction apply_input(View& view, const InputEvent& event, float pixels_per_unit) {
    switch (event.kind) {
        case InputKind::key_down:
            return apply_key(view, event.key);
        case InputKind::button_down:
            // The left button turns the view, with Shift or another button it moves sideways.
            view.drag = event.button == Button::left && !event.shift ? Drag::turn : Drag::pan;
            view.drag_x = event.x;
            view.drag_y = event.y;
            return ViewerAction::none;
        case InputKind::button_up:
            view.drag = Drag::none;
            return ViewerAction::none;
        case InputKind::pointer_moved: {
            const int dx = event.x - view.drag_x;
            const int dy = event.y - view.drag_y;
            view.drag_x = event.x;
            view.drag_y = event.y;
            if (view.drag == Drag::turn) {
                // Across turns about the vertical axis; up and down tilts, the near side
                // following the pointer.
                turn_view(view, static_cast<float>(-dy) * degrees_per_pixel,
                          static_cast<float>(dx) * degrees_per_pixel);
                return ViewerAction::redraw;
            }
            if (view.drag == Drag::pan && pixels_per_unit > 0.0f) {
                // The cloud follows the pointer; screen rows run downwards.
                view.pan_x += static_cast<float>(dx) / pixels_per_unit;
                view.pan_y -= static_cast<float>(dy) / pixels_per_unit;
                return ViewerAction::redraw;
            }
            return ViewerAction::none;
        }
        case InputKind::wheel:
            move_viewer(view, event.wheel_steps);
            return ViewerAction::redraw;
        case InputKind::resized:
            return ViewerAction::redraw;
    }
    return ViewerAction::none;
}
