// A window that shows the window tests' pattern at the size of its client area and says what it
// shows and what input it takes: the tests of frames of any size and of the keys and buttons.
//
//   pattern_window WIDTH HEIGHT
//       Opens a window titled "pattern_window" whose client area is WIDTH × HEIGHT, shows the
//       pattern at the client area's size and prints "shown W x H in W x H", then waits for
//       input without drawing. It prints each input event in a line ("key left_bracket shift",
//       "button_down right 10 20", "resized 800 x 600"); at each change of the client area's
//       size it shows the pattern at the new size. ] and [ make the frames 100 pixels wider and
//       taller than the client area, or narrower and shorter, one step a press ("shown 903 x 701
//       in 803 x 601"). Ends with status 0 once the window has been closed, 1 where no window
//       can be made.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "present/present.h"
#include "tests/window/test_pattern.h"

namespace {

const char* key_name(Key key) {
    switch (key) {
        case Key::other:
            return "other";
        case Key::space:
            return "space";
        case Key::escape:
            return "escape";
        case Key::q:
            return "q";
        case Key::r:
            return "r";
        case Key::p:
            return "p";
        case Key::e:
            return "e";
        case Key::f:
            return "f";
        case Key::plus:
            return "plus";
        case Key::minus:
            return "minus";
        case Key::left_bracket:
            return "left_bracket";
        case Key::right_bracket:
            return "right_bracket";
        case Key::digit_1:
            return "digit_1";
        case Key::digit_2:
            return "digit_2";
        case Key::digit_3:
            return "digit_3";
        case Key::left:
            return "left";
        case Key::right:
            return "right";
        case Key::up:
            return "up";
        case Key::down:
            return "down";
    }
    return "?";
}

const char* button_name(Button button) {
    switch (button) {
        case Button::left:
            return "left";
        case Button::right:
            return "right";
        case Button::middle:
            return "middle";
        case Button::other:
            return "other";
    }
    return "?";
}

void print_event(const InputEvent& event) {
    const char* shift = event.shift ? " shift" : "";
    switch (event.kind) {
        case InputKind::key_down:
            std::printf("key %s%s\n", key_name(event.key), shift);
            break;
        case InputKind::button_down:
        case InputKind::button_up:
            std::printf("%s %s %d %d%s\n",
                        event.kind == InputKind::button_down ? "button_down" : "button_up",
                        button_name(event.button), event.x, event.y, shift);
            break;
        case InputKind::pointer_moved:
            std::printf("pointer_moved %d %d%s\n", event.x, event.y, shift);
            break;
        case InputKind::wheel:
            std::printf("wheel %d%s\n", event.wheel_steps, shift);
            break;
        case InputKind::resized:
            std::printf("resized %d x %d\n", event.width, event.height);
            break;
    }
}

void draw_pattern(std::vector<std::uint32_t>& pixels, int width, int height) {
    pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                   static_cast<std::size_t>(x)] = pattern_pixel(x, y, width, height);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_streams();
    if (argc != 3) {
        std::fprintf(stderr, "usage: pattern_window WIDTH HEIGHT\n");
        return 2;
    }
    store_instance_handle();
    init_window_sized("pattern_window", "pattern_window", std::atoi(argv[1]), std::atoi(argv[2]));
    if (!window_shown()) {
        return EXIT_FAILURE;
    }
    std::vector<std::uint32_t> pixels;
    int beyond_client = 0;  // how much wider and taller than the client area a frame is
    int shown_width = -1;
    int shown_height = -1;
    for (;;) {
        int client_width = 0;
        int client_height = 0;
        window_client_size(client_width, client_height);
        const int width = std::max(client_width + beyond_client, 0);
        const int height = std::max(client_height + beyond_client, 0);
        if (width != shown_width || height != shown_height) {
            draw_pattern(pixels, width, height);
            if (!present_pixels(FrameView{pixels.data(), width, height})) {
                break;
            }
            shown_width = width;
            shown_height = height;
            std::printf("shown %d x %d in %d x %d\n", width, height, client_width, client_height);
            std::fflush(stdout);
        }
        if (!wait_for_input(1000)) {
            break;
        }
        InputEvent event{};
        while (next_input_event(event)) {
            print_event(event);
            if (event.kind == InputKind::key_down && event.key == Key::right_bracket) {
                beyond_client += 100;
            } else if (event.kind == InputKind::key_down && event.key == Key::left_bracket) {
                beyond_client -= 100;
            }
        }
        std::fflush(stdout);
    }
    return display_lost() ? EXIT_FAILURE : EXIT_SUCCESS;
}
