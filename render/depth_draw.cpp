// The depth-tested draw and its resolve: choosing the kernels and sharing the work with the
// worker thread.

#include "render/depth_draw.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "render/depth_kernels.h"
#include "render/depth_paths.h"
#include "render/depth_worker.h"
#include "render/point_kernels.h"

namespace {

// Blocks of points as draw_points' helper takes them; below four the worker's wake-up costs more
// than it saves.
constexpr std::size_t block_points = 16384;
constexpr std::size_t least_shared_points = 4 * block_points;

// The resolve's blocks of rows.
constexpr int block_rows = 16;

constexpr int log_depth_margin = largest_eye_dome_radius;

// What each kind of work has cost lately with the worker and alone.
SharingCosts drawing_costs{0.0, 0.0, 0};
SharingCosts resolving_costs{0.0, 0.0, 0};
SharingCosts shading_costs{0.0, 0.0, 0};

DepthKernels kernels_of(DepthPath path) {
#ifdef POINTCLOUD_X86_KERNELS
    if (path == DepthPath::avx2) {
        return avx2_depth_kernels();
    }
#endif
    (void)path;
    return scalar_depth_kernels();
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

DepthProjection projection_of(const DepthCamera& camera, int width, int height) {
    const int half_width = width / 2 - 1;
    const int half_height = height / 2 - 1;
    const double frame_scale = std::min(static_cast<double>(width) / screen_width,
                                        static_cast<double>(height) / screen_height);
    return DepthProjection{camera.rotation,
                           camera.pan_x,
                           camera.pan_y,
                           static_cast<float>(focal_length * frame_scale),
                           camera.near_distance,
                           static_cast<float>(half_width),
                           static_cast<float>(half_height),
                           half_width,
                           half_height,
                           width,
                           height,
                           std::clamp(camera.point_size, 1, largest_point_size)};
}

std::size_t pixel_count_of(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

struct DrawJob {
    const Point* points;
    std::size_t count;
    DepthProjection projection;
    DepthSpan draw;
    // Each thread's own words: the calling thread's, then the worker's.
    std::uint64_t* words[2];
};

void draw_block(const void* context, std::uint32_t block, int part) {
    const DrawJob& job = *static_cast<const DrawJob*>(context);
    const std::size_t first = block * block_points;
    const std::size_t length = std::min(block_points, job.count - first);
    job.draw(job.points + first, static_cast<std::int32_t>(length), job.projection,
             job.words[part]);
}

struct ResolveJob {
    ResolveRows rows;
    ResolveRow resolve_row;
    int height;
};

void resolve_block(const void* context, std::uint32_t block, int /*part*/) {
    const ResolveJob& job = *static_cast<const ResolveJob*>(context);
    const int first = static_cast<int>(block) * block_rows;
    const int end = std::min(first + block_rows, job.height);
    for (int row = first; row < end; ++row) {
        job.resolve_row(job.rows, row);
    }
}

void resolve_rows(const ResolveRows& rows, ResolveRow resolve_row, int height,
                  WorkerSharing sharing, SharingCosts& costs) {
    const ResolveJob job{rows, resolve_row, height};
    const auto block_count = static_cast<std::uint32_t>((height + block_rows - 1) / block_rows);
    share_blocks(BlockWork{resolve_block, &job, block_count, &costs}, sharing);
}

float clamped_strength(float strength) {
    return strength > 0.0f ? std::min(strength, largest_eye_dome_strength) : 0.0f;
}

}  // namespace

DepthCamera depth_camera(const ViewAngles& angles, float scale) {
    return DepthCamera{scaled_rotation(view_rotation(view_trig(angles)), scale), 0.0f, 0.0f,
                       no_near_distance, 1};
}

DepthFrame make_depth_frame(int width, int height) {
    const std::size_t pixels = pixel_count_of(width, height);
    const std::size_t log_depths =
        pixel_count_of(width + 2 * log_depth_margin, height + 2 * log_depth_margin);
    return DepthFrame{width,
                      height,
                      std::vector<std::uint64_t>(pixels, empty_word),
                      std::vector<std::uint64_t>(pixels, empty_word),
                      false,
                      std::vector<float>(log_depths, empty_log_depth)};
}

bool depth_path_supported(DepthPath path) {
#ifdef POINTCLOUD_X86_KERNELS
    __builtin_cpu_init();
    if (path == DepthPath::avx2) {
        return __builtin_cpu_supports("avx2") != 0;
    }
#endif
    return path == DepthPath::scalar;
}

DepthPath best_depth_path() {
    static const DepthPath best =
        depth_path_supported(DepthPath::avx2) ? DepthPath::avx2 : DepthPath::scalar;
    return best;
}

void draw_points_depth_through(DepthPath path, WorkerSharing sharing, DepthFrame& depth,
                               std::span<const Point> points, const DepthCamera& camera) {
    const DrawJob job{points.data(),
                      points.size(),
                      projection_of(camera, depth.width, depth.height),
                      kernels_of(path).draw,
                      {depth.words.data(), depth.worker_words.data()}};
    const auto block_count =
        static_cast<std::uint32_t>((points.size() + block_points - 1) / block_points);
    if (share_blocks(BlockWork{draw_block, &job, block_count, &drawing_costs}, sharing)) {
        depth.worker_drew = true;
    }
}

void draw_points_depth(DepthFrame& depth, std::span<const Point> points,
                       const DepthCamera& camera) {
    draw_points_depth_through(
        best_depth_path(),
        points.size() >= least_shared_points ? WorkerSharing::with_worker : WorkerSharing::alone,
        depth, points, camera);
}

void resolve_depth_frame_through(DepthPath path, WorkerSharing sharing, DepthFrame& depth,
                                 std::uint32_t background, const EyeDome& eye_dome, Frame& frame) {
    frame.width = depth.width;
    frame.height = depth.height;
    frame.pixels.resize(pixel_count_of(depth.width, depth.height));
    const float strength = clamped_strength(eye_dome.strength);
    const int log_stride = depth.width + 2 * log_depth_margin;
    const ResolveRows rows{
        depth.words.data(),
        depth.worker_drew ? depth.worker_words.data() : nullptr,
        frame.pixels.data(),
        depth.log_depths.data() + log_depth_margin * log_stride + log_depth_margin,
        log_stride,
        depth.width,
        background,
        std::clamp(eye_dome.radius, 1, largest_eye_dome_radius),
        strength / static_cast<float>(eye_dome_neighbours)};
    const DepthKernels kernels = kernels_of(path);
    if (strength == 0.0f) {
        resolve_rows(rows, kernels.resolve, depth.height, sharing, resolving_costs);
    } else {
        // Every row's log depths before any row is shaded, which reads the rows about it.
        resolve_rows(rows, kernels.resolve_with_log_depths, depth.height, sharing, resolving_costs);
        resolve_rows(rows, kernels.shade, depth.height, sharing, shading_costs);
    }
    depth.worker_drew = false;
}

void resolve_depth_frame(DepthFrame& depth, std::uint32_t background, const EyeDome& eye_dome,
                         Frame& frame) {
    resolve_depth_frame_through(best_depth_path(), WorkerSharing::with_worker, depth, background,
                                eye_dome, frame);
}
