#pragma once

// The parts that the vector kernels share. Each kernel's file is compiled with its own
// instruction-set flags, so everything here has internal linkage: a copy built for AVX-512
// must never be the one that the linker hands to code running on a processor without it.
//
// Every kernel computes exactly what the scalar routines compute, lane by lane:
// - the rotation with the grouping of rotate_view, (m[r][0]·x + m[r][1]·y) + m[r][2]·z, and
//   no fused multiply-adds (the whole build has -ffp-contract=off);
// - a = 800·tx, b = 800·ty and d = tz + 2000, then the true divisions a / d and b / d;
// - the screen test as |sx| <= 511 and |sy| <= 399, which is the same as the four
//   comparisons of pixel_index because negation is exact and NaN fails both;
// - truncating conversions, which give pixel_index's column and row offsets, and the pixel
//   value of a colour: 0x80000000 for NaN and out-of-range colours, as pixel_from_color;
// - the visible points of a group written lowest lane (earliest point) first, so that a later
//   point overwrites an earlier one at the same pixel.
//
// Dropping a group before dividing. Most groups of points lie wholly off the screen, and the
// divisions are the dearest step, so a group is dropped when every point in it is surely off:
// |a| > fl(512·|d|) or |b| > fl(400·|d|), fl being the float product as the processor rounds
// it. This never drops a visible point. Take the test on a with L = 511 (b with 399 and 400
// is the same):
// - d = 0: the bound is 0, so a is not 0 and a / d is infinite, which is off. 0 / 0 is kept.
// - (L + 1)·|d| below 2^-126: both factors are whole multiples of 2^-149 (every float is), so
//   the product is one too and is exact. Then |a| / |d| > L + 1, and since rounding is
//   monotonic and L + 1 is a float, |sx| = fl(|a| / |d|) >= L + 1 > L: off.
// - (L + 1)·|d| in the normal range: it is rounded by at most a factor of (1 - 2^-24), so
//   |a| / |d| > (L + 1)(1 - 2^-24) > L + 0.5, and |sx| >= L + 0.5 > L: off.
// - the product overflows to infinity, or anything is NaN: the comparison is false and the
//   point goes on to the exact test.
// The tests drive points onto both sides of every screen limit through each kernel.

#include <cstdint>
#include <limits>

#include "render/point_kernels.h"

namespace {

constexpr float drop_limit_x = screen_limit_x + 1.0f;
constexpr float drop_limit_y = screen_limit_y + 1.0f;

// A padding point that no kernel ever finds on the screen.
constexpr Point off_screen_point{std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, 0.0f};

// How far ahead of the group in hand the points are fetched, past the caches (4 KB): when a
// group's pixel writes stall the kernel, the memory keeps streaming the points that follow.
constexpr std::int32_t prefetch_points = 256;
constexpr std::int32_t points_per_line = 64 / static_cast<std::int32_t>(sizeof(Point));

// Runs `draw_group` over each whole group of `width` points, then over the last few points
// padded out with off-screen points.
template <int width, class Sink, class DrawGroup>
void run_span(const Point* points, std::int32_t count, Sink& sink, const DrawGroup& draw_group) {
    std::int32_t first = 0;
    for (; first + width <= count; first += width) {
        if (first + prefetch_points + width <= count) {
            for (std::int32_t line = 0; line < width; line += points_per_line) {
                __builtin_prefetch(points + first + prefetch_points + line, 0, 0);
            }
        }
        draw_group(points + first, sink);
    }
    if (first < count) {
        Point padded[width];
        for (int lane = 0; lane < width; ++lane) {
            padded[lane] = first + lane < count ? points[first + lane] : off_screen_point;
        }
        draw_group(padded, sink);
    }
}

// A kernel's two routines from its group of `width` points, which hands the visible points
// of each group, in index order, to a FrameSink that writes them or a LogSink that logs them.
template <int width, class DrawGroup, class FrameSink, class LogSink>
SpanKernels span_kernels() {
    return SpanKernels{
        [](const Point* points, std::int32_t count, const ViewRotation& rotation) {
            FrameSink sink;
            run_span<width>(points, count, sink, DrawGroup{rotation});
        },
        [](const Point* points, std::int32_t count, const ViewRotation& rotation, PixelLog log) {
            LogSink sink{log, 0};
            run_span<width>(points, count, sink, DrawGroup{rotation});
            return sink.count;
        },
    };
}

}  // namespace
