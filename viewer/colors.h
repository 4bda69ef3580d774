#pragma once

// The colours a cloud is drawn in when they do not come from the file: by height, by the
// intensity of the returns, or by the class of each point.

#include <cstdint>
#include <vector>

#include "scene/scene.h"
#include "viewer/options.h"

// Colours the points by their height along `up` (x, y or z): blue at the lowest, through cyan,
// green and yellow, to red at the highest.
void color_by_height(std::vector<Point>& points, UpAxis up);

// Colours the points in grey by their intensities (one a point), black at the 1st percentile
// and below, white at the 99th and above.
void color_by_intensity(std::vector<Point>& points, const std::vector<std::uint16_t>& intensities);

// The colour of a class as surveys number them: 2 ground, 3 to 5 low, medium and high
// vegetation, 6 building, 7 and 18 noise, 9 water, and so on.
std::uint32_t class_color(std::uint8_t point_class);

// Colours the points by their classes (one a point), as class_color does.
void color_by_class(std::vector<Point>& points, const std::vector<std::uint8_t>& classes);
