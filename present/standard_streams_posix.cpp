#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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
