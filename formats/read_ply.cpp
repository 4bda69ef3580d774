// PLY: a text header of elements and their properties, then the elements in order, as text
// lines or as binary records of either byte order. Only the vertex element's x, y, z and
// colour are kept; everything else, before or after it, is passed over.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/read_support.h"

namespace {

// No real header comes near this; past it the file is not a PLY file.
constexpr std::uint64_t max_header_bytes = std::uint64_t{1} << 20;

enum class Encoding { ascii, little_endian, big_endian };

struct Property {
    std::string name;
    NumberType type;
    bool is_list = false;
    // The type of a list's length; `type` is then the type of its items.
    NumberType length_type = NumberType::u8;
};

struct Element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<Property> properties;
};

struct Header {
    Encoding encoding = Encoding::ascii;
    std::vector<Element> elements;
    // Lines read so far, for messages about the text lines that follow.
    std::uint64_t lines = 0;
};

std::optional<NumberType> number_type(std::string_view name) {
    struct Named {
        std::string_view old_name;
        std::string_view new_name;
        NumberType type;
    };
    static constexpr Named names[] = {
        {"char", "int8", NumberType::i8},      {"uchar", "uint8", NumberType::u8},
        {"short", "int16", NumberType::i16},   {"ushort", "uint16", NumberType::u16},
        {"int", "int32", NumberType::i32},     {"uint", "uint32", NumberType::u32},
        {"float", "float32", NumberType::f32}, {"double", "float64", NumberType::f64},
        {"int64", "int64", NumberType::i64},   {"uint64", "uint64", NumberType::u64},
    };
    for (const Named& named : names) {
        if (name == named.old_name || name == named.new_name) {
            return named.type;
        }
    }
    return std::nullopt;
}

NumberType required_type(std::string_view name) {
    const std::optional<NumberType> type = number_type(name);
    if (!type) {
        fail("the header names an unknown property type \"" + std::string(name.substr(0, 32)) +
             "\"");
    }
    return *type;
}

void add_property(Header& header, const std::vector<std::string_view>& words) {
    if (header.elements.empty()) {
        fail("the header has a property before any element");
    }
    Property property;
    if (words.size() == 5 && words[1] == "list") {
        property.is_list = true;
        property.length_type = required_type(words[2]);
        property.type = required_type(words[3]);
        if (property.length_type == NumberType::f32 || property.length_type == NumberType::f64) {
            fail("the header gives a list a length that is not an integer");
        }
        property.name = words[4];
    } else if (words.size() == 3) {
        property.type = required_type(words[1]);
        property.name = words[2];
    } else {
        fail("the header has a malformed property line");
    }
    header.elements.back().properties.push_back(property);
}

void add_element(Header& header, const std::vector<std::string_view>& words) {
    Element element;
    if (words.size() != 3) {
        fail("the header has a malformed element line");
    }
    element.name = words[1];
    const std::string_view count = words[2];
    const auto [end, status] =
        std::from_chars(count.data(), count.data() + count.size(), element.count);
    if (status != std::errc() || end != count.data() + count.size()) {
        fail("the header gives an element a count that is not a number");
    }
    header.elements.push_back(element);
}

Header read_header(ByteSource& source) {
    Header header;
    bool format_seen = false;
    source.next_line();  // "ply"
    header.lines = 1;
    for (;;) {
        if (source.position() > max_header_bytes) {
            fail("the header has no end_header line in its first " + with_commas(max_header_bytes) +
                 " bytes");
        }
        const std::optional<std::string_view> line = source.next_line();
        if (!line) {
            fail("the header has no end_header line");
        }
        ++header.lines;
        const std::vector<std::string_view> words = words_of(*line);
        if (words.empty() || words[0] == "comment" || words[0] == "obj_info") {
            continue;
        }
        if (words[0] == "end_header") {
            break;
        }
        if (words[0] == "format") {
            const std::string_view name = words.size() > 1 ? words[1] : "";
            if (name == "ascii") {
                header.encoding = Encoding::ascii;
            } else if (name == "binary_little_endian") {
                header.encoding = Encoding::little_endian;
            } else if (name == "binary_big_endian") {
                header.encoding = Encoding::big_endian;
            } else {
                fail("the header names an unknown format");
            }
            format_seen = true;
        } else if (words[0] == "element") {
            add_element(header, words);
        } else if (words[0] == "property") {
            add_property(header, words);
        } else {
            fail("the header has a line that is not PLY");
        }
    }
    if (!format_seen) {
        fail("the header has no format line");
    }
    return header;
}

// Where the vertex's wanted properties lie: their indices among its properties.
struct VertexLayout {
    int x = -1;
    int y = -1;
    int z = -1;
    int red = -1;
    int green = -1;
    int blue = -1;
};

VertexLayout vertex_layout(const Element& vertex) {
    VertexLayout layout;
    for (std::size_t i = 0; i < vertex.properties.size(); ++i) {
        const Property& property = vertex.properties[i];
        if (property.is_list) {
            continue;
        }
        const int index = static_cast<int>(i);
        const std::string& name = property.name;
        if (name == "x") {
            layout.x = index;
        } else if (name == "y") {
            layout.y = index;
        } else if (name == "z") {
            layout.z = index;
        } else if (name == "red" || name == "diffuse_red") {
            layout.red = index;
        } else if (name == "green" || name == "diffuse_green") {
            layout.green = index;
        } else if (name == "blue" || name == "diffuse_blue") {
            layout.blue = index;
        }
    }
    if (layout.x < 0 || layout.y < 0 || layout.z < 0) {
        fail("the vertices have no x, y and z");
    }
    return layout;
}

bool has_colors(const VertexLayout& layout) {
    return layout.red >= 0 && layout.green >= 0 && layout.blue >= 0;
}

bool has_lists(const Element& element) {
    return std::any_of(element.properties.begin(), element.properties.end(),
                       [](const Property& property) { return property.is_list; });
}

// One colour channel as 8 bits: 16-bit values keep their high byte, others are clamped.
std::uint32_t channel_of(double value, NumberType type) {
    const double channel = type == NumberType::u16 ? value / 256.0 : value;
    if (!(channel > 0.0)) {
        return 0;
    }
    return channel >= 255.0 ? 255u : static_cast<std::uint32_t>(channel);
}

// The values of one vertex, by property index, into a point.
void add_vertex(PointAdder& adder, const Element& vertex, const VertexLayout& layout,
                const double* values, bool colors) {
    float color = 0.0f;
    if (colors) {
        color = color_value(channel_of(values[layout.red], vertex.properties[layout.red].type),
                            channel_of(values[layout.green], vertex.properties[layout.green].type),
                            channel_of(values[layout.blue], vertex.properties[layout.blue].type));
    }
    adder.add(values[layout.x], values[layout.y], values[layout.z], color);
}

// --- Text ---

void read_ascii_vertices(ByteSource& source, const Element& vertex, std::uint64_t line_number,
                         PointAdder& adder) {
    const VertexLayout layout = vertex_layout(vertex);
    const bool colors = has_colors(layout);
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
        add_vertex(adder, vertex, layout, values.data(), colors);
    }
}

void read_ascii(ByteSource& source, const Header& header, const Element& vertex, PointCloud& cloud,
                PointAdder& adder) {
    std::uint64_t line_number = header.lines;
    for (const Element& element : header.elements) {
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
    read_ascii_vertices(source, vertex, line_number, adder);
}

// --- Binary ---

std::uint64_t list_length(ByteSource& source, const Property& property, bool big_endian) {
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
void walk_instance(ByteSource& source, const Element& element, bool big_endian, double* values) {
    for (std::size_t p = 0; p < element.properties.size(); ++p) {
        const Property& property = element.properties[p];
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

// The bytes of one instance without lists, or the fewest with them (each list empty).
std::uint64_t least_instance_size(const Element& element) {
    std::uint64_t size = 0;
    for (const Property& property : element.properties) {
        size += size_of(property.is_list ? property.length_type : property.type);
    }
    return size;
}

void check_count(const ByteSource& source, const Element& element, std::uint64_t size) {
    if (size > 0 && element.count > source.remaining() / size) {
        fail("truncated: the header promises " + with_commas(element.count) + " " +
             element.name.substr(0, 32) + " elements of " + with_commas(size) + " bytes and " +
             with_commas(source.remaining()) + " bytes follow it");
    }
}

void skip_binary_element(ByteSource& source, const Element& element, bool big_endian) {
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

// Where the wanted values lie in a vertex of fixed size: x, y, z, red, green, blue.
struct FixedRecord {
    std::size_t size = 0;
    std::size_t offset[6] = {};
    NumberType type[6] = {};
    bool colors = false;
};

FixedRecord fixed_record(const Element& vertex) {
    const VertexLayout layout = vertex_layout(vertex);
    const int wanted[6] = {layout.x, layout.y, layout.z, layout.red, layout.green, layout.blue};
    FixedRecord record;
    record.colors = has_colors(layout);
    for (std::size_t p = 0; p < vertex.properties.size(); ++p) {
        for (int k = 0; k < 6; ++k) {
            if (wanted[k] == static_cast<int>(p)) {
                record.offset[k] = record.size;
                record.type[k] = vertex.properties[p].type;
            }
        }
        record.size += size_of(vertex.properties[p].type);
    }
    return record;
}

// Loads of values whose types the record gives.
struct AnyTypes {
    const FixedRecord& record;
    bool big_endian;

    double coordinate(const unsigned char* at, int k) const {
        return load_number(at + record.offset[k], record.type[k], big_endian);
    }
    std::uint32_t channel(const unsigned char* at, int k) const {
        return channel_of(load_number(at + record.offset[k], record.type[k], big_endian),
                          record.type[k]);
    }
};

// Loads of values of types known when compiled, for the layouts most files have: each load
// becomes a plain move.
template <NumberType coordinate_type, NumberType channel_type, bool big_endian>
struct KnownTypes {
    const FixedRecord& record;

    double coordinate(const unsigned char* at, int k) const {
        return load_number(at + record.offset[k], coordinate_type, big_endian);
    }
    std::uint32_t channel(const unsigned char* at, int k) const {
        if constexpr (channel_type == NumberType::u8) {
            return at[record.offset[k]];
        } else {
            return load_u16(at + record.offset[k], big_endian) >> 8u;
        }
    }
};

template <typename Types>
void add_records(const unsigned char* at, std::size_t count, const FixedRecord& record,
                 const Types& types, PointAdder& adder) {
    for (std::size_t i = 0; i < count; ++i, at += record.size) {
        float color = 0.0f;
        if (record.colors) {
            color = color_value(types.channel(at, 3), types.channel(at, 4), types.channel(at, 5));
        }
        adder.add(types.coordinate(at, 0), types.coordinate(at, 1), types.coordinate(at, 2), color);
    }
}

using AddRecords = void (*)(const unsigned char*, std::size_t, const FixedRecord&, bool,
                            PointAdder&);

template <NumberType coordinate_type, NumberType channel_type, bool big_endian>
void add_known_records(const unsigned char* at, std::size_t count, const FixedRecord& record,
                       bool /*big_endian*/, PointAdder& adder) {
    add_records(at, count, record, KnownTypes<coordinate_type, channel_type, big_endian>{record},
                adder);
}

void add_any_records(const unsigned char* at, std::size_t count, const FixedRecord& record,
                     bool big_endian, PointAdder& adder) {
    add_records(at, count, record, AnyTypes{record, big_endian}, adder);
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
AddRecords records_decoder(const FixedRecord& record, bool big_endian) {
    const NumberType coordinate = record.type[0];
    const NumberType channel = record.colors ? record.type[3] : NumberType::u8;
    const bool known_coordinates =
        (coordinate == NumberType::f32 || coordinate == NumberType::f64) &&
        record.type[1] == coordinate && record.type[2] == coordinate;
    const bool known_channels =
        !record.colors || ((channel == NumberType::u8 || channel == NumberType::u16) &&
                           record.type[4] == channel && record.type[5] == channel);
    if (!known_coordinates || !known_channels) {
        return add_any_records;
    }
    return big_endian ? pick_coordinate<true>(coordinate, channel)
                      : pick_coordinate<false>(coordinate, channel);
}

// Vertices of one fixed size, decoded a buffer at a time where they lie.
void read_fixed_vertices(ByteSource& source, const Element& vertex, bool big_endian,
                         PointAdder& adder) {
    const FixedRecord record = fixed_record(vertex);
    const AddRecords add = records_decoder(record, big_endian);
    std::uint64_t left = vertex.count;
    while (left > 0) {
        const std::size_t batch = source.request_records(record.size, left, "vertex");
        add(source.data(), batch, record, big_endian, adder);
        source.advance(batch * record.size);
        left -= batch;
    }
}

void read_binary(ByteSource& source, const Header& header, const Element& vertex, bool big_endian,
                 PointCloud& cloud, PointAdder& adder) {
    for (const Element& element : header.elements) {
        if (&element == &vertex) {
            break;
        }
        skip_binary_element(source, element, big_endian);
    }
    check_count(source, vertex, least_instance_size(vertex));
    if (!has_lists(vertex)) {
        reserve_points(cloud, vertex.count);
        read_fixed_vertices(source, vertex, big_endian, adder);
        return;
    }
    const VertexLayout layout = vertex_layout(vertex);
    const bool colors = has_colors(layout);
    std::vector<double> values(vertex.properties.size());
    for (std::uint64_t i = 0; i < vertex.count; ++i) {
        walk_instance(source, vertex, big_endian, values.data());
        add_vertex(adder, vertex, layout, values.data(), colors);
    }
}

}  // namespace

void read_ply(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const Header header = read_header(source);
    const auto vertex =
        std::find_if(header.elements.begin(), header.elements.end(),
                     [](const Element& element) { return element.name == "vertex"; });
    if (vertex == header.elements.end()) {
        fail("the header has no vertex element");
    }
    cloud.has_colors = has_colors(vertex_layout(*vertex));
    PointAdder adder(cloud, options);
    switch (header.encoding) {
        case Encoding::ascii:
            cloud.format = "PLY ascii";
            read_ascii(source, header, *vertex, cloud, adder);
            break;
        case Encoding::little_endian:
            cloud.format = "PLY binary little-endian";
            read_binary(source, header, *vertex, false, cloud, adder);
            break;
        case Encoding::big_endian:
            cloud.format = "PLY binary big-endian";
            read_binary(source, header, *vertex, true, cloud, adder);
            break;
    }
}
