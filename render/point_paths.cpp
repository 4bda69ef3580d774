// How draw_points goes about its work: which kernel, and whether to share the points with the
// helper thread.
//
// Sharing keeps the one-thread result. The points are cut into blocks; the frame loop's
// thread takes blocks from the front and plots them straight into the frame, in index order,
// while the helper takes blocks from the back and only logs the pixels that they would write.
// When the two meet, every front block is in the frame; then both threads write the logged
// blocks in index order, each into its own half of the frame, so at every pixel the point with
// the highest index is written last.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "render/point_kernels.h"
#include "render/render.h"

namespace {

constexpr std::int32_t block_points = 16384;
// Below this the wake-up of the helper costs more than it saves.
constexpr std::int32_t least_shared_count = 4 * block_points;

// Room for every pixel of 16 blocks, far more than a frame of the lattice logs (some 80,000).
// When the log fills up, the helper stops and the frame loop's thread does the rest itself.
constexpr std::int32_t log_capacity = 16 * block_points;
constexpr std::int32_t logged_block_capacity = 256;

// The entries of `log` that belong to one block of points.
struct LoggedBlock {
    std::int32_t log_begin;
    std::int32_t log_end;
};

// One call of draw_points, as the helper sees it.
struct SharedJob {
    const Point* points;
    std::int32_t count;
    ViewRotation rotation;
    LogSpan log_span;
};

// The blocks not yet taken: the front one in the low half, one past the back one in the high
// half. One word, so that both ends move by compare-and-swap without a lock.
using BlockClaims = std::uint64_t;

BlockClaims claims_of(std::uint32_t front, std::uint32_t back) {
    return static_cast<BlockClaims>(back) << 32 | front;
}
std::uint32_t front_of(BlockClaims claims) { return static_cast<std::uint32_t>(claims); }
std::uint32_t back_of(BlockClaims claims) { return static_cast<std::uint32_t>(claims >> 32); }

struct Helper {
    SharedJob job{};
    std::atomic<BlockClaims> claims{0};
    // The frame loop's thread raises `started` to the number of a new job and sets `drawn` to
    // it once its front blocks are in the frame. The helper sets `logged` once it takes no more
    // blocks and its log is complete, and `finished` once it has written its half of the log.
    std::atomic<std::uint32_t> started{0};
    std::atomic<std::uint32_t> drawn{0};
    std::atomic<std::uint32_t> logged{0};
    std::atomic<std::uint32_t> finished{0};
    bool stopping = false;
    // Every stage moves under this lock and every wait sleeps on its condition. The stages stay
    // atomic so that either thread may glance at one without the lock.
    std::mutex stage_mutex;
    std::condition_variable stage_moved;

    // Written by the helper during a job, read by the frame loop's thread after it.
    std::vector<std::uint32_t> log_indices = std::vector<std::uint32_t>(log_capacity + log_slack);
    std::vector<std::uint32_t> log_colors = std::vector<std::uint32_t>(log_capacity + log_slack);
    std::vector<LoggedBlock> logged_blocks = std::vector<LoggedBlock>(logged_block_capacity);
    std::int32_t logged_block_count = 0;

    std::thread thread;
};

bool claim_front(Helper& helper, std::uint32_t& block) {
    BlockClaims claims = helper.claims.load(std::memory_order_relaxed);
    do {
        if (front_of(claims) >= back_of(claims)) {
            return false;
        }
        block = front_of(claims);
    } while (!helper.claims.compare_exchange_weak(claims, claims_of(block + 1, back_of(claims)),
                                                  std::memory_order_relaxed));
    return true;
}

bool claim_back(Helper& helper, std::uint32_t& block) {
    BlockClaims claims = helper.claims.load(std::memory_order_relaxed);
    do {
        if (front_of(claims) >= back_of(claims)) {
            return false;
        }
        block = back_of(claims) - 1;
    } while (!helper.claims.compare_exchange_weak(claims, claims_of(front_of(claims), block),
                                                  std::memory_order_relaxed));
    return true;
}

std::int32_t block_start(std::uint32_t block) {
    return static_cast<std::int32_t>(block) * block_points;
}

std::int32_t block_length(const SharedJob& job, std::uint32_t block) {
    const std::int32_t start = block_start(block);
    return job.count - start < block_points ? job.count - start : block_points;
}

// The helper's part of one job: blocks from the back, for as long as the log has room for a
// whole block in which every point is visible.
void log_back_blocks(Helper& helper) {
    const SharedJob& job = helper.job;
    std::int32_t logged = 0;
    helper.logged_block_count = 0;
    std::uint32_t block = 0;
    while (log_capacity - logged >= block_points &&
           helper.logged_block_count < logged_block_capacity && claim_back(helper, block)) {
        const std::int32_t entries = job.log_span(
            job.points + block_start(block), block_length(job, block), job.rotation,
            PixelLog{helper.log_indices.data() + logged, helper.log_colors.data() + logged});
        helper.logged_blocks[helper.logged_block_count++] = LoggedBlock{logged, logged + entries};
        logged += entries;
    }
}

// A mutex and a condition variable rather than atomic waits: the Windows toolchain's standard
// library (GCC 12 for mingw-w64) has no futex behind atomic waits, and there a wake-up could be
// lost, leaving both threads asleep for good.
void wait_for(Helper& helper, const std::atomic<std::uint32_t>& stage, std::uint32_t job_number) {
    std::unique_lock lock(helper.stage_mutex);
    helper.stage_moved.wait(lock,
                            [&] { return stage.load(std::memory_order_acquire) == job_number; });
}

void announce(Helper& helper, std::atomic<std::uint32_t>& stage, std::uint32_t job_number) {
    {
        const std::lock_guard lock(helper.stage_mutex);
        stage.store(job_number, std::memory_order_release);
    }
    helper.stage_moved.notify_all();
}

// Raises `started` to the number of a new job (or the stop) and wakes the helper.
std::uint32_t start_job(Helper& helper, bool stop) {
    std::uint32_t job_number = 0;
    {
        const std::lock_guard lock(helper.stage_mutex);
        helper.stopping = stop;
        job_number = helper.started.fetch_add(1, std::memory_order_release) + 1;
    }
    helper.stage_moved.notify_all();
    return job_number;
}

// The pixels of the log that lie in [begin, end), in index order. Logged from the back, so
// the last record holds the earliest block.
void write_logged_blocks(const Helper& helper, std::uint32_t begin, std::uint32_t end) {
    for (std::int32_t record = helper.logged_block_count - 1; record >= 0; --record) {
        const LoggedBlock& block = helper.logged_blocks[record];
        for (std::int32_t entry = block.log_begin; entry < block.log_end; ++entry) {
            const std::uint32_t index = helper.log_indices[entry];
            if (index >= begin && index < end) {
                frame_buffer.pixels[index] = helper.log_colors[entry];
            }
        }
    }
}

// Each thread writes the logged pixels of one half of the frame.
constexpr auto half_frame = static_cast<std::uint32_t>(screen_pixel_count / 2);

void run_helper(Helper& helper) {
    std::uint32_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(helper.stage_mutex);
            helper.stage_moved.wait(
                lock, [&] { return helper.started.load(std::memory_order_acquire) != seen; });
            seen = helper.started.load(std::memory_order_acquire);
            if (helper.stopping) {
                return;
            }
        }
        log_back_blocks(helper);
        announce(helper, helper.logged, seen);
        wait_for(helper, helper.drawn, seen);
        write_logged_blocks(helper, 0, half_frame);
        announce(helper, helper.finished, seen);
    }
}

void stop_helper(Helper& helper) {
    wait_for(helper, helper.finished, helper.started.load(std::memory_order_relaxed));
    start_job(helper, true);
    helper.thread.join();
}

// Started once, on the first large draw; none on a machine with a single core, or where no
// thread can be started.
struct HelperOwner {
    HelperOwner() {
        if (std::thread::hardware_concurrency() < 2) {
            return;
        }
        try {
            auto started_helper = std::make_unique<Helper>();
            Helper* const shared = started_helper.get();
            started_helper->thread = std::thread([shared] { run_helper(*shared); });
            helper = std::move(started_helper);
        } catch (const std::system_error&) {
            helper.reset();
        }
    }
    ~HelperOwner() {
        if (helper) {
            stop_helper(*helper);
        }
    }
    HelperOwner(const HelperOwner&) = delete;
    HelperOwner& operator=(const HelperOwner&) = delete;

    std::unique_ptr<Helper> helper;
};

HelperOwner& helper_owner() {
    static HelperOwner owner;
    return owner;
}

Helper* the_helper() { return helper_owner().helper.get(); }

void draw_shared(Helper& helper, const SpanKernels& kernels, const Point* points,
                 std::int32_t count, const ViewRotation& rotation) {
    // A helper that woke too late to take part in the last job may still be looking at it.
    wait_for(helper, helper.finished, helper.started.load(std::memory_order_relaxed));
    helper.job = SharedJob{points, count, rotation, kernels.log};
    const auto block_count = static_cast<std::uint32_t>((count + block_points - 1) / block_points);
    helper.claims.store(claims_of(0, block_count), std::memory_order_relaxed);
    const std::uint32_t job_number = start_job(helper, false);

    std::uint32_t block = 0;
    while (claim_front(helper, block)) {
        kernels.draw(points + block_start(block), block_length(helper.job, block), rotation);
    }
    announce(helper, helper.drawn, job_number);
    // Every block is taken now, for good. If the helper took none, this thread drew them all
    // and need not wait for it.
    if (back_of(helper.claims.load(std::memory_order_relaxed)) == block_count) {
        return;
    }
    wait_for(helper, helper.logged, job_number);
    write_logged_blocks(helper, half_frame, static_cast<std::uint32_t>(screen_pixel_count));
    wait_for(helper, helper.finished, job_number);
}

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

void draw_points_through(PointPath path, bool share_with_helper, const Point* points,
                         std::int32_t count) {
    if (count <= 0) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    const SpanKernels kernels = kernels_of(path);
    Helper* const helper =
        share_with_helper && count >= least_shared_count ? the_helper() : nullptr;
    if (helper != nullptr) {
        draw_shared(*helper, kernels, points, count, rotation);
    } else {
        kernels.draw(points, count, rotation);
    }
    transform_and_record(points[count - 1], trig, rotation);
}

void stop_drawing_helper() {
    std::unique_ptr<Helper>& helper = helper_owner().helper;
    if (helper) {
        stop_helper(*helper);
        helper.reset();
    }
}

void draw_points(const Point* points, std::int32_t count) {
    draw_points_through(best_point_path(), true, points, count);
}
