#include "viewer/colors.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace {

// The intensities' percentiles are read from at most this many points, evenly spread.
constexpr std::size_t most_intensities_sampled = std::size_t{1} << 20;

float height_color(double t) {
    // Blue, cyan, green, yellow, red, at equal distances.
    static constexpr std::array<std::array<double, 3>, 5> stops{
        {{0, 0, 255}, {0, 255, 255}, {0, 255, 0}, {255, 255, 0}, {255, 0, 0}}};
    const double at = std::clamp(t, 0.0, 1.0) * (stops.size() - 1);
    const auto low = std::min(static_cast<std::size_t>(at), stops.size() - 2);
    const double f = at - static_cast<double>(low);
    std::uint32_t pixel = 0;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        const double value =
            stops[low][channel] + f * (stops[low + 1][channel] - stops[low][channel]);
        pixel = pixel << 8 | static_cast<std::uint32_t>(std::lround(value));
    }
    return static_cast<float>(pixel);
}

float grey(double t) {
    const auto level = static_cast<std::uint32_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0));
    return static_cast<float>(level << 16 | level << 8 | level);
}

}  // namespace

void color_by_height(std::vector<Point>& points, UpAxis up) {
    if (points.empty()) {
        return;
    }
    const auto height = [up](const Point& point) {
        return up == UpAxis::x ? point.x : up == UpAxis::z ? point.z : point.y;
    };
    const auto [lowest, highest] =
        std::minmax_element(points.begin(), points.end(),
                            [&](const Point& a, const Point& b) { return height(a) < height(b); });
    const double low = height(*lowest);
    const double span = height(*highest) - low;
    for (Point& point : points) {
        point.color = height_color(span > 0.0 ? (height(point) - low) / span : 0.5);
    }
}

void color_by_intensity(std::vector<Point>& points, const std::vector<std::uint16_t>& intensities) {
    if (points.empty() || intensities.size() != points.size()) {
        return;
    }
    const std::size_t stride =
        std::max<std::size_t>(1, intensities.size() / most_intensities_sampled);
    std::vector<std::uint16_t> sample;
    for (std::size_t i = 0; i < intensities.size(); i += stride) {
        sample.push_back(intensities[i]);
    }
    const auto at = [&](double share) {
        const auto index = static_cast<std::size_t>(share * static_cast<double>(sample.size() - 1));
        std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(index),
                         sample.end());
        return static_cast<double>(sample[index]);
    };
    const double low = at(0.01);
    const double span = at(0.99) - low;
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].color = grey(span > 0.0 ? (intensities[i] - low) / span : 0.5);
    }
}

std::uint32_t class_color(std::uint8_t point_class) {
    static constexpr std::array<std::uint32_t, 19> standard{
        0xA0A0A0,  // 0 created, never classified
        0xD0D0D0,  // 1 unclassified
        0xA0522D,  // 2 ground
        0x9ACD32,  // 3 low vegetation
        0x32CD32,  // 4 medium vegetation
        0x006400,  // 5 high vegetation
        0xE34234,  // 6 building
        0xFF00FF,  // 7 low point (noise)
        0x708090,  // 8 reserved
        0x1E90FF,  // 9 water
        0x808000,  // 10 rail
        0x505050,  // 11 road surface
        0x708090,  // 12 reserved
        0xFFFF00,  // 13 wire guard
        0xFFA500,  // 14 wire conductor
        0x8A2BE2,  // 15 transmission tower
        0xFF69B4,  // 16 wire connector
        0x00CED1,  // 17 bridge deck
        0xFF00FF,  // 18 high noise
    };
    // Classes a survey defines for itself.
    constexpr std::uint32_t user_defined = 0x708090;
    return point_class < standard.size() ? standard[point_class] : user_defined;
}

void color_by_class(std::vector<Point>& points, const std::vector<std::uint8_t>& classes) {
    if (classes.size() != points.size()) {
        return;
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].color = static_cast<float>(class_color(classes[i]));
    }
}
