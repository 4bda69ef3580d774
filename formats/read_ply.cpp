// PLY: after the header (ply_header.h), the elements in order, as text lines or as binary
// records of either byte order. Only the vertex element's x, y, z, colour, intensity and class
// are kept; everything else, before or after it, is passed over.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/ply_header.h"
#include "formats/read_support.h"

namespace {

// The values of one vertex, by property index, into a point.
void add_vertex(const PlyElement& vertex, const PlyVertex& layout, const double* values,
                PointAdder& adder, ExtrasKeeper& extras) {
    const auto value = [&](PlyValue wanted) {
        const int index = layout.index[wanted];
        return index < 0 ? 0.0 : values[index];
    };
    const auto channel = [&](PlyValue wanted) {
        return channel_of(value(wanted), vertex.properties[layout.index[wanted]].type);
    };
    float color = 0.0f;
    if (layout.colors) {
        color = color_value(channel(ply_red), channel(ply_green), channel(ply_blue));
    }
    if (adder.add(value(ply_x), value(ply_y), value(ply_z), color)) {
        extras.add(value(ply_intensity), value(ply_class));
    }
}

// --- Text ---

void read_ascii_vertices(ByteSource& source, const PlyElement& vertex, std::uint64_t line_number,
                         PointAdder& adder, ExtrasKeeper& extras) {
    const PlyVertex layout = ply_vertex(vertex);
    const bool lists = has_lists(vertex);
    std::vector<double> numbers;
    std::vector<double> values(vertex.properties.size());
    for (std::uint64_t i = 0; i < vertex.count; ++i) {
        const std::optional<std::string_view> line = source.next_line();
        ++line_number;
        if (!line) {
            fail("truncated: the header promises " + with_commas(vertex.count) +
                 " vertices and the file ends after " + with_commas(i));
        }
        // A line holds at most one number for every two of its characters.
        numbers.resize(lists ? line->size() / 2 + 1 : values.size());
        const int count = parse_numbers(*line, numbers.data(), static_cast<int>(numbers.size()));
        if (count < 0) {
            fail("line " + with_commas(line_number) +
                 ": a vertex holds a field that is not a number");
        }
        // Walk the properties; a list is its length and then its items.
        std::size_t next = 0;
        for (std::size_t p = 0; p < vertex.properties.size(); ++p) {
            if (next >= static_cast<std::size_t>(count)) {
                fail("line " + with_commas(line_number) + ": a vertex has too few numbers");
            }
            values[p] = numbers[next];
            const double length = numbers[next];
            next += 1;
            if (vertex.properties[p].is_list) {
                if (!(length >= 0.0 && length <= static_cast<double>(count - next))) {
                    fail("line " + with_commas(line_number) + ": a list has a wrong length");
                }
                next += static_cast<std::size_t>(length);
            }
        }
        add_vertex(vertex, layout, values.data(), adder, extras);
    }
}

void read_ascii(ByteSource& source, const PlyHeader& header, const PlyElement& vertex,
                PointCloud& cloud, PointAdder& adder, ExtrasKeeper& extras) {
    std::uint64_t line_number = header.lines;
    for (const PlyElement& element : header.elements) {
        if (&element == &vertex) {
            break;
        }
        for (std::uint64_t i = 0; i < element.count; ++i) {
            if (!source.next_line()) {
                fail("truncated: the header promises " + with_commas(element.count) + " " +
                     element.name.substr(0, 32) + " lines and the file ends after " +
                     with_commas(i));
            }
            ++line_number;
        }
    }
    // Every number takes at least two bytes with its separator.
    const std::uint64_t at_most = source.remaining() / (2 * vertex.properties.size()) + 1;
    reserve_points(cloud, std::min(vertex.count, at_most));
    read_ascii_vertices(source, vertex, line_number, adder, extras);
}

// --- Binary ---

std::uint64_t list_length(ByteSource& source, const PlyProperty& property, bool big_endian) {
    const std::size_t size = size_of(property.length_type);
    if (source.request(size) < size) {
        fail("truncated: the file ends inside a list");
    }
    const double length = load_number(source.data(), property.length_type, big_endian);
    source.advance(size);
    // No longer list fits in a file that can be read.
    if (length < 0.0 || length > 4294967295.0) {
        fail("a list has a wrong length");
    }
    return static_cast<std::uint64_t>(length);
}

// Passes over an element that holds lists, instance by instance; with `values`, keeps each
// plain property's value there by its index.
void walk_instance(ByteSource& source, const PlyElement& element, bool big_endian, double* values) {
    for (std::size_t p = 0; p < element.properties.size(); ++p) {
        const PlyProperty& property = element.properties[p];
        const std::size_t size = size_of(property.type);
        if (property.is_list) {
            source.skip(list_length(source, property, big_endian) * size, "a list");
        } else if (values != nullptr) {
            if (source.request(size) < size) {
                fail("truncated: the file ends inside a vertex");
            }
            values[p] = load_number(source.data(), property.type, big_endian);
            source.advance(size);
        } else {
            source.skip(size, "a property");
        }
    }
}

void check_count(const ByteSource& source, const PlyElement& element, std::uint64_t size) {
    if (size > 0 && element.count > source.remaining() / size) {
        fail("truncated: the header promises " + with_commas(element.count) + " " +
             element.name.substr(0, 32) + " elements of " + with_commas(size) + " bytes and " +
             with_commas(source.remaining()) + " bytes follow it");
    }
}

void skip_binary_element(ByteSource& source, const PlyElement& element, bool big_endian) {
    const std::uint64_t size = least_instance_size(element);
    check_count(source, element, size);
    if (!has_lists(element)) {
        source.skip(element.count * size, "an element");
        return;
    }
    for (std::uint64_t i = 0; i < element.count; ++i) {
        walk_instance(source, element, big_endian, nullptr);
    }
}

// Loads of values whose types the layout gives.
struct AnyTypes {
    const PlyVertex& layout;
    bool big_endian;

    double number(const unsigned char* at, PlyValue value) const {
        return load_number(at + layout.offset[value], layout.type[value], big_endian);
    }
    double coordinate(const unsigned char* at, PlyValue axis) const { return number(at, axis); }
    std::uint32_t channel(const unsigned char* at, PlyValue channel) const {
        return channel_of(number(at, channel), layout.type[channel]);
    }
};

// Loads of values of types known when compiled, for the layouts most files have: each load
// becomes a plain move.
template <NumberType coordinate_type, NumberType channel_type, bool big_endian>
struct KnownTypes {
    const PlyVertex& layout;

    double coordinate(const unsigned char* at, PlyValue axis) const {
        return load_number(at + layout.offset[axis], coordinate_type, big_endian);
    }
    std::uint32_t channel(const unsigned char* at, PlyValue channel) const {
        if constexpr (channel_type == NumberType::u8) {
            return at[layout.offset[channel]];
        } else {
            return load_u16(at + layout.offset[channel], big_endian) >> 8u;
        }
    }
};

template <typename Types>
void add_records(const unsigned char* at, std::size_t count, const PlyVertex& layout,
                 const Types& types, PointAdder& adder) {
    for (std::size_t i = 0; i < count; ++i, at += layout.record_size) {
        float color = 0.0f;
        if (layout.colors) {
            color = color_value(types.channel(at, ply_red), types.channel(at, ply_green),
                                types.channel(at, ply_blue));
        }
        adder.add(types.coordinate(at, ply_x), types.coordinate(at, ply_y),
                  types.coordinate(at, ply_z), color);
    }
}

// Records whose intensity or class is kept too, where the options ask for them.
void add_records_with_extras(const unsigned char* at, std::size_t count, const PlyVertex& layout,
                             bool big_endian, PointAdder& adder, ExtrasKeeper& extras) {
    const AnyTypes types{layout, big_endian};
    for (std::size_t i = 0; i < count; ++i, at += layout.record_size) {
        float color = 0.0f;
        if (layout.colors) {
            color = color_value(types.channel(at, ply_red), types.channel(at, ply_green),
                                types.channel(at, ply_blue));
        }
        if (adder.add(types.number(at, ply_x), types.number(at, ply_y), types.number(at, ply_z),
                      color)) {
            extras.add(types.number(at, ply_intensity), types.number(at, ply_class));
        }
    }
}

using AddRecords = void (*)(const unsigned char*, std::size_t, const PlyVertex&, bool, PointAdder&);

template <NumberType coordinate_type, NumberType channel_type, bool big_endian>
void add_known_records(const unsigned char* at, std::size_t count, const PlyVertex& layout,
                       bool /*big_endian*/, PointAdder& adder) {
    add_records(at, count, layout, KnownTypes<coordinate_type, channel_type, big_endian>{layout},
                adder);
}

void add_any_records(const unsigned char* at, std::size_t count, const PlyVertex& layout,
                     bool big_endian, PointAdder& adder) {
    add_records(at, count, layout, AnyTypes{layout, big_endian}, adder);
}

template <NumberType coordinate_type, bool big_endian>
AddRecords pick_channel(NumberType channel) {
    return channel == NumberType::u8
               ? add_known_records<coordinate_type, NumberType::u8, big_endian>
               : add_known_records<coordinate_type, NumberType::u16, big_endian>;
}

template <bool big_endian>
AddRecords pick_coordinate(NumberType coordinate, NumberType channel) {
    return coordinate == NumberType::f32 ? pick_channel<NumberType::f32, big_endian>(channel)
                                         : pick_channel<NumberType::f64, big_endian>(channel);
}

// The decoder of the record's layout: of float or double coordinates with 8- or 16-bit
// channels, or none, one made for it; of any other, one that looks up each value's type.
AddRecords records_decoder(const PlyVertex& layout, bool big_endian) {
    const NumberType coordinate = layout.type[ply_x];
    const NumberType channel = layout.colors ? layout.type[ply_red] : NumberType::u8;
    const bool known_coordinates =
        (coordinate == NumberType::f32 || coordinate == NumberType::f64) &&
        layout.type[ply_y] == coordinate && layout.type[ply_z] == coordinate;
    const bool known_channels =
        !layout.colors || ((channel == NumberType::u8 || channel == NumberType::u16) &&
                           layout.type[ply_green] == channel && layout.type[ply_blue] == channel);
    if (!known_coordinates || !known_channels) {
        return add_any_records;
    }
    return big_endian ? pick_coordinate<true>(coordinate, channel)
                      : pick_coordinate<false>(coordinate, channel);
}

// Vertices of one fixed size, decoded a buffer at a time where they lie.
void read_fixed_vertices(ByteSource& source, const PlyElement& vertex, bool big_endian,
                         PointAdder& adder, ExtrasKeeper& extras) {
    const PlyVertex layout = ply_vertex(vertex);
    const AddRecords add = records_decoder(layout, big_endian);
    std::uint64_t left = vertex.count;
    while (left > 0) {
        const std::size_t batch = source.request_records(layout.record_size, left, "vertex");
        if (extras.keeps_any()) {
            add_records_with_extras(source.data(), batch, layout, big_endian, adder, extras);
        } else {
            add(source.data(), batch, layout, big_endian, adder);
        }
        source.advance(batch * layout.record_size);
        left -= batch;
    }
}

void read_binary(ByteSource& source, const PlyHeader& header, const PlyElement& vertex,
                 bool big_endian, PointCloud& cloud, PointAdder& adder, ExtrasKeeper& extras) {
    for (const PlyElement& element : header.elements) {
        if (&element == &vertex) {
            break;
        }
        skip_binary_element(source, element, big_endian);
    }
    check_count(source, vertex, least_instance_size(vertex));
    if (!has_lists(vertex)) {
        reserve_points(cloud, vertex.count);
        read_fixed_vertices(source, vertex, big_endian, adder, extras);
        return;
    }
    const PlyVertex layout = ply_vertex(vertex);
    std::vector<double> values(vertex.properties.size());
    for (std::uint64_t i = 0; i < vertex.count; ++i) {
        walk_instance(source, vertex, big_endian, values.data());
        add_vertex(vertex, layout, values.data(), adder, extras);
    }
}

}  // namespace

void read_ply(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const PlyHeader header = read_ply_header(source);
    const auto vertex =
        std::find_if(header.elements.begin(), header.elements.end(),
                     [](const PlyElement& element) { return element.name == "vertex"; });
    if (vertex == header.elements.end()) {
        fail("the header has no vertex element");
    }
    const PlyVertex layout = ply_vertex(*vertex);
    cloud.has_colors = layout.colors;
    PointAdder adder(cloud, options);
    ExtrasKeeper extras(cloud, options.keep_intensity && layout.index[ply_intensity] >= 0,
                        layout.type[ply_intensity],
                        options.keep_classification && layout.index[ply_class] >= 0);
    switch (header.encoding) {
        case PlyEncoding::ascii:
            cloud.format = "PLY ascii";
            read_ascii(source, header, *vertex, cloud, adder, extras);
            break;
        case PlyEncoding::little_endian:
            cloud.format = "PLY binary little-endian";
            read_binary(source, header, *vertex, false, cloud, adder, extras);
            break;
        case PlyEncoding::big_endian:
            cloud.format = "PLY binary big-endian";
            read_binary(source, header, *vertex, true, cloud, adder, extras);
            break;
    }
}
