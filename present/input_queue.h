#pragma once

#include "present/present.h"

// The events a backend has gathered from its window and nobody has taken yet, oldest first:
// at most the latest 256. next_input_event (present.h) takes them out.

// Adds an event; when 256 are waiting already, the oldest of them gives way.
void queue_input_event(const InputEvent& event);

// Whether any event is waiting to be taken.
bool input_event_waiting();
