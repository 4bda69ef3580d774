#pragma once

// Writers of point files in the formats that the readers take, for the tests and the
// benchmarks: each writes a set of points, with their colours, in one of its format's layouts,
// into a stream or into memory.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "scene/scene.h"

// What a file is written from: positions and colours (Point::color, 0x00RRGGBB), and an
// intensity and a class a point, each list either empty or one a point. A layout without room
// for a colour, an intensity or a class leaves it out; one with room for them and none given
// writes zeros.
struct PointSet {
    std::vector<Point> points;
    std::vector<std::uint16_t> intensities;
    std::vector<std::uint8_t> classes;
};

// The types a layout may store colour channels in; floats as fractions of 1.
enum class ChannelType { u8, u16, f32 };

struct PlyLayout {
    // As in the header's format line: "ascii", "binary_little_endian", "binary_big_endian".
    std::string format = "binary_little_endian";
    bool colors = true;
    ChannelType channels = ChannelType::u8;
    bool double_coordinates = false;
    // float32, uint8, ... rather than float, uchar, ...
    bool newer_type_names = false;
    // An element of lists before the vertices, a float nx among their properties and an
    // element of faces after them, which readers pass over.
    bool other_elements = false;
};

struct LasLayout {
    int minor = 2;
    int point_format = 3;
    // Every record carries this many bytes beyond what its point format needs.
    int extra_bytes = 0;
    // The file stores (coordinate - offset) / scale, in every axis.
    double scale = 0.25;
    double offset = 100.0;
    // Channels stored as their 8-bit values, as some writers do, rather than scaled to 16 bits.
    bool eight_bit_colors = false;
};

// How a PCD file stores the colour.
enum class PcdColor {
    none,
    // "rgb", F 4, with alpha 255 as most writers give it; in ascii as the integer of its bits.
    rgb_float,
    // "rgb", F 4, with alpha 0; in ascii as the float that has those bits.
    rgb_float_text,
    // "rgba", U 4, with alpha 255.
    rgba_unsigned,
    // "r", "g" and "b", one field each, of the layout's channel type.
    channels,
};

struct PcdLayout {
    // As in the header's DATA line: "ascii", "binary", "binary_compressed".
    std::string data = "binary";
    PcdColor color = PcdColor::rgb_float;
    ChannelType channels = ChannelType::u8;
    // A normal of three values between z and the colour, which readers pass over.
    bool normals = false;
};

struct TextLayout {
    bool colors = true;
    // Added to each coordinate in double precision, for georeferenced files.
    double offset[3] = {0.0, 0.0, 0.0};
    // Digits after the point; -1 for the fewest that read back to the same float.
    int decimals = -1;
};

// Intensities and classes are written as "intensity" (ushort) and "classification" (uchar).
void write_ply(std::ostream& out, const PointSet& set, const PlyLayout& layout);
// Intensities at byte 12 of each record, classes as given (their flag bits too) at byte 15 of
// point formats 0 to 5 and byte 16 of 6 to 10.
void write_las(std::ostream& out, const PointSet& set, const LasLayout& layout);
// Intensities as "intensity" (F 4), classes as "label" (U 4); compressed data with back
// references wherever the bytes repeat.
void write_pcd(std::ostream& out, const PointSet& set, const PcdLayout& layout);
// "x y z r g b" a line, channels as 0..255.
void write_text(std::ostream& out, const PointSet& set, const TextLayout& layout);

// The same, into memory.
std::string ply_bytes(const PointSet& set, const PlyLayout& layout);
std::string las_bytes(const PointSet& set, const LasLayout& layout);
std::string pcd_bytes(const PointSet& set, const PcdLayout& layout);
std::string text_bytes(const PointSet& set, const TextLayout& layout);

// `bytes` compressed with LZF as PCD stores them, copies of earlier bytes wherever they repeat.
std::string lzf_compressed(std::string_view bytes);
