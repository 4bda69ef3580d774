// Sharing the points of one draw with the helper thread, keeping the one-thread result.
//
// The points are cut into blocks; the frame loop's thread takes blocks from the front and
// plots them straight into the frame, in index order, while the helper takes blocks from the
// back and only logs the pixels that they would write. When the two meet, every front block is
// in the frame; then both threads write the logged blocks in index order, each into its own
// half of the frame, so at every pixel the point with the highest index is written last.
//
// The helper can never make things worse: it is started only where the process may run on two
// processors, its log has static storage like every other buffer of the program, and if the
// thread cannot be started the frame loop's thread simply draws everything itself.

#include "render/drawing_helper.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "common/frame_buffer.h"

namespace {

constexpr std::int32_t block_points = 16384;
// Below this the wake-up of the helper costs more than it saves.
constexpr std::int32_t least_shared_count = 4 * block_points;

// Room for every pixel of 16 blocks, far more than a frame of the lattice logs (some 80,000).
// When the log fills up, the helper stops and the frame loop's thread does the rest itself.
constexpr std::int32_t log_capacity = 16 * block_points;
constexpr std::int32_t logged_block_capacity = 256;

// The entries of the log that belong to one block of points.
struct LoggedBlock {
    std::int32_t log_begin;
    std::int32_t log_end;
};

// One draw, as the helper sees it.
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

enum class Lifetime { not_started, running, gone };

struct Helper {
    SharedJob job{};
    std::atomic<BlockClaims> claims{0};
    // Every stage moves and is read under `stage_mutex`, and every wait sleeps on
    // `stage_moved`. The frame loop's thread raises `started` to the number of a new job and
    // sets `drawn` to it once its front blocks are in the frame. The helper sets `logged` once
    // it takes no more blocks and its log is complete, and `finished` once it has written its
    // half of the log.
    std::uint32_t started = 0;
    std::uint32_t drawn = 0;
    std::uint32_t logged = 0;
    std::uint32_t finished = 0;
    bool stopping = false;
    std::mutex stage_mutex;
    std::condition_variable stage_moved;

    // Written by the helper during a job, read by the frame loop's thread after it. Zero at
    // start, like all static storage, and written before they are read.
    std::uint32_t log_indices[log_capacity + log_slack];
    std::uint32_t log_colors[log_capacity + log_slack];
    LoggedBlock logged_blocks[logged_block_capacity];
    std::int32_t logged_block_count = 0;

    // Only the frame loop's thread starts and stops the helper.
    std::thread thread;
    Lifetime lifetime = Lifetime::not_started;
};

Helper helper;

bool claim_front(std::uint32_t& block) {
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

bool claim_back(std::uint32_t& block) {
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
void log_back_blocks() {
    const SharedJob& job = helper.job;
    std::int32_t logged = 0;
    helper.logged_block_count = 0;
    std::uint32_t block = 0;
    while (log_capacity - logged >= block_points &&
           helper.logged_block_count < logged_block_capacity && claim_back(block)) {
        const std::int32_t entries =
            job.log_span(job.points + block_start(block), block_length(job, block), job.rotation,
                         PixelLog{helper.log_indices + logged, helper.log_colors + logged});
        helper.logged_blocks[helper.logged_block_count++] = LoggedBlock{logged, logged + entries};
        logged += entries;
    }
}

// A mutex and a condition variable rather than atomic waits: the Windows toolchain's standard
// library (GCC 12 for mingw-w64) has no futex behind atomic waits, and there a wake-up could be
// lost, leaving both threads asleep for good.
void wait_for(const std::uint32_t& stage, std::uint32_t job_number) {
    std::unique_lock lock(helper.stage_mutex);
    helper.stage_moved.wait(lock, [&] { return stage == job_number; });
}

void announce(std::uint32_t& stage, std::uint32_t job_number) {
    {
        const std::lock_guard lock(helper.stage_mutex);
        stage = job_number;
    }
    helper.stage_moved.notify_all();
}

// A helper that woke too late to take part in the last job may still be looking at it.
void wait_for_last_job() {
    std::unique_lock lock(helper.stage_mutex);
    helper.stage_moved.wait(lock, [] { return helper.finished == helper.started; });
}

// Raises `started` to the number of a new job (or the stop) and wakes the helper.
std::uint32_t start_job(bool stop) {
    std::uint32_t job_number = 0;
    {
        const std::lock_guard lock(helper.stage_mutex);
        helper.stopping = stop;
        job_number = ++helper.started;
    }
    helper.stage_moved.notify_all();
    return job_number;
}

// The pixels of the log that lie in [begin, end), in index order. Logged from the back, so
// the last record holds the earliest block.
void write_logged_blocks(std::uint32_t begin, std::uint32_t end) {
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

void run_helper() {
    std::uint32_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(helper.stage_mutex);
            helper.stage_moved.wait(lock, [&] { return helper.started != seen; });
            seen = helper.started;
            if (helper.stopping) {
                return;
            }
        }
        log_back_blocks();
        announce(helper.logged, seen);
        wait_for(helper.drawn, seen);
        write_logged_blocks(0, half_frame);
        announce(helper.finished, seen);
    }
}

// Starts the helper on the first draw that wants it. A failure is final: the thread's record
// may not fit in memory (bad_alloc) or the system may refuse the thread (system_error), and
// either way every draw then runs on the calling thread alone.
bool helper_running() {
    if (helper.lifetime == Lifetime::not_started) {
        try {
            helper.thread = std::thread(run_helper);
            helper.lifetime = Lifetime::running;
        } catch (const std::exception&) {
            helper.lifetime = Lifetime::gone;
        }
    }
    return helper.lifetime == Lifetime::running;
}

void stop_helper() {
    if (helper.lifetime != Lifetime::running) {
        return;
    }
    wait_for_last_job();
    start_job(true);
    helper.thread.join();
    helper.lifetime = Lifetime::gone;
}

// A program that ends without stop_drawing_helper still joins the helper, before its storage
// goes away.
struct StopAtExit {
    StopAtExit() = default;
    StopAtExit(const StopAtExit&) = delete;
    StopAtExit& operator=(const StopAtExit&) = delete;
    ~StopAtExit() { stop_helper(); }
};
const StopAtExit stop_at_exit;

// Until the platform tells, the machine's count; 0 where even that is unknown.
int usable_processors = static_cast<int>(std::thread::hardware_concurrency());

// Whether the helper should take part in a draw of `count` points.
bool worth_sharing(Sharing sharing, std::int32_t count) {
    switch (sharing) {
        case Sharing::helper_first:
            return helper_running();
        case Sharing::with_helper:
            return usable_processors >= 2 && count >= least_shared_count && helper_running();
        default:
            return false;
    }
}

void draw_with_helper(const SpanKernels& kernels, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, bool helper_first) {
    wait_for_last_job();
    helper.job = SharedJob{points, count, rotation, kernels.log};
    const auto block_count = static_cast<std::uint32_t>((count + block_points - 1) / block_points);
    helper.claims.store(claims_of(0, block_count), std::memory_order_relaxed);
    const std::uint32_t job_number = start_job(false);
    if (helper_first) {
        wait_for(helper.logged, job_number);
    }

    std::uint32_t block = 0;
    while (claim_front(block)) {
        kernels.draw(points + block_start(block), block_length(helper.job, block), rotation);
    }
    announce(helper.drawn, job_number);
    // Every block is taken now, for good. If the helper took none, this thread drew them all
    // and need not wait for it.
    if (back_of(helper.claims.load(std::memory_order_relaxed)) == block_count) {
        return;
    }
    wait_for(helper.logged, job_number);
    write_logged_blocks(half_frame, static_cast<std::uint32_t>(screen_pixel_count));
    wait_for(helper.finished, job_number);
}

}  // namespace

void draw_span_shared(const SpanKernels& kernels, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, Sharing sharing) {
    if (worth_sharing(sharing, count)) {
        draw_with_helper(kernels, points, count, rotation, sharing == Sharing::helper_first);
    } else {
        kernels.draw(points, count, rotation);
    }
}

void set_usable_processors(int count) { usable_processors = count; }

void stop_drawing_helper() { stop_helper(); }
