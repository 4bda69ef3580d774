#pragma once

// The viewer's command line:
//
//     pointcloud-view FILE [options]
//     pointcloud-view --scene cube|plane|axes|rhino|scenery|line|circle [options]

#include <optional>
#include <string>
#include <vector>

#include "render/render.h"

enum class UpAxis { x, y, z, from_format };

struct ViewerOptions {
    std::string file;   // empty with a scene
    std::string scene;  // empty with a file
    ViewAngles angles;
    bool fit;
    UpAxis up;
    long long frames;    // 0: until the window is closed (1 with an output file)
    std::string output;  // a PNG to write instead of opening a window
};

// The options, or nothing once the help or the version has been printed (status 0) or an error
// has been reported on standard error (status 2); `status` tells which.
// `arguments` are UTF-8, the program's name first.
std::optional<ViewerOptions> parse_viewer_options(const std::vector<std::string>& arguments,
                                                  int& status);
