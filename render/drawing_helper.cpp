// Sharing the points of one draw with the helper thread, keeping the one-thread result.
//
// The points are cut into blocks. The frame loop's thread goes through the blocks in index
// order and is the only thread that writes the frame: a block that the helper has logged it
// copies from the helper's log, any other it logs and copies itself, so at every pixel the point
// with the highest index is written last. The helper runs a few blocks ahead of it and logs the
// pixels that those blocks would write, into a ring of logs that the frame loop's thread frees
// again as it passes: a cloud of any size needs no more room, and the helper works through all of
// it.
//
// The frame loop's thread never waits for the helper. A block that the helper is still logging
// when that thread gets to it (the helper is slow, or lost its processor) is taken back and
// plotted, and the helper's log of it is never read. Each slot of the ring holds one word, which
// both threads change only by compare-and-swap, naming the draw, the block and who has it; so
// exactly one of them gets each block, and a helper that wakes up in a past draw can no longer
// hand anything in.
//
// The helper can never make things worse: its logs have static storage like every other buffer
// of the program, and if the thread cannot be started the frame loop's thread simply draws
// everything itself. Which draws it takes part in is chosen in sharing_choice.cpp.

#include "render/drawing_helper.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "common/frame_buffer.h"
#include "render/point_paths.h"

namespace {

constexpr std::int32_t block_points = shared_block_points;

// The helper logs at most this many blocks ahead of the frame loop's thread.
constexpr std::uint32_t ring_slots = 16;
// How far ahead of the frame loop's thread the helper starts a block, so that it is logged
// before that thread gets there: logging a block takes less time than plotting one, but more
// than copying one from the log.
constexpr std::uint32_t lead_blocks = 3;

// How many times the helper yields its processor waiting for the frame loop's thread to free a
// slot of a full ring before it sleeps until that thread moves on: that thread has then most
// likely lost its own processor, and a helper that stayed runnable could keep it from moving
// to this one.
constexpr int yields_before_sleeping = 64;

// Who has a block.
enum class Holder : std::uint32_t { helper_logging = 1, helper_logged = 2, frame_loop = 3 };

// A slot's word: the number of the draw, the block and its holder.
using SlotWord = std::uint64_t;

SlotWord slot_word(std::uint32_t job_number, std::uint32_t block, Holder holder) {
    return static_cast<SlotWord>(job_number) << 32 | static_cast<SlotWord>(block) << 2 |
           static_cast<SlotWord>(holder);
}

// Whether `word` names this block of this draw, whoever has it.
bool names_block(SlotWord word, std::uint32_t job_number, std::uint32_t block) {
    return word >> 2 == slot_word(job_number, block, Holder{}) >> 2;
}

// The log of one block. The helper writes `entries` and the log before it hands the block in
// (a release on `word`), and the frame loop's thread reads them after it sees that.
struct alignas(64) LogSlot {
    std::atomic<SlotWord> word{0};
    std::int32_t entries = 0;
    alignas(64) std::uint32_t indices[block_points + log_slack];
    std::uint32_t colors[block_points + log_slack];
};

// One draw, as the helper sees it.
struct SharedJob {
    const Point* points;
    std::int32_t count;
    ViewRotation rotation;
    LogSpan log_span;
    HelperMode mode;
    std::uint32_t number;
};

// The frame loop's thread's progress: the number of its draw in the high half, the block it
// has not yet finished in the low half.
using Progress = std::uint64_t;

Progress progress_of(std::uint32_t job_number, std::uint32_t block) {
    return static_cast<Progress>(job_number) << 32 | block;
}
std::uint32_t job_of(Progress progress) { return static_cast<std::uint32_t>(progress >> 32); }
std::uint32_t block_of(Progress progress) { return static_cast<std::uint32_t>(progress); }

enum class Lifetime { not_started, running, gone };

struct Helper {
    // Every stage moves and is read under `stage_mutex`, and every wait sleeps on
    // `stage_moved`. The frame loop's thread raises `started` to the number of a new job and,
    // when the helper stalls, sets `drawn` to it once the draw is done. The helper sets
    // `paused` once it stops taking blocks in the modes where the frame loop's thread waits.
    // A held helper goes on once `released` (set by release_held_helper) or `started` moves,
    // and sets `left` once it is out of the held draw.
    SharedJob job{};
    std::uint32_t started = 0;
    std::uint32_t paused = 0;
    std::uint32_t drawn = 0;
    std::uint32_t released = 0;
    std::uint32_t left = 0;
    bool stopping = false;
    std::mutex stage_mutex;
    std::condition_variable stage_moved;

    // The number of the last job, that of the draw that left the helper held (0 if none did),
    // and the frame loop's thread's own log of the block in hand. Only that thread touches
    // them.
    std::uint32_t last_job = 0;
    std::uint32_t held_job = 0;
    LogSlot own_log;
    alignas(64) std::atomic<Progress> progress{0};
    // Set while the helper sleeps until `progress` moves.
    std::atomic<bool> waiting_for_progress{false};
    // The number of the draw whose points the helper may be reading, 0 while it reads none. Set
    // before it claims a block and cleared once it has logged it: a draw waits at its end until
    // the helper is out of its points, since the caller may free or change them the moment the
    // draw returns.
    std::atomic<std::uint32_t> reading_job{0};
    LogSlot slots[ring_slots];

    // Only the frame loop's thread starts and stops the helper.
    std::thread thread;
    Lifetime lifetime = Lifetime::not_started;
};

Helper helper;

std::uint32_t block_count_of(std::int32_t count) {
    return static_cast<std::uint32_t>((count + block_points - 1) / block_points);
}

std::int32_t block_start(std::uint32_t block) {
    return static_cast<std::int32_t>(block) * block_points;
}

std::int32_t block_length(std::int32_t count, std::uint32_t block) {
    const std::int32_t start = block_start(block);
    return count - start < block_points ? count - start : block_points;
}

LogSlot& slot_of(std::uint32_t block) { return helper.slots[block % ring_slots]; }

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

// Sleeps until the frame loop's thread moves on from `seen`. The flag and the progress are
// sequentially consistent, so either this thread sees the progress move or that thread sees
// the flag and wakes it.
void wait_for_progress(Progress seen) {
    std::unique_lock lock(helper.stage_mutex);
    helper.waiting_for_progress.store(true);
    helper.stage_moved.wait(lock, [&] { return helper.progress.load() != seen; });
    helper.waiting_for_progress.store(false);
}

// Records how far the frame loop's thread has gone, and wakes the helper if it waits for that.
void publish_progress(Progress progress) {
    helper.progress.store(progress);
    if (helper.waiting_for_progress.load()) {
        { const std::lock_guard lock(helper.stage_mutex); }
        helper.stage_moved.notify_all();
    }
}

// Logs a block into its slot, stalling halfway when the job says so.
std::int32_t log_block(const SharedJob& job, std::uint32_t block, bool stall) {
    LogSlot& slot = slot_of(block);
    const Point* const points = job.points + block_start(block);
    const std::int32_t length = block_length(job.count, block);
    const std::int32_t before_stall = stall ? (length + 1) / 2 : length;
    std::int32_t entries =
        job.log_span(points, before_stall, job.rotation, PixelLog{slot.indices, slot.colors});
    if (before_stall < length) {
        announce(helper.paused, job.number);
        wait_for(helper.drawn, job.number);
        entries += job.log_span(points + before_stall, length - before_stall, job.rotation,
                                PixelLog{slot.indices + entries, slot.colors + entries});
    } else if (stall) {
        announce(helper.paused, job.number);
        wait_for(helper.drawn, job.number);
    }
    return entries;
}

bool holds_helper(HelperMode mode) {
    return mode == HelperMode::held_before_reading_slot ||
           mode == HelperMode::held_after_reading_slot ||
           mode == HelperMode::held_before_saying_it_reads;
}

// In the mode that holds the helper at `step` of its claim, tells the frame loop's thread that
// the helper is there and waits until it is let go or another job starts.
void hold_at(const SharedJob& job, HelperMode step) {
    if (job.mode != step) {
        return;
    }
    announce(helper.paused, job.number);
    std::unique_lock lock(helper.stage_mutex);
    helper.stage_moved.wait(
        lock, [&] { return helper.released == job.number || helper.started != job.number; });
}

// What came of the helper's claim of a block.
enum class Claim { got, passed, draw_over };

// Claims a block for the helper, unless the frame loop's thread has it or is past it.
Claim claim_block(const SharedJob& job, std::uint32_t block) {
    LogSlot& slot = slot_of(block);
    hold_at(job, HelperMode::held_before_reading_slot);
    SlotWord seen = slot.word.load(std::memory_order_relaxed);
    hold_at(job, HelperMode::held_after_reading_slot);
    if (names_block(seen, job.number, block)) {
        // The frame loop's thread got there first.
        return Claim::passed;
    }
    hold_at(job, HelperMode::held_before_saying_it_reads);
    // By now the frame loop's thread may have gone past the block, even round the ring to a
    // later block of the slot, or on to the next draw, which clears the ring: the word seen may
    // be the one in the slot and the claim succeed after the draw has returned. So the helper
    // says first which draw's points it reads, then looks at that thread's progress again,
    // and claims the block only while that thread is in the same draw and not past the block.
    // The store, the load and that thread's progress and its look at `reading_job` at the end
    // of the draw are all sequentially consistent: either the helper sees the draw or the
    // block gone, or that thread sees the helper reading and waits for it, at most for the
    // rest of this block.
    helper.reading_job.store(job.number);
    const Progress progress = helper.progress.load();
    const bool same_draw = job_of(progress) == job.number;
    if (!same_draw || block_of(progress) > block ||
        !slot.word.compare_exchange_strong(seen,
                                           slot_word(job.number, block, Holder::helper_logging))) {
        // Given up, or the frame loop's thread took the block meanwhile.
        helper.reading_job.store(0);
        return same_draw ? Claim::passed : Claim::draw_over;
    }
    return Claim::got;
}

// Logs a block that the helper has claimed and hands it in, unless the frame loop's thread has
// taken it back meanwhile.
void log_claimed_block(const SharedJob& job, std::uint32_t block, bool stall) {
    LogSlot& slot = slot_of(block);
    slot.entries = log_block(job, block, stall);
    helper.reading_job.store(0);
    SlotWord expected = slot_word(job.number, block, Holder::helper_logging);
    slot.word.compare_exchange_strong(expected, slot_word(job.number, block, Holder::helper_logged),
                                      std::memory_order_release, std::memory_order_relaxed);
}

// The helper's part of one job: the blocks that it can log before the frame loop's thread gets
// to them. Ends when the blocks run out, when the frame loop's thread has gone on to another
// draw, or, when that thread is waiting for it, once the ring is full.
void log_blocks_ahead(const SharedJob& job) {
    const std::uint32_t block_count = block_count_of(job.count);
    const std::uint32_t lead = job.mode == HelperMode::ahead ? lead_blocks : 0;
    std::uint32_t next = 0;
    int yields = 0;
    for (;;) {
        const Progress progress = helper.progress.load(std::memory_order_acquire);
        if (job_of(progress) != job.number) {
            return;
        }
        const std::uint32_t block = std::max(next, block_of(progress) + lead);
        const std::uint32_t ring_end = block_of(progress) + ring_slots;
        if (job.mode != HelperMode::ahead && (block >= block_count || block >= ring_end)) {
            announce(helper.paused, job.number);
            return;
        }
        if (block >= block_count) {
            return;
        }
        if (block >= ring_end) {
            // The frame loop's thread has not yet freed the slot.
            if (++yields > yields_before_sleeping) {
                wait_for_progress(progress);
            } else {
                std::this_thread::yield();
            }
            continue;
        }
        yields = 0;
        next = block + 1;
        const Claim claim = claim_block(job, block);
        if (claim == Claim::draw_over) {
            return;
        }
        if (claim == Claim::passed) {
            continue;
        }
        const bool stall =
            job.mode == HelperMode::stalls && next == std::min(block_count, ring_end);
        log_claimed_block(job, block, stall);
        if (stall) {
            return;
        }
    }
}

// The number of a new job. Never 0, which `reading_job` holds while the helper reads no points
// and the ring's cleared words name: a draw numbered 0 would wait at its end for good.
std::uint32_t next_job_number() {
    helper.last_job = helper.last_job == UINT32_MAX ? 1 : helper.last_job + 1;
    return helper.last_job;
}

// Raises `started` to the number of a new job (or the stop) and wakes the helper.
void start_job(const SharedJob& job, bool stop) {
    {
        const std::lock_guard lock(helper.stage_mutex);
        helper.job = job;
        helper.stopping = stop;
        helper.started = job.number;
    }
    helper.stage_moved.notify_all();
}

void run_helper() {
    std::uint32_t seen = 0;
    for (;;) {
        SharedJob job{};
        {
            std::unique_lock lock(helper.stage_mutex);
            helper.stage_moved.wait(lock, [&] { return helper.started != seen; });
            seen = helper.started;
            if (helper.stopping) {
                return;
            }
            job = helper.job;
        }
        log_blocks_ahead(job);
        if (holds_helper(job.mode)) {
            announce(helper.left, job.number);
        }
    }
}

// Starts the helper on the first draw that wants it. A failure is final: the thread's record
// may not fit in memory (bad_alloc) or the system may refuse the thread (system_error), and
// either way every draw then runs on the calling thread alone.
void start_helper() {
    try {
        helper.thread = std::thread(run_helper);
        helper.lifetime = Lifetime::running;
    } catch (const std::exception&) {
        helper.lifetime = Lifetime::gone;
    }
}

void stop_helper() {
    if (helper.lifetime != Lifetime::running) {
        return;
    }
    start_job(SharedJob{nullptr, 0, ViewRotation{}, nullptr, HelperMode::ahead, next_job_number()},
              true);
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

// How many entries of a log ahead of the one being copied the frame's line is fetched: the
// pixels lie all over a frame that does not fit in the processor's cache, and asking for the
// lines early keeps several misses in flight.
constexpr std::int32_t copy_fetch_entries = 16;

// Copies a block that the helper has logged into the frame.
void write_logged_block(const LogSlot& slot) {
    std::int32_t entry = 0;
    for (; entry + copy_fetch_entries < slot.entries; ++entry) {
        __builtin_prefetch(&frame_buffer.pixels[slot.indices[entry + copy_fetch_entries]], 1);
        frame_buffer.pixels[slot.indices[entry]] = slot.colors[entry];
    }
    for (; entry < slot.entries; ++entry) {
        frame_buffer.pixels[slot.indices[entry]] = slot.colors[entry];
    }
}

}  // namespace

void draw_with_helper(LogSpan log_span, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, HelperMode mode) {
    const std::uint32_t job_number = next_job_number();
    helper.held_job = holds_helper(mode) ? job_number : 0;
    // The ring's words of past draws go, so that none can ever pass for one of this draw.
    for (LogSlot& slot : helper.slots) {
        slot.word.store(0, std::memory_order_relaxed);
    }
    publish_progress(progress_of(job_number, 0));
    start_job(SharedJob{points, count, rotation, log_span, mode, job_number}, false);
    if (mode != HelperMode::ahead) {
        wait_for(helper.paused, job_number);
    }

    const std::uint32_t block_count = block_count_of(count);
    for (std::uint32_t block = 0; block < block_count; ++block) {
        // Takes the block unless the helper has logged it; one still being logged is taken
        // back from the helper.
        LogSlot& slot = slot_of(block);
        const SlotWord logged = slot_word(job_number, block, Holder::helper_logged);
        const SlotWord taken = slot_word(job_number, block, Holder::frame_loop);
        SlotWord seen = slot.word.load(std::memory_order_acquire);
        while (seen != logged && !slot.word.compare_exchange_weak(seen, taken)) {
        }
        // A block it takes, it logs too and then copies, which is faster than plotting it
        // straight away when many of its points are visible: see write_logged_block.
        LogSlot& log = seen == logged ? slot : helper.own_log;
        if (seen != logged) {
            log.entries = log_span(points + block_start(block), block_length(count, block),
                                   rotation, PixelLog{log.indices, log.colors});
        }
        write_logged_block(log);
        // Frees the slot for the helper once this thread is done with its log.
        publish_progress(progress_of(job_number, block + 1));
    }
    if (mode == HelperMode::stalls) {
        announce(helper.drawn, job_number);
    }
    // A block taken back from the helper may still be in its hands: at most one block's work,
    // and the only wait of a draw.
    while (helper.reading_job.load() == job_number) {
        std::this_thread::yield();
    }
}

bool drawing_helper_running() {
    if (helper.lifetime == Lifetime::not_started) {
        start_helper();
    }
    return helper.lifetime == Lifetime::running;
}

void stop_drawing_helper() { stop_helper(); }

void set_shared_draw_count(std::uint32_t count) { helper.last_job = count; }

void release_held_helper() {
    if (helper.held_job == 0) {
        return;
    }
    announce(helper.released, helper.held_job);
    wait_for(helper.left, helper.held_job);
    helper.held_job = 0;
}
