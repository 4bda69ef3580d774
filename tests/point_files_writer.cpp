#include "tests/point_files_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>

namespace {

// Bytes gathered a block at a time and written to the stream, so that writing hundreds of
// megabytes takes a few writes per block rather than a few per value.
class ByteWriter {
public:
    explicit ByteWriter(std::ostream& out) : out_(out) {}
    ByteWriter(const ByteWriter&) = delete;
    ByteWriter& operator=(const ByteWriter&) = delete;
    ~ByteWriter() { flush(); }

    template <typename T>
    void number(T value, bool big_endian = false) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        if (big_endian != (std::endian::native == std::endian::big)) {
            std::reverse(std::begin(bytes), std::end(bytes));
        }
        block_.append(reinterpret_cast<const char*>(bytes), sizeof(T));
    }

    void text(std::string_view text) { block_ += text; }

    // `value` in the fewest digits that read back to the same double, or with `decimals`
    // digits after the point.
    void decimal(double value, int decimals = -1) {
        char digits[64];
        const std::to_chars_result written =
            decimals < 0 ? std::to_chars(digits, std::end(digits), value)
                         : std::to_chars(digits, std::end(digits), value, std::chars_format::fixed,
                                         decimals);
        block_.append(digits, written.ptr);
    }

    // Ends a point: past a block's worth, the bytes go to the stream.
    void end_point() {
        if (block_.size() >= block_size) {
            flush();
        }
    }

private:
    // As large as the load benchmark's floor's buffer: freeing a block of this size makes the
    // allocator place that buffer in its heap thereafter rather than in a mapping of its own,
    // whose alignment with the file's pages slows the floor's copy to a third of its speed.
    static constexpr std::size_t block_size = std::size_t{4} << 20;

    void flush() {
        out_.write(block_.data(), static_cast<std::streamsize>(block_.size()));
        block_.clear();
    }

    std::ostream& out_;
    std::string block_;
};

struct Rgb {
    std::uint32_t r;
    std::uint32_t g;
    std::uint32_t b;
};

Rgb rgb_of(const Point& point) {
    const auto packed = static_cast<std::uint32_t>(point.color);
    return Rgb{packed >> 16 & 0xFFu, packed >> 8 & 0xFFu, packed & 0xFFu};
}

std::uint16_t intensity_of(const PointSet& set, std::size_t point) {
    return set.intensities.empty() ? 0 : set.intensities[point];
}

std::uint8_t class_of(const PointSet& set, std::size_t point) {
    return set.classes.empty() ? 0 : set.classes[point];
}

// A channel of 0..255 in a type of a layout; floats as fractions of 1.
double channel_value(std::uint32_t channel, ChannelType type) {
    switch (type) {
        case ChannelType::u8:
            return channel;
        case ChannelType::u16:
            return channel * 257.0;
        case ChannelType::f32:
            return static_cast<float>(channel / 255.0);
    }
    return 0.0;
}

template <typename Write>
std::string bytes_of(const Write& write) {
    std::ostringstream out;
    write(out);
    return std::move(out).str();
}

// --- PLY ---

void put_ply_channel(ByteWriter& out, std::uint32_t channel, ChannelType type, bool big) {
    const double value = channel_value(channel, type);
    if (type == ChannelType::u8) {
        out.number(static_cast<std::uint8_t>(value), big);
    } else if (type == ChannelType::u16) {
        out.number(static_cast<std::uint16_t>(value), big);
    } else {
        out.number(static_cast<float>(value), big);
    }
}

std::string ply_header(const PointSet& set, const PlyLayout& layout) {
    const bool newer = layout.newer_type_names;
    const std::string coordinate =
        layout.double_coordinates ? (newer ? "float64" : "double") : (newer ? "float32" : "float");
    const char* channel_types[3][2] = {
        {"uchar", "uint8"}, {"ushort", "uint16"}, {"float", "float32"}};
    const std::string channel = channel_types[static_cast<int>(layout.channels)][newer ? 1 : 0];
    std::string header = "ply\nformat " + layout.format + " 1.0\ncomment written by the tests\n";
    if (layout.other_elements) {
        header += "element note 2\nproperty list uchar int items\n";
    }
    header += "element vertex " + std::to_string(set.points.size()) + "\n";
    for (const char* axis : {"x", "y", "z"}) {
        header += "property " + coordinate + " " + axis + "\n";
    }
    if (layout.other_elements) {
        header += "property float nx\n";
    }
    if (layout.colors) {
        for (const char* name : {"red", "green", "blue"}) {
            header += "property " + channel + " " + name + "\n";
        }
    }
    if (!set.intensities.empty()) {
        header += "property ushort intensity\n";
    }
    if (!set.classes.empty()) {
        header += "property uchar classification\n";
    }
    if (layout.other_elements) {
        header += "element face 1\nproperty list uchar int vertex_indices\n";
    }
    return header + "end_header\n";
}

void write_ply_ascii(ByteWriter& out, const PointSet& set, const PlyLayout& layout) {
    if (layout.other_elements) {
        out.text("1 7\n2 8 9\n");
    }
    for (std::size_t i = 0; i < set.points.size(); ++i) {
        const Point& p = set.points[i];
        for (const float value : {p.x, p.y, p.z}) {
            out.decimal(value);
            out.text(" ");
        }
        if (layout.other_elements) {
            out.text("0.5 ");
        }
        if (layout.colors) {
            const Rgb rgb = rgb_of(p);
            for (const std::uint32_t channel : {rgb.r, rgb.g, rgb.b}) {
                out.decimal(channel_value(channel, layout.channels));
                out.text(" ");
            }
        }
        if (!set.intensities.empty()) {
            out.decimal(set.intensities[i]);
            out.text(" ");
        }
        if (!set.classes.empty()) {
            out.decimal(set.classes[i]);
        }
        out.text("\n");
        out.end_point();
    }
    if (layout.other_elements) {
        out.text("3 0 1 2\n");
    }
}

void write_ply_binary(ByteWriter& out, const PointSet& set, const PlyLayout& layout) {
    const bool big = layout.format == "binary_big_endian";
    if (layout.other_elements) {
        out.number(std::uint8_t{1}, big);
        out.number(std::int32_t{7}, big);
        out.number(std::uint8_t{2}, big);
        out.number(std::int32_t{8}, big);
        out.number(std::int32_t{9}, big);
    }
    for (std::size_t i = 0; i < set.points.size(); ++i) {
        const Point& p = set.points[i];
        for (const float value : {p.x, p.y, p.z}) {
            layout.double_coordinates ? out.number(static_cast<double>(value), big)
                                      : out.number(value, big);
        }
        if (layout.other_elements) {
            out.number(0.5f, big);
        }
        if (layout.colors) {
            const Rgb rgb = rgb_of(p);
            for (const std::uint32_t channel : {rgb.r, rgb.g, rgb.b}) {
                put_ply_channel(out, channel, layout.channels, big);
            }
        }
        if (!set.intensities.empty()) {
            out.number(set.intensities[i], big);
        }
        if (!set.classes.empty()) {
            out.number(set.classes[i], big);
        }
        out.end_point();
    }
    if (layout.other_elements) {
        out.number(std::uint8_t{3}, big);
        for (const std::int32_t index : {0, 1, 2}) {
            out.number(index, big);
        }
    }
}

// --- LAS ---

// The bytes of each point format, and where its RGB lies (0: none).
constexpr int las_record_sizes[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
constexpr int las_rgb_offsets[] = {0, 0, 20, 28, 0, 28, 0, 30, 30, 0, 30};

// The header's bytes, zero but for what the readers look at.
std::string las_header(const PointSet& set, const LasLayout& layout, std::uint16_t record) {
    const std::uint32_t header_size = layout.minor >= 4 ? 375 : layout.minor == 3 ? 235 : 227;
    std::ostringstream fields;
    {
        ByteWriter out(fields);
        out.text("LASF");
        out.text(std::string(20, '\0'));
        out.number(std::uint8_t{1});
        out.number(static_cast<std::uint8_t>(layout.minor));
        out.text(std::string(68, '\0'));
        out.number(static_cast<std::uint16_t>(header_size));
        out.number(header_size);
        out.number(std::uint32_t{0});
        out.number(static_cast<std::uint8_t>(layout.point_format));
        out.number(record);
        // 1.4 files may leave the count of 32 bits at 0 and give the one of 64 bits.
        const std::uint64_t count = set.points.size();
        out.number(static_cast<std::uint32_t>(layout.minor >= 4 ? 0 : count));
        out.text(std::string(20, '\0'));
        for (int axis = 0; axis < 3; ++axis) {
            out.number(layout.scale);
        }
        for (int axis = 0; axis < 3; ++axis) {
            out.number(layout.offset);
        }
        out.text(std::string(247 - 179, '\0'));
        out.number(layout.minor >= 4 ? count : std::uint64_t{0});
    }
    std::string header = fields.str();
    header.resize(header_size, '\0');
    return header;
}

// --- PCD ---

// One field of a PCD file, and how each point's values are written in it.
struct PcdField {
    std::string name;
    char type;
    int size;
    int count;
    // The k-th value of a point; for a packed colour, its bits.
    std::function<double(std::size_t point, int k)> value;
    bool packed = false;
    // A packed colour written in text as the float that has its bits, not as their integer.
    bool packed_as_float = false;
};

std::vector<PcdField> pcd_fields(const PointSet& set, const PcdLayout& layout) {
    const std::vector<Point>& points = set.points;
    std::vector<PcdField> fields;
    fields.reserve(10);
    for (int axis = 0; axis < 3; ++axis) {
        fields.push_back({std::string(1, static_cast<char>('x' + axis)), 'F', 4, 1,
                          [&points, axis](std::size_t i, int) {
                              const Point& p = points[i];
                              return static_cast<double>(axis == 0 ? p.x : axis == 1 ? p.y : p.z);
                          }});
    }
    if (layout.normals) {
        fields.push_back(
            {"normal", 'F', 4, 3, [](std::size_t, int k) { return k == 2 ? 1.0 : 0.0; }});
    }
    const auto bits = [&points](std::uint32_t alpha) {
        return [&points, alpha](std::size_t i, int) {
            return static_cast<double>(alpha << 24 | static_cast<std::uint32_t>(points[i].color));
        };
    };
    switch (layout.color) {
        case PcdColor::none:
            break;
        case PcdColor::rgb_float:
            fields.push_back({"rgb", 'F', 4, 1, bits(255), true});
            break;
        case PcdColor::rgb_float_text:
            fields.push_back({"rgb", 'F', 4, 1, bits(0), true, true});
            break;
        case PcdColor::rgba_unsigned:
            fields.push_back({"rgba", 'U', 4, 1, bits(255), true});
            break;
        case PcdColor::channels: {
            const ChannelType type = layout.channels;
            const char stored = type == ChannelType::f32 ? 'F' : 'U';
            const int size = type == ChannelType::u8 ? 1 : type == ChannelType::u16 ? 2 : 4;
            for (int c = 0; c < 3; ++c) {
                fields.push_back(
                    {std::string(1, "rgb"[c]), stored, size, 1,
                     [&points, c, type](std::size_t i, int) {
                         const Rgb rgb = rgb_of(points[i]);
                         return channel_value(c == 0 ? rgb.r : c == 1 ? rgb.g : rgb.b, type);
                     }});
            }
            break;
        }
    }
    if (!set.intensities.empty()) {
        fields.push_back({"intensity", 'F', 4, 1, [&set](std::size_t i, int) {
                              return static_cast<double>(set.intensities[i]);
                          }});
    }
    if (!set.classes.empty()) {
        fields.push_back({"label", 'U', 4, 1, [&set](std::size_t i, int) {
                              return static_cast<double>(set.classes[i]);
                          }});
    }
    return fields;
}

std::string pcd_header(const PointSet& set, const std::vector<PcdField>& fields,
                       const PcdLayout& layout) {
    std::string names;
    std::string sizes;
    std::string types;
    std::string counts;
    const auto add = [](std::string& line, const std::string& word) {
        line += ' ';
        line += word;
    };
    for (const PcdField& field : fields) {
        add(names, field.name);
        add(sizes, std::to_string(field.size));
        add(types, std::string(1, field.type));
        add(counts, std::to_string(field.count));
    }
    const std::string count = std::to_string(set.points.size());
    return "# .PCD v0.7 - written by the tests\nVERSION 0.7\nFIELDS" + names + "\nSIZE" + sizes +
           "\nTYPE" + types + "\nCOUNT" + counts + "\nWIDTH " + count +
           "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + count + "\nDATA " + layout.data + "\n";
}

void put_pcd_value(ByteWriter& out, const PcdField& field, double value) {
    // A packed colour's bits, like an unsigned field's value, as an integer.
    const bool is_float = field.type == 'F' && !field.packed;
    if (is_float) {
        field.size == 4 ? out.number(static_cast<float>(value)) : out.number(value);
    } else if (field.size == 1) {
        out.number(static_cast<std::uint8_t>(value));
    } else if (field.size == 2) {
        out.number(static_cast<std::uint16_t>(value));
    } else {
        out.number(static_cast<std::uint32_t>(value));
    }
}

void put_pcd_text(ByteWriter& out, const PcdField& field, double value) {
    if (field.packed_as_float) {
        const float packed = std::bit_cast<float>(static_cast<std::uint32_t>(value));
        out.decimal(packed);
    } else {
        out.decimal(value);
    }
}

}  // namespace

void write_ply(std::ostream& out, const PointSet& set, const PlyLayout& layout) {
    ByteWriter writer(out);
    writer.text(ply_header(set, layout));
    if (layout.format == "ascii") {
        write_ply_ascii(writer, set, layout);
    } else {
        write_ply_binary(writer, set, layout);
    }
}

void write_las(std::ostream& out, const PointSet& set, const LasLayout& layout) {
    const int format = layout.point_format;
    const auto record = static_cast<std::uint16_t>(las_record_sizes[format] + layout.extra_bytes);
    const int rgb_offset = las_rgb_offsets[format];
    ByteWriter writer(out);
    writer.text(las_header(set, layout, record));
    std::string point;
    for (std::size_t i = 0; i < set.points.size(); ++i) {
        const Point& p = set.points[i];
        point.assign(record, '\0');
        // Little-endian, at a byte of the record.
        const auto put = [&point](int at, auto value) {
            for (std::size_t byte = 0; byte < sizeof value; ++byte) {
                point[static_cast<std::size_t>(at) + byte] =
                    static_cast<char>(static_cast<std::uint64_t>(value) >> (8 * byte));
            }
        };
        const float coordinates[3] = {p.x, p.y, p.z};
        for (int axis = 0; axis < 3; ++axis) {
            const double stored = (coordinates[axis] - layout.offset) / layout.scale;
            put(4 * axis,
                static_cast<std::uint32_t>(static_cast<std::int32_t>(std::llround(stored))));
        }
        put(12, intensity_of(set, i));
        put(format <= 5 ? 15 : 16, class_of(set, i));
        if (rgb_offset != 0) {
            const Rgb rgb = rgb_of(p);
            const std::uint32_t channels[3] = {rgb.r, rgb.g, rgb.b};
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t channel = channels[c];
                put(rgb_offset + 2 * c,
                    static_cast<std::uint16_t>(layout.eight_bit_colors ? channel : channel * 257));
            }
        }
        writer.text(point);
        writer.end_point();
    }
}

void write_pcd(std::ostream& out, const PointSet& set, const PcdLayout& layout) {
    const std::vector<PcdField> fields = pcd_fields(set, layout);
    ByteWriter writer(out);
    writer.text(pcd_header(set, fields, layout));
    const std::size_t count = set.points.size();
    if (layout.data == "ascii") {
        for (std::size_t i = 0; i < count; ++i) {
            for (const PcdField& field : fields) {
                for (int k = 0; k < field.count; ++k) {
                    put_pcd_text(writer, field, field.value(i, k));
                    writer.text(&field == &fields.back() && k == field.count - 1 ? "\n" : " ");
                }
            }
            writer.end_point();
        }
    } else if (layout.data == "binary") {
        for (std::size_t i = 0; i < count; ++i) {
            for (const PcdField& field : fields) {
                for (int k = 0; k < field.count; ++k) {
                    put_pcd_value(writer, field, field.value(i, k));
                }
            }
            writer.end_point();
        }
    } else {
        // Field after field: every x, then every y, ...; a field of several values keeps each
        // point's values together.
        std::ostringstream stored;
        {
            ByteWriter by_field(stored);
            for (const PcdField& field : fields) {
                for (std::size_t i = 0; i < count; ++i) {
                    for (int k = 0; k < field.count; ++k) {
                        put_pcd_value(by_field, field, field.value(i, k));
                    }
                    by_field.end_point();
                }
            }
        }
        const std::string decoded = std::move(stored).str();
        const std::string compressed = lzf_compressed(decoded);
        writer.number(static_cast<std::uint32_t>(compressed.size()));
        writer.number(static_cast<std::uint32_t>(decoded.size()));
        writer.text(compressed);
    }
}

void write_text(std::ostream& out, const PointSet& set, const TextLayout& layout) {
    ByteWriter writer(out);
    for (const Point& p : set.points) {
        const float coordinates[3] = {p.x, p.y, p.z};
        for (int axis = 0; axis < 3; ++axis) {
            writer.decimal(coordinates[axis] + layout.offset[axis], layout.decimals);
            writer.text(axis < 2 || layout.colors ? " " : "\n");
        }
        if (layout.colors) {
            const Rgb rgb = rgb_of(p);
            writer.text(std::to_string(rgb.r) + " " + std::to_string(rgb.g) + " " +
                        std::to_string(rgb.b) + "\n");
        }
        writer.end_point();
    }
}

std::string ply_bytes(const PointSet& set, const PlyLayout& layout) {
    return bytes_of([&](std::ostream& out) { write_ply(out, set, layout); });
}

std::string las_bytes(const PointSet& set, const LasLayout& layout) {
    return bytes_of([&](std::ostream& out) { write_las(out, set, layout); });
}

std::string pcd_bytes(const PointSet& set, const PcdLayout& layout) {
    return bytes_of([&](std::ostream& out) { write_pcd(out, set, layout); });
}

std::string text_bytes(const PointSet& set, const TextLayout& layout) {
    return bytes_of([&](std::ostream& out) { write_text(out, set, layout); });
}

std::string lzf_compressed(std::string_view bytes) {
    // The last place each three bytes were seen, by a hash of them.
    constexpr std::size_t hash_bits = 14;
    constexpr std::size_t nowhere = SIZE_MAX;
    constexpr std::size_t farthest = 8192;
    constexpr std::size_t longest = 264;
    std::vector<std::size_t> seen(std::size_t{1} << hash_bits, nowhere);
    std::string out;
    std::size_t literal_start = 0;
    const auto put_literals = [&](std::size_t end) {
        while (literal_start < end) {
            const std::size_t run = std::min<std::size_t>(32, end - literal_start);
            out += static_cast<char>(run - 1);
            out.append(bytes.substr(literal_start, run));
            literal_start += run;
        }
    };
    std::size_t at = 0;
    while (at + 3 <= bytes.size()) {
        const auto byte = [&](std::size_t i) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
        };
        const std::uint32_t three = byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2);
        const std::size_t hash = (three * 2654435761u) >> (32 - hash_bits);
        const std::size_t from = seen[hash];
        seen[hash] = at;
        if (from == nowhere || at - from > farthest ||
            bytes.compare(from, 3, bytes.substr(at, 3)) != 0) {
            ++at;
            continue;
        }
        // The copy may run into the bytes it writes: from one byte back, it repeats that byte.
        std::size_t length = 3;
        const std::size_t most = std::min(longest, bytes.size() - at);
        while (length < most && bytes[from + length] == bytes[at + length]) {
            ++length;
        }
        put_literals(at);
        const std::size_t distance = at - from - 1;
        const std::size_t stored_length = length - 2;
        if (stored_length < 7) {
            out += static_cast<char>(stored_length << 5 | distance >> 8);
        } else {
            out += static_cast<char>(7 << 5 | distance >> 8);
            out += static_cast<char>(stored_length - 7);
        }
        out += static_cast<char>(distance & 0xFF);
        at += length;
        literal_start = at;
    }
    put_literals(bytes.size());
    return out;
}
