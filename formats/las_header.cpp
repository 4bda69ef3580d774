// The LAS header by its documented offsets, little-endian.

#include "formats/las_header.h"

#include <algorithm>
#include <string>
#include <vector>

LasHeader read_las_header(ByteSource& source) {
    if (source.request(las_header_1_4_size) < las_header_1_0_size) {
        fail("truncated: the LAS header needs " + with_commas(las_header_1_0_size) + " bytes and " +
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
    header.vlr_count = load_u32(bytes + 100, false);
    // Compressed points set the top bit of the format, or the one below it.
    const int format_byte = bytes[104];
    header.compressed = (format_byte & 0xC0) != 0;
    header.point_format = format_byte & 0x3F;
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
        if (header.header_size < las_header_1_4_size || source.available() < las_header_1_4_size) {
            fail("the LAS 1.4 header is shorter than " + with_commas(las_header_1_4_size) +
                 " bytes");
        }
        const std::uint64_t count = load_u64(bytes + 247, false);
        header.point_count = count != 0 ? count : header.point_count;
    }
    if (header.header_size < las_header_1_0_size || header.point_offset < header.header_size) {
        fail("the LAS header gives a wrong header size or offset to the points");
    }
    if (header.point_format > 10) {
        fail("LAS point format " + std::to_string(header.point_format) +
             " is not read (0 to 10 are)");
    }
    if (header.record_length < las_point_formats[header.point_format].size) {
        fail("LAS point format " + std::to_string(header.point_format) + " needs " +
             std::to_string(las_point_formats[header.point_format].size) +
             " bytes a point and the header gives " + std::to_string(header.record_length));
    }
    return header;
}

void drop_colors_of_one_value(PointCloud& cloud) {
    std::vector<Point>& points = cloud.points;
    if (!cloud.has_colors || points.size() < 2) {
        return;
    }
    const float first = points.front().color;
    if (std::any_of(points.begin(), points.end(),
                    [first](const Point& point) { return point.color != first; })) {
        return;
    }
    for (Point& point : points) {
        point.color = 0.0f;
    }
    cloud.has_colors = false;
    cloud.colors_all_one_value = true;
}
