// The reader of text point files (.xyz, .txt, .csv, .pts) on the forms that other tools write.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/point_file.h"
#include "scene/scene.h"

namespace {

constexpr float color_of(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return static_cast<float>(r << 16 | g << 8 | b);
}

// Colours that differ in every channel, so that a swap of channels shows.
constexpr float red_255 = color_of(255, 0, 0);
constexpr float green_255 = color_of(0, 255, 0);
constexpr float mixed = color_of(12, 34, 56);

ReadResult read_text(const std::string& bytes, const std::string& name, Shift shift = Shift::none) {
    return read_point_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            name, ReadOptions{shift, nullptr});
}

struct Reading {
    const char* what;
    std::string bytes;
    const char* name;
    bool has_colors;
    std::vector<Point> points;
};

const Reading readings[] = {
    {"a byte-order mark and CRLF line ends",
     "\xEF\xBB\xBF"
     "1 2 3 255 0 0\r\n4 5 6 12 34 56\r\n",
     "a.xyz",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, mixed}}},
    {"CR line ends",
     "1 2 3 255 0 0\r4 5 6 0 255 0\r7 8 9 12 34 56",
     "a.txt",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, green_255}, {7, 8, 9, mixed}}},
    {"semicolons between the numbers",
     "1;2;3;255;0;0\n4;5;6;12;34;56\n",
     "a.csv",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, mixed}}},
    {"comment lines anywhere",
     "# made by hand\n1 2 3\n// halfway\n  # indented\n\n4 5 6\n#\n",
     "a.xyz",
     false,
     {{1, 2, 3, 0}, {4, 5, 6, 0}}},
    {"a count line", "2\n1 2 3\n4 5 6\n", "a.xyz", false, {{1, 2, 3, 0}, {4, 5, 6, 0}}},
    {"header lines of words, then a count line",
     "Points exported from the scanner\nunits: metres\n1\n1 2 3\n",
     "a.xyz",
     false,
     {{1, 2, 3, 0}}},
    {"decimal commas between semicolons",
     "1,5;2,5;3,5\n-4,25;0,5;6\n",
     "a.csv",
     false,
     {{1.5f, 2.5f, 3.5f, 0}, {-4.25f, 0.5f, 6, 0}}},
    {"decimal commas between tabs, with colours",
     "1,5\t2,5\t3,5\t12\t34\t56\n",
     "a.txt",
     true,
     {{1.5f, 2.5f, 3.5f, mixed}}},
    {"decimal commas between spaces", "1,5 2,5 3,5\n", "a.xyz", false, {{1.5f, 2.5f, 3.5f, 0}}},
    // With commas alone between them, commas part the numbers.
    {"whole numbers parted by commas",
     "100,200,300,255,0,0\n4,5,6,12,34,56\n",
     "a.csv",
     true,
     {{100, 200, 300, red_255}, {4, 5, 6, mixed}}},
    // The first line's 0 0 1 alone could be a colour; the file's other lines say normals.
    {"normals after x y z",
     "1 2 3 0 0 1\n4 5 6 0.6 0 -0.8\n",
     "a.xyz",
     false,
     {{1, 2, 3, 0}, {4, 5, 6, 0}}},
    {"intensity before the colour",
     "1 2 3 100 255 0 0\n4 5 6 -7 12 34 56\n",
     "a.xyz",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, mixed}}},
    {".pts in two blocks",
     "2\n1 2 3 -100 255 0 0\n4 5 6 50 0 255 0\n1\n7 8 9 0 12 34 56\n",
     "a.pts",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, green_255}, {7, 8, 9, mixed}}},
    {"names after a comment mark",
     "//X Y Z R G B\n1 2 3 255 0 0\n4 5 6 12 34 56\n",
     "a.txt",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, mixed}}},
    {"names between commas",
     "X,Y,Z,R,G,B\n1,2,3,255,0,0\n4,5,6,12,34,56\n",
     "a.csv",
     true,
     {{1, 2, 3, red_255}, {4, 5, 6, mixed}}},
    {"names of normals", "x y z nx ny nz\n1 2 3 0 0 1\n", "a.xyz", false, {{1, 2, 3, 0}}},
    {"names of normals before the colour",
     "x y z nx ny nz red green blue\n1 2 3 0 0 1 12 34 56\n",
     "a.xyz",
     true,
     {{1, 2, 3, mixed}}},
    {"names in another order",
     "\"Blue\";\"Green\";\"Red\";\"time\";\"Z\";\"Y\";\"X\"\n56;34;12;9;3;2;1\n",
     "a.csv",
     true,
     {{1, 2, 3, mixed}}},
    {"named colours from 0 to 1",
     "x y z r g b\n1 2 3 0.5 0 1\n4 5 6 1 1 1\n",
     "a.csv",
     true,
     {{1, 2, 3, color_of(128, 0, 255)}, {4, 5, 6, color_of(255, 255, 255)}}},
};

// Its assertions end the one reading, not the others.
void expect_points(const Reading& reading) {
    const ReadResult result = read_text(reading.bytes, reading.name);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.format, "text");
    EXPECT_EQ(result.cloud.has_colors, reading.has_colors);
    ASSERT_EQ(result.cloud.points.size(), reading.points.size());
    for (std::size_t i = 0; i < reading.points.size(); ++i) {
        const Point& got = result.cloud.points[i];
        const Point& want = reading.points[i];
        EXPECT_EQ(got.x, want.x) << "point " << i;
        EXPECT_EQ(got.y, want.y) << "point " << i;
        EXPECT_EQ(got.z, want.z) << "point " << i;
        EXPECT_EQ(got.color, want.color) << "point " << i;
    }
}

TEST(TextFiles, ReadsTheFormsThatOtherToolsWrite) {
    for (const Reading& reading : readings) {
        SCOPED_TRACE(reading.what);
        expect_points(reading);
    }
}

// The demo's lattice of a million blue points under a header of names, its numbers parted by
// commas, tabs and spaces at once.
TEST(TextFiles, GiveBackTheLatticeBitForBit) {
    std::vector<Point> lattice(cube_point_count);
    build_cube(lattice, 50.0f);
    const auto number = [](float value) { return std::to_string(static_cast<long long>(value)); };
    std::string text = "x,y,z,r,g,b\n";
    for (const Point& p : lattice) {
        text += number(p.x) + "," + number(p.y) + "\t" + number(p.z) + " 0 0 255\n";
    }
    const ReadResult result = read_text(text, "a.xyz");
    ASSERT_EQ(result.error, "");
    EXPECT_TRUE(result.cloud.has_colors);
    EXPECT_EQ(result.cloud.skipped_points, 0u);
    ASSERT_EQ(result.cloud.points.size(), lattice.size());
    EXPECT_EQ(
        std::memcmp(result.cloud.points.data(), lattice.data(), lattice.size() * sizeof(Point)), 0);
}

void expect_georeferenced_points_shifted(const ReadResult& result) {
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.cloud.shift[0], 665187.522077);
    EXPECT_EQ(result.cloud.shift[1], 5648349.895035);
    EXPECT_EQ(result.cloud.skipped_points, 1u);
    EXPECT_FALSE(result.cloud.has_colors);
    ASSERT_EQ(result.cloud.points.size(), 2u);
    const Point& second = result.cloud.points[1];
    EXPECT_NEAR(second.x, -0.117432, 1e-6);
    EXPECT_NEAR(second.y, -0.118996, 1e-6);
    EXPECT_NEAR(second.z, 3.089398, 1e-6);
    EXPECT_EQ(second.color, 0.0f);
}

TEST(TextFiles, ShiftKeepsTheDetailOfGeoreferencedPoints) {
    const std::string georeferenced =
        "665187.522077 5648349.895035 241.767693\n"
        "nan 0 0\n"
        "665187.404645 5648349.776039 244.857091\n";
    // Coordinates near the origin are kept as they are unless every file is to be shifted.
    const std::string near = "-60000.5 10 20\n3 4 5\n";
    EXPECT_EQ(read_text(near, "near.txt", Shift::when_far).cloud.points[1].x, 3.0f);
    EXPECT_EQ(read_text(near, "near.txt", Shift::always).cloud.points[1].x, 60003.5f);
    for (const Shift shift : {Shift::always, Shift::when_far}) {
        expect_georeferenced_points_shifted(read_text(georeferenced, "geo.txt", shift));
    }
}

TEST(TextFiles, FilesThatCannotBeReadGiveOneLine) {
    std::string random_bytes;
    for (std::uint32_t state = 1; random_bytes.size() < 4096;) {
        state = state * 1664525u + 1013904223u;
        random_bytes += static_cast<char>(state >> 24);
    }
    const struct {
        std::string bytes;
        const char* name;
        const char* reason;
    } cases[] = {
        {"1 2 3\n4 5\n", "a.xyz", "line 2: 2 numbers where 3 are needed"},
        {"1 2 3 255 0 0\n4 5 6\n", "a.xyz", "line 2: 3 numbers where 6 are needed"},
        {"1 2 3\n4\n", "a.xyz", "line 2: 1 number where 3 are needed"},
        {"x y z\n1 2 3\n4 five 6\n", "a.xyz", "line 3: a field is not a number"},
        {"x y z\n1 2 3 # the first\n4 5 6\n", "a.xyz", "line 2: a field is not a number"},
        {"x y z\n# nothing yet\n", "a.xyz", "no line holds a point"},
        {random_bytes, "a.xyz", "line "},
    };
    for (const auto& bad : cases) {
        const std::string error = read_text(bad.bytes, bad.name).error;
        EXPECT_NE(error.find(bad.reason), std::string::npos) << bad.reason << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

}  // namespace
