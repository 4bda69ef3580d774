#include "formats/ply_header.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace {

// No real header comes near this; past it the file is not a PLY file.
constexpr std::uint64_t max_header_bytes = std::uint64_t{1} << 20;

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

void add_property(PlyHeader& header, const std::vector<std::string_view>& words) {
    if (header.elements.empty()) {
        fail("the header has a property before any element");
    }
    PlyProperty property;
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

void add_element(PlyHeader& header, const std::vector<std::string_view>& words) {
    PlyElement element;
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

PlyEncoding encoding_named(std::string_view name) {
    if (name == "ascii") {
        return PlyEncoding::ascii;
    }
    if (name == "binary_little_endian") {
        return PlyEncoding::little_endian;
    }
    if (name == "binary_big_endian") {
        return PlyEncoding::big_endian;
    }
    fail("the header names an unknown format");
}

bool same_letters(std::string_view name, std::string_view lower_case) {
    return std::equal(
        name.begin(), name.end(), lower_case.begin(), lower_case.end(),
        [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

// Which PlyValue a property of the vertex gives, by the names that writers use for it.
std::optional<PlyValue> value_named(std::string_view name) {
    struct Named {
        std::string_view name;
        PlyValue value;
    };
    static constexpr Named names[] = {
        {"x", ply_x},
        {"y", ply_y},
        {"z", ply_z},
        {"red", ply_red},
        {"diffuse_red", ply_red},
        {"green", ply_green},
        {"diffuse_green", ply_green},
        {"blue", ply_blue},
        {"diffuse_blue", ply_blue},
        {"intensity", ply_intensity},
        {"scalar_intensity", ply_intensity},
        {"classification", ply_class},
        {"scalar_classification", ply_class},
        {"label", ply_class},
    };
    for (const Named& named : names) {
        if (same_letters(name, named.name)) {
            return named.value;
        }
    }
    return std::nullopt;
}

}  // namespace

PlyHeader read_ply_header(ByteSource& source) {
    PlyHeader header;
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
            header.encoding = encoding_named(words.size() > 1 ? words[1] : "");
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

bool has_lists(const PlyElement& element) {
    return std::any_of(element.properties.begin(), element.properties.end(),
                       [](const PlyProperty& property) { return property.is_list; });
}

std::uint64_t least_instance_size(const PlyElement& element) {
    std::uint64_t size = 0;
    for (const PlyProperty& property : element.properties) {
        size += size_of(property.is_list ? property.length_type : property.type);
    }
    return size;
}

PlyVertex ply_vertex(const PlyElement& vertex) {
    PlyVertex layout;
    std::fill(std::begin(layout.index), std::end(layout.index), -1);
    const bool lists = has_lists(vertex);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < vertex.properties.size(); ++i) {
        const PlyProperty& property = vertex.properties[i];
        const std::optional<PlyValue> value = value_named(property.name);
        if (value && !property.is_list) {
            layout.index[*value] = static_cast<int>(i);
            layout.offset[*value] = offset;
            layout.type[*value] = property.type;
        }
        offset += size_of(property.type);
    }
    layout.record_size = lists ? 0 : offset;
    if (layout.index[ply_x] < 0 || layout.index[ply_y] < 0 || layout.index[ply_z] < 0) {
        fail("the vertices have no x, y and z");
    }
    layout.colors =
        layout.index[ply_red] >= 0 && layout.index[ply_green] >= 0 && layout.index[ply_blue] >= 0;
    return layout;
}
