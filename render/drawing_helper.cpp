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
// The frame loop's thread never waits for the helper to log a block: one that the helper is
// still logging when that thread gets to it (the helper is slow, or lost its processor) is taken
// back and plotted, and the helper's log of it is never read. Each slot of the ring holds one
// word, which both threads change only by compare-and-swap, naming the draw, the block and who
// has it; so exactly one of them gets each block.
//
// That thread does wait for the helper once, at the end of a draw: the caller may free or change
// the points the moment the draw returns, so the draw returns only once the helper is out of
// them. The helper says which draw's points it reads before it claims a block, and claims it
// only while the frame loop's thread is in that draw and not past the block; so the wait lasts
// at most for the rest of the one block in the helper's hands, and a helper that wakes up late,
// in a draw that has gone past its block or ended, gives the block up unread. (The test modes
// also make the frame loop's thread wait at the start of a draw, until the helper stops.)
//
// The helper can never make things worse: its logs have static storage like every other buffer
// of the program, and if the thread cannot be started the frame loop's thread simply draws
// everything itself. Which draws it takes part in is chosen in sharing_choice.cpp, and the
// thread itself and the ways the two threads wait for each other live in helper_thread.cpp.

#include "render/drawing_helper.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <type_traits>

#include "common/frame_buffer.h"
#include "render/helper_thread.h"
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

// The frame loop's thread's progress: the number of its draw in the high half, the block it
// has not yet finished in the low half.
using Progress = std::uint64_t;

Progress progress_of(std::uint32_t job_number, std::uint32_t block) {
    return static_cast<Progress>(job_number) << 32 | block;
}
std::uint32_t job_of(Progress progress) { return static_cast<std::uint32_t>(progress >> 32); }
std::uint32_t block_of(Progress progress) { return static_cast<std::uint32_t>(progress); }

// What the two threads share of the draws.
struct SharedDraws {
    // The number of the last job, that of the draw that left the helper held (0 if none did),
    // and the frame loop's thread's own log of the block in hand. Only that thread touches
    // them.
    std::uint32_t last_job = 0;
    std::uint32_t held_job = 0;
    LogSlot own_log;
    alignas(64) std::atomic<Progress> progress{0};
    // The number of the draw whose points the helper may be reading, 0 while it reads none. Set
    // before it claims a block and cleared once it has logged it: a draw waits at its end until
    // the helper is out of its points, since the caller may free or change them the moment the
    // draw returns.
    std::atomic<std::uint32_t> reading_job{0};
    LogSlot slots[ring_slots];
};

// Trivially destroyed, so that the helper may use it until it is joined at exit, in whatever
// order the program's statics go.
static_assert(std::is_trivially_destructible_v<SharedDraws>);
SharedDraws shared;

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

LogSlot& slot_of(std::uint32_t block) { return shared.slots[block % ring_slots]; }

// Records how far the frame loop's thread has gone, and wakes the helper if it waits for that.
void publish_progress(Progress progress) {
    shared.progress.store(progress);
    wake_sleeping_helper();
}

// In the mode where the helper stalls: tells the frame loop's thread that the helper has
// stopped, and waits until that thread has finished the draw.
void stall_until_drawn(const SharedJob& job) {
    announce(Stage::paused, job.number);
    wait_for(Stage::drawn, job.number);
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
    announce(Stage::paused, job.number);
    wait_to_be_released(job.number);
}

// Logs a block into its slot, stalling halfway when the job says so.
std::int32_t log_block(const SharedJob& job, std::uint32_t block, bool stall) {
    LogSlot& slot = slot_of(block);
    const Point* const points = job.points + block_start(block);
    const std::int32_t length = block_length(job.count, block);
    const std::int32_t before_stall = stall ? (length + 1) / 2 : length;
    std::int32_t entries =
        job.log_span(points, before_stall, job.rotation, PixelLog{slot.indices, slot.colors});
    if (stall) {
        stall_until_drawn(job);
    }
    if (before_stall < length) {
        entries += job.log_span(points + before_stall, length - before_stall, job.rotation,
                                PixelLog{slot.indices + entries, slot.colors + entries});
    }
    return entries;
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
    shared.reading_job.store(job.number);
    const Progress progress = shared.progress.load();
    const bool same_draw = job_of(progress) == job.number;
    if (!same_draw || block_of(progress) > block ||
        !slot.word.compare_exchange_strong(seen,
                                           slot_word(job.number, block, Holder::helper_logging))) {
        // Given up, or the frame loop's thread took the block meanwhile.
        shared.reading_job.store(0);
        return same_draw ? Claim::passed : Claim::draw_over;
    }
    return Claim::got;
}

// Logs a block that the helper has claimed and hands it in, unless the frame loop's thread has
// taken it back meanwhile.
void log_claimed_block(const SharedJob& job, std::uint32_t block, bool stall) {
    LogSlot& slot = slot_of(block);
    slot.entries = log_block(job, block, stall);
    shared.reading_job.store(0);
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
        const Progress progress = shared.progress.load(std::memory_order_acquire);
        if (job_of(progress) != job.number) {
            return;
        }
        const std::uint32_t block = std::max(next, block_of(progress) + lead);
        const std::uint32_t ring_end = block_of(progress) + ring_slots;
        if (job.mode != HelperMode::ahead && (block >= block_count || block >= ring_end)) {
            announce(Stage::paused, job.number);
            return;
        }
        if (block >= block_count) {
            return;
        }
        if (block >= ring_end) {
            // The frame loop's thread has not yet freed the slot.
            if (++yields > yields_before_sleeping) {
                sleep_while_unchanged(shared.progress, progress);
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
    shared.last_job = shared.last_job == UINT32_MAX ? 1 : shared.last_job + 1;
    return shared.last_job;
}

// The helper's work with each job.
void work_on(const SharedJob& job) {
    log_blocks_ahead(job);
    if (holds_helper(job.mode)) {
        announce(Stage::left, job.number);
    }
}

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

// The frame loop's thread's part of a block: copies it from the helper's log if the helper
// has handed it in, and otherwise takes it, back from the helper if need be, and logs and copies
// it itself.
void write_block(const SharedJob& job, std::uint32_t block) {
    LogSlot& slot = slot_of(block);
    const SlotWord logged = slot_word(job.number, block, Holder::helper_logged);
    const SlotWord taken = slot_word(job.number, block, Holder::frame_loop);
    SlotWord seen = slot.word.load(std::memory_order_acquire);
    while (seen != logged && !slot.word.compare_exchange_weak(seen, taken)) {
    }
    // A block it takes, it logs too and then copies, which is faster than plotting it
    // straight away when many of its points are visible: see write_logged_block.
    LogSlot& log = seen == logged ? slot : shared.own_log;
    if (seen != logged) {
        log.entries = job.log_span(job.points + block_start(block), block_length(job.count, block),
                                   job.rotation, PixelLog{log.indices, log.colors});
    }
    write_logged_block(log);
    // Frees the slot for the helper once this thread is done with its log.
    publish_progress(progress_of(job.number, block + 1));
}

// Waits at the end of a draw until the helper is out of its points: at most the rest of one
// block, taken back from the helper and still in its hands, and the only wait of a draw that
// draw_points makes.
void wait_until_helper_is_out_of(std::uint32_t job_number) {
    while (shared.reading_job.load() == job_number) {
        std::this_thread::yield();
    }
}

}  // namespace

void draw_with_helper(LogSpan log_span, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, HelperMode mode) {
    const SharedJob job{points, count, rotation, log_span, mode, next_job_number()};
    shared.held_job = holds_helper(mode) ? job.number : 0;
    // The ring's words of past draws go, so that none can ever pass for one of this draw.
    for (LogSlot& slot : shared.slots) {
        slot.word.store(0, std::memory_order_relaxed);
    }
    publish_progress(progress_of(job.number, 0));
    start_helper_job(job);
    if (mode != HelperMode::ahead) {
        wait_for(Stage::paused, job.number);
    }
    const std::uint32_t block_count = block_count_of(count);
    for (std::uint32_t block = 0; block < block_count; ++block) {
        write_block(job, block);
    }
    if (mode == HelperMode::stalls) {
        announce(Stage::drawn, job.number);
    }
    wait_until_helper_is_out_of(job.number);
}

bool drawing_helper_running() { return helper_thread_running(work_on); }

void set_shared_draw_count(std::uint32_t count) { shared.last_job = count; }

void release_held_helper() {
    if (shared.held_job == 0) {
        return;
    }
    announce(Stage::released, shared.held_job);
    wait_for(Stage::left, shared.held_job);
    shared.held_job = 0;
}
