// The worker thread of the depth-tested draw: started on the first piece of work that wants it
// and kept, since starting a thread for every frame would cost as much as a small draw.
//
// The blocks are handed out by one counter, which holds the number of the piece of work in its
// high half and the next block in its low half: the calling thread takes blocks by adding one,
// the worker by compare-and-swap, and only while the number is still its own, so a worker that
// wakes late never takes a block of a later piece of work. Before it takes a block the worker
// names the work it is in (`busy`), and it clears that once the block is done; the calling
// thread, once it has run past the last block, waits while the worker names its work. Both are
// sequentially consistent: either the worker's take comes before the calling thread's last one
// in the counter's order, and then the calling thread sees the worker busy, or it comes after
// and fails.

#include "render/depth_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "render/depth_draw.h"

namespace {

enum class Lifetime { not_started, running, gone };

struct Worker {
    // Under `stage_mutex`, and every wait sleeps on `stage_moved`: the calling thread raises
    // `started` to the number of a new piece of work (or sets `stopping`); in the test modes the
    // worker sets `first_taken` to it once it has its first block, and the calling thread sets
    // `others_done` once it has done every other.
    BlockWork work{};
    WorkerSharing sharing = WorkerSharing::alone;
    std::uint32_t started = 0;
    std::uint32_t first_taken = 0;
    std::uint32_t others_done = 0;
    bool stopping = false;
    std::mutex stage_mutex;
    std::condition_variable stage_moved;

    // The number of the work in the high half, the next block in the low half.
    alignas(64) std::atomic<std::uint64_t> next_block{0};
    // The number of the work whose block the worker may be doing, 0 while it does none.
    alignas(64) std::atomic<std::uint32_t> busy{0};
    // Set while the calling thread sleeps until the worker leaves its block.
    std::atomic<bool> waiting_for_block{false};
    // Whether the worker has done a block of the current work: written by the worker only, read
    // by the calling thread once the worker is out of the work.
    bool took_part = false;

    // Only the calling thread starts and stops the worker.
    std::thread thread;
    Lifetime lifetime = Lifetime::not_started;
};

Worker worker;

std::uint64_t counter_of(std::uint32_t work_number, std::uint32_t block) {
    return static_cast<std::uint64_t>(work_number) << 32 | block;
}
std::uint32_t work_of(std::uint64_t counter) { return static_cast<std::uint32_t>(counter >> 32); }
std::uint32_t block_of(std::uint64_t counter) { return static_cast<std::uint32_t>(counter); }

// A mutex and a condition variable rather than atomic waits, as for draw_points' helper: the
// Windows toolchain's standard library has no futex behind atomic waits.
void wait_for(const std::uint32_t& stage, std::uint32_t work_number) {
    std::unique_lock lock(worker.stage_mutex);
    worker.stage_moved.wait(lock, [&] { return stage == work_number; });
}

void announce(std::uint32_t& stage, std::uint32_t work_number) {
    {
        const std::lock_guard lock(worker.stage_mutex);
        stage = work_number;
    }
    worker.stage_moved.notify_all();
}

// The worker is out of the work, and wakes the calling thread if it waits for that. The flag and
// `busy` are sequentially consistent, so either the calling thread sees `busy` cleared or this
// thread sees the flag.
void leave_work() {
    worker.busy.store(0);
    if (worker.waiting_for_block.load()) {
        { const std::lock_guard lock(worker.stage_mutex); }
        worker.stage_moved.notify_all();
    }
}

// Takes the next block of work `work_number` for the worker, if one is left; names the work as
// busy meanwhile, and on success leaves it so.
bool take_block(std::uint32_t work_number, std::uint32_t block_count, std::uint32_t& block) {
    worker.busy.store(work_number);
    std::uint64_t seen = worker.next_block.load();
    while (work_of(seen) == work_number && block_of(seen) < block_count) {
        if (worker.next_block.compare_exchange_weak(seen, seen + 1)) {
            block = block_of(seen);
            return true;
        }
    }
    leave_work();
    return false;
}

void do_worker_blocks(const BlockWork& work, WorkerSharing sharing, std::uint32_t work_number) {
    bool first = true;
    std::uint32_t block = 0;
    while (take_block(work_number, work.block_count, block)) {
        if (first && sharing != WorkerSharing::with_worker) {
            announce(worker.first_taken, work_number);
            if (sharing == WorkerSharing::worker_holds) {
                wait_for(worker.others_done, work_number);
            }
        }
        first = false;
        worker.took_part = true;
        work.do_block(work.context, block, 1);
        leave_work();
    }
}

void run_worker() {
    std::uint32_t seen = 0;
    for (;;) {
        BlockWork work{};
        WorkerSharing sharing{};
        {
            std::unique_lock lock(worker.stage_mutex);
            worker.stage_moved.wait(lock, [&] { return worker.started != seen; });
            seen = worker.started;
            if (worker.stopping) {
                return;
            }
            work = worker.work;
            sharing = worker.sharing;
        }
        do_worker_blocks(work, sharing, seen);
    }
}

// Starts the worker the first time it is wanted. A failure is final, as for draw_points'
// helper: the thread's record may not fit in memory or the system may refuse the thread, and
// either way all work then runs on the calling thread.
bool worker_running() {
    if (worker.lifetime == Lifetime::not_started) {
        try {
            worker.thread = std::thread(run_worker);
            worker.lifetime = Lifetime::running;
        } catch (const std::exception&) {
            worker.lifetime = Lifetime::gone;
        }
    }
    return worker.lifetime == Lifetime::running;
}

void stop_worker() {
    if (worker.lifetime != Lifetime::running) {
        return;
    }
    {
        const std::lock_guard lock(worker.stage_mutex);
        worker.stopping = true;
        ++worker.started;
    }
    worker.stage_moved.notify_all();
    worker.thread.join();
    worker.lifetime = Lifetime::gone;
}

// A program that ends without stop_depth_draw_worker still joins the worker before its record
// goes away.
struct StopAtExit {
    StopAtExit() = default;
    StopAtExit(const StopAtExit&) = delete;
    StopAtExit& operator=(const StopAtExit&) = delete;
    ~StopAtExit() { stop_worker(); }
};
const StopAtExit stop_at_exit;

// Until the platform tells, the machine's count; 0 where even that is unknown.
int usable_processors = static_cast<int>(std::thread::hardware_concurrency());

// One run in this many goes the way that costs more, so that its cost follows the load.
constexpr std::uint32_t runs_per_trial = 32;
// The weight of a run's cost in the running mean of its way.
constexpr double weight_of_latest_cost = 0.25;

bool sharing_pays(SharingCosts& costs) {
    const bool trial = ++costs.runs % runs_per_trial == 0;
    if (costs.shared == 0.0) {
        return true;
    }
    if (costs.alone == 0.0) {
        return false;
    }
    return (costs.shared <= costs.alone) != trial;
}

void record_cost(SharingCosts& costs, bool shared, double nanoseconds_per_block) {
    double& cost = shared ? costs.shared : costs.alone;
    cost = cost == 0.0 ? nanoseconds_per_block
                       : cost + weight_of_latest_cost * (nanoseconds_per_block - cost);
}

// How many times the calling thread looks whether the worker has left its block before it
// sleeps: about as long as a block takes. A worker still in it by then has most likely lost its
// processor, and a calling thread that stayed runnable could keep it from getting one.
constexpr int looks_before_sleeping = 4096;

void wait_until_worker_leaves(std::uint32_t work_number) {
    for (int look = 0; look < looks_before_sleeping; ++look) {
        if (worker.busy.load() != work_number) {
            return;
        }
    }
    std::unique_lock lock(worker.stage_mutex);
    worker.waiting_for_block.store(true);
    worker.stage_moved.wait(lock, [&] { return worker.busy.load() != work_number; });
    worker.waiting_for_block.store(false);
}

void do_blocks_alone(const BlockWork& work) {
    for (std::uint32_t block = 0; block < work.block_count; ++block) {
        work.do_block(work.context, block, 0);
    }
}

bool worth_sharing(WorkerSharing sharing, std::uint32_t block_count) {
    switch (sharing) {
        case WorkerSharing::with_worker:
            return usable_processors >= 2 && block_count >= 2 && worker_running();
        case WorkerSharing::worker_first:
        case WorkerSharing::worker_holds:
            return worker_running();
        default:
            return false;
    }
}

// The number of the next piece of work; never 0, which `busy` keeps for none.
std::uint32_t next_work_number() { return worker.started + 1 == 0 ? 1 : worker.started + 1; }

bool share_with_worker(const BlockWork& work, WorkerSharing sharing) {
    const std::uint32_t work_number = next_work_number();
    worker.took_part = false;
    // Publishes took_part too: the worker writes it only once its take has read this.
    worker.next_block.store(counter_of(work_number, 0));
    {
        const std::lock_guard lock(worker.stage_mutex);
        worker.work = work;
        worker.sharing = sharing;
        worker.started = work_number;
    }
    worker.stage_moved.notify_all();
    if (sharing != WorkerSharing::with_worker) {
        wait_for(worker.first_taken, work_number);
    }
    for (;;) {
        const std::uint32_t block = block_of(worker.next_block.fetch_add(1));
        if (block >= work.block_count) {
            break;
        }
        work.do_block(work.context, block, 0);
    }
    if (sharing == WorkerSharing::worker_holds) {
        announce(worker.others_done, work_number);
    }
    // The only wait: for the block in the worker's hands.
    wait_until_worker_leaves(work_number);
    return worker.took_part;
}

}  // namespace

bool share_blocks(const BlockWork& work, WorkerSharing sharing) {
    if (work.block_count == 0) {
        return false;
    }
    if (!worth_sharing(sharing, work.block_count)) {
        do_blocks_alone(work);
        return false;
    }
    if (sharing != WorkerSharing::with_worker) {
        return share_with_worker(work, sharing);
    }
    const bool shared = sharing_pays(*work.costs);
    const auto start = std::chrono::steady_clock::now();
    bool took_part = false;
    if (shared) {
        took_part = share_with_worker(work, sharing);
    } else {
        do_blocks_alone(work);
    }
    const std::chrono::duration<double, std::nano> taken = std::chrono::steady_clock::now() - start;
    record_cost(*work.costs, shared, taken.count() / work.block_count);
    return took_part;
}

void set_depth_draw_processors(int count) { usable_processors = count; }

void stop_depth_draw_worker() { stop_worker(); }
