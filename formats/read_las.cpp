// LAS 1.0 to 1.4, uncompressed, point formats 0 to 10: a little-endian header read by its
// fixed offsets, then records of the header's own length from the header's offset to the
// point data, each with x, y and z as 32-bit integers to scale and offset, a 16-bit intensity,
// a class, and 16-bit RGB in the formats that have it.

#include <algorithm>
#include <string>

#include "formats/las_header.h"

namespace {

constexpr std::size_t intensity_offset = 12;
// Formats 0 to 5 keep the class in the low 5 bits of byte 15 (the others are flags); 6 to 10
// give it byte 16 of its own.
constexpr std::size_t class_offset = 15;
constexpr std::uint8_t class_bits = 0x1F;
constexpr std::size_t wide_class_offset = 16;

}  // namespace

void read_las(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    const LasHeader header = read_las_header(source);
    if (header.compressed) {
        read_laz(source, header, options, cloud);
        return;
    }
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
    const std::uint32_t rgb = las_point_formats[header.point_format].rgb_offset;
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
    drop_colors_of_one_value(cloud);
}
