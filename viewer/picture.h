#pragma once

// The viewer's picture: the shown cloud drawn as the view sees it into a frame of any size, the
// nearest point in front at every pixel, shaded where the view asks for it.

#include <cstdint>

#include "common/frame_buffer.h"
#include "render/depth_draw.h"
#include "viewer/options.h"
#include "viewer/shown_cloud.h"
#include "viewer/view.h"

// How a picture is drawn beyond the view: what lies behind the points and how they are shaded.
struct PictureStyle {
    std::uint32_t background;  // 0x00RRGGBB where no point falls
    float eye_dome_strength;
    int eye_dome_radius;
};

// A picture's frame and the renderer's working words behind it, of one size.
struct Picture {
    DepthFrame depth;
    Frame frame;
};

Picture make_picture(int width, int height);

// The side of the squares the points are drawn as: the view's own, or for a fitted cloud one
// chosen from its spacing so that its surfaces close at the view's distance.
int shown_point_size(const ShownCloud& cloud, const View& view, int width, int height);

// How many pixels a unit of the turned coordinates covers at the cloud's centre, for moving
// the view sideways as far as the pointer goes.
float pixels_per_unit(int width, int height);

// Draws `cloud` as `view` sees it into the picture's frame.
void draw_picture(const ShownCloud& cloud, const View& view, const PictureStyle& style,
                  Picture& picture);

PictureStyle style_of(const ViewerOptions& options);

// The view at start: a fitted cloud spans most of a frame of width x height, then --zoom; the
// eye-dome lighting on where the options say, or for clouds without colours of their own.
View starting_view(const ShownCloud& cloud, const ViewerOptions& options, int width, int height);

// The cloud drawn at the options' size from the starting view: the first frame, as --output
// writes it.
Picture picture_of(const ShownCloud& cloud, const ViewerOptions& options);
