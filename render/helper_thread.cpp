// The helper thread: started on the first draw that wants it, handed one job after another,
// stopped once; and the stages by which it and the frame loop's thread wait for each other.
//
// A mutex and a condition variable rather than atomic waits: the Windows toolchain's standard
// library (GCC 12 for mingw-w64) has no futex behind atomic waits, and there a wake-up could be
// lost, leaving both threads asleep for good.

#include "render/helper_thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

namespace {

enum class Lifetime { not_started, running, gone };

struct HelperThread {
    // The job, the stages and `stopping` move and are read under `mutex`, and every wait
    // sleeps on `moved`. The frame loop's thread raises `started` to the number of each new
    // job and sets `stopping` once.
    SharedJob job{};
    std::uint32_t started = 0;
    std::uint32_t stages[4] = {};
    bool stopping = false;
    std::mutex mutex;
    std::condition_variable moved;
    // Set while the helper sleeps until a value moves.
    std::atomic<bool> sleeping{false};

    // Only the frame loop's thread starts and stops the thread.
    std::thread thread;
    Lifetime lifetime = Lifetime::not_started;
};

HelperThread helper_thread;

std::uint32_t& stage_of(Stage stage) { return helper_thread.stages[static_cast<int>(stage)]; }

void run_helper(HelperWork work) {
    std::uint32_t seen = 0;
    for (;;) {
        SharedJob job{};
        {
            std::unique_lock lock(helper_thread.mutex);
            helper_thread.moved.wait(
                lock, [&] { return helper_thread.started != seen || helper_thread.stopping; });
            if (helper_thread.stopping) {
                return;
            }
            seen = helper_thread.started;
            job = helper_thread.job;
        }
        work(job);
    }
}

// A failure is final: the thread's record may not fit in memory (bad_alloc) or the system may
// refuse the thread (system_error), and either way every draw then runs on the calling thread
// alone.
void start_helper_thread(HelperWork work) {
    try {
        helper_thread.thread = std::thread(run_helper, work);
        helper_thread.lifetime = Lifetime::running;
    } catch (const std::exception&) {
        helper_thread.lifetime = Lifetime::gone;
    }
}

void stop_helper_thread() {
    if (helper_thread.lifetime != Lifetime::running) {
        return;
    }
    {
        const std::lock_guard lock(helper_thread.mutex);
        helper_thread.stopping = true;
    }
    helper_thread.moved.notify_all();
    helper_thread.thread.join();
    helper_thread.lifetime = Lifetime::gone;
}

// A program that ends without stop_drawing_helper still joins the helper, before its storage
// goes away.
struct StopAtExit {
    StopAtExit() = default;
    StopAtExit(const StopAtExit&) = delete;
    StopAtExit& operator=(const StopAtExit&) = delete;
    ~StopAtExit() { stop_helper_thread(); }
};
const StopAtExit stop_at_exit;

}  // namespace

bool helper_thread_running(HelperWork work) {
    if (helper_thread.lifetime == Lifetime::not_started) {
        start_helper_thread(work);
    }
    return helper_thread.lifetime == Lifetime::running;
}

void start_helper_job(const SharedJob& job) {
    {
        const std::lock_guard lock(helper_thread.mutex);
        helper_thread.job = job;
        helper_thread.started = job.number;
    }
    helper_thread.moved.notify_all();
}

void announce(Stage stage, std::uint32_t job_number) {
    {
        const std::lock_guard lock(helper_thread.mutex);
        stage_of(stage) = job_number;
    }
    helper_thread.moved.notify_all();
}

void wait_for(Stage stage, std::uint32_t job_number) {
    std::unique_lock lock(helper_thread.mutex);
    helper_thread.moved.wait(lock, [&] { return stage_of(stage) == job_number; });
}

void wait_to_be_released(std::uint32_t job_number) {
    std::unique_lock lock(helper_thread.mutex);
    helper_thread.moved.wait(lock, [&] {
        return stage_of(Stage::released) == job_number || helper_thread.started != job_number ||
               helper_thread.stopping;
    });
}

// The flag and the value are sequentially consistent, so either the helper sees the value move
// or the frame loop's thread sees the flag and wakes it.
void sleep_while_unchanged(const std::atomic<std::uint64_t>& value, std::uint64_t seen) {
    std::unique_lock lock(helper_thread.mutex);
    helper_thread.sleeping.store(true);
    helper_thread.moved.wait(lock, [&] { return value.load() != seen; });
    helper_thread.sleeping.store(false);
}

void wake_sleeping_helper() {
    if (helper_thread.sleeping.load()) {
        { const std::lock_guard lock(helper_thread.mutex); }
        helper_thread.moved.notify_all();
    }
}

void stop_drawing_helper() { stop_helper_thread(); }
