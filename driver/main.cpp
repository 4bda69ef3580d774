#include <cstdio>

#include "driver/frame_loop.h"

int main() {
    start_up();
    FrameLoop loop{FrameRateCounter{0, 0, 0}, elapsed_ticks, stdout};
    for (;;) {
        run_frame(loop);
    }
}
