// What the process is given to run with: its standard streams and its processors.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#ifdef __linux__
#include <sched.h>
#else
#include <thread>
#endif

#include "present/present.h"

void open_standard_streams() {
    // Lowest first: open gives the lowest free descriptor, so each closed one is filled in its
    // own place. Where even the null device cannot be opened there is nothing better to do.
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
            open("/dev/null", O_RDWR);
        }
    }
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

int usable_processor_count() {
#ifdef __linux__
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return 1;
    }
    return CPU_COUNT(&allowed);
#else
    // Elsewhere the machine's count is the best there is.
    const unsigned int processors = std::thread::hardware_concurrency();
    return processors > 0 ? static_cast<int>(processors) : 1;
#endif
}
