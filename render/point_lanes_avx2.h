#pragma once

// Inside the AVX2 kernels only, each of which includes this into its own file built with
// -mavx2: everything here has internal linkage, so that no copy of it built for AVX2 can be
// handed by the linker to code running on a processor without it.

#include <immintrin.h>

#include <array>
#include <cstdint>

#include "scene/scene.h"

namespace {

struct Lanes {
    __m256 x, y, z, color;
};

// Eight consecutive points, one register per field with the lanes in index order.
Lanes load_group(const Point* points) {
    const auto pair = [points](int i) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(&points[i].x)),
                                    _mm_loadu_ps(&points[i + 4].x), 1);
    };
    const __m256 p04 = pair(0);
    const __m256 p15 = pair(1);
    const __m256 p26 = pair(2);
    const __m256 p37 = pair(3);
    const __m256 xy01 = _mm256_unpacklo_ps(p04, p15);  // x0 x1 y0 y1 | x4 x5 y4 y5
    const __m256 xy23 = _mm256_unpacklo_ps(p26, p37);  // x2 x3 y2 y3 | x6 x7 y6 y7
    const __m256 zc01 = _mm256_unpackhi_ps(p04, p15);  // z0 z1 c0 c1 | z4 z5 c4 c5
    const __m256 zc23 = _mm256_unpackhi_ps(p26, p37);
    return Lanes{_mm256_shuffle_ps(xy01, xy23, _MM_SHUFFLE(1, 0, 1, 0)),
                 _mm256_shuffle_ps(xy01, xy23, _MM_SHUFFLE(3, 2, 3, 2)),
                 _mm256_shuffle_ps(zc01, zc23, _MM_SHUFFLE(1, 0, 1, 0)),
                 _mm256_shuffle_ps(zc01, zc23, _MM_SHUFFLE(3, 2, 3, 2))};
}

__m256 magnitude(__m256 v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }

// AVX2 has no scatter and no compress, so the sinks work from one table: for each set of
// visible lanes, the lanes to pick (one byte each) to pack them to the front in index order,
// the last visible lane repeated in the slots after them.
constexpr std::array<std::uint64_t, 256> packing_table = [] {
    std::array<std::uint64_t, 256> table{};
    for (std::uint32_t visible = 1; visible < 256; ++visible) {
        int slot = 0;
        std::uint64_t last = 0;
        for (std::uint32_t lane = 0; lane < 8; ++lane) {
            if ((visible >> lane & 1) != 0) {
                last = lane;
                table[visible] |= last << (8 * slot++);
            }
        }
        for (; slot < 8; ++slot) {
            table[visible] |= last << (8 * slot);
        }
    }
    return table;
}();

// The visible lanes of `v` packed to the front, lowest first, then the last of them again.
__m256i packed(std::uint32_t visible, __m256i v) {
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(packing_table[visible]));
    return _mm256_permutevar8x32_epi32(v, _mm256_cvtepu8_epi32(bytes));
}

}  // namespace
