#include "viewer/picture.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/frame_loop.h"
#include "render/render.h"

namespace {

// The line's half-extent when it is shown on its own: it then crosses most of the window.
constexpr float line_half_extent = 900.0f;

// The figures are drawn by the demo's own routines into the demo's frame, whose centre is then
// put at the centre of the picture.
void draw_figure(Figure figure, const View& view, const PictureStyle& style, Frame& frame) {
    clear_frame();
    view_angles = view.angles;
    if (figure == Figure::line) {
        draw_line(line_half_extent);
    } else {
        draw_circle();
    }
    const int column_offset = screen_width / 2 - frame.width / 2;
    const int row_offset = screen_height / 2 - frame.height / 2;
    for (int row = 0; row < frame.height; ++row) {
        for (int column = 0; column < frame.width; ++column) {
            const int source_row = row + row_offset;
            const int source_column = column + column_offset;
            const bool inside = source_row >= 0 && source_row < screen_height &&
                                source_column >= 0 && source_column < screen_width;
            const std::uint32_t pixel =
                inside ? frame_buffer.pixels[static_cast<std::size_t>(source_row) * screen_width +
                                             static_cast<std::size_t>(source_column)]
                       : 0;
            frame.pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(frame.width) +
                         static_cast<std::size_t>(column)] = pixel != 0 ? pixel : style.background;
        }
    }
}

}  // namespace

Picture make_picture(int width, int height) {
    return Picture{make_depth_frame(width, height),
                   Frame{width, height,
                         std::vector<std::uint32_t>(static_cast<std::size_t>(width) *
                                                    static_cast<std::size_t>(height))}};
}

int shown_point_size(const ShownCloud& cloud, const View& view, int width, int height) {
    if (view.point_size > 0) {
        return view.point_size;
    }
    return cloud.fitted ? closing_point_size(cloud.spacing, view.zoom, width, height) : 1;
}

float pixels_per_unit(int width, int height) {
    return frame_focal_length(width, height) / viewing_distance;
}

void draw_picture(const ShownCloud& cloud, const View& view, const PictureStyle& style,
                  Picture& picture) {
    Frame& frame = picture.frame;
    if (cloud.figure != Figure::none) {
        draw_figure(cloud.figure, view, style, frame);
        return;
    }
    DepthCamera camera = depth_camera(view.angles, view.zoom);
    camera.pan_x = view.pan_x;
    camera.pan_y = view.pan_y;
    if (cloud.fitted) {
        camera.near_distance = fitted_near_distance;
    }
    camera.point_size = shown_point_size(cloud, view, frame.width, frame.height);
    draw_points_depth(picture.depth, cloud.points, camera);
    const EyeDome eye_dome =
        view.eye_dome ? EyeDome{style.eye_dome_strength, style.eye_dome_radius} : no_eye_dome;
    resolve_depth_frame(picture.depth, style.background, eye_dome, frame);
}

PictureStyle style_of(const ViewerOptions& options) {
    return PictureStyle{options.background, options.eye_dome_strength, options.eye_dome_radius};
}

View starting_view(const ShownCloud& cloud, const ViewerOptions& options, int width, int height) {
    Framing framing = cloud.fitted && cloud.figure == Figure::none
                          ? fitted_framing(cloud.box, options.angles, width, height)
                          : Framing{1.0f, 0.0f, 0.0f};
    // Closer by --zoom, the middle of the picture staying where it is.
    framing = Framing{framing.zoom * options.zoom, framing.pan_x * options.zoom,
                      framing.pan_y * options.zoom};
    const bool eye_dome = options.eye_dome == EyeDomeMode::on ||
                          (options.eye_dome == EyeDomeMode::automatic && !cloud.own_colors);
    return initial_view(options.angles, framing, options.point_size, eye_dome);
}

Picture picture_of(const ShownCloud& cloud, const ViewerOptions& options) {
    Picture picture = make_picture(options.width, options.height);
    draw_picture(cloud, starting_view(cloud, options, options.width, options.height),
                 style_of(options), picture);
    return picture;
}
