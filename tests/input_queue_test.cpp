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
    expect_pointers(44, 299);

    queue_input_event({InputKind::wheel, Key::other, Button::left, 0, 0, -2});
    ASSERT_TRUE(next_input_event(event));
    EXPECT_EQ(event.kind, InputKind::wheel);
    EXPECT_EQ(event.wheel_steps, -2);
}

}  // namespace
