#include <gtest/gtest.h>

#include "present/input_queue.h"

namespace {

InputEvent pointer_at(int x) {
    return {InputKind::pointer_moved, Key::other, Button::left, x, -x, 0};
}

void take_all() {
    InputEvent event{};
    while (next_input_event(event)) {
    }
}

// Takes the waiting events and expects pointer positions first, first + 1, ... up to last.
void expect_pointers(int first, int last) {
    InputEvent event{};
    for (int x = first; x <= last; ++x) {
        ASSERT_TRUE(next_input_event(event)) << x;
        EXPECT_EQ(event.kind, InputKind::pointer_moved);
        EXPECT_EQ(event.x, x);
        EXPECT_EQ(event.y, -x);
    }
    EXPECT_FALSE(next_input_event(event));
}

TEST(InputQueue, GivesEventsOldestFirstAndKeepsTheLatest256) {
    take_all();
    InputEvent event{};
    EXPECT_FALSE(next_input_event(event));

    // Taken as they come, across the end of the ring and back to its start.
    for (int round = 0; round < 3; ++round) {
        for (int x = 0; x < 200; ++x) {
            queue_input_event(pointer_at(x));
        }
        expect_pointers(0, 199);
    }

    // Nobody takes them: the oldest give way, the order stays.
    for (int x = 0; x < 300; ++x) {
        queue_input_event(pointer_at(x));
    }
    EXPECT_TRUE(input_event_waiting());
    expect_pointers(44, 299);
    EXPECT_FALSE(input_event_waiting());

    // An event keeps all it tells.
    InputEvent resized{InputKind::resized, Key::other, Button::other, 0, 0, 0};
    resized.shift = true;
    resized.width = 8192;
    resized.height = 3;
    queue_input_event(resized);
    queue_input_event({InputKind::wheel, Key::other, Button::middle, 5, 6, -2});
    ASSERT_TRUE(next_input_event(event));
    EXPECT_EQ(event.kind, InputKind::resized);
    EXPECT_TRUE(event.shift);
    EXPECT_EQ(event.width, 8192);
    EXPECT_EQ(event.height, 3);
    ASSERT_TRUE(next_input_event(event));
    EXPECT_EQ(event.kind, InputKind::wheel);
    EXPECT_EQ(event.button, Button::middle);
    EXPECT_EQ(event.wheel_steps, -2);
    EXPECT_FALSE(event.shift);
    EXPECT_FALSE(input_event_waiting());
}

}  // namespace
