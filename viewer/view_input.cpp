// How the mouse and the keys move the view. A positive angle_y brings the near side of the
// cloud to the right, a positive angle_x brings it up.

#include "viewer/view.h"

namespace {

// A drag across the whole window turns the view by about half a turn.
constexpr float degrees_per_pixel = 0.2f;
constexpr float degrees_per_arrow = 5.0f;

ViewerAction apply_key(View& view, Key key) {
    switch (key) {
        case Key::space:
            view.paused = !view.paused;
            break;
        case Key::escape:
        case Key::q:
            return ViewerAction::quit;
        case Key::r:
            reset_view(view);
            break;
        case Key::p:
            return ViewerAction::save_picture;
        case Key::plus:
            move_viewer(view, 1);
            break;
        case Key::minus:
            move_viewer(view, -1);
            break;
        case Key::left:
            turn_view(view, 0.0f, -degrees_per_arrow);
            break;
        case Key::right:
            turn_view(view, 0.0f, degrees_per_arrow);
            break;
        case Key::up:
            turn_view(view, degrees_per_arrow, 0.0f);
            break;
        case Key::down:
            turn_view(view, -degrees_per_arrow, 0.0f);
            break;
        case Key::e:
        case Key::f:
        case Key::left_bracket:
        case Key::right_bracket:
        case Key::digit_1:
        case Key::digit_2:
        case Key::digit_3:
        case Key::other:
            break;
    }
    return ViewerAction::none;
}

}  // namespace

ViewerAction apply_input(View& view, const InputEvent& event) {
    switch (event.kind) {
        case InputKind::key_down:
            return apply_key(view, event.key);
        case InputKind::button_down:
            if (event.button == Button::left) {
                view.dragging = true;
                view.drag_x = event.x;
                view.drag_y = event.y;
            }
            break;
        case InputKind::button_up:
            if (event.button == Button::left) {
                view.dragging = false;
            }
            break;
        case InputKind::pointer_moved:
            if (view.dragging) {
                // Across turns about the vertical axis; up and down tilts, the near side
                // following the pointer.
                turn_view(view, static_cast<float>(view.drag_y - event.y) * degrees_per_pixel,
                          static_cast<float>(event.x - view.drag_x) * degrees_per_pixel);
                view.drag_x = event.x;
                view.drag_y = event.y;
            }
            break;
        case InputKind::wheel:
            move_viewer(view, event.wheel_steps);
            break;
        case InputKind::resized:
            break;
    }
    return ViewerAction::none;
}
