// Built with -mavx2: reached only through avx2_kernels(), which draw_points calls only on a
// processor that has AVX2.

#include <immintrin.h>

#include <cstdint>

#include "common/frame_buffer.h"
#include "render/point_kernels.h"
#include "render/point_lanes_avx2.h"
#include "render/vector_kernel.h"

namespace {

// Writes all eight packed lanes, which needs no branch: the repeats of the last visible point
// after it write again what it wrote, so every pixel still ends with the latest point.
struct FrameSink {
    void put(std::uint32_t visible, __m256i index, __m256i color) {
        std::uint32_t indices[8];
        std::uint32_t colors[8];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices), packed(visible, index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(colors), packed(visible, color));
        for (int slot = 0; slot < 8; ++slot) {
            frame_buffer.pixels[indices[slot]] = colors[slot];
        }
    }
};

// Stores all eight packed lanes and counts only the visible ones: the repeats land in the
// log's slack or are overwritten by the next group.
struct LogSink {
    void put(std::uint32_t visible, __m256i index, __m256i color) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(log.indices + count),
                            packed(visible, index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(log.colors + count), packed(visible, color));
        count += __builtin_popcount(visible);
    }

    PixelLog log;
    std::int32_t count;
};

struct DrawGroup8 {
    explicit DrawGroup8(const ViewRotation& rotation) {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                m[row][column] = _mm256_set1_ps(rotation.m[row][column]);
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
        const __m256 a = _mm256_mul_ps(_mm256_set1_ps(focal_length), rotated(0, p));
        const __m256 b = _mm256_mul_ps(_mm256_set1_ps(focal_length), rotated(1, p));
        const __m256 d = _mm256_add_ps(rotated(2, p), _mm256_set1_ps(viewing_distance));

        // Sound for every float: see vector_kernel.h.
        const __m256 depth = magnitude(d);
        const __m256 maybe_on_screen = _mm256_and_ps(
            _mm256_cmp_ps(magnitude(a), _mm256_mul_ps(_mm256_set1_ps(drop_limit_x), depth),
                          _CMP_NGT_UQ),
            _mm256_cmp_ps(magnitude(b), _mm256_mul_ps(_mm256_set1_ps(drop_limit_y), depth),
                          _CMP_NGT_UQ));
        if (_mm256_testz_ps(maybe_on_screen, maybe_on_screen) != 0) {
            return;
        }

        const __m256 sx = _mm256_div_ps(a, d);
        const __m256 sy = _mm256_div_ps(b, d);
        const __m256 on_screen =
            _mm256_and_ps(_mm256_cmp_ps(magnitude(sx), _mm256_set1_ps(screen_limit_x), _CMP_LE_OQ),
                          _mm256_cmp_ps(magnitude(sy), _mm256_set1_ps(screen_limit_y), _CMP_LE_OQ));
        const auto visible = static_cast<std::uint32_t>(_mm256_movemask_ps(on_screen));
        if (visible == 0) {
            return;
        }
        const __m256i index = _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_set1_epi32(centre_index), _mm256_cvttps_epi32(sx)),
            _mm256_mullo_epi32(_mm256_set1_epi32(screen_width), _mm256_cvttps_epi32(sy)));
        sink.put(visible, index, _mm256_cvttps_epi32(p.color));
    }

    __m256 m[3][3];
};

}  // namespace

SpanKernels avx2_kernels() { return span_kernels<8, DrawGroup8, FrameSink, LogSink>(); }
