#pragma once

// PLY's header, the text before the data: the encoding and the elements, each with its count
// and its properties; and where the vertex element holds what a point is made of, by property
// and, in records of one fixed size, by byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/read_support.h"

enum class PlyEncoding { ascii, little_endian, big_endian };

struct PlyProperty {
    std::string name;
    NumberType type;
    bool is_list = false;
    // The type of a list's length; `type` is then the type of its items.
    NumberType length_type = NumberType::u8;
};

struct PlyElement {
    std::string name;
    std::uint64_t count = 0;
    std::vector<PlyProperty> properties;
};

struct PlyHeader {
    PlyEncoding encoding = PlyEncoding::ascii;
    std::vector<PlyElement> elements;
    // Lines read so far, for messages about the text lines that follow.
    std::uint64_t lines = 0;
};

// Reads the header from the "ply" line to the end_header line, and leaves `source` at the data.
PlyHeader read_ply_header(ByteSource& source);

bool has_lists(const PlyElement& element);

// The bytes of one instance without lists, or the fewest with them (each list empty).
std::uint64_t least_instance_size(const PlyElement& element);

// What a point is made of, in the order of PlyVertex::index.
enum PlyValue { ply_x, ply_y, ply_z, ply_red, ply_green, ply_blue, ply_intensity, ply_class };
constexpr int ply_value_count = 8;

// Where the vertex holds each PlyValue: its index among the properties (-1: it has none), and,
// where the vertex has no lists, its offset and type in the record.
struct PlyVertex {
    int index[ply_value_count];
    std::size_t offset[ply_value_count] = {};
    NumberType type[ply_value_count] = {};
    // The bytes of a record; 0 where the vertex has lists.
    std::size_t record_size = 0;
    bool colors = false;
};

// Fails where the vertex has no x, y and z.
PlyVertex ply_vertex(const PlyElement& vertex);
