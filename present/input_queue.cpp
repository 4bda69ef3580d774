#include "present/input_queue.h"

#include <array>
#include <cstddef>

namespace {

// A ring: `waiting` events from `oldest` on, wrapping at the end of the array.
std::array<InputEvent, 256> events;
std::size_t oldest = 0;
std::size_t waiting = 0;

}  // namespace

void queue_input_event(const InputEvent& event) {
    if (waiting == events.size()) {
        oldest = (oldest + 1) % events.size();
        --waiting;
    }
    events[(oldest + waiting) % events.size()] = event;
    ++waiting;
}

bool next_input_event(InputEvent& event) {
    if (waiting == 0) {
        return false;
    }
    event = events[oldest];
    oldest = (oldest + 1) % events.size();
    --waiting;
    return true;
}

bool input_event_waiting() { return waiting > 0; }
