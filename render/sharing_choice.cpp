// Whether a draw shares its points with the helper thread: as the caller asks, only where the
// process may run on two processors and the draw is large, and only while draws with the helper
// cost less than draws alone.

#include "render/sharing_choice.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "render/drawing_helper.h"

namespace {

// Below this the wake-up of the helper costs more than it saves.
constexpr std::int32_t least_shared_count = 4 * shared_block_points;

// Until the platform tells, the machine's count; 0 where even that is unknown.
int usable_processors = static_cast<int>(std::thread::hardware_concurrency());

// What draws with the helper and draws alone have cost lately, in nanoseconds a point; 0 until
// measured. When another program keeps one of the two processors busy, one of the two threads
// shares a processor with it, and a draw with the helper can take longer than one alone on the
// processor that is free; then draw_points draws alone until sharing pays again.
struct SharingCosts {
    double shared;
    double alone;
    std::uint32_t draws;
};
SharingCosts sharing_costs{0.0, 0.0, 0};

// Whether the last draw shared its points with the helper.
bool last_draw_was_shared = false;

// One draw in this many tries the way that costs more, so that its cost follows the load.
constexpr std::uint32_t draws_per_trial = 32;
// The weight of a draw's cost in the running mean of its way.
constexpr double weight_of_latest_cost = 0.25;

bool sharing_pays() {
    const bool trial = ++sharing_costs.draws % draws_per_trial == 0;
    if (sharing_costs.shared == 0.0) {
        return true;
    }
    if (sharing_costs.alone == 0.0) {
        return false;
    }
    return (sharing_costs.shared <= sharing_costs.alone) != trial;
}

void record_cost(bool shared, double nanoseconds_per_point) {
    double& cost = shared ? sharing_costs.shared : sharing_costs.alone;
    cost = cost == 0.0 ? nanoseconds_per_point
                       : cost + weight_of_latest_cost * (nanoseconds_per_point - cost);
}

// Whether the helper should take part in a draw of `count` points.
bool worth_sharing(Sharing sharing, std::int32_t count) {
    switch (sharing) {
        case Sharing::helper_first:
        case Sharing::helper_stalls:
        case Sharing::helper_held_before_reading_slot:
        case Sharing::helper_held_after_reading_slot:
        case Sharing::helper_held_before_saying_it_reads:
            return drawing_helper_running();
        case Sharing::with_helper:
            return usable_processors >= 2 && count >= least_shared_count &&
                   drawing_helper_running();
        default:
            return false;
    }
}

HelperMode helper_mode_of(Sharing sharing) {
    switch (sharing) {
        case Sharing::helper_first:
            return HelperMode::first;
        case Sharing::helper_stalls:
            return HelperMode::stalls;
        case Sharing::helper_held_before_reading_slot:
            return HelperMode::held_before_reading_slot;
        case Sharing::helper_held_after_reading_slot:
            return HelperMode::held_after_reading_slot;
        case Sharing::helper_held_before_saying_it_reads:
            return HelperMode::held_before_saying_it_reads;
        default:
            return HelperMode::ahead;
    }
}

}  // namespace

void draw_span_shared(const SpanKernels& kernels, const Point* points, std::int32_t count,
                      const ViewRotation& rotation, Sharing sharing) {
    last_draw_was_shared = false;
    if (!worth_sharing(sharing, count)) {
        kernels.draw(points, count, rotation);
        return;
    }
    if (sharing != Sharing::with_helper) {
        last_draw_was_shared = true;
        draw_with_helper(kernels.log, points, count, rotation, helper_mode_of(sharing));
        return;
    }
    const bool shared = sharing_pays();
    last_draw_was_shared = shared;
    const auto start = std::chrono::steady_clock::now();
    if (shared) {
        draw_with_helper(kernels.log, points, count, rotation, HelperMode::ahead);
    } else {
        kernels.draw(points, count, rotation);
    }
    const std::chrono::duration<double, std::nano> taken = std::chrono::steady_clock::now() - start;
    record_cost(shared, taken.count() / count);
}

void set_usable_processors(int count) { usable_processors = count; }

void forget_sharing_costs() { sharing_costs = SharingCosts{0.0, 0.0, 0}; }

bool last_draw_shared() { return last_draw_was_shared; }
