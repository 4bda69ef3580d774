#include "render/render.h"

#include <cmath>
#include <cstdint>

#include "render/point_kernels.h"
#include "render/point_paths.h"

ViewAngles view_angles;
RenderState render_state;

namespace {

constexpr float int32_range_end = 2147483648.0f;
constexpr std::uint32_t out_of_range_pixel = 0x80000000;

// The working point of draw_vertices; module-level so that the reference to it in the
// render state stays valid after the call.
Point vertex_point;

float cosine_of(float degrees) {
    return static_cast<float>(std::cos(static_cast<double>(degrees) * radians_per_degree));
}

float sine_of(float degrees) {
    return static_cast<float>(std::sin(static_cast<double>(degrees) * radians_per_degree));
}

}  // namespace

ViewTrig view_trig(const ViewAngles& angles) {
    return ViewTrig{cosine_of(angles.angle_x), cosine_of(angles.angle_y), cosine_of(angles.angle_z),
                    sine_of(angles.angle_x),   sine_of(angles.angle_y),   sine_of(angles.angle_z)};
}

ViewRotation view_rotation(const ViewTrig& t) {
    // The product of the three turns (about z, then y, then x), one row per output
    // coordinate. Negated entries stand for the subtractions: a + (-b) equals a - b exactly.
    return ViewRotation{{
        {t.cos_y * t.cos_z, -(t.cos_y * t.sin_z), -t.sin_y},
        {t.cos_x * t.sin_z - t.sin_x * t.sin_y * t.cos_z,
         t.cos_x * t.cos_z + t.sin_x * t.sin_y * t.sin_z, -(t.sin_x * t.cos_y)},
        {t.sin_x * t.sin_z + t.cos_x * t.sin_y * t.cos_z,
         t.sin_x * t.cos_z - t.cos_x * t.sin_y * t.sin_z, t.cos_x * t.cos_y},
    }};
}

Rotated rotate_view(float x, float y, float z, const ViewRotation& r) {
    return Rotated{r.m[0][0] * x + r.m[0][1] * y + r.m[0][2] * z,
                   r.m[1][0] * x + r.m[1][1] * y + r.m[1][2] * z,
                   r.m[2][0] * x + r.m[2][1] * y + r.m[2][2] * z};
}

ScreenPoint project_to_screen(const Rotated& rotated) {
    const float depth = rotated.tz + viewing_distance;
    return ScreenPoint{(focal_length * rotated.tx) / depth, (focal_length * rotated.ty) / depth};
}

ScreenPoint transform_and_record(const Point& point, const ViewTrig& trig,
                                 const ViewRotation& rotation) {
    const Rotated rotated = rotate_view(point.x, point.y, point.z, rotation);
    const ScreenPoint screen = project_to_screen(rotated);
    render_state = RenderState{trig.cos_x, trig.cos_y, trig.cos_z, trig.sin_x, trig.sin_y,
                               trig.sin_z, &point,     screen.sx,  screen.sy,  rotated.tz};
    return screen;
}

std::int32_t pixel_index(const ScreenPoint& screen) {
    // Written so that a NaN fails every comparison and is skipped.
    const bool on_screen = screen.sx <= screen_limit_x && screen.sx >= -screen_limit_x &&
                           screen.sy <= screen_limit_y && screen.sy >= -screen_limit_y;
    if (!on_screen) {
        return -1;
    }
    const int column_offset = static_cast<int>(screen.sx);
    const int row_offset = static_cast<int>(screen.sy);
    return centre_index + column_offset - screen_width * row_offset;
}

void store_pixel(const ScreenPoint& screen, std::uint32_t color) {
    const std::int32_t index = pixel_index(screen);
    if (index >= 0) {
        frame_buffer.pixels[index] = color;
    }
}

std::uint32_t pixel_from_color(float color) {
    // The same value that the processor's own truncating conversion gives for these colours.
    if (!(color >= -int32_range_end && color < int32_range_end)) {
        return out_of_range_pixel;
    }
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(color));
}

void plot_point(const Point& point, std::uint32_t color) {
    const ViewTrig trig = view_trig(view_angles);
    store_pixel(transform_and_record(point, trig, view_rotation(trig)), color);
}

void draw_span_scalar(const Point* points, std::int32_t count, const ViewRotation& rotation) {
    for (std::int32_t i = 0; i < count; ++i) {
        const Point& point = points[i];
        const Rotated rotated = rotate_view(point.x, point.y, point.z, rotation);
        store_pixel(project_to_screen(rotated), pixel_from_color(point.color));
    }
}

std::int32_t log_span_scalar(const Point* points, std::int32_t count, const ViewRotation& rotation,
                             PixelLog log) {
    std::int32_t logged = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const Point& point = points[i];
        const Rotated rotated = rotate_view(point.x, point.y, point.z, rotation);
        const std::int32_t index = pixel_index(project_to_screen(rotated));
        if (index >= 0) {
            log.indices[logged] = static_cast<std::uint32_t>(index);
            log.colors[logged] = pixel_from_color(point.color);
            ++logged;
        }
    }
    return logged;
}

SpanKernels scalar_kernels() { return SpanKernels{draw_span_scalar, log_span_scalar}; }

// Only the last point's working values stay visible in the render state, so the bulk
// routines record them once, after the loop, instead of for every point.
void draw_points_scalar(const Point* points, std::int32_t count) {
    if (count <= 0) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    draw_span_scalar(points, count, rotation);
    transform_and_record(points[count - 1], trig, rotation);
}

void draw_vertices(const float* vertices, std::int32_t float_count) {
    const std::int32_t vertex_count = float_count / 3;
    if (vertex_count <= 0) {
        return;
    }
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    for (std::int32_t i = 0; i < vertex_count; ++i) {
        const float* vertex = vertices + 3 * static_cast<std::ptrdiff_t>(i);
        const Rotated rotated = rotate_view(vertex[0], vertex[1], vertex[2], rotation);
        store_pixel(project_to_screen(rotated), white);
    }
    const float* last = vertices + 3 * static_cast<std::ptrdiff_t>(vertex_count - 1);
    vertex_point.x = last[0];
    vertex_point.y = last[1];
    vertex_point.z = last[2];
    transform_and_record(vertex_point, trig, rotation);
}
