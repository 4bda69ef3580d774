// PCD 0.7: a text header naming the fields, their sizes, types and counts, then the points as
// text lines, as binary records, or compressed with LZF and stored field by field (every x,
// then every y, ...). x, y, z and a colour packed as 0x00RRGGBB into 4 bytes ("rgb" or
// "rgba") are kept; every other field is passed over.

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/read_support.h"

namespace {

constexpr std::uint64_t max_header_bytes = std::uint64_t{1} << 20;
// No point of a real file comes near this; it keeps every product below in 64 bits.
constexpr std::uint64_t max_point_size = std::uint64_t{1} << 20;

enum class Data { ascii, binary, binary_compressed };

struct Field {
    std::string name;
    std::uint64_t size = 0;
    char type = 0;
    std::uint64_t count = 1;
    NumberType number = NumberType::f32;
    // Offset in a binary record, and index of its first number on a text line.
    std::uint64_t offset = 0;
    std::uint64_t first_value = 0;
};

struct PcdHeader {
    std::string version = "0.7";
    std::vector<Field> fields;
    std::uint64_t points = 0;
    Data data = Data::ascii;
    std::uint64_t point_size = 0;
    std::uint64_t values_per_point = 0;
    std::uint64_t lines = 0;
};

// The fields that make a point, as indices into the header's fields (-1: absent).
struct Roles {
    int coordinate[3] = {-1, -1, -1};
    int color = -1;
};

std::uint64_t integer_of(std::string_view word, const char* what) {
    std::uint64_t value = 0;
    const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (status != std::errc() || end != word.data() + word.size()) {
        fail(std::string("the header's ") + what + " is not a whole number");
    }
    return value;
}

// One value of each field from a header line such as "SIZE 4 4 4 4".
void set_fields(PcdHeader& header, const std::vector<std::string_view>& words) {
    const std::string_view key = words[0];
    if (key == "FIELDS") {
        header.fields.assign(words.size() - 1, Field{});
    }
    if (words.size() - 1 != header.fields.size()) {
        fail("the header's " + std::string(key) + " line does not give one value a field");
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        Field& field = header.fields[i - 1];
        if (key == "FIELDS") {
            field.name = words[i];
        } else if (key == "SIZE") {
            field.size = integer_of(words[i], "SIZE");
        } else if (key == "TYPE") {
            field.type = words[i].size() == 1 ? words[i][0] : '?';
        } else {
            field.count = integer_of(words[i], "COUNT");
        }
    }
}

NumberType number_type(const Field& field) {
    const std::uint64_t size = field.size;
    if (field.type == 'F' && (size == 4 || size == 8)) {
        return size == 4 ? NumberType::f32 : NumberType::f64;
    }
    const bool is_unsigned = field.type == 'U';
    if ((is_unsigned || field.type == 'I') && (size == 1 || size == 2 || size == 4 || size == 8)) {
        const NumberType unsigned_types[] = {NumberType::u8, NumberType::u16, NumberType::u32,
                                             NumberType::u64};
        const NumberType signed_types[] = {NumberType::i8, NumberType::i16, NumberType::i32,
                                           NumberType::i64};
        const int index = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
        return is_unsigned ? unsigned_types[index] : signed_types[index];
    }
    fail("the field \"" + field.name.substr(0, 32) + "\" has an unknown TYPE and SIZE");
}

void lay_out_fields(PcdHeader& header) {
    if (header.fields.empty()) {
        fail("the header has no FIELDS line");
    }
    for (Field& field : header.fields) {
        field.number = number_type(field);
        if (field.count == 0 || field.count > max_point_size) {
            fail("the field \"" + field.name.substr(0, 32) + "\" has a wrong COUNT");
        }
        field.offset = header.point_size;
        field.first_value = header.values_per_point;
        header.point_size += field.size * field.count;
        header.values_per_point += field.count;
        if (header.point_size > max_point_size) {
            fail("the header gives points of more than " + with_commas(max_point_size) + " bytes");
        }
    }
}

PcdHeader read_header(ByteSource& source) {
    PcdHeader header;
    std::optional<std::uint64_t> width;
    std::optional<std::uint64_t> height;
    std::optional<std::uint64_t> points;
    for (;;) {
        if (source.position() > max_header_bytes) {
            fail("the header has no DATA line in its first " + with_commas(max_header_bytes) +
                 " bytes");
        }
        const std::optional<std::string_view> line = source.next_line();
        if (!line) {
            fail("the header has no DATA line");
        }
        ++header.lines;
        const std::vector<std::string_view> words = words_of(*line);
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        const std::string_view key = words[0];
        const std::string_view value = words.size() > 1 ? words[1] : "";
        if (key == "FIELDS" || key == "SIZE" || key == "TYPE" || key == "COUNT") {
            set_fields(header, words);
        } else if (key == "VERSION") {
            header.version = value.substr(0, 8);
        } else if (key == "WIDTH") {
            width = integer_of(value, "WIDTH");
        } else if (key == "HEIGHT") {
            height = integer_of(value, "HEIGHT");
        } else if (key == "POINTS") {
            points = integer_of(value, "POINTS");
        } else if (key == "DATA") {
            if (value == "ascii") {
                header.data = Data::ascii;
            } else if (value == "binary") {
                header.data = Data::binary;
            } else if (value == "binary_compressed") {
                header.data = Data::binary_compressed;
            } else {
                fail("the header names an unknown DATA kind");
            }
            break;
        } else if (key != "VIEWPOINT") {
            fail("the header has a line that is not PCD");
        }
    }
    lay_out_fields(header);
    if (!width || !height) {
        fail("the header lacks WIDTH or HEIGHT");
    }
    if (*height != 0 && *width > UINT64_MAX / *height) {
        fail("the header's WIDTH and HEIGHT are too large");
    }
    header.points = points.value_or(*width * *height);
    if (header.points != *width * *height) {
        fail("the header's POINTS (" + with_commas(header.points) + ") is not WIDTH x HEIGHT (" +
             with_commas(*width) + " x " + with_commas(*height) + ")");
    }
    return header;
}

Roles roles_of(const PcdHeader& header) {
    Roles roles;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const Field& field = header.fields[i];
        const int index = static_cast<int>(i);
        if (field.count != 1) {
            continue;
        }
        if (field.name == "x" || field.name == "y" || field.name == "z") {
            roles.coordinate[field.name[0] - 'x'] = index;
        } else if ((field.name == "rgb" || field.name == "rgba") && field.size == 4) {
            roles.color = index;
        }
    }
    if (roles.coordinate[0] < 0 || roles.coordinate[1] < 0 || roles.coordinate[2] < 0) {
        fail("the points have no x, y and z");
    }
    return roles;
}

// A packed colour's low 24 bits as Point::color holds them.
float color_of_bits(std::uint32_t bits) { return static_cast<float>(bits & 0xFFFFFFu); }

// --- Text ---

void read_ascii(ByteSource& source, const PcdHeader& header, const Roles& roles, PointCloud& cloud,
                PointAdder& adder) {
    // Every number takes at least two bytes with its separator.
    reserve_points(cloud,
                   std::min(header.points, source.remaining() / (2 * header.values_per_point) + 1));
    std::vector<double> values(header.values_per_point);
    const auto value_of = [&](int field) { return values[header.fields[field].first_value]; };
    std::uint64_t line_number = header.lines;
    for (std::uint64_t i = 0; i < header.points; ++i) {
        const std::optional<std::string_view> line = source.next_line();
        ++line_number;
        if (!line) {
            fail("truncated: the header promises " + with_commas(header.points) +
                 " points and the file ends after " + with_commas(i));
        }
        const int count = parse_numbers(*line, values.data(), static_cast<int>(values.size()));
        if (count < static_cast<int>(values.size())) {
            fail("line " + with_commas(line_number) + ": " +
                 (count < 0 ? "a field is not a number"
                            : "too few numbers for the header's fields"));
        }
        float color = 0.0f;
        if (roles.color >= 0) {
            // A float colour is written as the number whose bits hold it.
            const double value = value_of(roles.color);
            const bool is_float = header.fields[roles.color].type == 'F';
            color =
                color_of_bits(is_float ? std::bit_cast<std::uint32_t>(static_cast<float>(value))
                                       : static_cast<std::uint32_t>(
                                             value > 0.0 ? std::min(value, 4294967295.0) : 0.0));
        }
        adder.add(value_of(roles.coordinate[0]), value_of(roles.coordinate[1]),
                  value_of(roles.coordinate[2]), color);
    }
}

// --- Binary records ---

void check_stored_size(const PcdHeader& header, std::uint64_t stored) {
    if (header.points > stored / header.point_size) {
        fail("truncated: the header promises " + with_commas(header.points) + " points of " +
             with_commas(header.point_size) + " bytes and " + with_commas(stored) +
             " bytes follow it");
    }
}

void read_binary(ByteSource& source, const PcdHeader& header, const Roles& roles, PointCloud& cloud,
                 PointAdder& adder) {
    check_stored_size(header, source.remaining());
    reserve_points(cloud, header.points);
    const auto record = static_cast<std::size_t>(header.point_size);
    const auto load = [&](const unsigned char* point, int field) {
        return load_number(point + header.fields[field].offset, header.fields[field].number, false);
    };
    std::uint64_t left = header.points;
    while (left > 0) {
        const std::size_t batch = source.request_records(record, left, "point");
        const unsigned char* point = source.data();
        for (std::size_t i = 0; i < batch; ++i, point += record) {
            const float color =
                roles.color < 0
                    ? 0.0f
                    : color_of_bits(load_u32(point + header.fields[roles.color].offset, false));
            adder.add(load(point, roles.coordinate[0]), load(point, roles.coordinate[1]),
                      load(point, roles.coordinate[2]), color);
        }
        source.advance(batch * record);
        left -= batch;
    }
}

// --- Compressed, field by field ---

// Puts the decoded bytes, which arrive field after field, into the points: the bytes of x, y, z
// and the colour into their members of each point, the bytes of other fields nowhere.
class FieldScatter {
public:
    FieldScatter(const PcdHeader& header, const Roles& roles, std::vector<Point>& points)
        : points_(points), member_of_field_(header.fields.size(), -1) {
        std::uint64_t start = 0;
        for (const Field& field : header.fields) {
            block_starts_.push_back(start);
            start += field.size * field.count * header.points;
        }
        block_starts_.push_back(start);
        for (int axis = 0; axis < 3; ++axis) {
            member_of_field_[roles.coordinate[axis]] = 4 * axis;
        }
        if (roles.color >= 0) {
            member_of_field_[roles.color] = 12;
        }
    }

    // `size` decoded bytes that start at `offset` of the decoded data.
    void put(const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
        while (size > 0) {
            const auto field = static_cast<std::size_t>(
                std::upper_bound(block_starts_.begin(), block_starts_.end(), offset) -
                block_starts_.begin() - 1);
            const auto piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(size, block_starts_[field + 1] - offset));
            const int member = member_of_field_[field];
            if (member >= 0) {
                put_values(bytes, piece, offset - block_starts_[field], member);
            }
            bytes += piece;
            size -= piece;
            offset += piece;
        }
    }

private:
    // Bytes from byte `at` of a field's 4-byte values into the member at `member` of each
    // point: whole values at once, a value cut by the window byte by byte.
    void put_values(const unsigned char* bytes, std::size_t size, std::uint64_t at, int member) {
        auto* base = reinterpret_cast<unsigned char*>(points_.data()) + member;
        const auto put_byte = [&] {
            base[at / 4 * sizeof(Point) + at % 4] = *bytes++;
            ++at;
            --size;
        };
        while (size > 0 && at % 4 != 0) {
            put_byte();
        }
        for (; size >= 4; bytes += 4, at += 4, size -= 4) {
            std::memcpy(base + at / 4 * sizeof(Point), bytes, 4);
        }
        while (size > 0) {
            put_byte();
        }
    }

    std::vector<Point>& points_;
    // Where each field's values start in the decoded data, and where the last one ends.
    std::vector<std::uint64_t> block_starts_;
    // The byte offset in Point that each field fills, or -1.
    std::vector<int> member_of_field_;
};

// Decodes `in_size` bytes of LZF from `source` into `out_size` bytes, handed to `scatter` a
// window at a time. Each step is a literal run (a byte below 32: that many plus one bytes
// follow) or a copy from earlier output (the length less 2 in the top three bits, extended by
// the next byte when they are all set, then a distance of up to 8,192 bytes back).
void decode_lzf(ByteSource& source, std::uint64_t in_size, std::uint64_t out_size,
                FieldScatter& scatter) {
    constexpr std::size_t history = 8192;
    constexpr std::size_t window_size = std::size_t{1} << 20;
    // The most one step writes: a copy of 7 + 255 + 2 bytes.
    constexpr std::size_t longest_step = 264;
    std::vector<unsigned char> window(window_size);
    std::size_t end = 0;
    std::size_t handed = 0;
    std::uint64_t before_window = 0;
    std::uint64_t in_left = in_size;
    const auto corrupt = [] { fail("the compressed data are corrupt"); };
    while (in_left > 0) {
        if (window_size - end < longest_step) {
            scatter.put(window.data() + handed, end - handed, before_window + handed);
            std::memmove(window.data(), window.data() + end - history, history);
            before_window += end - history;
            end = history;
            handed = history;
        }
        source.request(35);
        const auto held =
            static_cast<std::size_t>(std::min<std::uint64_t>(in_left, source.available()));
        const unsigned char* in = source.data();
        const unsigned control = in[0];
        std::size_t used = 1;
        if (control < 32) {
            const std::size_t length = control + 1;
            if (used + length > held || before_window + end + length > out_size) {
                corrupt();
            }
            std::memcpy(window.data() + end, in + used, length);
            used += length;
            end += length;
        } else {
            std::size_t length = control >> 5;
            if (length == 7) {
                if (used >= held) {
                    corrupt();
                }
                length += in[used++];
            }
            length += 2;
            if (used >= held) {
                corrupt();
            }
            const std::size_t distance = ((control & 0x1Fu) << 8) + in[used++] + 1;
            if (distance > end || before_window + end + length > out_size) {
                corrupt();
            }
            for (std::size_t i = 0; i < length; ++i, ++end) {
                window[end] = window[end - distance];
            }
        }
        source.advance(used);
        in_left -= used;
    }
    if (before_window + end != out_size) {
        fail("the compressed data decode to " + with_commas(before_window + end) +
             " bytes instead of " + with_commas(out_size));
    }
    scatter.put(window.data() + handed, end - handed, before_window + handed);
}

// Leaves out the points with a coordinate that is not finite and shifts the rest, as
// PointAdder does, once the points are whole.
void keep_finite_points(PointCloud& cloud, const ReadOptions& options) {
    std::vector<Point>& points = cloud.points;
    std::size_t kept = 0;
    for (const Point& point : points) {
        if (!(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z))) {
            ++cloud.skipped_points;
            continue;
        }
        if (kept == 0 && shifts_from(options.shift, point.x, point.y, point.z)) {
            cloud.shift[0] = point.x;
            cloud.shift[1] = point.y;
            cloud.shift[2] = point.z;
        }
        const Point shifted{static_cast<float>(point.x - cloud.shift[0]),
                            static_cast<float>(point.y - cloud.shift[1]),
                            static_cast<float>(point.z - cloud.shift[2]), point.color};
        if (!(std::isfinite(shifted.x) && std::isfinite(shifted.y) && std::isfinite(shifted.z))) {
            ++cloud.skipped_points;
            continue;
        }
        points[kept++] = shifted;
    }
    points.resize(kept);
}

void read_compressed(ByteSource& source, const PcdHeader& header, const Roles& roles,
                     const ReadOptions& options, PointCloud& cloud) {
    for (const int field : roles.coordinate) {
        if (header.fields[field].number != NumberType::f32) {
            fail("binary_compressed x, y and z are read as 4-byte floats only");
        }
    }
    if (source.request(8) < 8) {
        fail("truncated: the compressed data have no sizes");
    }
    const std::uint64_t in_size = load_u32(source.data(), false);
    const std::uint64_t out_size = load_u32(source.data() + 4, false);
    source.advance(8);
    if (in_size > source.remaining()) {
        fail("truncated: the compressed data need " + with_commas(in_size) + " bytes and " +
             with_commas(source.remaining()) + " follow");
    }
    check_stored_size(header, out_size);
    if (header.points * header.point_size != out_size) {
        fail("the compressed data decode to " + with_commas(out_size) + " bytes, not " +
             with_commas(header.points) + " points of " + with_commas(header.point_size));
    }
    // Three bytes of LZF give at most 264.
    if (out_size > in_size * 88) {
        fail("the compressed data are too short to decode to " + with_commas(out_size) + " bytes");
    }
    reserve_points(cloud, header.points);
    cloud.points.resize(static_cast<std::size_t>(header.points));
    FieldScatter scatter(header, roles, cloud.points);
    decode_lzf(source, in_size, out_size, scatter);
    for (Point& point : cloud.points) {
        if constexpr (std::endian::native == std::endian::big) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&point);
            point = Point{load_f32(bytes, false), load_f32(bytes + 4, false),
                          load_f32(bytes + 8, false), load_f32(bytes + 12, false)};
        }
        point.color =
            roles.color < 0 ? 0.0f : color_of_bits(std::bit_cast<std::uint32_t>(point.color));
    }
    keep_finite_points(cloud, options);
}

}  // namespace

void read_pcd(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const PcdHeader header = read_header(source);
    const Roles roles = roles_of(header);
    cloud.has_colors = roles.color >= 0;
    PointAdder adder(cloud, options);
    switch (header.data) {
        case Data::ascii:
            cloud.format = "PCD " + header.version + " ascii";
            read_ascii(source, header, roles, cloud, adder);
            break;
        case Data::binary:
            cloud.format = "PCD " + header.version + " binary";
            read_binary(source, header, roles, cloud, adder);
            break;
        case Data::binary_compressed:
            cloud.format = "PCD " + header.version + " binary_compressed";
            read_compressed(source, header, roles, options, cloud);
            break;
    }
}
