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

// The resolve's blocks of rows; with eye-dome lighting, larger ones, since each reads the log
// depths of up to largest_eye_dome_radius rows on either side besides its own.
constexpr int block_rows = 16;
constexpr int lit_block_rows = 64;

// Each thread's log depths: the rows about the one being shaded, those `radius` above and below
// it included, in a ring; each row with a margin of empty log depths on either side as wide as
// the largest radius, which no row ever writes.
constexpr int log_margin = largest_eye_dome_radius;
constexpr int ring_rows = 2 * largest_eye_dome_radius + 1;

// What each kind of work has cost lately with the worker and alone.
SharingCosts drawing_costs{0.0, 0.0, 0};
SharingCosts resolving_costs{0.0, 0.0, 0};
SharingCosts lit_resolving_costs{0.0, 0.0, 0};

DepthKernels kernels_of(DepthPath path) {
    switch (path) {
#ifdef POINTCLOUD_X86_KERNELS
        case DepthPath::avx2:
            return avx2_depth_kernels();
        case DepthPath::avx512:
            return avx512_depth_kernels();
#endif
        default:
            return scalar_depth_kernels();
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

}  // namespace

float frame_focal_length(int width, int height) {
    const double frame_scale = std::min(static_cast<double>(width) / screen_width,
                                        static_cast<double>(height) / screen_height);
    return static_cast<float>(focal_length * frame_scale);
}

namespace {

DepthProjection projection_of(const DepthCamera& camera, int width, int height) {
    const int half_width = width / 2 - 1;
    const int half_height = height / 2 - 1;
    return DepthProjection{camera.rotation,
                           camera.pan_x,
                           camera.pan_y,
                           frame_focal_length(width, height),
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

int log_stride_of(int width) { return width + 2 * log_margin; }

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
                  WorkerSharing sharing) {
    const ResolveJob job{rows, resolve_row, height};
    const auto block_count = static_cast<std::uint32_t>((height + block_rows - 1) / block_rows);
    share_blocks(BlockWork{resolve_block, &job, block_count, &resolving_costs}, sharing);
}

struct LitResolveJob {
    ResolveRows rows;
    LogRow log_row;
    ShadeRow shade_row;
    int height;
    // The calling thread's ring of log depths, then the worker's.
    float* rings[2];
    int log_stride;
};

struct BlockRows {
    int first;
    int end;
};

BlockRows lit_block(std::uint32_t block, int height) {
    const int first = static_cast<int>(block) * lit_block_rows;
    return BlockRows{first, std::min(first + lit_block_rows, height)};
}

// The words of a block's rows within `radius` of its edges are read by the neighbouring blocks
// too, so they are emptied only once every block is done.
LitRow lit_row_kind(int row, BlockRows block, int radius) {
    if (row < block.first || row >= block.end) {
        return LitRow::neighbours;
    }
    return row < block.first + radius || row >= block.end - radius ? LitRow::kept : LitRow::emptied;
}

// The ring's row for `row`, from -largest_eye_dome_radius (rows above the frame) on.
float* ring_row(float* ring, int log_stride, int row) {
    return ring + static_cast<std::ptrdiff_t>((row + ring_rows) % ring_rows) * log_stride +
           log_margin;
}

// Goes down the block's rows and the `radius` rows on either side, writing each row's log depths
// (all empty for a row outside the frame) and shading the row `radius` above it once its rows
// below are in.
void resolve_lit_block(const void* context, std::uint32_t block, int part) {
    const LitResolveJob& job = *static_cast<const LitResolveJob*>(context);
    const BlockRows rows = lit_block(block, job.height);
    const int radius = job.rows.radius;
    const auto at = [&](int row) { return ring_row(job.rings[part], job.log_stride, row); };
    for (int row = rows.first - radius; row < rows.end + radius; ++row) {
        float* const log_depths = at(row);
        if (row < 0 || row >= job.height) {
            std::fill(log_depths, log_depths + job.rows.width, empty_log_depth);
        } else {
            job.log_row(job.rows, row, lit_row_kind(row, rows, radius), log_depths);
        }
        const int shaded = row - radius;
        if (shaded >= rows.first) {
            job.shade_row(job.rows, shaded, at(shaded - radius), at(shaded), log_depths);
        }
    }
}

void empty_words_of_row(const ResolveRows& rows, int row) {
    const std::size_t start = static_cast<std::size_t>(row) * static_cast<std::size_t>(rows.width);
    std::fill(rows.words + start, rows.words + start + rows.width, empty_word);
    if (rows.worker_words != nullptr) {
        std::fill(rows.worker_words + start, rows.worker_words + start + rows.width, empty_word);
    }
}

void resolve_lit_rows(const ResolveRows& rows, const DepthKernels& kernels, DepthFrame& depth,
                      WorkerSharing sharing) {
    const int log_stride = log_stride_of(depth.width);
    float* const rings = depth.log_rows.data();
    const LitResolveJob job{rows,
                            kernels.log_row,
                            kernels.shade_row,
                            depth.height,
                            {rings, rings + static_cast<std::ptrdiff_t>(ring_rows) * log_stride},
                            log_stride};
    const auto block_count =
        static_cast<std::uint32_t>((depth.height + lit_block_rows - 1) / lit_block_rows);
    share_blocks(BlockWork{resolve_lit_block, &job, block_count, &lit_resolving_costs}, sharing);
    for (std::uint32_t block = 0; block < block_count; ++block) {
        const BlockRows rows_of_block = lit_block(block, depth.height);
        for (int row = rows_of_block.first; row < rows_of_block.end; ++row) {
            if (lit_row_kind(row, rows_of_block, rows.radius) == LitRow::kept) {
                empty_words_of_row(rows, row);
            }
        }
    }
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
    return DepthFrame{
        width,
        height,
        std::vector<std::uint64_t>(pixels, empty_word),
        std::vector<std::uint64_t>(pixels, empty_word),
        false,
        std::vector<float>(pixel_count_of(log_stride_of(width), 2 * ring_rows), empty_log_depth)};
}

bool depth_path_supported(DepthPath path) {
#ifdef POINTCLOUD_X86_KERNELS
    __builtin_cpu_init();
#endif
    switch (path) {
        case DepthPath::scalar:
            return true;
#ifdef POINTCLOUD_X86_KERNELS
        case DepthPath::avx2:
            return __builtin_cpu_supports("avx2") != 0;
        case DepthPath::avx512:
            // Its larger points and its resolve are the AVX2 kernels'.
            return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx2") != 0;
#endif
        default:
            return false;
    }
}

DepthPath best_depth_path() {
    static const DepthPath best = [] {
        for (const DepthPath path : {DepthPath::avx512, DepthPath::avx2}) {
            if (depth_path_supported(path)) {
                return path;
            }
        }
        return DepthPath::scalar;
    }();
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
    const ResolveRows rows{depth.words.data(),
                           depth.worker_drew ? depth.worker_words.data() : nullptr,
                           frame.pixels.data(),
                           depth.width,
                           background,
                           std::clamp(eye_dome.radius, 1, largest_eye_dome_radius),
                           strength / static_cast<float>(eye_dome_neighbours)};
    const DepthKernels kernels = kernels_of(path);
    if (strength == 0.0f) {
        resolve_rows(rows, kernels.resolve, depth.height, sharing);
    } else {
        resolve_lit_rows(rows, kernels, depth, sharing);
    }
    depth.worker_drew = false;
}

void resolve_depth_frame(DepthFrame& depth, std::uint32_t background, const EyeDome& eye_dome,
                         Frame& frame) {
    resolve_depth_frame_through(best_depth_path(), WorkerSharing::with_worker, depth, background,
                                eye_dome, frame);
}
