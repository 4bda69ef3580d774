// What the Windows process is given to run with: its standard streams and its processors.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>

#include "present/present.h"

// Nothing to open: the C runtime keeps descriptors 0, 1 and 2 for the standard streams even
// when the program has no console or its handles are closed. Such a stream is left without a
// handle, what is written to it is dropped, and no file opened later takes its place.
void open_standard_streams() {}

int usable_processor_count() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) {
        return 1;
    }
    return std::popcount(process_mask);
}
