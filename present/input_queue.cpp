#include "present/input_queue.h"

#include <cstddef>

namespace {

// A ring of fixed size, so that a program that never takes its events (the demo) keeps a
// bounded handful of the latest ones and allocates nothing.
constexpr std::size_t queue_capacity = 256;
InputEvent queued[queue_capacity];
std::size_t oldest = 0;
std::size_t waiting = 0;

}  // namespace

void queue_input_event(const InputEvent& event) {
    if (waiting == queue_capacity) {
        oldest = (oldest + 1) % queue_capacity;
        --waiting;
    }
    queued[(oldest + waiting) % queue_capacity] = event;
    ++waiting;
}

bool next_input_event(InputEvent& event) {
    if (waiting == 0) {
        return false;
    }
    event = queued[oldest];
    oldest = (oldest + 1) % queue_capacity;
    --waiting;
    return true;
}
