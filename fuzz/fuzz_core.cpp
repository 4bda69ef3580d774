// A libFuzzer target that drives every public routine of the core with arbitrary bytes.
//
// The input is a program of operations, read from the front: one byte picks the operation,
// and the bytes after it give its arguments. A float is a value at an edge of the renderer,
// one near it, or any bits at all (NaN, infinities, subnormals, huge values): see take_float.
// Missing bytes read as zero, so every input is valid.
//
// The sanitizers catch a write outside the frame buffer or an array, the per-input time
// limit catches a hang, and a few checks below catch wrong results that stay in bounds:
// draw_points and draw_vertices must plot exactly what plot_point plots point by point (and
// every path of draw_points, shared with its helper thread or not, what draw_points_scalar
// plots), pixel_index must stay on the screen rectangle, a line that cannot be stepped draws
// nothing, and nothing may reach the column or row that the screen rectangle leaves out.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <span>
#include <vector>

#include "common/frame_buffer.h"
#include "driver/frame_loop.h"
#include "render/point_paths.h"
#include "render/render.h"
#include "scene/scene.h"

namespace {

// Enough for many groups of the widest kernel, small enough to run thousands of inputs a
// second.
constexpr std::size_t max_points = 4096;

// Values where the renderer's decisions change: the screen's edges in pixels and, at depth 0,
// in units; the viewer's depth; the ends of the 32-bit range; and the special floats.
constexpr float edge_values[] = {
    0.0f,
    511.0f,
    -511.0f,
    399.0f,
    -399.0f,
    1277.5f,
    -1277.5f,
    997.5f,
    -997.5f,
    -2000.0f,
    2147483648.0f,
    -2147483648.0f,
    16777215.0f,
    360.0f,
    2097152.0f,
    33554432.0f,
    1.0e30f,
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
};
constexpr std::size_t edge_count = std::size(edge_values);

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return next_ == size_; }

    std::uint8_t take_byte() { return empty() ? 0 : data_[next_++]; }

    // `byte_count` bytes, most significant first.
    std::uint32_t take_bits(int byte_count) {
        std::uint32_t value = 0;
        for (int i = 0; i < byte_count; ++i) {
            value = value << 8 | take_byte();
        }
        return value;
    }

    std::uint32_t take_u32() { return take_bits(4); }

    // The fuzzer steers integers well but floats poorly, so the first byte can ask for an edge:
    // below 32 an edge value, below 64 an edge value moved by a signed byte's sixteenths (a
    // few pixels or units either way); from 64 up, the four raw bytes that follow.
    float take_float() {
        const std::uint8_t pick = take_byte();
        const float edge = edge_values[pick % 32 % edge_count];
        if (pick < 32) {
            return edge;
        }
        if (pick < 64) {
            return edge + static_cast<float>(static_cast<std::int8_t>(take_byte())) / 16.0f;
        }
        return std::bit_cast<float>(take_u32());
    }

    // A size from 0 to `limit`: a small one from one byte, any other from three more.
    std::size_t take_size(std::size_t limit) {
        const std::uint8_t pick = take_byte();
        const std::size_t size = pick < 128 ? pick : take_bits(3);
        return std::min(size, limit);
    }

    // A count that never exceeds `held`, the length of the array it goes with: any negative
    // one, or one from 0 to `held`.
    std::int32_t take_count(std::size_t held) {
        if (take_byte() % 4 == 0) {
            return static_cast<std::int32_t>(take_u32() | 0x80000000u);
        }
        return static_cast<std::int32_t>(take_size(held));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t next_ = 0;
};

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_core: %s\n", what);
        std::abort();
    }
}

bool same_float(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

bool same_bits(const Point& a, const Point& b) {
    return bits_of(a.x) == bits_of(b.x) && bits_of(a.y) == bits_of(b.y) &&
           bits_of(a.z) == bits_of(b.z) && bits_of(a.color) == bits_of(b.color);
}

Point take_point(ByteReader& in) {
    const float x = in.take_float();
    const float y = in.take_float();
    const float z = in.take_float();
    return Point{x, y, z, in.take_float()};
}

// Points in a block of their own, starting 0 to 3 points past its start so that they meet
// every alignment a wide load cares about.
struct PointArray {
    std::vector<Point> block;
    std::span<Point> points;
};

PointArray take_points(ByteReader& in) {
    const std::size_t shift = in.take_byte() % 4;
    const std::size_t size = in.take_size(max_points);
    PointArray array{std::vector<Point>(shift + size), {}};
    array.points = std::span(array.block).subspan(shift);
    for (Point& point : array.points) {
        point = take_point(in);
    }
    return array;
}

// The column and the row that the screen rectangle leaves out stay black.
void require_edges_black() {
    for (int row = 0; row < screen_height; ++row) {
        require(frame_buffer.pixels[row * screen_width + screen_width - 1] == 0,
                "a point reached the last column");
    }
    for (int column = 0; column < screen_width; ++column) {
        require(frame_buffer.pixels[(screen_height - 1) * screen_width + column] == 0,
                "a point reached the last row");
    }
}

void require_same_state(const RenderState& a, const RenderState& b) {
    require(same_float(a.cos_x, b.cos_x) && same_float(a.cos_y, b.cos_y) &&
                same_float(a.cos_z, b.cos_z) && same_float(a.sin_x, b.sin_x) &&
                same_float(a.sin_y, b.sin_y) && same_float(a.sin_z, b.sin_z) &&
                same_float(a.tx, b.tx) && same_float(a.ty, b.ty) && same_float(a.tz, b.tz),
            "the render state differs from plotting point by point");
}

FrameBuffer frame_before;
FrameBuffer frame_drawn;

// Runs a bulk drawing call, then the same points one by one through plot_point on the frame
// as it was before, and requires the same pixels and the same record of the last point.
template <typename Bulk, typename OneByOne>
void require_same_as_one_by_one(Bulk bulk, OneByOne one_by_one) {
    frame_before = frame_buffer;
    const RenderState state_before = render_state;
    bulk();
    frame_drawn = frame_buffer;
    const RenderState state_drawn = render_state;
    frame_buffer = frame_before;
    render_state = state_before;
    one_by_one();
    require(std::memcmp(&frame_drawn, &frame_buffer, sizeof frame_buffer) == 0,
            "a bulk drawing differs from plotting point by point");
    require_same_state(state_drawn, render_state);
}

void fuzz_draw_points(ByteReader& in) {
    const PointArray array = take_points(in);
    const std::int32_t count = in.take_count(array.points.size());
    const Point* points = array.points.data();
    require_same_as_one_by_one([&] { draw_points(points, count); },
                               [&] {
                                   for (std::int32_t i = 0; i < count; ++i) {
                                       plot_point(points[i], pixel_from_color(points[i].color));
                                   }
                               });
    if (count > 0) {
        require(render_state.current_point == &points[count - 1],
                "the render state does not hold the last point");
    }
}

void fuzz_draw_vertices(ByteReader& in) {
    const std::size_t size = in.take_size(3 * max_points);
    std::vector<float> floats(size);
    for (float& value : floats) {
        value = in.take_float();
    }
    const std::int32_t count = in.take_count(size);
    const float* vertices = floats.data();
    require_same_as_one_by_one(
        [&] { draw_vertices(vertices, count); },
        [&] {
            for (std::int32_t i = 0; i + 2 < count; i += 3) {
                plot_point(Point{vertices[i], vertices[i + 1], vertices[i + 2], 0.0f}, white);
            }
        });
}

// A generator fills a prefix of its destination and leaves the rest as it was.
template <typename Generate>
void fuzz_generator(ByteReader& in, Generate generate) {
    constexpr Point marker{-7.0f, -7.0f, -7.0f, -7.0f};
    const std::size_t size = in.take_size(max_points);
    std::vector<Point> points(size, marker);
    generate(std::span(points));
    const auto is_marker = [&](const Point& point) { return same_bits(point, marker); };
    const auto unwritten = std::find_if(points.begin(), points.end(), is_marker);
    require(std::all_of(unwritten, points.end(), is_marker), "a generator skipped a point");
}

void fuzz_build_axes(ByteReader& in) {
    // Built into any capacity, the axes are a prefix of the whole set.
    std::vector<Point> whole(axis_point_count);
    build_axes(whole);
    const std::size_t size = in.take_size(axis_point_count + 64);
    std::vector<Point> points(size);
    build_axes(points);
    const std::size_t written = std::min(size, axis_point_count);
    const std::span<const Point> prefix = std::span(points).first(written);
    require(std::equal(prefix.begin(), prefix.end(), whole.begin(), same_bits),
            "the axes differ in a smaller destination");
}

void fuzz_scale_points(ByteReader& in) {
    const PointArray array = take_points(in);
    const std::vector<Point> before(array.points.begin(), array.points.end());
    const float factor = in.take_float();
    scale_points(array.points, factor);
    for (std::size_t i = 0; i < before.size(); ++i) {
        const Point& point = array.points[i];
        require(same_float(point.x, before[i].x * factor) &&
                    same_float(point.y, before[i].y * factor) &&
                    same_float(point.z, before[i].z * factor) &&
                    bits_of(point.color) == bits_of(before[i].color),
                "scale_points scaled a point wrongly");
    }
}

// The clock of count_frame reads the input.
ByteReader* clock_input = nullptr;
std::int32_t input_clock() { return static_cast<std::int32_t>(clock_input->take_u32()); }

void fuzz_count_frames(ByteReader& in, FrameRateCounter& counter) {
    const std::size_t frames = in.take_size(255);
    clock_input = &in;
    for (std::size_t i = 0; i < frames; ++i) {
        const FrameRateCounter before = counter;
        count_frame(counter, input_clock);
        const bool counted = counter.counted_frames == before.counted_frames + 1 &&
                             counter.fps == before.fps &&
                             counter.interval_start == before.interval_start;
        const bool closed = counter.counted_frames == 0 && counter.fps == before.counted_frames + 1;
        require(counted || closed, "count_frame neither counted nor closed the interval");
    }
}

void fuzz_wrap_angles(ByteReader& in) {
    view_angles = ViewAngles{in.take_float(), in.take_float(), in.take_float()};
    const ViewAngles before = view_angles;
    wrap_angles();
    for (const auto angle : {&ViewAngles::angle_x, &ViewAngles::angle_y, &ViewAngles::angle_z}) {
        const float expected = before.*angle >= 360.0f ? 0.0f : before.*angle;
        require(same_float(view_angles.*angle, expected), "wrap_angles set a wrong angle");
    }
}

void fuzz_pixel_from_color(ByteReader& in) {
    const float color = in.take_float();
    const std::uint32_t pixel = pixel_from_color(color);
    // Worked out in double precision, where every float and the range's ends are exact.
    const double value = std::trunc(static_cast<double>(color));
    if (value >= -2147483648.0 && value <= 2147483647.0) {
        require(pixel == static_cast<std::uint32_t>(static_cast<std::int64_t>(value)),
                "pixel_from_color truncated a colour wrongly");
    } else {
        require(pixel == 0x80000000u, "pixel_from_color kept a colour out of range");
    }
}

// A line of the longest half-extent plots some 33 million points, the circle 400,000 and a
// large run of points up to a million, each twice: one of each per input keeps an input well
// inside its time limit.
struct FigureBudget {
    bool line_drawn = false;
    bool circle_drawn = false;
    bool large_run_drawn = false;
};

// A run long enough for draw_points to share it with its helper thread (and for the helper's
// log of pixels to fill up), through a path the input picks, against draw_points_scalar. The
// input's points repeat to fill it.
void fuzz_large_run(ByteReader& in, FigureBudget& budget) {
    const PointArray pattern = take_points(in);
    const std::size_t size = static_cast<std::size_t>(in.take_bits(2)) * 16;
    const std::int32_t count = in.take_count(size);
    const auto path = static_cast<PointPath>(in.take_byte() % 3);
    // The kept inputs pick 0 (shared as draw_points shares) or 1 (alone).
    const Sharing sharings[] = {Sharing::with_helper, Sharing::alone, Sharing::helper_first,
                                Sharing::helper_stalls};
    const Sharing sharing = sharings[in.take_byte() % std::size(sharings)];
    if (budget.large_run_drawn || pattern.points.empty() || !point_path_supported(path)) {
        return;
    }
    budget.large_run_drawn = true;
    std::vector<Point> points(size);
    for (std::size_t i = 0; i < size; ++i) {
        points[i] = pattern.points[i % pattern.points.size()];
    }
    require_same_as_one_by_one([&] { draw_points_through(path, sharing, points.data(), count); },
                               [&] { draw_points_scalar(points.data(), count); });
}

void fuzz_draw_line(ByteReader& in, FigureBudget& budget) {
    const float half_extent = in.take_float();
    if (budget.line_drawn) {
        return;
    }
    budget.line_drawn = true;
    const RenderState state_before = render_state;
    frame_before = frame_buffer;
    draw_line(half_extent);
    if (!(half_extent >= 0.0f && half_extent < 2097152.0f)) {
        require(std::memcmp(&frame_before, &frame_buffer, sizeof frame_buffer) == 0,
                "a line that cannot be stepped drew something");
        require(render_state.current_point == state_before.current_point,
                "a line that cannot be stepped recorded a point");
    }
}

// The whole pipeline of one point, step by step, and a pixel stored at any screen position.
void fuzz_pipeline(ByteReader& in) {
    const ViewTrig trig = view_trig(view_angles);
    const ViewRotation rotation = view_rotation(trig);
    const Point point = take_point(in);
    transform_and_record(point, trig, rotation);
    store_pixel(project_to_screen(rotate_view(point.x, point.y, point.z, rotation)), in.take_u32());
    const float sx = in.take_float();
    const ScreenPoint screen{sx, in.take_float()};
    const std::int32_t index = pixel_index(screen);
    require(index == -1 || (index >= 0 && index < static_cast<std::int32_t>(screen_pixel_count) &&
                            index % screen_width != screen_width - 1 &&
                            index / screen_width != screen_height - 1),
            "pixel_index gave a pixel off the screen rectangle");
    store_pixel(screen, in.take_u32());
}

void run_operation(ByteReader& in, FrameRateCounter& counter, FigureBudget& budget) {
    switch (in.take_byte() % 15) {
        case 0:
            view_angles = ViewAngles{in.take_float(), in.take_float(), in.take_float()};
            break;
        case 1: {
            const Point point = take_point(in);
            plot_point(point, in.take_u32());
            break;
        }
        case 2:
            fuzz_draw_points(in);
            break;
        case 3:
            fuzz_draw_vertices(in);
            break;
        case 4: {
            const float half_extent = in.take_float();
            fuzz_generator(in, [&](std::span<Point> points) { build_cube(points, half_extent); });
            break;
        }
        case 5: {
            const float half_extent = in.take_float();
            fuzz_generator(in, [&](std::span<Point> points) { build_plane(points, half_extent); });
            break;
        }
        case 6:
            fuzz_build_axes(in);
            break;
        case 7:
            fuzz_scale_points(in);
            break;
        case 8:
            fuzz_count_frames(in, counter);
            break;
        case 9:
            fuzz_pixel_from_color(in);
            break;
        case 10:
            fuzz_pipeline(in);
            break;
        case 11:
            fuzz_draw_line(in, budget);
            break;
        case 12:
            if (!budget.circle_drawn) {
                budget.circle_drawn = true;
                draw_circle();
            }
            break;
        case 13:
            fuzz_large_run(in, budget);
            break;
        default:
            fuzz_wrap_angles(in);
            break;
    }
}

}  // namespace

// The entry point that libFuzzer calls, by its fixed name.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each input starts from the program's state at start-up, so that it replays alone.
    clear_frame();
    view_angles = ViewAngles{};
    render_state = RenderState{};
    FrameRateCounter counter{0, 0, 0};
    FigureBudget budget;
    ByteReader in(data, size);
    while (!in.empty()) {
        run_operation(in, counter, budget);
        require_edges_black();
    }
    return 0;
}
