#pragma once

// Inside the renderer only: the helper thread that draw_points shares its points with, and the
// stages by which it and the frame loop's thread wait for each other.

#include <atomic>
#include <cstdint>

#include "render/drawing_helper.h"
#include "render/point_kernels.h"
#include "render/render.h"
#include "scene/scene.h"

// One draw, as the helper sees it.
struct SharedJob {
    const Point* points;
    std::int32_t count;
    ViewRotation rotation;
    LogSpan log_span;
    HelperMode mode;
    std::uint32_t number;
};

// What the helper does with each job it is handed.
using HelperWork = void (*)(const SharedJob& job);

// Starts the helper thread on the first call, to do `work` with every job; whether it runs.
// False for good once the thread could not be started or has been stopped.
bool helper_thread_running(HelperWork work);

// Hands the running helper a new job (numbered anew, never 0) and wakes it. A helper still busy
// with an earlier job takes it once that is done.
void start_helper_job(const SharedJob& job);

// The points where one thread waits for the other. Each holds the number of the latest job to
// reach it: `paused` once the helper stops taking blocks where the frame loop's thread waits
// for that, `drawn` once the frame loop's thread has finished a draw whose helper stalls,
// `released` once a held helper may go on, `left` once a held helper is out of its draw.
enum class Stage { paused, drawn, released, left };

void announce(Stage stage, std::uint32_t job_number);
void wait_for(Stage stage, std::uint32_t job_number);

// Waits until a helper held in job `job_number` is released, another job starts or the thread
// is stopped.
void wait_to_be_released(std::uint32_t job_number);

// The helper sleeps until `value` is no longer `seen`; the frame loop's thread calls
// wake_sleeping_helper after each change of `value`.
void sleep_while_unchanged(const std::atomic<std::uint64_t>& value, std::uint64_t seen);
void wake_sleeping_helper();
