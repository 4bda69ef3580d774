#pragma once

// A small writer of compressed LAS (LAZ) for the tests and the benchmark: the encoder that
// mirrors the reader's decoder, for pointwise chunks of POINT10, GPSTIME11, RGB12 and BYTE
// (point formats 0 to 3 with extra bytes) and for layered chunks of POINT14 with RGB14 or
// RGBNIR14 (point formats 6 to 8, whose attributes other than x, y, z, the returns, the
// scanner channel, the time and the colour stay as in each chunk's first point), in chunks of
// a fixed number of points or of counts of their own.

#include <cstdint>
#include <string>
#include <vector>

struct LazWriterPoint {
    std::int32_t x = 0, y = 0, z = 0;
    std::uint16_t intensity = 0;
    // Point formats 0 to 5: return number (bits 0-2), number of returns (3-5), scan direction
    // (6), edge (7); 6 to 10: return number (bits 0-3), number of returns (4-7).
    std::uint8_t return_byte = 0x09;
    // Point formats 6 to 10: the scanner channel, 0 to 3.
    std::uint8_t channel = 0;
    std::uint8_t classification = 0;
    std::uint8_t scan_angle = 0;
    std::uint8_t user_data = 0;
    std::uint16_t source = 0;
    double gps_time = 0.0;
    std::uint16_t rgb[3] = {0, 0, 0};
    std::uint16_t nir = 0;
    // Extra bytes beyond the point format's.
    std::vector<std::uint8_t> extra;
};

struct LazWriterLayout {
    int version_minor = 2;
    // 0 to 3, 6 to 8.
    int point_format = 3;
    std::uint16_t extra_bytes = 0;
    // Points a chunk; empty chunk_counts makes every chunk but the last this long.
    std::uint32_t chunk_size = 50000;
    // Where not empty, the chunks have these counts and the record says so.
    std::vector<std::uint32_t> chunk_counts;
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0.0, 0.0, 0.0};
};

// Where the parts of a written file lie, for tests that break them.
struct LazFileParts {
    std::size_t record_offset;
    std::size_t point_offset;
    std::vector<std::size_t> chunk_offsets;
    std::size_t table_offset;
};

std::string laz_file(const LazWriterLayout& layout, const std::vector<LazWriterPoint>& points,
                     LazFileParts* parts = nullptr);

// The same points in plain LAS, the twin that a LAZ file must read as.
std::string las_file(const LazWriterLayout& layout, const std::vector<LazWriterPoint>& points);
