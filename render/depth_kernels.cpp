// The reference routines of the depth-tested draw and of its resolve: one point, one pixel at a
// time.

#include "render/depth_kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "render/point_kernels.h"
#include "render/render.h"

namespace {

constexpr std::uint32_t sign_bit = 0x80000000;
constexpr std::uint32_t mantissa_bits = 0x007FFFFF;
constexpr std::uint32_t exponent_of_one = 0x3F800000;
constexpr int exponent_bias = 127;
constexpr int mantissa_width = 23;
constexpr int bits_per_byte = 8;
constexpr std::uint32_t byte_mask = 0xFF;

// An unsigned number in the same order as the depths: positive depths keep their bits above the
// sign bit, negative ones are turned over below it.
std::uint32_t depth_key(float depth) {
    const auto bits = std::bit_cast<std::uint32_t>(depth);
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

std::uint64_t depth_word(float depth, std::uint32_t color) {
    return static_cast<std::uint64_t>(depth_key(depth)) << 32 | color;
}

// Stores whether or not the candidate wins: which one does is as good as random, and a branch
// on it would be mispredicted half the time.
void depth_test(std::uint64_t& word, std::uint64_t candidate) { word = std::min(word, candidate); }

void draw_depth_span_scalar(const Point* points, std::int32_t count,
                            const DepthProjection& projection, std::uint64_t* words) {
    for (std::int32_t i = 0; i < count; ++i) {
        const Point& point = points[i];
        const Rotated rotated = rotate_view(point.x, point.y, point.z, projection.rotation);
        const float depth = rotated.tz + viewing_distance;
        if (depth < projection.near_distance) {
            continue;
        }
        const ScreenPoint screen{
            (projection.focal_length * (rotated.tx + projection.pan_x)) / depth,
            (projection.focal_length * (rotated.ty + projection.pan_y)) / depth};
        // Written so that a NaN fails every comparison and is skipped.
        const bool on_frame = screen.sx <= projection.limit_x && screen.sx >= -projection.limit_x &&
                              screen.sy <= projection.limit_y && screen.sy >= -projection.limit_y;
        if (!on_frame) {
            continue;
        }
        depth_test_square(projection, projection.centre_column + static_cast<int>(screen.sx),
                          projection.centre_row - static_cast<int>(screen.sy),
                          depth_word(depth, pixel_from_color(point.color)), words);
    }
}

std::size_t pixel_index(const ResolveRows& rows, int row, int column) {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(rows.width) +
           static_cast<std::size_t>(column);
}

// The nearer of the two threads' words of a pixel, which are emptied if `empty` says so.
std::uint64_t nearest_word(const ResolveRows& rows, std::size_t index, bool empty) {
    std::uint64_t word = rows.words[index];
    if (rows.worker_words != nullptr) {
        word = std::min(word, rows.worker_words[index]);
    }
    if (empty) {
        rows.words[index] = empty_word;
        if (rows.worker_words != nullptr) {
            rows.worker_words[index] = empty_word;
        }
    }
    return word;
}

std::uint32_t pixel_of(const ResolveRows& rows, std::uint64_t word) {
    return word == empty_word ? rows.background : static_cast<std::uint32_t>(word);
}

float log2_depth(std::uint32_t key) {
    const std::uint32_t bits = std::max(key, smallest_normal_key) - sign_bit;
    const auto exponent =
        static_cast<float>(static_cast<int>(bits >> mantissa_width) - exponent_bias);
    const float t = std::bit_cast<float>((bits & mantissa_bits) | exponent_of_one) - 1.0f;
    const float* const a = log2_mantissa_terms;
    return exponent + (t + (t * (1.0f - t)) * (a[0] + t * (a[1] + t * (a[2] + t * a[3]))));
}

// 2^(-nearer · darkening) in 256ths, rounded.
int shade_of(float nearer, float darkening) {
    const float power = std::max(-(nearer * darkening), darkest_power);
    const float whole = std::floor(power);
    const float f = power - whole;
    const float* const b = exp2_fraction_terms;
    const float fraction = 1.0f + (f + (f * (f - 1.0f)) * (b[0] + f * b[1]));
    const auto scale = std::bit_cast<float>(
        static_cast<std::uint32_t>(static_cast<int>(whole) + exponent_bias) << mantissa_width);
    return static_cast<int>(std::lrint(fraction * scale * static_cast<float>(full_shade)));
}

// Each byte of the colour times shade / 256, rounded down.
std::uint32_t shaded_color(std::uint32_t color, int shade) {
    std::uint32_t shaded = 0;
    for (int shift = 0; shift < 32; shift += bits_per_byte) {
        const std::uint32_t byte = (color >> shift) & byte_mask;
        shaded |= (byte * static_cast<std::uint32_t>(shade) >> bits_per_byte) << shift;
    }
    return shaded;
}

void resolve_row_scalar(const ResolveRows& rows, int row) {
    for (int column = 0; column < rows.width; ++column) {
        resolve_pixel(rows, row, column);
    }
}

void log_row_scalar(const ResolveRows& rows, int row, LitRow kind, float* log_depths) {
    for (int column = 0; column < rows.width; ++column) {
        log_pixel(rows, row, column, kind, log_depths);
    }
}

void shade_row_scalar(const ResolveRows& rows, int row, const float* above, const float* centre,
                      const float* below) {
    for (int column = 0; column < rows.width; ++column) {
        shade_pixel(rows, row, column, above, centre, below);
    }
}

}  // namespace

void depth_test_square(const DepthProjection& projection, int column, int row, std::uint64_t word,
                       std::uint64_t* words) {
    const int size = projection.point_size;
    const int left = std::max(column - (size - 1) / 2, 0);
    const int right = std::min(column + size / 2, projection.width - 1);
    const int top = std::max(row - (size - 1) / 2, 0);
    const int bottom = std::min(row + size / 2, projection.height - 1);
    for (int y = top; y <= bottom; ++y) {
        std::uint64_t* const line = words + static_cast<std::size_t>(y) * projection.width;
        for (int x = left; x <= right; ++x) {
            depth_test(line[x], word);
        }
    }
}

void resolve_pixel(const ResolveRows& rows, int row, int column) {
    const std::size_t index = pixel_index(rows, row, column);
    rows.pixels[index] = pixel_of(rows, nearest_word(rows, index, true));
}

void log_pixel(const ResolveRows& rows, int row, int column, LitRow kind, float* log_depths) {
    const std::size_t index = pixel_index(rows, row, column);
    const std::uint64_t word = nearest_word(rows, index, kind == LitRow::emptied);
    if (kind != LitRow::neighbours) {
        rows.pixels[index] = pixel_of(rows, word);
    }
    log_depths[column] =
        word == empty_word ? empty_log_depth : log2_depth(static_cast<std::uint32_t>(word >> 32));
}

void shade_pixel(const ResolveRows& rows, int row, int column, const float* above,
                 const float* centre, const float* below) {
    const float depth = centre[column];
    if (depth == empty_log_depth) {
        return;
    }
    const float* const neighbour_rows[3] = {above, centre, below};
    float nearer = 0.0f;
    for (const auto& step : eye_dome_steps) {
        const float rise = depth - neighbour_rows[step[1] + 1][column + step[0] * rows.radius];
        nearer = nearer + (rise > 0.0f ? rise : 0.0f);
    }
    std::uint32_t& pixel = rows.pixels[pixel_index(rows, row, column)];
    pixel = shaded_color(pixel, shade_of(nearer, rows.darkening));
}

DepthKernels scalar_depth_kernels() {
    return DepthKernels{draw_depth_span_scalar, resolve_row_scalar, log_row_scalar,
                        shade_row_scalar};
}
