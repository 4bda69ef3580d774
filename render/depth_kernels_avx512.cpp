// Built with -mavx512f: reached only through avx512_depth_kernels(), which the depth-tested draw
// calls only on a processor that has AVX-512F (and so AVX2). It draws points of one pixel sixteen
// at a time, computing exactly what the scalar routine computes lane by lane, as the AVX2 kernel
// does; larger points and the resolve go to the AVX2 kernels, whose cost lies in the memory.

#include <immintrin.h>

#include <cstdint>

#include "render/depth_kernels.h"
#include "render/depth_pending.h"
#include "render/point_lanes_avx512.h"
#include "render/vector_kernel.h"

namespace {

constexpr int sign_bit = static_cast<int>(0x80000000);

// As DepthGroup8 in the AVX2 kernels, sixteen points at a time.
struct DepthGroup16 {
    explicit DepthGroup16(const DepthProjection& projection)
        : pan_x(_mm512_set1_ps(projection.pan_x)),
          pan_y(_mm512_set1_ps(projection.pan_y)),
          focal(_mm512_set1_ps(projection.focal_length)),
          near_distance(_mm512_set1_ps(projection.near_distance)),
          limit_x(_mm512_set1_ps(projection.limit_x)),
          limit_y(_mm512_set1_ps(projection.limit_y)),
          drop_limit_x(_mm512_set1_ps(projection.limit_x + 1.0f)),
          drop_limit_y(_mm512_set1_ps(projection.limit_y + 1.0f)),
          centre_column(_mm512_set1_epi32(projection.centre_column)),
          centre_row(_mm512_set1_epi32(projection.centre_row)) {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                m[row][column] = _mm512_set1_ps(projection.rotation.m[row][column]);
            }
        }
    }

    __m512 rotated(int row, const Lanes& p) const {
        return _mm512_add_ps(
            _mm512_add_ps(_mm512_mul_ps(m[row][0], p.x), _mm512_mul_ps(m[row][1], p.y)),
            _mm512_mul_ps(m[row][2], p.z));
    }

    template <class Sink>
    void operator()(const Point* points, Sink& sink) const {
        const Lanes p = load_group(points);
        const __m512 a = _mm512_mul_ps(focal, _mm512_add_ps(rotated(0, p), pan_x));
        const __m512 b = _mm512_mul_ps(focal, _mm512_add_ps(rotated(1, p), pan_y));
        const __m512 d = _mm512_add_ps(rotated(2, p), _mm512_set1_ps(viewing_distance));

        const __mmask16 far_enough = _mm512_cmp_ps_mask(d, near_distance, _CMP_NLT_UQ);
        const __m512 depth = _mm512_abs_ps(d);
        const __mmask16 maybe_on_frame = _mm512_mask_cmp_ps_mask(
            _mm512_mask_cmp_ps_mask(far_enough, _mm512_abs_ps(a),
                                    _mm512_mul_ps(drop_limit_x, depth), _CMP_NGT_UQ),
            _mm512_abs_ps(b), _mm512_mul_ps(drop_limit_y, depth), _CMP_NGT_UQ);
        if (maybe_on_frame == 0) {
            return;
        }

        const __m512 sx = _mm512_div_ps(a, d);
        const __m512 sy = _mm512_div_ps(b, d);
        const __mmask16 on_frame = _mm512_mask_cmp_ps_mask(
            _mm512_mask_cmp_ps_mask(far_enough, _mm512_abs_ps(sx), limit_x, _CMP_LE_OQ),
            _mm512_abs_ps(sy), limit_y, _CMP_LE_OQ);
        if (on_frame == 0) {
            return;
        }
        // The depth's bits turned into its key: negative depths turned over, positive ones
        // with the sign bit set.
        const __m512i bits = _mm512_castps_si512(d);
        const __m512i key =
            _mm512_xor_si512(bits, _mm512_or_si512(_mm512_maskz_srai_epi32(0xFFFF, bits, 31),
                                                   _mm512_set1_epi32(sign_bit)));
        sink.put(on_frame, _mm512_add_epi32(centre_column, truncated(sx)),
                 _mm512_sub_epi32(centre_row, truncated(sy)), key, truncated(p.color));
    }

    __m512 m[3][3];
    __m512 pan_x, pan_y, focal, near_distance;
    __m512 limit_x, limit_y, drop_limit_x, drop_limit_y;
    __m512i centre_column, centre_row;
};

// The words of the low eight lanes and of the high eight, depth key above colour, in lane
// order: colour and key interleaved. (By two-source permutes: GCC 12's headers trip
// -Wmaybe-uninitialized on the one-source widenings and extractions.)
__m512i low_words(__m512i key, __m512i color) {
    return _mm512_permutex2var_epi32(
        color, _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23), key);
}
__m512i high_words(__m512i key, __m512i color) {
    return _mm512_permutex2var_epi32(
        color, _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31),
        key);
}

// Points of one pixel, which a visible point always lies inside the frame: the visible lanes
// are packed together and stored with the lanes after them, only the visible ones counted.
// Every slot's word is fetched: the slots after the visible ones hold pixel 0.
struct PixelSink {
    PixelSink(std::uint64_t* frame_words, int frame_width)
        : words(frame_words), width(_mm512_set1_epi32(frame_width)) {}

    void put(__mmask16 visible, __m512i column, __m512i row, __m512i key, __m512i color) {
        std::uint32_t* const indices = pending.filling_indices();
        std::uint64_t* const candidates = pending.filling_words();
        _mm512_storeu_si512(indices,
                            _mm512_maskz_compress_epi32(
                                visible, _mm512_add_epi32(_mm512_mullo_epi32(row, width), column)));
        const auto low = static_cast<__mmask8>(visible);
        const auto high = static_cast<__mmask8>(visible >> 8);
        _mm512_storeu_si512(candidates, _mm512_maskz_compress_epi64(low, low_words(key, color)));
        _mm512_storeu_si512(candidates + __builtin_popcount(low),
                            _mm512_maskz_compress_epi64(high, high_words(key, color)));
        for (int slot = 0; slot < 16; ++slot) {
            __builtin_prefetch(words + indices[slot], 1);
        }
        pending.count_filled(__builtin_popcount(visible), words);
    }

    void finish() { pending.finish(words); }

    std::uint64_t* words;
    __m512i width;
    PendingPixels pending{};
};

void draw_depth_span_avx512(const Point* points, std::int32_t count,
                            const DepthProjection& projection, std::uint64_t* words) {
    if (projection.point_size != 1) {
        avx2_depth_kernels().draw(points, count, projection, words);
        return;
    }
    PixelSink sink(words, projection.width);
    run_span<16>(points, count, sink, DepthGroup16(projection));
    sink.finish();
}

}  // namespace

DepthKernels avx512_depth_kernels() {
    DepthKernels kernels = avx2_depth_kernels();
    kernels.draw = draw_depth_span_avx512;
    return kernels;
}
