// LAS 1.0 to 1.4, uncompressed, point formats 0 to 10: a little-endian header read by its
// fixed offsets, then records of the header's own length from the header's offset to the
// point data, each with x, y and z as 32-bit integers to scale and offset, a 16-bit intensity,
// a class, and 16-bit RGB in the formats that have it.

#include <algorithm>
#include <string>

#include "formats/read_support.h"

namespace {

// The smallest header, of LAS 1.0 to 1.2; 1.3 adds 8 bytes and 1.4 140 more.
constexpr std::size_t header_1_0_size = 227;
constexpr std::size_t header_1_4_size = 375;

struct LasHeader {
    int version_minor;
    std::uint32_t header_size;
    std::uint32_t point_offset;
    int point_format;
    std::uint32_t record_length;
    std::uint64_t point_count;
    double scale[3];
    double offset[3];
};

// The bytes each point format needs, and where its RGB lies (0: none).
struct PointFormat {
    std::uint32_t size;
    std::uint32_t rgb_offset;
};

constexpr std::size_t intensity_offset = 12;
// Formats 0 to 5 keep the class in the low 5 bits of byte 15 (the others are flags); 6 to 10
// give it byte 16 of its own.
constexpr std::size_t class_offset = 15;
constexpr std::uint8_t class_bits = 0x1F;
constexpr std::size_t wide_class_offset = 16;

constexpr PointFormat point_formats[] = {
    {20, 0}, {28, 0},  {26, 20}, {34, 28}, {57, 0},  {63, 28},
    {30, 0}, {36, 30}, {38, 30}, {59, 0},  {67, 30},
};

LasHeader read_header(ByteSource& source) {
    if (source.request(header_1_4_size) < header_1_0_size) {
        fail("truncated: the LAS header needs " + with_commas(header_1_0_size) + " bytes and " +
             with_commas(source.available()) + " are there");
    }
    const unsigned char* bytes = source.data();
    if (bytes[24] != 1 || bytes[25] > 4) {
        fail("LAS version " + std::to_string(bytes[24]) + "." + std::to_string(bytes[25]) +
             " is not read (1.0 to 1.4 are)");
    }
    LasHeader header{};
    header.version_minor = bytes[25];
    header.header_size = load_u16(bytes + 94, false);
    header.point_offset = load_u32(bytes + 96, false);
    const int format_byte = bytes[104];
    if ((format_byte & 0xC0) != 0) {
        fail("compressed LAS (LAZ) is not read: decompress it to plain LAS first");
    }
    header.point_format = format_byte;
    header.record_length = load_u16(bytes + 105, false);
    header.point_count = load_u32(bytes + 107, false);
    for (std::size_t axis = 0; axis < 3; ++axis) {
        header.scale[axis] = load_f64(bytes + 131 + 8 * axis, false);
        header.offset[axis] = load_f64(bytes + 155 + 8 * axis, false);
        if (!std::isfinite(header.scale[axis]) || !std::isfinite(header.offset[axis])) {
            fail("the LAS header's scale or offset is not a finite number");
        }
    }
    // 1.4 counts in 64 bits and may leave the legacy count at 0.
    if (header.version_minor >= 4) {
        if (header.header_size < header_1_4_size || source.available() < header_1_4_size) {
            fail("the LAS 1.4 header is shorter than " + with_commas(header_1_4_size) + " bytes");
        }
        const std::uint64_t count = load_u64(bytes + 247, false);
        header.point_count = count != 0 ? count : header.point_count;
    }
    if (header.header_size < header_1_0_size || header.point_offset < header.header_size) {
        fail("the LAS header gives a wrong header size or offset to the points");
    }
    if (header.point_format > 10) {
        fail("LAS point format " + std::to_string(header.point_format) +
             " is not read (0 to 10 are)");
    }
    if (header.record_length < point_formats[header.point_format].size) {
        fail("LAS point format " + std::to_string(header.point_format) + " needs " +
             std::to_string(point_formats[header.point_format].size) +
             " bytes a point and the header gives " + std::to_string(header.record_length));
    }
    return header;
}

// Many writers that have no colours fill the fields that a point format gives them with
// zeros: colours that are all the same say nothing, and the points are drawn as if the file
// had none.
void drop_colors_of_one_value(PointCloud& cloud) {
    const std::vector<Point>& points = cloud.points;
    if (points.size() < 2) {
        return;
    }
    const float first = points.front().color;
    if (std::any_of(points.begin(), points.end(),
                    [first](const Point& point) { return point.color != first; })) {
        return;
    }
    for (Point& point : cloud.points) {
        point.color = 0.0f;
    }
    cloud.has_colors = false;
    cloud.colors_all_one_value = true;
}

}  // namespace

void read_las(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const LasHeader header = read_header(source);
    cloud.format = "LAS 1." + std::to_string(header.version_minor) + ", point format " +
                   std::to_string(header.point_format);
    source.skip(header.point_offset, "the offset to the points");
    const std::uint64_t record = header.record_length;
    if (header.point_count > source.remaining() / record) {
        fail("truncated: the header promises " + with_commas(header.point_count) + " points of " +
             with_commas(record) + " bytes and " + with_commas(source.remaining()) +
             " bytes follow it");
    }
    reserve_points(cloud, header.point_count);
    const std::uint32_t rgb = point_formats[header.point_format].rgb_offset;
    cloud.has_colors = rgb != 0;
    // Colours are 16-bit and kept as their high bytes, unless no value of the whole file
    // exceeds 255: then the file holds 8-bit values, kept as they are. Until a value above
    // 255 turns up, the low bytes are kept; the points before it are then made black, their
    // high bytes being 0.
    bool eight_bit = true;
    PointAdder adder(cloud, options);
    ExtrasKeeper extras(cloud, options.keep_intensity, NumberType::u16,
                        options.keep_classification);
    const bool wide_class = header.point_format >= 6;
    std::uint64_t left = header.point_count;
    while (left > 0) {
        const std::size_t batch = source.request_records(record, left, "point");
        const unsigned char* point = source.data();
        for (std::size_t i = 0; i < batch; ++i, point += record) {
            float color = 0.0f;
            if (rgb != 0) {
                const std::uint32_t r = load_u16(point + rgb, false);
                const std::uint32_t g = load_u16(point + rgb + 2, false);
                const std::uint32_t b = load_u16(point + rgb + 4, false);
                if (eight_bit && (r | g | b) > 255) {
                    eight_bit = false;
                    for (Point& earlier : cloud.points) {
                        earlier.color = 0.0f;
                    }
                }
                color = eight_bit ? color_value(r, g, b) : color_value(r >> 8, g >> 8, b >> 8);
            }
            const double x = static_cast<std::int32_t>(load_u32(point, false));
            const double y = static_cast<std::int32_t>(load_u32(point + 4, false));
            const double z = static_cast<std::int32_t>(load_u32(point + 8, false));
            if (adder.add(x * header.scale[0] + header.offset[0],
                          y * header.scale[1] + header.offset[1],
                          z * header.scale[2] + header.offset[2], color) &&
                extras.keeps_any()) {
                extras.add(
                    load_u16(point + intensity_offset, false),
                    wide_class ? point[wide_class_offset] : point[class_offset] & class_bits);
            }
        }
        source.advance(batch * record);
        left -= batch;
    }
    if (cloud.has_colors) {
        drop_colors_of_one_value(cloud);
    }
}
