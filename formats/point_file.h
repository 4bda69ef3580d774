#pragma once

// Reading the point-cloud files that users bring: PLY, LAS and LAZ, PCD and text (.xyz, .txt, .csv,
// .pts), each by a small reader of its own behind one routine that picks the reader by the
// file's first bytes, and by its name only where the bytes say nothing (text).
//
// Every count and offset that a file states is checked against the bytes really there before
// anything is allocated or read by it, so a file that lies gets a reason, never a crash, a hang
// or an allocation of what it claims.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"

// What a file held, ready to draw: x, y and z as the file gives them less `shift`, and each
// point's colour as a pixel value (0x00RRGGBB) in `color`, or 0 where the file has none.
struct PointCloud {
    std::vector<Point> points;
    // One a point, where ReadOptions asks for them and the file has them; otherwise empty.
    // Intensities as 16 bits (LAS's as they are; 8-bit ones scaled by 257, float ones of 0..1
    // by 65,535, others clamped), and classes as LAS numbers them.
    std::vector<std::uint16_t> intensities;
    std::vector<std::uint8_t> classes;
    // Subtracted from every coordinate in double precision before it became a float, so that
    // georeferenced files (x about 665,000, y about 5,648,000) keep their detail. Zero where
    // ReadOptions::shift left the coordinates as they are.
    double shift[3];
    // Whether the colours came from the file.
    bool has_colors;
    // A LAS file whose point format has colours, and whose points all have the same one (most
    // often black: a writer that had no colours); has_colors is then false and every colour 0.
    bool colors_all_one_value;
    // Points left out because a coordinate was not finite.
    std::uint64_t skipped_points;
    // What the file is, for the line the viewer prints: "LAS 1.2, point format 3",
    // "PLY binary little-endian", "PCD 0.7 binary_compressed", "text".
    std::string format;
};

// Whether the coordinates are shifted near the origin, in double precision, by the file's first
// finite point.
enum class Shift {
    none,
    // Every file: a cloud that is fitted to the view anyway keeps the most detail near zero.
    always,
    // Only a file whose first point lies beyond far_coordinate on some axis (georeferenced),
    // where a float's step grows past 1/128 of a unit; nearer coordinates are taken as they are.
    when_far,
};
inline constexpr double far_coordinate = 65536.0;

struct ReadOptions {
    Shift shift;
    // Called now and then while a file is read, with the bytes read so far and the file's
    // size; may be null.
    void (*progress)(std::uint64_t bytes_read, std::uint64_t bytes_total);
    // Keep PointCloud::intensities and PointCloud::classes, which cost 3 bytes a point.
    bool keep_intensity = false;
    bool keep_classification = false;
};

// The result of reading a file: the cloud with an empty `error`, or one line in `error` saying
// what is wrong with the file (without its name), for example "truncated: the header promises
// 1,065 points of 34 bytes and 2,006 bytes follow it".
struct ReadResult {
    PointCloud cloud;
    std::string error;
};

// Reads the file at `path` (UTF-8). A folder, a missing file, an empty one and every file that
// does not hold what it says give an error.
ReadResult read_point_file(const std::string& path, const ReadOptions& options);

// Reads a file already in memory, for the fuzz target and the tests; `name` stands in for the
// path where the format is told by the name.
ReadResult read_point_bytes(const unsigned char* data, std::size_t size, const std::string& name,
                            const ReadOptions& options);

// 1234567 as "1,234,567", for the lines that tell counts.
std::string with_commas(std::uint64_t value);
