#pragma once

// The viewer's command line:
//
//     pointcloud-view FILE [options]
//     pointcloud-view --scene cube|plane|axes|rhino|scenery|line|circle [options]

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "render/render.h"

enum class UpAxis { x, y, z, from_format };

// What gives the points their colours: the file's own, or a value that the file carries.
enum class ColorMode { automatic, rgb, height, intensity, classification };

enum class EyeDomeMode { automatic, on, off };

// The largest frame the viewer draws, either way.
inline constexpr int largest_frame_side = 8192;

struct ViewerOptions {
    std::string file;   // empty with a scene
    std::string scene;  // empty with a file
    ViewAngles angles{-20.0f, 0.0f, 0.0f};
    bool fit = true;
    UpAxis up = UpAxis::from_format;
    long long frames = 0;  // 0: until the window is closed (1 with an output file)
    std::string output;    // a PNG to write instead of opening a window; may hold a %d
    int width = 1024;      // of the window at first, and of the PNG
    int height = 800;
    float zoom = 1.0f;   // how many times closer than the fitted view to start
    int point_size = 0;  // pixels a side, 1 to 16; 0 chooses from the cloud's spacing
    EyeDomeMode eye_dome = EyeDomeMode::automatic;
    float eye_dome_strength = 100.0f;
    int eye_dome_radius = 1;
    ColorMode color = ColorMode::automatic;
    std::uint32_t background = 0;  // 0x00RRGGBB
    float turn_speed = 30.0f;      // degrees a second in the window
    float turn_step = 1.0f;        // degrees a frame with --frames
};

// A colour by name (black, white, grey, ...) or as "#rrggbb", as 0x00RRGGBB.
bool parse_color(std::string_view text, std::uint32_t& color);

// Whether `output` names one file per frame: it holds one printf-style number, such as
// "turn%03d.png".
bool numbers_frames(const std::string& output);

// `output` with `frame` in place of its number.
std::string numbered_name(const std::string& output, long long frame);

// The options, or nothing once the help or the version has been printed (status 0) or an error
// has been reported on standard error (status 2); `status` tells which.
// `arguments` are UTF-8, the program's name first.
std::optional<ViewerOptions> parse_viewer_options(const std::vector<std::string>& arguments,
                                                  int& status);
