#include "viewer/fit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "render/depth_draw.h"

namespace {

// The share of the points left out at each end of each axis when the box is found.
constexpr double outlier_share = 0.005;
// The percentiles and the spacing are read from at most this many points, evenly spread.
constexpr std::size_t most_points_sampled = std::size_t{1} << 20;
// How much of the frame a fitted box spans.
constexpr float fitted_span = 0.9f;
// A cell of the spacing's grid should hold this many of the sampled points on average, so that
// the cells are larger than the spacing and their count measures the surfaces' area.
constexpr double points_per_cell = 4.0;

// The file's axes in the order the view takes them (right, up, towards the back), with the
// axis named up turned to the vertical and the other two keeping a right-handed frame.
std::array<double, 3> reoriented(const Point& point, UpAxis up) {
    switch (up) {
        case UpAxis::x:
            return {point.y, point.x, -point.z};
        case UpAxis::z:
            return {point.x, point.z, -point.y};
        default:
            return {point.x, point.y, point.z};
    }
}

std::size_t sample_stride(std::size_t count) {
    return std::max<std::size_t>(1, count / most_points_sampled);
}

// The values at the `share` and 1 - `share` quantiles of `values`, which it reorders.
std::array<double, 2> inner_range(std::vector<double>& values, double share) {
    const auto last = values.size() - 1;
    const auto low_at = static_cast<std::size_t>(std::floor(share * static_cast<double>(last)));
    const auto high_at =
        static_cast<std::size_t>(std::ceil((1.0 - share) * static_cast<double>(last)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(low_at),
                     values.end());
    const double low = values[low_at];
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(high_at),
                     values.end());
    return {low, values[high_at]};
}

// Where the box's corners fall in a frame, as shares of the way from its centre to its edges.
struct Extent {
    float left, right, bottom, top;
    bool in_front;  // every corner beyond the near distance
};

Extent extent_at(const BoxHalves& box, const ViewRotation& rotation, const Framing& framing,
                 int width, int height) {
    const float focal = frame_focal_length(width, height);
    const auto limit_x = static_cast<float>(std::max(1, width / 2 - 1));
    const auto limit_y = static_cast<float>(std::max(1, height / 2 - 1));
    const float zoom = framing.zoom;
    Extent extent{std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                  true};
    for (int corner = 0; corner < 8; ++corner) {
        const float x = ((corner & 1) != 0 ? zoom : -zoom) * box[0];
        const float y = ((corner & 2) != 0 ? zoom : -zoom) * box[1];
        const float z = ((corner & 4) != 0 ? zoom : -zoom) * box[2];
        const Rotated turned = rotate_view(x, y, z, rotation);
        const float depth = turned.tz + viewing_distance;
        extent.in_front = extent.in_front && depth > fitted_near_distance;
        const float sx = focal * (turned.tx + framing.pan_x) / depth / limit_x;
        const float sy = focal * (turned.ty + framing.pan_y) / depth / limit_y;
        extent = {std::min(extent.left, sx), std::max(extent.right, sx),
                  std::min(extent.bottom, sy), std::max(extent.top, sy), extent.in_front};
    }
    return extent;
}

// The box at `zoom`, moved sideways until its picture lies in the middle of the frame; gives
// how much of the frame it spans along the side that binds (infinite where a corner comes too
// near the viewer).
float centred_span(const BoxHalves& box, const ViewRotation& rotation, Framing& framing, int width,
                   int height) {
    const float units_per_share_x = viewing_distance *
                                    static_cast<float>(std::max(1, width / 2 - 1)) /
                                    frame_focal_length(width, height);
    const float units_per_share_y = viewing_distance *
                                    static_cast<float>(std::max(1, height / 2 - 1)) /
                                    frame_focal_length(width, height);
    framing.pan_x = 0.0f;
    framing.pan_y = 0.0f;
    // Perspective makes the near side larger: a few steps bring the middle to the centre.
    constexpr int centring_steps = 6;
    for (int step = 0; step < centring_steps; ++step) {
        const Extent extent = extent_at(box, rotation, framing, width, height);
        if (!extent.in_front) {
            return std::numeric_limits<float>::infinity();
        }
        framing.pan_x -= 0.5f * (extent.left + extent.right) * units_per_share_x;
        framing.pan_y -= 0.5f * (extent.bottom + extent.top) * units_per_share_y;
    }
    const Extent extent = extent_at(box, rotation, framing, width, height);
    if (!extent.in_front) {
        return std::numeric_limits<float>::infinity();
    }
    // Whatever the centring left over counts, so that no corner reaches an edge.
    const float across = 2.0f * std::max(extent.right, -extent.left);
    const float up = 2.0f * std::max(extent.top, -extent.bottom);
    return 0.5f * std::max(across, up);
}

}  // namespace

BoxHalves fit_points(std::vector<Point>& points, UpAxis up) {
    if (points.empty()) {
        return {0.0f, 0.0f, 0.0f};
    }
    const std::size_t stride = sample_stride(points.size());
    std::array<std::vector<double>, 3> samples;
    for (std::size_t i = 0; i < points.size(); i += stride) {
        const std::array<double, 3> p = reoriented(points[i], up);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            samples[axis].push_back(p[axis]);
        }
    }
    std::array<double, 3> centre{};
    std::array<double, 3> half{};
    double half_diagonal = 0.0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto [low, high] = inner_range(samples[axis], outlier_share);
        centre[axis] = 0.5 * (low + high);
        half[axis] = 0.5 * (high - low);
        half_diagonal += half[axis] * half[axis];
    }
    half_diagonal = std::sqrt(half_diagonal);
    // A single point, or all of them at one place, is shown at the centre.
    const double scale = half_diagonal > 0.0 ? fitted_radius / half_diagonal : 1.0;
    for (Point& point : points) {
        const std::array<double, 3> p = reoriented(point, up);
        point.x = static_cast<float>((p[0] - centre[0]) * scale);
        point.y = static_cast<float>((p[1] - centre[1]) * scale);
        point.z = static_cast<float>((p[2] - centre[2]) * scale);
    }
    return {static_cast<float>(half[0] * scale), static_cast<float>(half[1] * scale),
            static_cast<float>(half[2] * scale)};
}

Framing fitted_framing(const BoxHalves& box, const ViewAngles& angles, int width, int height) {
    const ViewRotation rotation = view_rotation(view_trig(angles));
    // The span grows with the zoom: halve the range in log scale until it is narrow.
    float low = 1.0f / 1024.0f;
    float high = 1024.0f;
    Framing framing{high, 0.0f, 0.0f};
    if (centred_span(box, rotation, framing, width, height) <= fitted_span) {
        return Framing{1.0f, 0.0f, 0.0f};  // a box without extent
    }
    for (int step = 0; step < 40; ++step) {
        framing.zoom = std::sqrt(low * high);
        (centred_span(box, rotation, framing, width, height) <= fitted_span ? low : high) =
            framing.zoom;
    }
    framing.zoom = low;
    centred_span(box, rotation, framing, width, height);
    return framing;
}

float surface_spacing(const std::vector<Point>& points) {
    const std::size_t stride = sample_stride(points.size());
    std::vector<const Point*> sample;
    float extent = 0.0f;
    for (std::size_t i = 0; i < points.size(); i += stride) {
        sample.push_back(&points[i]);
        extent = std::max(
            {extent, std::fabs(points[i].x), std::fabs(points[i].y), std::fabs(points[i].z)});
    }
    // The cells' indices fit in 21 bits an axis.
    constexpr double cell_range = 1 << 20;
    std::vector<std::uint64_t> cells;
    for (double cell = 2.0 * extent / 4096.0; cell > 0.0 && cell <= 4.0 * extent; cell *= 2.0) {
        cells.clear();
        for (const Point* point : sample) {
            std::uint64_t key = 0;
            for (const float coordinate : {point->x, point->y, point->z}) {
                const double index =
                    std::clamp(std::floor(coordinate / cell), -cell_range, cell_range - 1.0);
                key = key << 21 | static_cast<std::uint64_t>(index + cell_range);
            }
            cells.push_back(key);
        }
        std::sort(cells.begin(), cells.end());
        const auto occupied =
            static_cast<double>(std::unique(cells.begin(), cells.end()) - cells.begin());
        if (static_cast<double>(sample.size()) >= points_per_cell * occupied) {
            // On a surface, the cells cover its area: occupied * cell^2 = count * spacing^2.
            return static_cast<float>(cell *
                                      std::sqrt(occupied / static_cast<double>(points.size())));
        }
    }
    return 0.0f;
}

int closing_point_size(float spacing, float zoom, int width, int height) {
    const float focal = frame_focal_length(width, height);
    const float pixels = spacing * zoom * focal / viewing_distance;
    // Scans are not even: a fifth more than the typical spacing closes most of the gaps.
    constexpr float overlap = 1.2f;
    const float size = std::ceil(overlap * pixels - 0.1f);
    return static_cast<int>(std::clamp(size, 1.0f, static_cast<float>(largest_point_size)));
}
