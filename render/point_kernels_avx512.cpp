// Built with -mavx512f: reached only through avx512_kernels(), which draw_points calls only
// on a processor that has AVX-512F.

#include <immintrin.h>

#include <cstdint>

#include "common/frame_buffer.h"
#include "render/point_kernels.h"
#include "render/point_lanes_avx512.h"
#include "render/vector_kernel.h"

namespace {

// A scatter writes lanes that share an address lowest first, so the highest (latest) stays.
struct FrameSink {
    void put(__mmask16 visible, __m512i index, __m512i color) {
        _mm512_mask_i32scatter_epi32(frame_buffer.pixels, visible, index, color, 4);
    }
};

// Packs the visible lanes together and stores all sixteen; the lanes past them are the
// log's slack.
struct LogSink {
    void put(__mmask16 visible, __m512i index, __m512i color) {
        _mm512_storeu_si512(log.indices + count, _mm512_maskz_compress_epi32(visible, index));
        _mm512_storeu_si512(log.colors + count, _mm512_maskz_compress_epi32(visible, color));
        count += __builtin_popcount(visible);
    }

    PixelLog log;
    std::int32_t count;
};

struct DrawGroup16 {
    explicit DrawGroup16(const ViewRotation& rotation) {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                m[row][column] = _mm512_set1_ps(rotation.m[row][column]);
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
        const __m512 a = _mm512_mul_ps(_mm512_set1_ps(focal_length), rotated(0, p));
        const __m512 b = _mm512_mul_ps(_mm512_set1_ps(focal_length), rotated(1, p));
        const __m512 d = _mm512_add_ps(rotated(2, p), _mm512_set1_ps(viewing_distance));

        // Sound for every float: see vector_kernel.h.
        const __m512 depth = _mm512_abs_ps(d);
        const __mmask16 maybe_on_screen = _mm512_mask_cmp_ps_mask(
            _mm512_cmp_ps_mask(_mm512_abs_ps(a), _mm512_mul_ps(_mm512_set1_ps(drop_limit_x), depth),
                               _CMP_NGT_UQ),
            _mm512_abs_ps(b), _mm512_mul_ps(_mm512_set1_ps(drop_limit_y), depth), _CMP_NGT_UQ);
        if (maybe_on_screen == 0) {
            return;
        }

        const __m512 sx = _mm512_div_ps(a, d);
        const __m512 sy = _mm512_div_ps(b, d);
        const __mmask16 on_screen = _mm512_mask_cmp_ps_mask(
            _mm512_cmp_ps_mask(_mm512_abs_ps(sx), _mm512_set1_ps(screen_limit_x), _CMP_LE_OQ),
            _mm512_abs_ps(sy), _mm512_set1_ps(screen_limit_y), _CMP_LE_OQ);
        if (on_screen == 0) {
            return;
        }
        const __m512i index =
            _mm512_sub_epi32(_mm512_add_epi32(_mm512_set1_epi32(centre_index), truncated(sx)),
                             _mm512_mullo_epi32(_mm512_set1_epi32(screen_width), truncated(sy)));
        sink.put(on_screen, index, truncated(p.color));
    }

    __m512 m[3][3];
};

}  // namespace

SpanKernels avx512_kernels() { return span_kernels<16, DrawGroup16, FrameSink, LogSink>(); }
