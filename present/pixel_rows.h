#pragma once

#include <cstddef>
#include <cstdint>

#include "common/frame_buffer.h"

// Copies the top-left `width` × `height` pixels of `frame` into rows `pitch` bytes apart from
// `to` (32 bits a pixel in this machine's byte order, `to` and `pitch` multiples of 4), with
// `set_bits` set in every pixel. The rows are for another process to read (the X server), not
// this one: on x86-64 they are written with stores that bypass the caches, and they are in
// memory when the copy returns.
void copy_pixel_rows(const FrameView& frame, int width, int height, char* to, std::size_t pitch,
                     std::uint32_t set_bits);
