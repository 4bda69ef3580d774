#include <cstdio>
#include <cstdlib>

#include "driver/frame_loop.h"
#include "present/present.h"
#include "render/render.h"

int main() {
    open_standard_streams();
    set_usable_processors(usable_processor_count());
    const Platform platform{elapsed_ticks, stdout, store_instance_handle, init_window,
                            present_frame};
    start_up(platform);
    FrameRateCounter counter{0, 0, 0};
    while (run_frame(counter, platform)) {
    }
    stop_drawing_helper();
    return display_lost() ? EXIT_FAILURE : EXIT_SUCCESS;
}
