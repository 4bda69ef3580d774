// PCD 0.7: a text header naming the fields, their sizes, types and counts, then the points as
// text lines, as binary records, or compressed with LZF and stored field by field (every x,
// then every y, ...). x, y, z, the colour (packed as 0x00RRGGBB into 4 bytes, "rgb" or "rgba",
// or in separate fields "r", "g" and "b"), the intensity and the class are kept; every other
// field is passed over.

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/lzf.h"
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
    // A colour packed into 4 bytes, or one field a channel, red, green and blue.
    int color = -1;
    int channel[3] = {-1, -1, -1};
    int intensity = -1;
    int classification = -1;

    bool has_channels() const { return channel[0] >= 0 && channel[1] >= 0 && channel[2] >= 0; }
    bool has_colors() const { return color >= 0 || has_channels(); }
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
        const std::string& name = field.name;
        const int index = static_cast<int>(i);
        if (field.count != 1) {
            continue;
        }
        if (name == "x" || name == "y" || name == "z") {
            roles.coordinate[name[0] - 'x'] = index;
        } else if ((name == "rgb" || name == "rgba") && field.size == 4) {
            roles.color = index;
        } else if (name == "r" || name == "red") {
            roles.channel[0] = index;
        } else if (name == "g" || name == "green") {
            roles.channel[1] = index;
        } else if (name == "b" || name == "blue") {
            roles.channel[2] = index;
        } else if (name == "intensity" || name == "scalar_intensity") {
            roles.intensity = index;
        } else if (name == "classification" || name == "label") {
            roles.classification = index;
        }
    }
    if (roles.coordinate[0] < 0 || roles.coordinate[1] < 0 || roles.coordinate[2] < 0) {
        fail("the points have no x, y and z");
    }
    return roles;
}

// A packed colour's low 24 bits as Point::color holds them.
float color_of_bits(std::uint32_t bits) { return static_cast<float>(bits & 0xFFFFFFu); }

// The bits of a packed colour written as text. An integer is the integer of its bits, whatever
// the field's type; a float field may instead hold the float whose bits are the colour (a NaN
// has lost them: black).
std::uint32_t color_bits_of_text(std::string_view text, double value, char type) {
    const std::size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const bool integer =
        text.size() > sign &&
        std::all_of(text.begin() + sign, text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (type == 'F' && !integer) {
        return std::isfinite(value) ? std::bit_cast<std::uint32_t>(static_cast<float>(value)) : 0;
    }
    // Signed fields hold the bits as a negative number where the top one is set.
    if (!(value >= -2147483648.0 && value <= 4294967295.0)) {
        return 0;
    }
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

// What makes a point of a field's stored values, by the fields' roles: given a routine that
// loads a field's value as a double, and one that gives a packed colour's bits.
template <typename Value, typename Bits>
void add_point(const PcdHeader& header, const Roles& roles, const Value& value_of,
               const Bits& color_bits_of, PointAdder& adder, ExtrasKeeper& extras) {
    float color = 0.0f;
    if (roles.color >= 0) {
        color = color_of_bits(color_bits_of(roles.color));
    } else if (roles.has_channels()) {
        const auto channel = [&](int k) {
            return channel_of(value_of(roles.channel[k]), header.fields[roles.channel[k]].number);
        };
        color = color_value(channel(0), channel(1), channel(2));
    }
    if (adder.add(value_of(roles.coordinate[0]), value_of(roles.coordinate[1]),
                  value_of(roles.coordinate[2]), color)) {
        extras.add(roles.intensity < 0 ? 0.0 : value_of(roles.intensity),
                   roles.classification < 0 ? 0.0 : value_of(roles.classification));
    }
}

// --- Text ---

void read_ascii(ByteSource& source, const PcdHeader& header, const Roles& roles, PointCloud& cloud,
                PointAdder& adder, ExtrasKeeper& extras) {
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
        const auto color_bits_of = [&](int field) {
            const Field& color = header.fields[field];
            return color_bits_of_text(field_text(*line, color.first_value), value_of(field),
                                      color.type);
        };
        add_point(header, roles, value_of, color_bits_of, adder, extras);
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
                 PointAdder& adder, ExtrasKeeper& extras) {
    check_stored_size(header, source.remaining());
    reserve_points(cloud, header.points);
    const auto record = static_cast<std::size_t>(header.point_size);
    std::uint64_t left = header.points;
    while (left > 0) {
        const std::size_t batch = source.request_records(record, left, "point");
        const unsigned char* point = source.data();
        for (std::size_t i = 0; i < batch; ++i, point += record) {
            const auto value_of = [&](int field) {
                return load_number(point + header.fields[field].offset, header.fields[field].number,
                                   false);
            };
            const auto color_bits_of = [&](int field) {
                return load_u32(point + header.fields[field].offset, false);
            };
            add_point(header, roles, value_of, color_bits_of, adder, extras);
        }
        source.advance(batch * record);
        left -= batch;
    }
}

// --- Compressed, field by field ---

// Where the decoded values of one field go: each value's `size` bytes (1, 2, 4 or 8), `stride`
// bytes after the one before, from `base`; nowhere where `size` is 0.
struct FieldTarget {
    unsigned char* base = nullptr;
    std::size_t stride = 0;
    std::size_t size = 0;
};

// Puts the decoded bytes, which arrive field after field, where each field's target says:
// x, y, z and a packed colour into their members of each point, the other fields that are
// kept into lists of their own, and the rest nowhere.
class FieldScatter {
public:
    FieldScatter(const PcdHeader& header, std::vector<FieldTarget> targets)
        : targets_(std::move(targets)) {
        std::uint64_t start = 0;
        for (const Field& field : header.fields) {
            block_starts_.push_back(start);
            start += field.size * field.count * header.points;
        }
        block_starts_.push_back(start);
    }

    // `size` decoded bytes that start at `offset` of the decoded data.
    void put(const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
        while (size > 0) {
            const auto field = static_cast<std::size_t>(
                std::upper_bound(block_starts_.begin(), block_starts_.end(), offset) -
                block_starts_.begin() - 1);
            const auto piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(size, block_starts_[field + 1] - offset));
            put_values(bytes, piece, offset - block_starts_[field], targets_[field]);
            bytes += piece;
            size -= piece;
            offset += piece;
        }
    }

private:
    static void put_values(const unsigned char* bytes, std::size_t size, std::uint64_t at,
                           const FieldTarget& target) {
        switch (target.size) {
            case 1:
                return put_values_of<1>(bytes, size, at, target);
            case 2:
                return put_values_of<2>(bytes, size, at, target);
            case 4:
                return put_values_of<4>(bytes, size, at, target);
            case 8:
                return put_values_of<8>(bytes, size, at, target);
            default:
                return;
        }
    }

    // Bytes from byte `at` of a field's values of `value` bytes into its target: whole values at
    // once, a value cut by the window's start or end byte by byte.
    template <std::size_t value>
    static void put_values_of(const unsigned char* bytes, std::size_t size, std::uint64_t at,
                              const FieldTarget& target) {
        const std::uint64_t end = at + size;
        for (; at < end && at % value != 0; ++at, ++bytes) {
            target.base[at / value * target.stride + at % value] = *bytes;
        }
        for (; end - at >= value; bytes += value, at += value) {
            std::memcpy(target.base + at / value * target.stride, bytes, value);
        }
        for (; at < end; ++at, ++bytes) {
            target.base[at / value * target.stride + at % value] = *bytes;
        }
    }

    std::vector<FieldTarget> targets_;
    // Where each field's values start in the decoded data, and where the last one ends.
    std::vector<std::uint64_t> block_starts_;
};

// Leaves out the points with a coordinate that is not finite, with their intensities and
// classes, and shifts the rest, as PointAdder does, once the points are whole.
void keep_finite_points(PointCloud& cloud, const ReadOptions& options) {
    std::vector<Point>& points = cloud.points;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point& point = points[i];
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
        if (!cloud.intensities.empty()) {
            cloud.intensities[kept] = cloud.intensities[i];
        }
        if (!cloud.classes.empty()) {
            cloud.classes[kept] = cloud.classes[i];
        }
        points[kept++] = shifted;
    }
    points.resize(kept);
    cloud.intensities.resize(cloud.intensities.empty() ? 0 : kept);
    cloud.classes.resize(cloud.classes.empty() ? 0 : kept);
}

// The values of one kept field other than x, y, z and a packed colour, one a point.
struct FieldValues {
    int field = -1;
    std::vector<unsigned char> bytes;

    double value(const PcdHeader& header, std::size_t point) const {
        const Field& stored = header.fields[field];
        return load_number(bytes.data() + point * stored.size, stored.number, false);
    }
};

void read_compressed(ByteSource& source, const PcdHeader& header, const Roles& roles,
                     const ReadOptions& options, PointCloud& cloud, ExtrasKeeper& extras) {
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
    std::vector<FieldTarget> targets(header.fields.size());
    auto* point_bytes = reinterpret_cast<unsigned char*>(cloud.points.data());
    for (int axis = 0; axis < 3; ++axis) {
        targets[roles.coordinate[axis]] = {
            point_bytes + sizeof(float) * static_cast<std::size_t>(axis), sizeof(Point),
            sizeof(float)};
    }
    if (roles.color >= 0) {
        targets[roles.color] = {point_bytes + 12, sizeof(Point), 4};
    }
    const bool channels = roles.color < 0 && roles.has_channels();
    FieldValues kept[5];
    const int kept_fields[5] = {channels ? roles.channel[0] : -1, channels ? roles.channel[1] : -1,
                                channels ? roles.channel[2] : -1,
                                options.keep_intensity ? roles.intensity : -1,
                                options.keep_classification ? roles.classification : -1};
    for (int k = 0; k < 5; ++k) {
        if (kept_fields[k] >= 0) {
            const std::uint64_t size = header.fields[kept_fields[k]].size;
            kept[k].field = kept_fields[k];
            kept[k].bytes.resize(static_cast<std::size_t>(size * header.points));
            targets[kept_fields[k]] = {kept[k].bytes.data(), static_cast<std::size_t>(size),
                                       static_cast<std::size_t>(size)};
        }
    }
    FieldScatter scatter(header, std::move(targets));
    decode_lzf(source, in_size, out_size,
               [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
                   scatter.put(bytes, size, offset);
               });
    for (std::size_t i = 0; i < cloud.points.size(); ++i) {
        Point& point = cloud.points[i];
        if constexpr (std::endian::native == std::endian::big) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&point);
            point = Point{load_f32(bytes, false), load_f32(bytes + 4, false),
                          load_f32(bytes + 8, false), load_f32(bytes + 12, false)};
        }
        if (roles.color >= 0) {
            point.color = color_of_bits(std::bit_cast<std::uint32_t>(point.color));
        } else if (channels) {
            const auto channel = [&](int k) {
                return channel_of(kept[k].value(header, i), header.fields[kept[k].field].number);
            };
            point.color = color_value(channel(0), channel(1), channel(2));
        }
        extras.add(kept[3].field < 0 ? 0.0 : kept[3].value(header, i),
                   kept[4].field < 0 ? 0.0 : kept[4].value(header, i));
    }
    keep_finite_points(cloud, options);
}

}  // namespace

void read_pcd(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const PcdHeader header = read_header(source);
    const Roles roles = roles_of(header);
    cloud.has_colors = roles.has_colors();
    PointAdder adder(cloud, options);
    const bool intensity = options.keep_intensity && roles.intensity >= 0;
    ExtrasKeeper extras(cloud, intensity,
                        intensity ? header.fields[roles.intensity].number : NumberType::f32,
                        options.keep_classification && roles.classification >= 0);
    switch (header.data) {
        case Data::ascii:
            cloud.format = "PCD " + header.version + " ascii";
            read_ascii(source, header, roles, cloud, adder, extras);
            break;
        case Data::binary:
            cloud.format = "PCD " + header.version + " binary";
            read_binary(source, header, roles, cloud, adder, extras);
            break;
        case Data::binary_compressed:
            cloud.format = "PCD " + header.version + " binary_compressed";
            read_compressed(source, header, roles, options, cloud, extras);
            break;
    }
}
