#pragma once

// Inside the renderer only: the interchangeable routines of the depth-tested draw and of its
// resolve, one set per instruction set, and what they share. Every vector routine gives exactly
// what the scalar one gives, word for word and pixel for pixel.

#include <cstddef>
#include <cstdint>

#include "render/render.h"
#include "scene/scene.h"

// A DepthCamera projected onto a frame of width × height: everything a routine that draws a run
// of points needs, formed once per draw.
struct DepthProjection {
    ViewRotation rotation;
    float pan_x;
    float pan_y;
    float focal_length;
    float near_distance;
    // A point is drawn where |sx| <= limit_x and |sy| <= limit_y.
    float limit_x;
    float limit_y;
    int centre_column;
    int centre_row;
    int width;
    int height;
    int point_size;
};

// The word of an empty pixel.
inline constexpr std::uint64_t empty_word = ~std::uint64_t{0};

// The log depth of an empty pixel: above any real one, so that it never darkens a neighbour.
inline constexpr float empty_log_depth = 1.0e30f;

// Depth-tests the word of each of `count` points (1 or more) against `words`, the frame's
// width × height words, keeping the smaller.
using DepthSpan = void (*)(const Point* points, std::int32_t count,
                           const DepthProjection& projection, std::uint64_t* words);

// What a resolve works on, row by row.
struct ResolveRows {
    std::uint64_t* words;
    // The worker's words, or null where it drew nothing.
    std::uint64_t* worker_words;
    std::uint32_t* pixels;
    int width;
    std::uint32_t background;
    // Eye-dome lighting: the neighbours' distance (1 to largest_eye_dome_radius), and the
    // strength divided by the count of neighbours.
    int radius;
    float darkening;
};

// Writes row `row` of the pixels from the words, each the colour of its word or the background
// where the word is empty, and empties the words.
using ResolveRow = void (*)(const ResolveRows& rows, int row);

// With eye-dome lighting, the rows are resolved block by block, and each block needs the log
// depths of the rows about it too. What a row is to the block in hand: one of the rows about
// it, read for its log depths alone; or one of its own, written as pixels, whose words are kept
// while a neighbouring block may still read them and emptied otherwise.
enum class LitRow { neighbours, kept, emptied };

// Writes the log depths of row `row` to log_depths[0] to log_depths[width - 1] (the empty log
// depth where the words are empty), and as `kind` says, its pixels and its emptied words.
using LogRow = void (*)(const ResolveRows& rows, int row, LitRow kind, float* log_depths);

// Darkens the pixels of row `row` by the log depths about them: those of the row at `centre`,
// those of the rows `radius` above and below it at `above` and `below`. Each holds the
// largest radius of empty log depths before its column 0 and after its last column.
using ShadeRow = void (*)(const ResolveRows& rows, int row, const float* above, const float* centre,
                          const float* below);

struct DepthKernels {
    DepthSpan draw;
    ResolveRow resolve;
    LogRow log_row;
    ShadeRow shade_row;
};

// Built from rotate_view and the routines below: the reference.
DepthKernels scalar_depth_kernels();

#ifdef POINTCLOUD_X86_KERNELS
// Eight points or pixels at a time; needs AVX2.
DepthKernels avx2_depth_kernels();
// Sixteen points of one pixel at a time, the rest as avx2_depth_kernels; needs AVX-512F.
DepthKernels avx512_depth_kernels();
#endif

// The routines that the vector kernels share with the reference, compiled without any
// instruction-set flags.

// Depth-tests `word` against every pixel of the point's square about (column, row), clipped to
// the frame.
void depth_test_square(const DepthProjection& projection, int column, int row, std::uint64_t word,
                       std::uint64_t* words);

// The pixel, log depth and shade of pixel `column` of row `row`, exactly as the vector kernels
// compute them lane by lane: they finish each row's last few pixels with these.
void resolve_pixel(const ResolveRows& rows, int row, int column);
void log_pixel(const ResolveRows& rows, int row, int column, LitRow kind, float* log_depths);
void shade_pixel(const ResolveRows& rows, int row, int column, const float* above,
                 const float* centre, const float* below);

// log2 of a depth from the high half of its word: a polynomial on the mantissa, exact at powers
// of two, within 2e-5; depths of 0 and below (and subnormal ones) give -126.
inline constexpr std::uint32_t smallest_normal_key = 0x80800000;
inline constexpr float log2_mantissa_terms[4] = {0.441835872f, -0.26653628f, 0.14701877f,
                                                 -0.0442437413f};
// 2^f for f in [0, 1): a polynomial exact at 0, within 1.4e-4 of the value.
inline constexpr float exp2_fraction_terms[2] = {0.304143149f, 0.0791449657f};
// Below this power of two a shade is 0 once rounded to 256ths.
inline constexpr float darkest_power = -16.0f;
// A shade of 1 in the fixed point that multiplies the colour's bytes.
inline constexpr int full_shade = 256;

// The neighbours of eye-dome lighting, as steps of one radius across and down (-1 the row
// above, 1 the row below), in the order that every kernel adds up their darkening.
inline constexpr int eye_dome_neighbours = 8;
inline constexpr int eye_dome_steps[eye_dome_neighbours][2] = {{-1, 0},  {1, 0},  {0, -1}, {0, 1},
                                                               {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
