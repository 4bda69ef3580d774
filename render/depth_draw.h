#pragma once

// The viewer's depth-tested draw, into a frame of any size: the nearest point of each pixel is
// kept, whatever the order of the points and however the two drawing threads share them. Each
// pixel holds one 64-bit word while the points are drawn: the point's depth in the high half,
// mapped to an unsigned number in the same order (negative depths included), and its colour in
// the low half; the smaller word wins, so the nearer point, and of two at the same depth the
// smaller colour. A resolve then turns the words into the pixels of a Frame, optionally with
// eye-dome lighting, and empties them for the next frame.
//
// Each frame:
//     draw_points_depth(depth, points, camera);   // as many draws as the frame has clouds
//     resolve_depth_frame(depth, background, eye_dome, frame);

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/frame_buffer.h"
#include "render/render.h"
#include "scene/scene.h"

// Where the viewer stands and what it draws. Projected onto a frame of W × H the centre is
// column W/2 - 1 and row H/2 - 1 (integer halves), the focal length 800 · min(W/1024, H/800),
// and a point is drawn where its offsets from the centre lie within ±(W/2 - 1) and ±(H/2 - 1),
// truncated toward zero: on a 1024 × 800 frame, exactly the demo's pixels.
struct DepthCamera {
    // The view rotation with the scale folded into it, as draw_points_scaled folds it.
    ViewRotation rotation;
    // Added to the rotated x and y before the projection, in the rotated coordinates' units.
    float pan_x;
    float pan_y;
    // Points whose depth, the rotated z + 2000, lies below this are not drawn. With
    // no_near_distance every point is, as the demo draws them: points behind the viewer come out
    // mirrored through the centre.
    float near_distance;
    // Each point lights a square of point_size × point_size pixels (1 to largest_point_size),
    // from column c - (N - 1)/2 to c + N/2 and likewise rows, clipped to the frame.
    int point_size;
};

// The focal length in pixels of a frame of width × height: 800 · min(W/1024, H/800), so that
// the picture grows with whichever side binds.
float frame_focal_length(int width, int height);

inline constexpr float no_near_distance = -std::numeric_limits<float>::infinity();
inline constexpr int largest_point_size = 16;

// The camera at `angles`, the coordinates multiplied by `scale` on their way into the rotation
// (a scale of 1 takes them as they are): no pan, no near distance, points of one pixel.
DepthCamera depth_camera(const ViewAngles& angles, float scale);

// The working words of a frame of width × height and what the resolve needs besides. Made by
// make_depth_frame, written by the draws, emptied by the resolve; the fields are the renderer's.
struct DepthFrame {
    int width;
    int height;
    // One word a pixel for each drawing thread, row by row: the calling thread's and the
    // worker's, each thread writing only its own, so that neither waits for the other. All ones
    // where no point has fallen; no point ever makes that word, whose depth would be NaN.
    std::vector<std::uint64_t> words;
    std::vector<std::uint64_t> worker_words;
    // Whether worker_words holds any point since the last resolve.
    bool worker_drew;
    // Eye-dome lighting's log depths of the last rows resolved, a ring of rows for each thread.
    std::vector<float> log_rows;
};

// A DepthFrame of width × height, empty; width and height from 0 up, and width × height below
// 2^31.
DepthFrame make_depth_frame(int width, int height);

// Draws the points into the depth frame, depth-tested against what it holds: a point's word is
// its depth and its colour (the pixel value of its float colour, as draw_points takes it). Takes
// the widest vector path that the processor offers and, where the process may run on two
// processors and the points are many, shares them with a worker thread. The caller may free or
// change the points the moment it returns.
void draw_points_depth(DepthFrame& depth, std::span<const Point> points, const DepthCamera& camera);

// Eye-dome lighting: each pixel with a point darkens by how much nearer the points of its eight
// neighbours at `radius` pixels (up, down, left, right and the diagonals) are, in log depth:
// its colour is multiplied by 2^(-strength · Σ max(0, log2 d - log2 d_n) / 8), the same as
// e^(-strength · Σ max(0, ln d - ln d_n) / 8). A neighbour without a point, or outside the
// frame, does not darken it; depths of 0 and below count as the smallest positive float's. A
// strength of 0 leaves the colours as they are.
struct EyeDome {
    float strength;
    int radius;
};

inline constexpr EyeDome no_eye_dome{0.0f, 1};
inline constexpr int largest_eye_dome_radius = 8;
// Strengths are clamped to 0 .. this.
inline constexpr float largest_eye_dome_strength = 1.0e6f;

// Turns the words into the pixels of `frame`, which takes the depth frame's size: each pixel
// the colour of its nearest point, with eye-dome lighting unless its strength is 0, or
// `background` where no point fell. Empties the words for the next frame. Shares the rows with
// the worker thread as the draw does.
void resolve_depth_frame(DepthFrame& depth, std::uint32_t background, const EyeDome& eye_dome,
                         Frame& frame);

// Tells the depth-tested draw how many processors the process may run on, as
// set_usable_processors tells draw_points. With fewer than two it never starts its worker
// thread. Until told, it goes by the machine's count.
void set_depth_draw_processors(int count);

// Ends the worker thread, if one was started, and waits for it; the draw and the resolve then
// work on the calling thread alone. Called once the frame loop has ended.
void stop_depth_draw_worker();
