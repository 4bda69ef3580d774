#pragma once

// What the viewer shows: the points of a user's file or of one of the demo's own point sets,
// fitted to the view and coloured, or one of the demo's two figures.

#include <cstdint>
#include <string>
#include <vector>

#include "formats/point_file.h"
#include "scene/scene.h"
#include "viewer/options.h"
#include "viewer/view.h"

enum class Figure { none, line, circle };

struct ShownCloud {
    std::string name;  // the file's name without its folder, or the scene's
    std::vector<Point> points;
    Figure figure;
    // The line printed once it is loaded: "simple.las: 1,065 points (LAS 1.2, point format 3,
    // colours from the file)".
    std::string summary;
};

// One of the demo's point sets, built as the demo builds it and fitted if the options say so,
// or one of its figures, drawn where and as large as it is.
ShownCloud load_scene(const std::string& scene, const ViewerOptions& options);

// The points of `cloud`, read from the file named `name`, fitted if the options say so (the
// file's z axis up for LAS, its y axis for the rest, unless --up says otherwise) and coloured
// by height where the file has no colours; the summary says what the file was.
ShownCloud shown_file(const std::string& name, PointCloud cloud, const ViewerOptions& options);

// Centres the points on their bounding box and scales them, in double precision, so that all
// of them lie within fitted_radius of the origin; `up` names the axis that becomes vertical.
void fit_points(std::vector<Point>& points, UpAxis up);

// Colours the points by their height along `up` (x, y or z): blue at the lowest, through cyan,
// green and yellow, to red at the highest.
void color_by_height(std::vector<Point>& points, UpAxis up);

// Draws the cloud into the frame as the view sees it.
void draw_shown_cloud(const ShownCloud& cloud, const View& view);
