#include "viewer/options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "common/version.h"
#include "render/depth_draw.h"

namespace {

// "X,Y,Z" in degrees, each a finite number.
bool parse_angles(std::string_view text, ViewAngles& angles) {
    float* const fields[] = {&angles.angle_x, &angles.angle_y, &angles.angle_z};
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (int i = 0; i < 3; ++i) {
        const auto [next, error] = std::from_chars(at, end, *fields[i]);
        if (error != std::errc() || !std::isfinite(*fields[i])) {
            return false;
        }
        at = next;
        if (i < 2) {
            if (at == end || *at != ',') {
                return false;
            }
            ++at;
        }
    }
    return at == end;
}

// "WxH", each side from 1 to largest_frame_side.
bool parse_size(std::string_view text, int& width, int& height) {
    const char* const end = text.data() + text.size();
    const auto [after_width, width_error] = std::from_chars(text.data(), end, width);
    if (width_error != std::errc() || after_width == end || *after_width != 'x') {
        return false;
    }
    const auto [after_height, height_error] = std::from_chars(after_width + 1, end, height);
    return height_error == std::errc() && after_height == end && width >= 1 &&
           width <= largest_frame_side && height >= 1 && height <= largest_frame_side;
}

// Where `output` holds a number: the offset of its '%' and the width it is padded to with
// zeros; nothing where it holds none. `valid` is false for any other conversion, or more than
// one, which no file name needs.
struct NumberField {
    std::size_t at = std::string::npos;
    std::size_t length = 0;
    int width = 0;
    bool valid = true;
};

NumberField number_field(const std::string& output) {
    NumberField field;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '%') {
            continue;
        }
        if (i + 1 < output.size() && output[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < output.size() && output[end] >= '0' && output[end] <= '9') {
            ++end;
        }
        const bool padded = end == i + 1 || output[i + 1] == '0';
        if (end == output.size() || output[end] != 'd' || !padded || end - i > 4 ||
            field.at != std::string::npos) {
            field.valid = false;
            return field;
        }
        field.at = i;
        field.length = end + 1 - i;
        field.width = end > i + 1 ? std::stoi(output.substr(i + 1, end - i - 1)) : 0;
        i = end;
    }
    return field;
}

}  // namespace

// A colour by name or as "#rrggbb".
bool parse_color(std::string_view text, std::uint32_t& color) {
    static constexpr std::pair<std::string_view, std::uint32_t> names[] = {
        {"black", 0x000000},  {"white", 0xFFFFFF},   {"grey", 0x808080},   {"gray", 0x808080},
        {"red", 0xFF0000},    {"green", 0x008000},   {"blue", 0x0000FF},   {"navy", 0x000080},
        {"silver", 0xC0C0C0}, {"dimgrey", 0x696969}, {"dimgray", 0x696969}};
    for (const auto& [name, value] : names) {
        if (text == name) {
            color = value;
            return true;
        }
    }
    if (text.size() != 7 || text[0] != '#') {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data() + 1, text.data() + 7, color, 16);
    return error == std::errc() && end == text.data() + 7;
}

bool numbers_frames(const std::string& output) {
    const NumberField field = number_field(output);
    return field.valid && field.at != std::string::npos;
}

std::string numbered_name(const std::string& output, long long frame) {
    const NumberField field = number_field(output);
    std::string number = std::to_string(frame);
    if (static_cast<int>(number.size()) < field.width) {
        number.insert(0, static_cast<std::size_t>(field.width) - number.size(), '0');
    }
    std::string name = output;
    name.replace(field.at, field.length, number);
    // "%%" stands for one '%', as in printf.
    for (std::size_t at = name.find("%%"); at != std::string::npos; at = name.find("%%", at + 1)) {
        name.erase(at, 1);
    }
    return name;
}

std::optional<ViewerOptions> parse_viewer_options(const std::vector<std::string>& arguments,
                                                  int& status) {
    ViewerOptions options;
    std::string angles = "-20,0,0";
    bool no_fit = false;
    std::string up;
    std::string size = "1024x800";
    std::string point_size;
    std::string eye_dome = "auto";
    std::string color = "auto";
    std::string background = "black";
    CLI::App app{
        "Shows a point cloud (PLY, LAS, PCD or text: x y z [r g b]) turning in a window, or "
        "draws it into a PNG with no display. Each pixel shows the nearest point.\n"
        "In the window: Space pauses and resumes the turn, a drag with the left button turns "
        "the view, a drag with the right or middle button or with Shift moves it sideways, the "
        "wheel or + and - move the viewer closer and farther, the arrow keys turn by steps, "
        "1, 2 and 3 look along the axes (top, front, side), F fits the cloud to the window "
        "again, R resets the view, [ and ] make the points smaller and larger, E turns the "
        "shading on and off, P saves the frame as a PNG, Escape or Q ends.",
        "pointcloud-view"};
    // File names such as /tmp/cloud.ply are never options, on Windows either.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("pointcloud-view ") + pointcloud_version,
                         "print the name and the version and end");
    app.add_option("FILE", options.file, "the point-cloud file to show");
    const auto* scene_option =
        app.add_option("--scene", options.scene, "one of the demo's own point sets or figures")
            ->check(CLI::IsMember({"cube", "plane", "axes", "rhino", "scenery", "line", "circle"}));
    app.add_option("--angles", angles, "view angles X,Y,Z in degrees to start from")
        ->default_str("-20,0,0");
    app.add_flag("--no-fit", no_fit,
                 "draw the coordinates as they are, the viewer 2000 units in front of the "
                 "origin, with points of one pixel and no near limit; only a georeferenced file "
                 "(coordinates beyond 65536) is still shifted by its first point, to keep its "
                 "detail. By default the cloud is centred on the box of all but its outermost "
                 "points and brought near enough to fill the window");
    app.add_option("--up", up,
                   "which of the file's axes, x, y or z, points up when the cloud is fitted, "
                   "and colours by height (default: z for LAS, y otherwise)")
        ->check(CLI::IsMember({"x", "y", "z"}));
    app.add_option("--zoom", options.zoom, "start this many times closer than the fitted view")
        ->check(CLI::Range(1.0f / 64.0f, 64.0f));
    app.add_option("--size", size, "WxH: the window's first size and the PNG's, up to 8192x8192")
        ->default_str("1024x800");
    app.add_option("--point-size", point_size,
                   "N: points drawn as squares of N x N pixels, 1 to 16; auto (the default of "
                   "fitted views) closes a scan's surfaces at the current zoom")
        ->default_str("auto");
    app.add_option("--edl", eye_dome,
                   "eye-dome lighting, shading each point by how much nearer its neighbours on "
                   "screen are: on, off, or auto (on for clouds without colours of their own)")
        ->check(CLI::IsMember({"on", "off", "auto"}))
        ->default_str("auto");
    app.add_option("--edl-strength", options.eye_dome_strength,
                   "how dark the shading gets, from 0 (none) to 10000")
        ->check(CLI::Range(0.0f, 10000.0f))
        ->default_str("100");
    app.add_option("--edl-radius", options.eye_dome_radius,
                   "how far, in pixels, the shading looks for neighbours")
        ->check(CLI::Range(1, 8))
        ->default_str("1");
    app.add_option("--color,--colour", color,
                   "auto (the file's colours, or height where it has none), rgb, height, "
                   "intensity or classification")
        ->check(CLI::IsMember({"auto", "rgb", "height", "intensity", "classification"}))
        ->default_str("auto");
    app.add_option("--background", background,
                   "the colour behind the points: a name (black, white, grey, ...) or #rrggbb")
        ->default_str("black");
    app.add_option("--turn-speed", options.turn_speed,
                   "degrees a second that the window's view turns about the vertical axis")
        ->check(CLI::Range(-3600.0f, 3600.0f))
        ->default_str("30");
    app.add_option("--frames", options.frames,
                   "draw N frames of the turn, then end; with an --output name that holds a "
                   "number (turn%03d.png) every frame is written, numbered from 0")
        ->check(CLI::Range(1LL, 1'000'000'000LL));
    app.add_option("--turn-step", options.turn_step, "degrees a frame that --frames turns by")
        ->check(CLI::Range(-360.0f, 360.0f))
        ->default_str("1");
    app.add_option("--output", options.output,
                   "no window: draw (the last of the N frames) and write the frame as a PNG");
    try {
        // CLI11 takes the arguments last first, without the program's name.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        reversed.pop_back();
        app.parse(reversed);
    } catch (const CLI::Success& help_or_version) {
        status = app.exit(help_or_version);
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "pointcloud-view: %s\nRun with --help for more information.\n",
                     error.what());
        status = 2;
        return std::nullopt;
    }
    const char* problem = nullptr;
    if (options.file.empty() == (scene_option->count() == 0)) {
        problem = "give one FILE or one --scene";
    } else if (!parse_angles(angles, options.angles)) {
        problem = "--angles takes three numbers of degrees, X,Y,Z";
    } else if (!parse_size(size, options.width, options.height)) {
        problem = "--size takes WxH, each from 1 to 8192";
    } else if (!parse_color(background, options.background)) {
        problem = "--background takes a colour's name or #rrggbb";
    } else if (!number_field(options.output).valid) {
        problem = "--output may hold one number, such as %d or %04d, and no other % field";
    } else if (!point_size.empty() && point_size != "auto") {
        const char* const end = point_size.data() + point_size.size();
        const auto [after, error] = std::from_chars(point_size.data(), end, options.point_size);
        if (error != std::errc() || after != end || options.point_size < 1 ||
            options.point_size > largest_point_size) {
            problem = "--point-size takes auto or a whole number of pixels from 1 to 16";
        }
    } else if (point_size.empty() && no_fit) {
        // Coordinates taken as they are draw as the demo draws them, a pixel a point.
        options.point_size = 1;
    }
    if (problem != nullptr) {
        std::fprintf(stderr, "pointcloud-view: %s\nRun with --help for more information.\n",
                     problem);
        status = 2;
        return std::nullopt;
    }
    options.fit = !no_fit;
    options.up = up == "x"   ? UpAxis::x
                 : up == "y" ? UpAxis::y
                 : up == "z" ? UpAxis::z
                             : UpAxis::from_format;
    options.eye_dome = eye_dome == "on"    ? EyeDomeMode::on
                       : eye_dome == "off" ? EyeDomeMode::off
                                           : EyeDomeMode::automatic;
    options.color = color == "rgb"              ? ColorMode::rgb
                    : color == "height"         ? ColorMode::height
                    : color == "intensity"      ? ColorMode::intensity
                    : color == "classification" ? ColorMode::classification
                                                : ColorMode::automatic;
    if (options.frames == 0 && !options.output.empty()) {
        options.frames = 1;
    }
    status = 0;
    return options;
}
