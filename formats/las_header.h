#pragma once

// The header of a LAS file, read by its fixed offsets: what the readers of plain and of
// compressed LAS (LAZ) share.

#include <cstdint>

#include "formats/read_support.h"

// The smallest header, of LAS 1.0 to 1.2; 1.3 adds 8 bytes and 1.4 140 more.
inline constexpr std::size_t las_header_1_0_size = 227;
inline constexpr std::size_t las_header_1_4_size = 375;

struct LasHeader {
    int version_minor;
    std::uint32_t header_size;
    std::uint32_t point_offset;
    std::uint32_t vlr_count;
    // The point format, without the two top bits that mark compressed points.
    int point_format;
    bool compressed;
    std::uint32_t record_length;
    std::uint64_t point_count;
    double scale[3];
    double offset[3];
};

// The bytes each point format needs, and where its RGB lies (0: none).
struct LasPointFormat {
    std::uint32_t size;
    std::uint32_t rgb_offset;
};

inline constexpr LasPointFormat las_point_formats[] = {
    {20, 0}, {28, 0},  {26, 20}, {34, 28}, {57, 0},  {63, 28},
    {30, 0}, {36, 30}, {38, 30}, {59, 0},  {67, 30},
};

// Reads the header at the source's start, leaving the source there; fails where it is not one
// that the readers take.
LasHeader read_las_header(ByteSource& source);

// Many writers that have no colours fill the fields that a point format gives them with
// zeros: colours that are all the same say nothing, and the points are then drawn as if the
// file had none (has_colors false, colors_all_one_value true, every colour 0).
void drop_colors_of_one_value(PointCloud& cloud);

// Reads compressed points, from the source at the header's start.
void read_laz(ByteSource& source, const LasHeader& header, const ReadOptions& options,
              PointCloud& cloud);
