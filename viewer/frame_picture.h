#pragma once

// A frame as a PNG file, 8-bit RGB, at the frame's size.

#include <string>

#include "common/frame_buffer.h"

// Writes `frame` to `path` (UTF-8); false if the file cannot be written.
bool write_frame_png(const Frame& frame, const std::string& path);

// The first of "STEM-1.png", "STEM-2.png", ... that names no file in the working directory.
std::string unused_picture_name(const std::string& stem);
