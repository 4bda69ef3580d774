#pragma once

// Inside the AVX-512 kernels only, each of which includes this into its own file built with
// -mavx512f: everything here has internal linkage, so that no copy of it built for AVX-512 can
// be handed by the linker to code running on a processor without it.

#include <immintrin.h>

#include "scene/scene.h"

namespace {

struct Lanes {
    __m512 x, y, z, color;
};

// Sixteen consecutive points, one register per field with the lanes in index order.
Lanes load_group(const Point* points) {
    const __m512 p0 = _mm512_loadu_ps(&points[0].x);
    const __m512 p1 = _mm512_loadu_ps(&points[4].x);
    const __m512 p2 = _mm512_loadu_ps(&points[8].x);
    const __m512 p3 = _mm512_loadu_ps(&points[12].x);
    // x of points 0..7 in the low half and y in the high half; likewise z and the colour.
    // (All by two-source permutes: GCC 12's headers trip -Wmaybe-uninitialized on the
    // one-source shuffles.)
    const __m512i pick_xy =
        _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const __m512i pick_zc =
        _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    const __m512i low_halves =
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    const __m512i high_halves =
        _mm512_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m512 xy_low = _mm512_permutex2var_ps(p0, pick_xy, p1);
    const __m512 xy_high = _mm512_permutex2var_ps(p2, pick_xy, p3);
    const __m512 zc_low = _mm512_permutex2var_ps(p0, pick_zc, p1);
    const __m512 zc_high = _mm512_permutex2var_ps(p2, pick_zc, p3);
    return Lanes{_mm512_permutex2var_ps(xy_low, low_halves, xy_high),
                 _mm512_permutex2var_ps(xy_low, high_halves, xy_high),
                 _mm512_permutex2var_ps(zc_low, low_halves, zc_high),
                 _mm512_permutex2var_ps(zc_low, high_halves, zc_high)};
}

// The truncating conversion of all sixteen lanes.
__m512i truncated(__m512 v) { return _mm512_maskz_cvttps_epi32(0xFFFF, v); }

}  // namespace
