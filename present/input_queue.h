#pragma once

// Inside the platform layer only: where each backend puts the input events it receives.

#include "present/present.h"

// Keeps `event` for next_input_event; when 256 are waiting, the oldest makes room.
void queue_input_event(const InputEvent& event);
