#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/point_file.h"
#include "scene/scene.h"
#include "tests/point_files_writer.h"

namespace {

// The demo's lattice of a million blue points, as the files below store it.
const std::vector<Point>& lattice() {
    static const std::vector<Point> points = [] {
        std::vector<Point> built(cube_point_count);
        build_cube(built, 50.0f);
        return built;
    }();
    return points;
}

constexpr float color_of(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return static_cast<float>(r << 16 | g << 8 | b);
}

// The first 100,000 points of the lattice (enough to decode compressed PCD in several
// windows), with colours that tell every channel apart, and an intensity and a class a point.
const PointSet& coloured_points() {
    static const PointSet set = [] {
        PointSet built{{lattice().begin(), lattice().begin() + 100'000}, {}, {}};
        const float colors[] = {color_of(255, 0, 0), color_of(0, 255, 0), color_of(12, 34, 56),
                                color_of(250, 128, 3)};
        for (std::size_t i = 0; i < built.points.size(); ++i) {
            built.points[i].color = colors[i % 4];
            built.intensities.push_back(static_cast<std::uint16_t>(i * 37));
            built.classes.push_back(static_cast<std::uint8_t>(i));
        }
        return built;
    }();
    return set;
}

// The same without intensities and classes.
const PointSet& coloured_points_alone() {
    static const PointSet set{coloured_points().points, {}, {}};
    return set;
}

ReadResult read_bytes(const std::string& bytes, const std::string& name,
                      Shift shift = Shift::none) {
    return read_point_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            name, ReadOptions{shift, nullptr});
}

ReadResult read_with_extras(const std::string& bytes, const std::string& name) {
    return read_point_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            name, ReadOptions{Shift::none, nullptr, true, true});
}

// Each layout of each format (but text) with the coloured points, read with its intensities
// and classes where the file carries them.
struct LayoutTrip {
    const char* format;
    const char* name;
    std::string (*write)(const PointSet& set);
    bool extras;
};

const LayoutTrip layout_trips[] = {
    {"PLY ascii", "a.ply",
     [](const PointSet& set) {
         return ply_bytes(set, {.format = "ascii", .other_elements = true});
     },
     false},
    {"PLY ascii", "a.ply",
     [](const PointSet& set) {
         return ply_bytes(set, {.format = "ascii", .channels = ChannelType::f32});
     },
     true},
    {"PLY binary little-endian", "a.ply",
     [](const PointSet& set) { return ply_bytes(set, {.other_elements = true}); }, false},
    {"PLY binary little-endian", "a.ply",
     [](const PointSet& set) { return ply_bytes(set, {.channels = ChannelType::f32}); }, true},
    {"PLY binary big-endian", "a.ply",
     [](const PointSet& set) {
         return ply_bytes(set, {.format = "binary_big_endian",
                                .channels = ChannelType::u16,
                                .double_coordinates = true,
                                .newer_type_names = true});
     },
     false},
    {"LAS 1.2, point format 3", "a.las", [](const PointSet& set) { return las_bytes(set, {}); },
     true},
    {"LAS 1.4, point format 7", "a.las",
     [](const PointSet& set) {
         return las_bytes(set, {.minor = 4, .point_format = 7, .extra_bytes = 4});
     },
     true},
    {"PCD 0.7 ascii", "a.pcd",
     [](const PointSet& set) { return pcd_bytes(set, {.data = "ascii"}); }, false},
    {"PCD 0.7 ascii", "a.pcd",
     [](const PointSet& set) {
         return pcd_bytes(set, {.data = "ascii", .color = PcdColor::rgb_float_text});
     },
     false},
    {"PCD 0.7 ascii", "a.pcd",
     [](const PointSet& set) {
         return pcd_bytes(set, {.data = "ascii", .color = PcdColor::channels});
     },
     true},
    {"PCD 0.7 binary", "a.pcd",
     [](const PointSet& set) { return pcd_bytes(set, {.normals = true}); }, false},
    {"PCD 0.7 binary", "a.pcd",
     [](const PointSet& set) { return pcd_bytes(set, {.color = PcdColor::rgba_unsigned}); }, true},
    {"PCD 0.7 binary", "a.pcd",
     [](const PointSet& set) {
         return pcd_bytes(set, {.color = PcdColor::channels, .channels = ChannelType::u16});
     },
     false},
    {"PCD 0.7 binary_compressed", "a.pcd",
     [](const PointSet& set) {
         return pcd_bytes(set, {.data = "binary_compressed", .normals = true});
     },
     true},
    {"PCD 0.7 binary_compressed", "a.pcd",
     [](const PointSet& set) {
         return pcd_bytes(set, {.data = "binary_compressed",
                                .color = PcdColor::channels,
                                .channels = ChannelType::f32});
     },
     false},
};

TEST(PointFiles, EveryLayoutGivesBackTheColouredPointsBitForBit) {
    for (const LayoutTrip& trip : layout_trips) {
        const PointSet& written = trip.extras ? coloured_points() : coloured_points_alone();
        const ReadResult result = read_with_extras(trip.write(written), trip.name);
        const std::string layout =
            std::string(trip.format) + " #" + std::to_string(&trip - std::begin(layout_trips));
        ASSERT_EQ(result.error, "") << layout;
        const PointCloud& cloud = result.cloud;
        EXPECT_EQ(cloud.format, trip.format);
        EXPECT_TRUE(cloud.has_colors) << layout;
        EXPECT_EQ(cloud.skipped_points, 0u) << layout;
        ASSERT_EQ(cloud.points.size(), written.points.size()) << layout;
        EXPECT_EQ(std::memcmp(cloud.points.data(), written.points.data(),
                              written.points.size() * sizeof(Point)),
                  0)
            << layout << ": the first point reads as colour " << cloud.points[0].color
            << ", the third " << cloud.points[2].color;
        if (!trip.extras) {
            EXPECT_TRUE(cloud.intensities.empty() && cloud.classes.empty()) << layout;
            continue;
        }
        EXPECT_EQ(cloud.intensities, written.intensities) << layout;
        // Formats 0 to 5 of LAS keep flags in the top 3 bits of the class's byte.
        std::vector<std::uint8_t> classes = written.classes;
        if (cloud.format == "LAS 1.2, point format 3") {
            for (std::uint8_t& value : classes) {
                value &= 0x1F;
            }
        }
        EXPECT_EQ(cloud.classes, classes) << layout;
    }
}

std::uint64_t progress_calls = 0;
std::uint64_t progress_read = 0;
std::uint64_t progress_total = 0;

TEST(PointFiles, ReadsAFileByItsUtf8NameAndTellsItsProgress) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / std::filesystem::path(u8"fenêtre_nuage.las");
    std::ofstream(path, std::ios::binary) << las_bytes(PointSet{lattice(), {}, {}}, {});
    const auto progress = [](std::uint64_t read, std::uint64_t total) {
        EXPECT_LE(read, total);
        ++progress_calls;
        progress_read = read;
        progress_total = total;
    };
    const ReadResult result = read_point_file(
        reinterpret_cast<const char*>(path.u8string().c_str()), ReadOptions{Shift::none, progress});
    const std::uint64_t size = std::filesystem::file_size(path);
    std::filesystem::remove(path);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points.size(), lattice().size());
    // Some 34 MB, told every 16 MB and at the end.
    EXPECT_GE(progress_calls, 2u);
    EXPECT_EQ(progress_read, size);
    EXPECT_EQ(progress_total, size);
}

// A file whose 16-bit colour fields hold 8-bit values is told by all of its values.
TEST(PointFiles, LasColoursAreEightBitOnlyWhenNoValueOfTheFileExceeds255) {
    std::string eight_bit = las_bytes(coloured_points(), {.eight_bit_colors = true});
    ReadResult result = read_bytes(eight_bit, "a.las");
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points.front().color, color_of(255, 0, 0));
    EXPECT_EQ(result.cloud.points.back().color, color_of(250, 128, 3));
    // The last point's blue of 0xFF03 makes every colour 16-bit: the others' high bytes are 0.
    eight_bit[eight_bit.size() - 1] = '\xFF';
    result = read_bytes(eight_bit, "a.las");
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points.front().color, 0.0f);
    EXPECT_EQ(result.cloud.points.back().color, blue);
}

// Many LAS files of the formats with colours leave them all 0; colours that are all one value
// say nothing, in LAS, where the point format dictates the fields. In the other formats a writer
// adds colour fields only to fill them, even with one colour.
TEST(PointFiles, LasColoursOfOneValueAreNoColours) {
    PointSet black = coloured_points_alone();
    for (Point& point : black.points) {
        point.color = color_of(7, 7, 7);
    }
    ReadResult result = read_bytes(las_bytes(black, {}), "a.las");
    ASSERT_EQ(result.error, "");
    EXPECT_FALSE(result.cloud.has_colors);
    EXPECT_TRUE(result.cloud.colors_all_one_value);
    EXPECT_EQ(result.cloud.points.front().color, 0.0f);
    EXPECT_EQ(result.cloud.points.back().color, 0.0f);
    result = read_bytes(ply_bytes(black, {}), "a.ply");
    EXPECT_TRUE(result.cloud.has_colors);
    EXPECT_FALSE(result.cloud.colors_all_one_value);
    black.points.back().color = color_of(7, 7, 8);
    result = read_bytes(las_bytes(black, {}), "a.las");
    EXPECT_TRUE(result.cloud.has_colors);
    EXPECT_FALSE(result.cloud.colors_all_one_value);
    EXPECT_EQ(result.cloud.points.front().color, color_of(7, 7, 7));
}

// The fuzz target's kept inputs, each a byte that picks the name (see fuzz_formats.cpp) and a
// file: all of them files that read but the truncated LAZ, so that fuzzing starts from inputs
// that reach the decoding of points and colours.
TEST(PointFiles, KeptFuzzInputsRead) {
    const char* names[] = {"a.ply", "a.las", "a.pcd", "a.xyz", "a.pts", "a.csv", "a.laz", "a.txt"};
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(POINTCLOUD_FORMAT_SEEDS)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty()) << entry.path();
        const std::string name = names[bytes[0] & 7];
        const ReadResult result = read_bytes(bytes.substr(1), name);
        ++seeds;
        if (entry.path().filename().string().find("truncated") != std::string::npos) {
            EXPECT_NE(result.error, "") << entry.path();
        } else {
            EXPECT_EQ(result.error, "") << entry.path();
            EXPECT_FALSE(result.cloud.points.empty()) << entry.path();
        }
    }
    EXPECT_GE(seeds, 15);
}

// A packed colour in text is the integer of its bits, or in a float field the float that has
// them; a float colour whose bits are lost (NaN) is black.
TEST(PointFiles, PcdTextColoursByTheirBits) {
    const std::string header =
        "VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
        "WIDTH 3\nHEIGHT 1\nPOINTS 3\nDATA ascii\n";
    ReadResult result =
        read_bytes(header + "1 2 3 4294901760\n1 2 3 4.2108e+06\n1 2 3 nan\n", "a.pcd");
    ASSERT_EQ(result.error, "");
    ASSERT_EQ(result.cloud.points.size(), 3u);
    EXPECT_EQ(result.cloud.points[0].color, color_of(255, 0, 0));
    EXPECT_EQ(result.cloud.points[1].color,
              static_cast<float>(std::bit_cast<std::uint32_t>(4.2108e+06f) & 0xFFFFFFu));
    EXPECT_EQ(result.cloud.points[2].color, 0.0f);
    // Signed and unsigned fields are the integers of the bits.
    result = read_bytes(
        "FIELDS x y z rgba\nSIZE 4 4 4 4\nTYPE F F F I\nWIDTH 2\nHEIGHT 1\nDATA ascii\n"
        "1 2 3 -16711936\n1 2 3 65280\n",
        "a.pcd");
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points[0].color, color_of(0, 255, 0));
    EXPECT_EQ(result.cloud.points[1].color, color_of(0, 255, 0));
}

// Float intensities within 0..1 are fractions of the whole range; as soon as one exceeds 1,
// they are all taken as they are.
TEST(PointFiles, PcdIntensities) {
    const std::string header =
        "FIELDS x y z intensity\nSIZE 4 4 4 4\nTYPE F F F F\nWIDTH 3\nHEIGHT 1\nDATA ascii\n";
    const ReadOptions options{Shift::none, nullptr, true, false};
    const std::string fractions = header + "1 2 3 0\n1 2 3 0.5\n1 2 3 1\n";
    ReadResult result = read_point_bytes(reinterpret_cast<const unsigned char*>(fractions.data()),
                                         fractions.size(), "a.pcd", options);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.intensities, (std::vector<std::uint16_t>{0, 32768, 65535}));
    const std::string whole = header + "1 2 3 0.75\n1 2 3 300\n1 2 3 70000\n";
    result = read_point_bytes(reinterpret_cast<const unsigned char*>(whole.data()), whole.size(),
                              "a.pcd", options);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.intensities, (std::vector<std::uint16_t>{1, 300, 65535}));
    EXPECT_TRUE(result.cloud.classes.empty());
    // Not asked for, not kept.
    EXPECT_TRUE(read_bytes(whole, "a.pcd").cloud.intensities.empty());
}

std::string with_byte(std::string bytes, std::size_t at, char value) {
    bytes[at] = value;
    return bytes;
}

std::string replaced(std::string bytes, const std::string& from, const std::string& to) {
    return bytes.replace(bytes.find(from), from.size(), to);
}

// A line too long to be a header is refused wherever it ends: a file read through its buffer
// and the same bytes in memory say the same (found by fuzzing through a file).
TEST(PointFiles, ALineTooLongIsRefusedFromAFileAsFromMemory) {
    const std::string bytes = "ply\r\n" + std::string(4'500'000, 'Z') + "\nend_header\n";
    const auto path = std::filesystem::temp_directory_path() / "pointcloud_long_line.ply";
    std::ofstream(path, std::ios::binary) << bytes;
    const std::string from_file = read_point_file(path.string(), ReadOptions{}).error;
    std::filesystem::remove(path);
    EXPECT_NE(from_file.find("longer than"), std::string::npos) << from_file;
    EXPECT_EQ(read_bytes(bytes, "a.ply").error, from_file);
}

TEST(PointFiles, FilesThatCannotBeReadGiveOneLine) {
    const std::string ply = ply_bytes(coloured_points_alone(), {.other_elements = true});
    const std::string las = las_bytes(coloured_points_alone(), {});
    std::string las_1_4 = las_bytes(coloured_points_alone(), {.minor = 4});
    las_1_4[247 + 5] = '\x01';
    const std::string pcd =
        pcd_bytes(coloured_points_alone(), {.data = "binary_compressed", .normals = true});
    std::string random_bytes;
    for (std::uint32_t state = 1; random_bytes.size() < 4096;) {
        state = state * 1664525u + 1013904223u;
        random_bytes += static_cast<char>(state >> 24);
    }
    const std::size_t pcd_data = pcd.find("DATA binary_compressed\n") + 23;
    const struct {
        std::string bytes;
        const char* name;
        const char* reason;
    } cases[] = {
        {"", "a.ply", "the file is empty"},
        {ply.substr(0, ply.size() / 2), "a.ply", "truncated"},
        {replaced(ply, "vertex 100000", "vertex 100001"), "a.ply", "truncated"},
        {replaced(ply, "vertex 100000", "vertex 1099511627776"), "a.ply", "truncated"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "a.ply", "end_header"},
        {las.substr(0, las.size() - 1), "a.las", "truncated"},
        // Only the check of the count against the bytes there says so; the points are never
        // allocated.
        {with_byte(las, 110, '\x01'), "a.las",
         "truncated: the header promises 16,877,216 points of 34 bytes and 3,400,000 bytes "
         "follow it"},
        {las_1_4, "a.las", "the header promises 1,099,511,727,776 points of 34 bytes"},
        {with_byte(las, 104, '\x83'), "a.las", "no LAZ record"},
        {replaced(pcd, "WIDTH", "WIDTH 1"), "a.pcd", "WIDTH"},
        {with_byte(pcd, pcd_data + 8, '\x20'), "a.pcd", "corrupt"},
        {pcd.substr(0, pcd.size() - 5), "a.pcd", "truncated"},
        {random_bytes, "a.ply", "not a PLY"},
    };
    for (const auto& bad : cases) {
        const std::string error = read_bytes(bad.bytes, bad.name).error;
        EXPECT_NE(error.find(bad.reason), std::string::npos) << bad.reason << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    EXPECT_EQ(read_point_file(folder.string(), ReadOptions{}).error, "a folder, not a file");
    EXPECT_EQ(read_point_file((folder / "no such cloud.ply").string(), ReadOptions{}).error,
              "no such file");
}

}  // namespace
