#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/version.h"
#include "driver/frame_loop.h"
#include "present/present.h"
#include "render/render.h"

namespace {

// Laid out as the viewer's help is, so that one routine makes both manual pages from --help.
constexpr const char* help_text =
    "Turns a lattice of a million blue points in a 1024 x 800 window and prints the frame "
    "rate.\n"
    "The lattice is cubic, 100 points a side and 1200 units apart, and the viewer stands 2000 "
    "units in front of the origin, inside it. Every frame turns it one degree further about "
    "the vertical axis under a fixed tilt of -20 degrees, projects each point in perspective "
    "to one pixel and prints \"FPS = n\", the frames of the last whole second. It runs until "
    "its window is closed; with no display it says so once on standard error and renders on "
    "in memory until it is interrupted; if the display goes away under it, it says so in one "
    "line and ends with status 1. It reads or writes no files.\n"
    "Usage: pointcloud\n"
    "\n"
    "Options:\n"
    "  --help                      print this help and end\n"
    "  --version                   print the name and the version and end\n";

// The program takes no arguments: it answers --help or --version given alone, and runs as
// ever with anything else, as it always has.
bool answered(int argc, char** argv) {
    if (argc != 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(help_text, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("pointcloud %s\n", pointcloud_version);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_streams();
    if (answered(argc, argv)) {
        return EXIT_SUCCESS;
    }
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
