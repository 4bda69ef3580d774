// Compressed LAS (LAZ) against its plain twin: files written by the tests' own encoder, of
// point formats 0 to 3 with colours of 8 and 16 bits, extra bytes, GPS times that jump between
// sequences, in chunks of fixed and of varying size; the sample files of other tools where
// they are at hand; and files broken in each of their parts.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "formats/point_file.h"
#include "tests/laz_writer.h"

namespace {

// A fixed sequence of pseudo-random numbers.
struct Sequence {
    std::uint32_t state = 2024;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    std::int32_t around(std::int32_t spread) {
        return static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(2 * spread + 1)) -
               spread;
    }
};

// A flight line of sorts: points a small step apart with now and then a jump, pulses of one to
// three returns sharing a time, attributes that change now and then, and times that jump to a
// new sequence (more than 32 bits away) and back. For layered chunks (point formats 6 to 8)
// the points come from four scanner channels in turn, with up to 15 returns, and keep the
// attributes that the writer does not encode.
std::vector<LazWriterPoint> survey(std::size_t count, bool sixteen_bit, std::uint16_t extra,
                                   bool layered = false) {
    Sequence random;
    std::vector<LazWriterPoint> points(count);
    // Coordinates wrap around 32 bits, as the decoder's sums do.
    std::uint32_t x = 100000, y = 50000, z = 3000;
    double time = 1000.0;
    std::uint32_t returns = 1, number = 1;
    for (std::size_t i = 0; i < count; ++i) {
        LazWriterPoint& p = points[i];
        const bool jump = random.next() % 50 == 0;
        x += static_cast<std::uint32_t>(jump ? random.around(1 << 28) : 10 + random.around(3));
        y += static_cast<std::uint32_t>(jump ? random.around(1 << 20) : random.around(40));
        z += static_cast<std::uint32_t>(random.around(jump ? 100000 : 20));
        p.x = static_cast<std::int32_t>(x);
        p.y = static_cast<std::int32_t>(y);
        p.z = static_cast<std::int32_t>(z);
        if (number >= returns) {
            returns = 1 + random.next() % (layered && i % 200 < 20 ? 15 : 3);
            number = 1;
            time += random.next() % 7 == 0 ? 0.5 : 0.000013;
            if (i % 400 == 399) {
                time = time > 1e6 ? time - 5e8 : time + 5e8;
            }
        } else {
            ++number;
        }
        p.gps_time = time;
        if (layered) {
            // Now and then a return number that is not one more or less than the last.
            p.return_byte = static_cast<std::uint8_t>((i % 211 == 0 ? (number + 5) % 16 : number) |
                                                      returns << 4);
            p.channel = static_cast<std::uint8_t>(i / 60 % 7 % 4);
            p.nir = 300;
        } else {
            p.return_byte = static_cast<std::uint8_t>(number | returns << 3 | (i / 97 % 2) << 6);
            p.intensity = static_cast<std::uint16_t>(random.next() % 4 == 0 ? random.next() : 500);
            p.classification = static_cast<std::uint8_t>(i / 300 % 3 + 1);
            p.scan_angle = static_cast<std::uint8_t>(random.around(30));
            p.user_data = static_cast<std::uint8_t>(i / 500);
            p.source = static_cast<std::uint16_t>(7 + i / 700);
        }
        const std::uint32_t shade = random.next();
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t value = (shade >> (8 * c)) & 0xFF;
            p.rgb[c] = static_cast<std::uint16_t>(sixteen_bit ? value * 257 : value);
        }
        // Every third point is grey.
        if (i % 3 == 0) {
            p.rgb[1] = p.rgb[2] = p.rgb[0];
        }
        for (std::uint16_t b = 0; b < extra; ++b) {
            p.extra.push_back(static_cast<std::uint8_t>(layered ? b : random.next()));
        }
    }
    return points;
}

ReadResult read_bytes(const std::string& bytes, Shift shift = Shift::none) {
    return read_point_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            "a.laz", ReadOptions{shift, nullptr});
}

// Whether two points are the same bit for bit, colour included.
bool same_bits(const Point& a, const Point& b) {
    const auto bits = [](const Point& p) {
        return std::tuple(std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y),
                          std::bit_cast<std::uint32_t>(p.z), std::bit_cast<std::uint32_t>(p.color));
    };
    return bits(a) == bits(b);
}

bool same_points(const std::vector<Point>& a, const std::vector<Point>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_bits);
}

void expect_same_cloud(const ReadResult& laz, const ReadResult& las, const std::string& what) {
    ASSERT_EQ(laz.error, "") << what;
    ASSERT_EQ(las.error, "") << what;
    EXPECT_EQ(laz.cloud.format, las.cloud.format + ", compressed") << what;
    EXPECT_EQ(laz.cloud.has_colors, las.cloud.has_colors) << what;
    EXPECT_EQ(laz.cloud.skipped_points, las.cloud.skipped_points) << what;
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_EQ(laz.cloud.shift[axis], las.cloud.shift[axis]) << what;
    }
    ASSERT_EQ(laz.cloud.points.size(), las.cloud.points.size()) << what;
    for (std::size_t i = 0; i < las.cloud.points.size(); ++i) {
        ASSERT_TRUE(same_bits(laz.cloud.points[i], las.cloud.points[i])) << what << ": point " << i;
    }
}

TEST(Laz, ReadsAsItsPlainTwinInEveryFormatAndChunking) {
    struct Case {
        const char* what;
        LazWriterLayout layout;
        bool sixteen_bit;
        std::size_t count;
    };
    const auto layout = [](int format, std::uint16_t extra, std::uint32_t chunk,
                           std::vector<std::uint32_t> counts, int minor = 2) {
        LazWriterLayout l;
        l.point_format = format;
        l.extra_bytes = extra;
        l.chunk_size = chunk;
        l.chunk_counts = std::move(counts);
        l.version_minor = minor;
        l.offset[0] = 665000.0;
        l.offset[1] = 5648000.0;
        return l;
    };
    const Case cases[] = {
        {"format 0, chunks of 1,000", layout(0, 0, 1000, {}), false, 3500},
        {"format 1 with 3 extra bytes, chunks of 333", layout(1, 3, 333, {}), false, 2000},
        {"format 2, 8-bit colours, chunks of varying size", layout(2, 0, 0, {1, 999, 1500, 500}),
         false, 3000},
        {"format 3, 16-bit colours, one chunk, LAS 1.4", layout(3, 0, 50000, {}, 4), true, 4000},
        {"format 3, 8-bit colours, one point a chunk", layout(3, 1, 1, {}), false, 40},
        {"layered format 6, chunks of 700", layout(6, 0, 700, {}, 4), false, 3000},
        {"layered format 7 with 2 extra bytes, chunks of varying size",
         layout(7, 2, 0, {1, 2, 1997, 1000}, 4), true, 3000},
        {"layered format 8, 8-bit colours, one chunk", layout(8, 0, 50000, {}, 4), false, 3000},
    };
    for (const Case& c : cases) {
        const std::vector<LazWriterPoint> points =
            survey(c.count, c.sixteen_bit, c.layout.extra_bytes, c.layout.point_format >= 6);
        const std::string laz = laz_file(c.layout, points);
        const std::string las = las_file(c.layout, points);
        for (const Shift shift : {Shift::none, Shift::always}) {
            expect_same_cloud(read_bytes(laz, shift), read_bytes(las, shift), c.what);
        }
    }
}

// One value above 255 in the last chunk makes the whole file's colours 16-bit: the 8-bit
// values of the chunks before it (decoded at the same time) turn black, as in plain LAS.
TEST(Laz, OneSixteenBitColourInAnyChunkMakesTheWholeFileSixteenBit) {
    LazWriterLayout layout;
    layout.point_format = 2;
    layout.chunk_size = 100;
    std::vector<LazWriterPoint> points = survey(1000, false, 0);
    points.back().rgb[2] = 0x1234;
    const ReadResult laz = read_bytes(laz_file(layout, points));
    expect_same_cloud(laz, read_bytes(las_file(layout, points)), "one 16-bit colour");
    ASSERT_EQ(laz.error, "");
    EXPECT_EQ(laz.cloud.points.front().color, 0.0f);
    EXPECT_EQ(laz.cloud.points.back().color, static_cast<float>(0x12));
}

std::filesystem::path shared_clouds() { return POINTCLOUD_SHARED_CLOUDS; }

ReadResult read_shared(const char* name) {
    return read_point_file((shared_clouds() / name).string(), ReadOptions{Shift::none, nullptr});
}

// Files written by other tools: the same survey as LAZ in one pointwise chunk, and as a
// cloud-optimised LAS 1.4 file of layered chunks of varying size, in another order.
TEST(Laz, SampleFilesOfOtherToolsReadAsTheirPlainTwin) {
    if (!std::filesystem::exists(shared_clouds() / "las_simple.laz")) {
        GTEST_SKIP() << "no sample files at " << shared_clouds();
    }
    const ReadResult las = read_shared("las_simple.las");
    expect_same_cloud(read_shared("las_simple.laz"), las, "las_simple.laz");

    const ReadResult copc = read_shared("las_simple.copc.laz");
    ASSERT_EQ(copc.error, "");
    EXPECT_EQ(copc.cloud.format, "LAS 1.4, point format 7, compressed");
    ASSERT_EQ(copc.cloud.points.size(), 1065u);
    const auto sorted = [](std::vector<Point> points) {
        std::sort(points.begin(), points.end(), [](const Point& a, const Point& b) {
            return std::tie(a.x, a.y, a.z, a.color) < std::tie(b.x, b.y, b.z, b.color);
        });
        return points;
    };
    EXPECT_TRUE(same_points(sorted(copc.cloud.points), sorted(las.cloud.points)));
}

std::string with_u32(std::string bytes, std::size_t at, std::uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
    return bytes;
}

std::string with_u64(std::string bytes, std::size_t at, std::uint64_t value) {
    std::memcpy(bytes.data() + at, &value, 8);
    return bytes;
}

TEST(Laz, BrokenFilesGiveOneLineNamingTheFault) {
    LazWriterLayout layout;
    layout.chunk_size = 600;
    const std::vector<LazWriterPoint> points = survey(2000, true, 0);
    LazFileParts parts;
    const std::string laz = laz_file(layout, points, &parts);
    ASSERT_EQ(read_bytes(laz).error, "");
    // The record's fields: chunk size at 12, items from 34, each type, size and version.
    const std::size_t record = parts.record_offset;
    std::string noisy_chunk = laz;
    Sequence random;
    for (std::size_t at = parts.chunk_offsets[1] + 40; at < parts.chunk_offsets[2]; ++at) {
        noisy_chunk[at] = static_cast<char>(random.next());
    }
    // A 1.4 header that claims 2^40 points.
    LazWriterLayout layout_1_4 = layout;
    layout_1_4.version_minor = 4;
    const std::string laz_1_4 = laz_file(layout_1_4, points);
    const struct {
        const char* what;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"cut in half", laz.substr(0, laz.size() / 2), "chunk table's offset"},
        {"cut inside the chunk table", laz.substr(0, parts.table_offset + 12),
         "chunk table is truncated or corrupt"},
        {"cut inside the first chunk", laz.substr(0, parts.chunk_offsets[0] + 10),
         "chunk table's offset"},
        {"a chunk table with one chunk less", with_u32(laz, parts.table_offset + 4, 3),
         "lists 3 chunks and the 2,000 points of the header make 4 of 600"},
        {"a chunk table of 2^32 - 1 chunks", with_u32(laz, parts.table_offset + 4, 0xFFFFFFFFu),
         "4,294,967,295 chunks in"},
        {"chunks that the record says are longer", with_u32(laz, record + 12, 700),
         "lists 4 chunks"},
        {"chunks that the record says are shorter", with_u32(laz, record + 12, 500),
         "chunk 1 of 4 is corrupt: its bytes do not end where its points do"},
        {"a header that claims more points", with_u32(laz, 107, 2400), "chunk 4 of 4 is corrupt"},
        {"2^40 points", with_u64(laz_1_4, 247, std::uint64_t{1} << 40),
         "1,099,511,627,776 points of the header make"},
        {"2^40 points in chunks of varying size",
         with_u32(with_u64(laz_1_4, 247, std::uint64_t{1} << 40), record + 148 + 12, 0xFFFFFFFF),
         "chunk table"},
        {"an item of unknown type", with_u32(laz, record + 34, 77 | 20 << 16), "unknown type 77"},
        {"items of the first version", with_u32(laz, record + 44, 1 | 8 << 16),
         "GPSTIME11 is of version 1"},
        {"items of another point format", with_u32(laz, record + 40, 8 | 6 << 16),
         "are not those of point format 3"},
        {"no LAZ record", with_u32(laz, 100, 0), "no LAZ record"},
        {"a chunk table offset past the end", with_u64(laz, parts.point_offset, 1u << 30),
         "lies outside the file"},
        {"noise in a chunk", noisy_chunk, "chunk 2 of 4 is corrupt"},
    };
    for (const auto& bad : cases) {
        const ReadResult result = read_bytes(bad.bytes);
        EXPECT_NE(result.error.find(bad.reason), std::string::npos)
            << bad.what << ": " << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
        EXPECT_TRUE(result.cloud.points.empty()) << bad.what;
    }
}

}  // namespace
