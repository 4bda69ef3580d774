#pragma once

#include <cstdint>

#include "common/frame_buffer.h"
#include "scene/scene.h"

// Degrees to radians: this decimal value rather than pi/180 to full precision, so that the
// frames come out pixel for pixel the same everywhere.
inline constexpr double radians_per_degree = 0.017453292;

// The view angles in degrees. Only the frame driver writes them; every drawing routine reads
// them when it is called.
struct ViewAngles {
    float angle_x;
    float angle_y;
    float angle_z;
};
extern ViewAngles view_angles;

// The sines and cosines of the three view angles, rounded to float.
struct ViewTrig {
    float cos_x, cos_y, cos_z;
    float sin_x, sin_y, sin_z;
};

// The view rotation written out per input coordinate: t = m * (x, y, z). Formed once per
// drawing call from the sines and cosines.
struct ViewRotation {
    float m[3][3];
};

struct Rotated {
    float tx, ty, tz;
};

// Pixel offsets from the screen centre (column 511, row 399), x to the right and y upward.
struct ScreenPoint {
    float sx, sy;
};

// The renderer's working record of the last point it processed, whether plotted or not.
// After a drawing call `tx` and `ty` hold that point's screen coordinates and `tz` its
// rotated depth.
struct RenderState {
    float cos_x, cos_y, cos_z;
    float sin_x, sin_y, sin_z;
    const Point* current_point;
    float tx, ty;
    float tz;
};
extern RenderState render_state;

inline constexpr std::uint32_t white = 0xFFFFFF;

// How far in front of the origin the viewer stands, looking along +z.
inline constexpr float viewing_distance = 2000.0f;

ViewTrig view_trig(const ViewAngles& angles);
ViewRotation view_rotation(const ViewTrig& trig);

// Turns about z by angle_z, then about y by angle_y, then about x by angle_x. A positive
// angle_y turns +x toward +z.
Rotated rotate_view(float x, float y, float z, const ViewRotation& rotation);

// Perspective from a viewer 2000 units in front of the origin, 800 pixels of focal length.
// A point behind the viewer comes out mirrored through the centre; one at the viewer's
// depth gives an infinity or a NaN.
ScreenPoint project_to_screen(const Rotated& rotated);

// Writes one pixel if the point lies on the screen: -511 <= sx <= 511 and -399 <= sy <= 399,
// where NaN never is. The column and the row are the offsets truncated toward zero from the
// centre, so column 1023 and row 799 are never reached.
void store_pixel(const ScreenPoint& screen, std::uint32_t color);

// The pixel value of a point's float colour, truncated toward zero. A colour that is NaN or
// outside the 32-bit signed range gives 0x80000000, which shows as black.
std::uint32_t pixel_from_color(float color);

// Plots one point in `color`, with the sines and cosines of the angles as they stand.
void plot_point(const Point& point, std::uint32_t color);

// Plots `count` points in index order, each in its own colour: a later point overwrites an
// earlier one at the same pixel. A count of 0 or less draws nothing and records nothing.
// Takes the widest vector path that the processor offers and, when the process may run on
// more than one processor and the count is large, shares the points with one helper thread;
// the frame and the render state come out exactly as from draw_points_scalar.
void draw_points(const Point* points, std::int32_t count);

// As draw_points, with x, y and z multiplied by `scale` on the way into the view rotation: the
// picture that a viewer 2000 / scale units in front of the origin would see, with the same focal
// length. A scale of 1 draws exactly what draw_points draws.
void draw_points_scaled(const Point* points, std::int32_t count, float scale);

// Tells draw_points how many processors the process may run on, as the platform counts them
// (what its affinity allows, not the machine's size). With fewer than two it never shares its
// points with a helper thread, which could then only take turns with the caller. Until told,
// it goes by the machine's count.
void set_usable_processors(int count);

// Ends draw_points' helper thread, if one was started, and waits for it; draw_points then
// works on the calling thread alone. Called once the frame loop has ended.
void stop_drawing_helper();

// The reference for draw_points: one point after another through rotate_view,
// project_to_screen and store_pixel.
void draw_points_scalar(const Point* points, std::int32_t count);

// Plots the whole x, y, z triples among `float_count` floats in white; a trailing partial
// triple is ignored. A count of 0 or less draws nothing and records nothing.
void draw_vertices(const float* vertices, std::int32_t float_count);

// Draws the line y = -1 - x in the plane z = 0 in white, from x = -half_extent upward in steps
// of 0.1 while x stays at most half_extent. The step is added in double precision and rounded
// back to float each time, so the steps drift: a half-extent of 1 gives 20 points, the last at
// x = 0.90000015. A half-extent that is negative, not a number, or 2,097,152 or more (where a
// step of 0.1 no longer moves a float) draws nothing and records nothing.
void draw_line(float half_extent);

// Draws, in white in the plane z = 0, the whole circle of radius 200 about the origin, one point
// every tenth of a degree, and then its upper half once more in steps of 0.001 along x (399,106
// points, the last at x = 199.99991).
void draw_circle();
