// Built with -mavx2: reached only through avx2_depth_kernels(), which the depth-tested draw calls
// only on a processor that has AVX2. Every routine computes exactly what the scalar one in
// depth_kernels.cpp computes, lane by lane, with the same operations in the same order (and no
// fused multiply-adds: the whole build has -ffp-contract=off).

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "render/depth_kernels.h"
#include "render/depth_pending.h"
#include "render/point_lanes_avx2.h"
#include "render/vector_kernel.h"

namespace {

constexpr int sign_bit = static_cast<int>(0x80000000);

// Eight points at a time through the rotation and the projection onto the frame, as
// draw_depth_span_scalar takes one; the visible ones go to the sink with their column, row,
// depth key and colour. A group is dropped before the divisions when every point in it is
// surely off the frame, by the test that vector_kernel.h shows sound for any limit, or nearer
// than the near distance.
struct DepthGroup8 {
    explicit DepthGroup8(const DepthProjection& projection)
        : pan_x(_mm256_set1_ps(projection.pan_x)),
          pan_y(_mm256_set1_ps(projection.pan_y)),
          focal(_mm256_set1_ps(projection.focal_length)),
          near_distance(_mm256_set1_ps(projection.near_distance)),
          limit_x(_mm256_set1_ps(projection.limit_x)),
          limit_y(_mm256_set1_ps(projection.limit_y)),
          drop_limit_x(_mm256_set1_ps(projection.limit_x + 1.0f)),
          drop_limit_y(_mm256_set1_ps(projection.limit_y + 1.0f)),
          centre_column(_mm256_set1_epi32(projection.centre_column)),
          centre_row(_mm256_set1_epi32(projection.centre_row)) {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                m[row][column] = _mm256_set1_ps(projection.rotation.m[row][column]);
            }
        }
    }

    __m256 rotated(int row, const Lanes& p) const {
        return _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(m[row][0], p.x), _mm256_mul_ps(m[row][1], p.y)),
            _mm256_mul_ps(m[row][2], p.z));
    }

    template <class Sink>
    void operator()(const Point* points, Sink& sink) const {
        const Lanes p = load_group(points);
        const __m256 a = _mm256_mul_ps(focal, _mm256_add_ps(rotated(0, p), pan_x));
        const __m256 b = _mm256_mul_ps(focal, _mm256_add_ps(rotated(1, p), pan_y));
        const __m256 d = _mm256_add_ps(rotated(2, p), _mm256_set1_ps(viewing_distance));

        const __m256 far_enough = _mm256_cmp_ps(d, near_distance, _CMP_NLT_UQ);
        const __m256 depth = magnitude(d);
        const __m256 maybe_on_frame = _mm256_and_ps(
            far_enough,
            _mm256_and_ps(
                _mm256_cmp_ps(magnitude(a), _mm256_mul_ps(drop_limit_x, depth), _CMP_NGT_UQ),
                _mm256_cmp_ps(magnitude(b), _mm256_mul_ps(drop_limit_y, depth), _CMP_NGT_UQ)));
        if (_mm256_testz_ps(maybe_on_frame, maybe_on_frame) != 0) {
            return;
        }

        const __m256 sx = _mm256_div_ps(a, d);
        const __m256 sy = _mm256_div_ps(b, d);
        const __m256 on_frame = _mm256_and_ps(
            far_enough, _mm256_and_ps(_mm256_cmp_ps(magnitude(sx), limit_x, _CMP_LE_OQ),
                                      _mm256_cmp_ps(magnitude(sy), limit_y, _CMP_LE_OQ)));
        const auto visible = static_cast<std::uint32_t>(_mm256_movemask_ps(on_frame));
        if (visible == 0) {
            return;
        }
        // The depth's bits turned into its key: negative depths turned over, positive ones
        // with the sign bit set.
        const __m256i bits = _mm256_castps_si256(d);
        const __m256i key = _mm256_xor_si256(
            bits, _mm256_or_si256(_mm256_srai_epi32(bits, 31), _mm256_set1_epi32(sign_bit)));
        sink.put(visible, _mm256_add_epi32(centre_column, _mm256_cvttps_epi32(sx)),
                 _mm256_sub_epi32(centre_row, _mm256_cvttps_epi32(sy)), key,
                 _mm256_cvttps_epi32(p.color));
    }

    __m256 m[3][3];
    __m256 pan_x, pan_y, focal, near_distance;
    __m256 limit_x, limit_y, drop_limit_x, drop_limit_y;
    __m256i centre_column, centre_row;
};

// The eight words of a group, depth key above colour, in lane order.
void store_words(std::uint64_t* words, __m256i key, __m256i color) {
    const __m256i low = _mm256_unpacklo_epi32(color, key);   // words 0 1 | 4 5
    const __m256i high = _mm256_unpackhi_epi32(color, key);  // words 2 3 | 6 7
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words),
                        _mm256_permute2x128_si256(low, high, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + 4),
                        _mm256_permute2x128_si256(low, high, 0x31));
}

// Points of one pixel, which a visible point always lies inside the frame. The eight lanes of a
// group are packed and all taken, which needs no branch: only the visible ones are counted, the
// others are overwritten by the next group.
struct PixelSink {
    PixelSink(std::uint64_t* frame_words, int frame_width)
        : words(frame_words), width(_mm256_set1_epi32(frame_width)) {}

    void put(std::uint32_t visible, __m256i column, __m256i row, __m256i key, __m256i color) {
        std::uint32_t* const indices = pending.filling_indices();
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(indices),
            packed(visible, _mm256_add_epi32(_mm256_mullo_epi32(row, width), column)));
        store_words(pending.filling_words(), packed(visible, key), packed(visible, color));
        for (int slot = 0; slot < 8; ++slot) {
            __builtin_prefetch(words + indices[slot], 1);
        }
        pending.count_filled(__builtin_popcount(visible), words);
    }

    void finish() { pending.finish(words); }

    std::uint64_t* words;
    __m256i width;
    PendingPixels pending{};
};

// Larger points: every pixel of each visible point's square, clipped to the frame, goes through
// the same tests.
struct SquareSink {
    void put(std::uint32_t visible, __m256i column, __m256i row, __m256i key, __m256i color) {
        std::int32_t columns[8];
        std::int32_t rows[8];
        std::uint64_t candidates[8];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(columns), packed(visible, column));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows), packed(visible, row));
        store_words(candidates, packed(visible, key), packed(visible, color));
        const int count = __builtin_popcount(visible);
        for (int slot = 0; slot < count; ++slot) {
            put_square(columns[slot], rows[slot], candidates[slot]);
        }
    }

    void put_square(int column, int row, std::uint64_t word) {
        const int size = projection->point_size;
        const int left = std::max(column - (size - 1) / 2, 0);
        const int right = std::min(column + size / 2, projection->width - 1);
        const int top = std::max(row - (size - 1) / 2, 0);
        const int bottom = std::min(row + size / 2, projection->height - 1);
        for (int y = top; y <= bottom; ++y) {
            const auto line = static_cast<std::uint32_t>(y * projection->width);
            for (int x = left; x <= right; ++x) {
                *pending.filling_indices() = line + static_cast<std::uint32_t>(x);
                *pending.filling_words() = word;
                __builtin_prefetch(words + line + x, 1);
                pending.count_filled(1, words);
            }
        }
    }

    void finish() { pending.finish(words); }

    const DepthProjection* projection;
    std::uint64_t* words;
    PendingPixels pending{};
};

void draw_depth_span_avx2(const Point* points, std::int32_t count,
                          const DepthProjection& projection, std::uint64_t* words) {
    const DepthGroup8 group(projection);
    if (projection.point_size == 1) {
        PixelSink sink(words, projection.width);
        run_span<8>(points, count, sink, group);
        sink.finish();
    } else {
        SquareSink sink{&projection, words};
        run_span<8>(points, count, sink, group);
        sink.finish();
    }
}

// A function, not a constant: a constant would be made by an AVX2 instruction at start-up, on
// every processor.
__m256i all_ones() { return _mm256_set1_epi32(-1); }

// The nearer of each pair, as unsigned numbers: AVX2 compares 64-bit lanes only as signed ones.
__m256i nearer_words(__m256i a, __m256i b) {
    const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL));
    const __m256i a_farther =
        _mm256_cmpgt_epi64(_mm256_xor_si256(a, flip), _mm256_xor_si256(b, flip));
    return _mm256_blendv_epi8(a, b, a_farther);
}

// A row's words and pixels, taken out of the record: the vector stores could write anything as
// far as the compiler knows, so fields read through the record would be read again after each.
struct RowPointers {
    std::uint64_t* words;
    std::uint64_t* worker_words;
    std::uint32_t* pixels;
    __m256i background;
};

RowPointers row_pointers(const ResolveRows& rows, int row) {
    const std::size_t start = static_cast<std::size_t>(row) * static_cast<std::size_t>(rows.width);
    return RowPointers{rows.words + start,
                       rows.worker_words != nullptr ? rows.worker_words + start : nullptr,
                       rows.pixels + start, _mm256_set1_epi32(static_cast<int>(rows.background))};
}

// The nearest of the threads' words of four pixels from `column` on, emptied if `emptied` says
// so.
template <bool with_worker, bool emptied = true>
__m256i take_nearest_words(const RowPointers& row, int column) {
    auto* const own = reinterpret_cast<__m256i*>(row.words + column);
    __m256i words = _mm256_loadu_si256(own);
    if constexpr (emptied) {
        _mm256_storeu_si256(own, all_ones());
    }
    if constexpr (with_worker) {
        auto* const worker = reinterpret_cast<__m256i*>(row.worker_words + column);
        words = nearer_words(words, _mm256_loadu_si256(worker));
        if constexpr (emptied) {
            _mm256_storeu_si256(worker, all_ones());
        }
    }
    return words;
}

// The low (or high) halves of eight 64-bit lanes, four from each register, in lane order.
__m256i low_halves(__m256i first, __m256i second) {
    const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(first), _mm256_castsi256_ps(second),
                                           _MM_SHUFFLE(2, 0, 2, 0));
    return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}
__m256i high_halves(__m256i first, __m256i second) {
    const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(first), _mm256_castsi256_ps(second),
                                           _MM_SHUFFLE(3, 1, 3, 1));
    return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}

// Eight pixels' nearest words taken, as their colours (the background where empty), their keys
// and whether each is empty.
struct EightPixels {
    __m256i colors;
    __m256i keys;
    __m256i empty;
};

template <bool with_worker, bool emptied = true>
EightPixels take_eight_pixels(const RowPointers& row, int column) {
    const __m256i first = take_nearest_words<with_worker, emptied>(row, column);
    const __m256i second = take_nearest_words<with_worker, emptied>(row, column + 4);
    const __m256i empty =
        low_halves(_mm256_cmpeq_epi64(first, all_ones()), _mm256_cmpeq_epi64(second, all_ones()));
    const __m256i colors = _mm256_blendv_epi8(low_halves(first, second), row.background, empty);
    return EightPixels{colors, high_halves(first, second), empty};
}

template <bool with_worker>
void resolve_row(const ResolveRows& rows, int row) {
    const RowPointers pointers = row_pointers(rows, row);
    const int width = rows.width;
    int column = 0;
    for (; column + 8 <= width; column += 8) {
        const EightPixels eight = take_eight_pixels<with_worker>(pointers, column);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pointers.pixels + column), eight.colors);
    }
    for (; column < width; ++column) {
        resolve_pixel(rows, row, column);
    }
}

void resolve_row_avx2(const ResolveRows& rows, int row) {
    if (rows.worker_words != nullptr) {
        resolve_row<true>(rows, row);
    } else {
        resolve_row<false>(rows, row);
    }
}

// log2_depth of each key.
__m256 log2_depths(__m256i keys) {
    const __m256i bits = _mm256_sub_epi32(
        _mm256_max_epu32(keys, _mm256_set1_epi32(static_cast<int>(smallest_normal_key))),
        _mm256_set1_epi32(sign_bit));
    const __m256 exponent =
        _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 t = _mm256_sub_ps(
        _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)),
                                            _mm256_set1_epi32(0x3F800000))),
        one);
    const float* const a = log2_mantissa_terms;
    const __m256 terms = _mm256_add_ps(
        _mm256_set1_ps(a[0]),
        _mm256_mul_ps(
            t, _mm256_add_ps(
                   _mm256_set1_ps(a[1]),
                   _mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(a[2]),
                                                  _mm256_mul_ps(t, _mm256_set1_ps(a[3])))))));
    return _mm256_add_ps(
        exponent, _mm256_add_ps(t, _mm256_mul_ps(_mm256_mul_ps(t, _mm256_sub_ps(one, t)), terms)));
}

template <bool with_worker, LitRow kind>
void log_row(const ResolveRows& rows, int row, float* log_depths) {
    const RowPointers pointers = row_pointers(rows, row);
    const int width = rows.width;
    int column = 0;
    for (; column + 8 <= width; column += 8) {
        const EightPixels eight =
            take_eight_pixels<with_worker, kind == LitRow::emptied>(pointers, column);
        if constexpr (kind != LitRow::neighbours) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(pointers.pixels + column), eight.colors);
        }
        _mm256_storeu_ps(log_depths + column,
                         _mm256_blendv_ps(log2_depths(eight.keys), _mm256_set1_ps(empty_log_depth),
                                          _mm256_castsi256_ps(eight.empty)));
    }
    for (; column < width; ++column) {
        log_pixel(rows, row, column, kind, log_depths);
    }
}

template <bool with_worker>
void log_row_of_kind(const ResolveRows& rows, int row, LitRow kind, float* log_depths) {
    switch (kind) {
        case LitRow::neighbours:
            log_row<with_worker, LitRow::neighbours>(rows, row, log_depths);
            return;
        case LitRow::kept:
            log_row<with_worker, LitRow::kept>(rows, row, log_depths);
            return;
        case LitRow::emptied:
            log_row<with_worker, LitRow::emptied>(rows, row, log_depths);
            return;
    }
}

void log_row_avx2(const ResolveRows& rows, int row, LitRow kind, float* log_depths) {
    if (rows.worker_words != nullptr) {
        log_row_of_kind<true>(rows, row, kind, log_depths);
    } else {
        log_row_of_kind<false>(rows, row, kind, log_depths);
    }
}

// shade_of for eight sums.
__m256i shades_of(__m256 nearer, __m256 darkening) {
    const __m256 power =
        _mm256_max_ps(_mm256_xor_ps(_mm256_mul_ps(nearer, darkening), _mm256_set1_ps(-0.0f)),
                      _mm256_set1_ps(darkest_power));
    const __m256 whole = _mm256_floor_ps(power);
    const __m256 f = _mm256_sub_ps(power, whole);
    const __m256 one = _mm256_set1_ps(1.0f);
    const float* const b = exp2_fraction_terms;
    const __m256 fraction = _mm256_add_ps(
        one,
        _mm256_add_ps(f, _mm256_mul_ps(_mm256_mul_ps(f, _mm256_sub_ps(f, one)),
                                       _mm256_add_ps(_mm256_set1_ps(b[0]),
                                                     _mm256_mul_ps(f, _mm256_set1_ps(b[1]))))));
    const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(
        _mm256_add_epi32(_mm256_cvttps_epi32(whole), _mm256_set1_epi32(127)), 23));
    // Rounded to the nearest, ties to even, as lrint rounds.
    return _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_mul_ps(fraction, scale),
                                            _mm256_set1_ps(static_cast<float>(full_shade))));
}

// Each byte of eight colours times its pixel's shade / 256, rounded down.
__m256i shaded_colors(__m256i colors, __m256i shades) {
    const __m256i zero = _mm256_setzero_si256();
    // Each pixel's shade in both 16-bit halves of its lane.
    const __m256i pairs = _mm256_or_si256(shades, _mm256_slli_epi32(shades, 16));
    const __m256i low =
        _mm256_mullo_epi16(_mm256_unpacklo_epi8(colors, zero), _mm256_unpacklo_epi32(pairs, pairs));
    const __m256i high =
        _mm256_mullo_epi16(_mm256_unpackhi_epi8(colors, zero), _mm256_unpackhi_epi32(pairs, pairs));
    return _mm256_packus_epi16(_mm256_srli_epi16(low, 8), _mm256_srli_epi16(high, 8));
}

void shade_row_avx2(const ResolveRows& rows, int row, const float* above, const float* centre,
                    const float* below) {
    const int width = rows.width;
    std::uint32_t* const pixel_row = row_pointers(rows, row).pixels;
    const float* neighbours[eye_dome_neighbours];
    const float* const neighbour_rows[3] = {above, centre, below};
    for (int n = 0; n < eye_dome_neighbours; ++n) {
        neighbours[n] = neighbour_rows[eye_dome_steps[n][1] + 1] +
                        static_cast<std::ptrdiff_t>(eye_dome_steps[n][0]) * rows.radius;
    }
    const __m256 darkening = _mm256_set1_ps(rows.darkening);
    const __m256 zero = _mm256_setzero_ps();
    int column = 0;
    for (; column + 8 <= width; column += 8) {
        const __m256 depth = _mm256_loadu_ps(centre + column);
        __m256 nearer = zero;
        for (const float* const neighbour : neighbours) {
            nearer = _mm256_add_ps(
                nearer,
                _mm256_max_ps(_mm256_sub_ps(depth, _mm256_loadu_ps(neighbour + column)), zero));
        }
        // The shade of a pixel without a point is 1: its background stays as it is.
        const __m256i shades = _mm256_blendv_epi8(
            shades_of(nearer, darkening), _mm256_set1_epi32(full_shade),
            _mm256_castps_si256(_mm256_cmp_ps(depth, _mm256_set1_ps(empty_log_depth), _CMP_EQ_OQ)));
        auto* const pixels = reinterpret_cast<__m256i*>(pixel_row + column);
        _mm256_storeu_si256(pixels, shaded_colors(_mm256_loadu_si256(pixels), shades));
    }
    for (; column < width; ++column) {
        shade_pixel(rows, row, column, above, centre, below);
    }
}

}  // namespace

DepthKernels avx2_depth_kernels() {
    return DepthKernels{draw_depth_span_avx2, resolve_row_avx2, log_row_avx2, shade_row_avx2};
}
