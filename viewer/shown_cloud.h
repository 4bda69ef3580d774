#pragma once

// What the viewer shows: the points of a user's file or of one of the demo's own point sets,
// fitted to the view and coloured, or one of the demo's two figures.

#include <cstdint>
#include <string>
#include <vector>

#include "formats/point_file.h"
#include "scene/scene.h"
#include "viewer/fit.h"
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
    // Whether the points were fitted to the view; a fitted cloud's box of its bulk, and the
    // typical distance between its neighbouring points, in the fitted units.
    bool fitted;
    BoxHalves box;
    float spacing;
    // Whether the colours are the cloud's own rather than given by the viewer (by height, say).
    bool own_colors;
};

// One of the demo's point sets, built as the demo builds it and fitted if the options say so,
// or one of its figures, drawn where and as large as it is.
ShownCloud load_scene(const std::string& scene, const ViewerOptions& options);

// How the viewer reads a file for these options: the shift, and the values kept for colours.
ReadOptions read_options_for(const ViewerOptions& options);

// The points of `cloud`, read from the file named `name`, fitted if the options say so (the
// file's z axis up for LAS, its y axis for the rest, unless --up says otherwise) and coloured as
// the options ask, by height where the file has no colours; the summary says what the file
// was and how it is coloured.
ShownCloud shown_file(const std::string& name, PointCloud cloud, const ViewerOptions& options);
