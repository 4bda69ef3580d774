// The one place in the renderer that asks the system something: how many processors the
// process may run on. std::thread::hardware_concurrency() counts the machine's, so a process
// pinned to one processor (taskset -c 0) would still start a helper thread that can only take
// turns with the frame loop.

#include "render/drawing_helper.h"

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>
#else
#include <thread>
#endif

// Where the question cannot be answered, 1: no helper is better than one that competes.
int usable_processor_count() {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return 1;
    }
    return CPU_COUNT(&allowed);
#elif defined(_WIN32)
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) {
        return 1;
    }
    return std::popcount(process_mask);
#else
    const unsigned int processors = std::thread::hardware_concurrency();
    return processors > 0 ? static_cast<int>(processors) : 1;
#endif
}
