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

template <typename T>
void put(std::string& out, T value, bool big_endian = false) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if (big_endian != (std::endian::native == std::endian::big)) {
        std::reverse(std::begin(bytes), std::end(bytes));
    }
    out.append(reinterpret_cast<const char*>(bytes), sizeof(T));
}

std::string number(double value) { return std::to_string(static_cast<long long>(value)); }

// --- Small writers of each format, of the lattice with RGB 0, 0, 255 ---

std::string ply_file(const std::string& format) {
    const bool ascii = format == "ascii";
    const bool big = format == "binary_big_endian";
    // The big-endian file uses the newer type names; the others lead with an element of lists
    // and end with faces, which the reader passes over.
    std::string out = "ply\nformat " + format + " 1.0\ncomment made by a test\n";
    if (!big) {
        out += "element note 2\nproperty list uchar int items\n";
    }
    out += "element vertex " + std::to_string(lattice().size()) + "\n";
    out += big ? "property float32 x\nproperty float32 y\nproperty float32 z\n"
                 "property uint8 red\nproperty uint8 green\nproperty uint8 blue\n"
               : "property float x\nproperty float y\nproperty float z\nproperty float nx\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    out += "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
    if (ascii) {
        out += "1 7\n2 8 9\n";
    } else if (!big) {
        out += std::string("\x01\x07\0\0\0\x02\x08\0\0\0\x09\0\0\0", 14);
    }
    for (const Point& p : lattice()) {
        if (ascii) {
            out += number(p.x) + " " + number(p.y) + " " + number(p.z) + " 0.5 0 0 255\n";
            continue;
        }
        for (const float value : {p.x, p.y, p.z}) {
            put(out, value, big);
        }
        if (!big) {
            put(out, 0.5f);
        }
        out += std::string("\0\0\xFF", 3);
    }
    return out;
}

// A LAS file of the lattice, at a scale of 1/4 from an offset of 100 (exact in binary), with
// 16-bit RGB of blue; 1.4 files leave the legacy count at 0 and carry extra bytes.
std::string las_file(int minor, int format, std::uint16_t blue_value) {
    const std::uint32_t header_size = minor >= 4 ? 375 : 227;
    const std::uint16_t record = format == 3 ? 34 : 40;
    const std::uint32_t rgb_offset = format == 3 ? 28 : 30;
    std::string out(header_size, '\0');
    out.replace(0, 4, "LASF");
    out[24] = 1;
    out[25] = static_cast<char>(minor);
    const std::uint64_t count = lattice().size();
    std::string fields;
    put(fields, static_cast<std::uint16_t>(header_size));
    put(fields, header_size);
    out.replace(94, fields.size(), fields);
    out[104] = static_cast<char>(format);
    fields.clear();
    put(fields, record);
    put(fields, static_cast<std::uint32_t>(minor >= 4 ? 0 : count));
    out.replace(105, fields.size(), fields);
    fields.clear();
    for (double value : {0.25, 0.25, 0.25, 100.0, 100.0, 100.0}) {
        put(fields, value);
    }
    out.replace(131, fields.size(), fields);
    if (minor >= 4) {
        fields.clear();
        put(fields, count);
        out.replace(247, fields.size(), fields);
    }
    for (const Point& p : lattice()) {
        std::string point(record, '\0');
        std::string values;
        for (const float value : {p.x, p.y, p.z}) {
            put(values, static_cast<std::int32_t>((value - 100.0) * 4.0));
        }
        point.replace(0, values.size(), values);
        values.clear();
        put(values, std::uint16_t{0});
        put(values, std::uint16_t{0});
        put(values, blue_value);
        point.replace(rgb_offset, values.size(), values);
        out += point;
    }
    return out;
}

std::string pcd_file(const std::string& data) {
    const std::size_t count = lattice().size();
    // A normal of three values between z and the colour, which the reader passes over.
    std::string out =
        "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z normal rgb\nSIZE 4 4 4 4 4\n"
        "TYPE F F F F U\nCOUNT 1 1 1 3 1\nWIDTH " +
        std::to_string(count) + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " +
        std::to_string(count) + "\nDATA " + data + "\n";
    std::string stored;
    for (const Point& p : lattice()) {
        if (data == "ascii") {
            out += number(p.x) + " " + number(p.y) + " " + number(p.z) + " 0 0 1 255\n";
        } else if (data == "binary") {
            for (const float value : {p.x, p.y, p.z, 0.0f, 0.0f, 1.0f}) {
                put(out, value);
            }
            put(out, std::uint32_t{255});
        }
    }
    if (data == "binary_compressed") {
        // Field by field, stored as literal runs of 32 bytes.
        std::string fields;
        for (int field = 0; field < 7; ++field) {
            for (const Point& p : lattice()) {
                const float values[] = {p.x, p.y, p.z, 0.0f, 0.0f, 1.0f};
                field < 6 ? put(fields, values[field]) : put(fields, std::uint32_t{255});
            }
        }
        for (std::size_t at = 0; at < fields.size(); at += 32) {
            const std::size_t run = std::min<std::size_t>(32, fields.size() - at);
            stored += static_cast<char>(run - 1);
            stored.append(fields, at, run);
        }
        put(out, static_cast<std::uint32_t>(stored.size()));
        put(out, static_cast<std::uint32_t>(fields.size()));
    }
    return out + stored;
}

ReadResult read_bytes(const std::string& bytes, const std::string& name,
                      Shift shift = Shift::none) {
    return read_point_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            name, ReadOptions{shift, nullptr});
}

struct RoundTrip {
    const char* name;
    std::string (*write)();
    const char* format;
};

const RoundTrip round_trips[] = {
    {"a.ply", [] { return ply_file("ascii"); }, "PLY ascii"},
    {"a.ply", [] { return ply_file("binary_little_endian"); }, "PLY binary little-endian"},
    {"a.ply", [] { return ply_file("binary_big_endian"); }, "PLY binary big-endian"},
    {"a.las", [] { return las_file(2, 3, 0xFF00); }, "LAS 1.2, point format 3"},
    {"a.las", [] { return las_file(4, 7, 0xFFFF); }, "LAS 1.4, point format 7"},
    {"a.pcd", [] { return pcd_file("ascii"); }, "PCD 0.7 ascii"},
    {"a.pcd", [] { return pcd_file("binary"); }, "PCD 0.7 binary"},
    {"a.pcd", [] { return pcd_file("binary_compressed"); }, "PCD 0.7 binary_compressed"},
};

TEST(PointFiles, EveryFormatGivesBackTheLatticeBitForBit) {
    for (const RoundTrip& trip : round_trips) {
        const ReadResult result = read_bytes(trip.write(), trip.name);
        ASSERT_EQ(result.error, "") << trip.format;
        EXPECT_EQ(result.cloud.format, trip.format);
        EXPECT_TRUE(result.cloud.has_colors) << trip.format;
        EXPECT_EQ(result.cloud.skipped_points, 0u) << trip.format;
        ASSERT_EQ(result.cloud.points.size(), lattice().size()) << trip.format;
        EXPECT_EQ(std::memcmp(result.cloud.points.data(), lattice().data(),
                              lattice().size() * sizeof(Point)),
                  0)
            << trip.format;
    }
}

std::uint64_t progress_calls = 0;
std::uint64_t progress_read = 0;
std::uint64_t progress_total = 0;

TEST(PointFiles, ReadsAFileByItsUtf8NameAndTellsItsProgress) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / std::filesystem::path(u8"fenêtre_nuage.las");
    std::ofstream(path, std::ios::binary) << las_file(2, 3, 0xFF00);
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
    std::string eight_bit = las_file(2, 3, 200);
    ReadResult result = read_bytes(eight_bit, "a.las");
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points.front().color, 200.0f);
    EXPECT_EQ(result.cloud.points.back().color, 200.0f);
    // The last point's blue of 0xFF00 makes every colour 16-bit: 200 is then black.
    eight_bit[eight_bit.size() - 1] = '\xFF';
    result = read_bytes(eight_bit, "a.las");
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.points.front().color, 0.0f);
    EXPECT_EQ(result.cloud.points.back().color, blue);
}

std::string with_byte(std::string bytes, std::size_t at, char value) {
    bytes[at] = value;
    return bytes;
}

std::string replaced(std::string bytes, const std::string& from, const std::string& to) {
    return bytes.replace(bytes.find(from), from.size(), to);
}

TEST(PointFiles, FilesThatCannotBeReadGiveOneLine) {
    const std::string ply = ply_file("binary_little_endian");
    const std::string las = las_file(2, 3, 0xFF00);
    const std::string pcd = pcd_file("binary_compressed");
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
        {replaced(ply, "vertex 1000000", "vertex 1000001"), "a.ply", "truncated"},
        {replaced(ply, "vertex 1000000", "vertex 1099511627776"), "a.ply", "truncated"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "a.ply", "end_header"},
        {las.substr(0, las.size() - 1), "a.las", "truncated"},
        {with_byte(las, 110, '\x01'), "a.las", "truncated"},
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
