#pragma once

// Fitting a cloud to the window: where its bulk lies, how near the viewer must come for it to
// fill the frame, and how large its points must be drawn for its surfaces to close.

#include <array>
#include <vector>

#include "render/render.h"
#include "scene/scene.h"
#include "viewer/options.h"
#include "viewer/view.h"

// A fitted view leaves out the points nearer to the viewer than this, or behind it: the zoom
// may bring the viewer into the cloud.
inline constexpr float fitted_near_distance = 10.0f;

// A fitted cloud is centred on the origin and scaled so that the box of all but its outermost
// points lies within this distance of it.
inline constexpr float fitted_radius = 880.0f;

// The half-extents, right, up and back, of the box that a fitted cloud's bulk fills about the
// origin.
using BoxHalves = std::array<float, 3>;

// Centres the points, turned so that `up` is vertical, on the box of all but the outermost
// 0.5 % of them along each axis, and scales them in double precision so that this box's
// half-diagonal is fitted_radius. The outliers stay, wherever they fall. Gives the box.
BoxHalves fit_points(std::vector<Point>& points, UpAxis up);

// How near the viewer must stand, and how far the view must move sideways, for `box` turned by
// `angles` to lie in the middle of a frame of width x height and span about 90 % of it, along
// whichever side binds first.
Framing fitted_framing(const BoxHalves& box, const ViewAngles& angles, int width, int height);

// The typical distance between a point and its neighbours on the cloud's surfaces, in its own
// units; 0 for fewer than two distinct points.
float surface_spacing(const std::vector<Point>& points);

// The side of the squares, in pixels, that closes the surfaces of a cloud of `spacing` seen by a
// viewer at `zoom` in a frame of width x height, from 1 to largest_point_size.
int closing_point_size(float spacing, float zoom, int width, int height);
