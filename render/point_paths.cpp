// Choosing the kernel that draws a run of points: the widest that the processor offers.

#include "render/point_paths.h"

#include <cstdint>

#include "render/point_kernels.h"
#include "render/render.h"
#include "render/sharing_choice.h"

namespace {

SpanKernels kernels_of(PointPath path) {
    switch (path) {
#ifdef POINTCLOUD_X86_KERNELS
        case PointPath::avx2:
            return avx2_kernels();
        case PointPath::avx512:
            return avx512_kernels();
#endif
        default:
            return scalar_kernels();
    }
}

// The rotation of coordinates first multiplied by `scale`: the scale folded into each entry.
ViewRotation scaled_rotation(ViewRotation rotation, float scale) {
    for (auto& row : rotation.m) {
        for (float& entry : row) {
            entry *= scale;
        }
    }
    return rotation;
}

void draw_rotated(PointPath path, Sharing sharing, const Point* points, std::int32_t count,
                  const ViewTrig& trig, const ViewRotation& rotation) {
    draw_span_shared(kernels_of(path), points, count, rotation, sharing);
    transform_and_record(points[count - 1], trig, rotation);
}

}  // namespace

bool point_path_supported(PointPath path) {
#ifdef POINTCLOUD_X86_KERNELS
    __builtin_cpu_init();
#endif
    switch (path) {
        case PointPath::scalar:
            return true;
#ifdef POINTCLOUD_X86_KERNELS
        case PointPath::avx2:
            return __builtin_cpu_supports("avx2") != 0;
        case PointPath::avx512:
            return __builtin_cpu_supports("avx512f") != 0;
#endif
        default:
            return false;
    }
}

PointPath best_point_path() {
    static const PointPath best = [] {
        for (const PointPath path : {PointPath::avx512, PointPath::avx2}) {
            if (point_path_supported(path)) {
                return path;
            }
        }
        return PointPath::scalar;
    }();
    return best;
}

void draw_points_through(PointPath path, Sharing sharing, const Point* points, std::int32_t count) {
    if (count <= 0) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    draw_rotated(path, sharing, points, count, trig, view_rotation(trig));
}

void draw_points(const Point* points, std::int32_t count) {
    draw_points_through(best_point_path(), Sharing::with_helper, points, count);
}

void draw_points_scaled(const Point* points, std::int32_t count, float scale) {
    if (count <= 0) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    draw_rotated(best_point_path(), Sharing::with_helper, points, count, trig,
                 scaled_rotation(view_rotation(trig), scale));
}
