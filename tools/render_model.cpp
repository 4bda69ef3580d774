// Draws one of the embedded models, or the two figures, with the program's own renderer and
// writes the frame as a PNG, to look at them:
//
//     render_model <rhino|scenery|figures> <angle_x> <angle_y> <angle_z> <scale> <output.png>
//
// The model is taken as stored, its bounding box centred on the origin and its coordinates
// scaled by `scale`; the view angles (degrees) then turn it exactly as they turn the scene.
// The figures are drawn where and as large as they are, the line with `scale` as its
// half-extent.

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "common/frame_buffer.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "render_model: %s\n", what);
    std::exit(1);
}

// A copy of the model whose bounding box is centred on the origin.
std::vector<Point> centred_copy(std::span<const Point> model) {
    Point low = model.front();
    Point high = model.front();
    for (const Point& p : model) {
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z), 0.0f};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z), 0.0f};
    }
    std::vector<Point> copy(model.begin(), model.end());
    for (Point& p : copy) {
        p.x -= 0.5f * (low.x + high.x);
        p.y -= 0.5f * (low.y + high.y);
        p.z -= 0.5f * (low.z + high.z);
    }
    return copy;
}

// The simplified libpng interface takes each pixel as three bytes: red, green, blue.
void write_png(const FrameBuffer& frame, const char* path) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(screen_pixel_count * 3);
    for (const std::uint32_t pixel : frame.pixels) {
        rgb.push_back(static_cast<std::uint8_t>(pixel >> 16));
        rgb.push_back(static_cast<std::uint8_t>(pixel >> 8));
        rgb.push_back(static_cast<std::uint8_t>(pixel));
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = screen_width;
    image.height = screen_height;
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path, 0, rgb.data(), 0, nullptr) == 0) {
        fail(image.message);
    }
}

void draw_model(std::string_view name, float scale) {
    std::vector<Point> points =
        centred_copy(name == "rhino" ? std::span<const Point>(rhino_points)
                                     : std::span<const Point>(scenery_points));
    scale_points(points, scale);
    draw_points(points.data(), static_cast<std::int32_t>(points.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fail(
            "usage: render_model <rhino|scenery|figures> <angle_x> <angle_y> <angle_z> <scale> "
            "<out.png>");
    }
    const std::string_view name = argv[1];
    if (name != "rhino" && name != "scenery" && name != "figures") {
        fail("the picture is of rhino, scenery or figures");
    }
    view_angles = {std::strtof(argv[2], nullptr), std::strtof(argv[3], nullptr),
                   std::strtof(argv[4], nullptr)};
    const float scale = std::strtof(argv[5], nullptr);
    if (name == "figures") {
        draw_line(scale);
        draw_circle();
    } else {
        draw_model(name, scale);
    }
    write_png(frame_buffer, argv[6]);
    return 0;
}
